// MessagePack writers: an append-only buffer, one writer per form, the pair
// writers of records and documents, and the small value tree.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ruvo {

// A growable byte buffer. Records are written as many small pieces, so the
// common append is an inline capacity check and a copy; growing is the rare
// out-of-line case. Memory failures throw std::bad_alloc, which the entry
// points turn into MemoryError.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    void append(const void* bytes, size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) grow(n);
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    void append(const Buffer& other) { append(other.data(), other.size()); }
    // Opens `n` bytes at `pos` and copies `bytes` there.
    void insert(size_t pos, const void* bytes, size_t n) {
        if (n > capacity_ - size_) grow(n);
        std::memmove(data_ + pos + n, data_ + pos, size_ - pos);
        std::memcpy(data_ + pos, bytes, n);
        size_ += n;
    }
    void push_back(char byte) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = byte;
    }
    void reserve(size_t n) {
        if (n > capacity_) grow(n - size_);
    }
    // Empties the buffer but keeps its memory for the next use.
    void clear() { size_ = 0; }
    // Drops what was appended after the first `n` bytes.
    void truncate(size_t n) {
        if (n < size_) size_ = n;
    }

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }

  private:
    void grow(size_t extra);
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

void write_nil(Buffer& b);
void write_bool(Buffer& b, bool v);
void write_uint(Buffer& b, uint64_t v);
void write_int(Buffer& b, int64_t v);
void write_f32(Buffer& b, float v);
void write_f64(Buffer& b, double v);
// The header of a str of `n` bytes, for text written in pieces after it.
// Inline, so that fixed keys cost one byte store and one fixed-size copy.
void write_long_str_header(Buffer& b, size_t n);
inline void write_str_header(Buffer& b, size_t n) {
    if (n < 32) {
        b.push_back(static_cast<char>(0xa0 | n));
    } else {
        write_long_str_header(b, n);
    }
}
inline void write_str(Buffer& b, std::string_view s) {
    write_str_header(b, s.size());
    b.append(s);
}
void write_bin_header(Buffer& b, size_t n);
void write_bin(Buffer& b, std::string_view s);
// The header of an extension of `n` bytes of data: the fixext forms where
// they fit, as msgpack's packer chooses.
void write_ext_header(Buffer& b, uint8_t code, size_t n);
void write_ext(Buffer& b, int8_t type, std::string_view data);
void write_array_header(Buffer& b, uint32_t n);
void write_map_header(Buffer& b, uint32_t n);

inline void write_str_pair(Buffer& b, std::string_view key, std::optional<std::string_view> value) {
    write_str(b, key);
    if (value) {
        write_str(b, *value);
    } else {
        b.push_back(static_cast<char>(0xc0));
    }
}
void write_int_pair(Buffer& b, std::string_view key, std::optional<uint64_t> value);
void write_f64_pair(Buffer& b, double value);  // key "timestamp"
// Appends already encoded bytes after the key and leaves `bytes` empty.
void write_raw_pair(Buffer& b, std::string_view key, Buffer& bytes);

// A small value tree, for values built by the extension itself.
struct Value {
    enum class Kind { Nil, Bool, UInt, Int, F32, F64, Text, Bytes, Array, Map, Ext };
    Kind kind = Kind::Nil;
    bool boolean = false;
    uint64_t uint = 0;
    int64_t sint = 0;
    double real = 0;
    int8_t ext_type = 0;
    // Text already known to be valid UTF-8 (fixed keys, ids), written
    // without checking it again.
    bool known_utf8 = false;
    // Views of storage the caller owns, so that a tree for one record (the
    // call site) is built on the stack without touching the heap.
    std::string_view data;          // Text, Bytes, Ext
    std::span<const Value> items;   // Array; Map as key, value, key, value, ...

    static Value integer(int64_t v);  // non-negative values as UInt
    static Value text(std::string_view s);
    static Value known_text(std::string_view s);
    static Value map(std::span<const Value> keys_and_values);
};
void write_value(Buffer& b, const Value& v);

// True when `bytes` holds exactly one complete MessagePack value.
bool is_one_msgpack_value(std::string_view bytes);

}  // namespace ruvo
