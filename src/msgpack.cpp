#include "msgpack.hpp"

#include <algorithm>
#include <new>

#include "wire_reader.hpp"

namespace ruvo {

namespace {

void put8(Buffer& b, uint8_t v) { b.push_back(static_cast<char>(v)); }

}  // namespace

void Buffer::grow(size_t extra) {
    size_t wanted = std::max({capacity_ * 2, size_ + extra, size_t{64}});
    auto* grown = static_cast<char*>(std::realloc(data_, wanted));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = grown;
    capacity_ = wanted;
}

namespace {

// A marker byte and a big-endian number of `width` bytes, in one append.
void put_marked(Buffer& b, uint8_t marker, uint64_t value, int width) {
    char bytes[9];
    bytes[0] = static_cast<char>(marker);
    for (int i = 0; i < width; ++i) bytes[1 + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
    b.append(bytes, static_cast<size_t>(1 + width));
}

// The header of a str, bin or ext-like sized value: one of three markers by
// size, after the one-byte forms have been ruled out.
void put_sized(Buffer& b, size_t n, uint8_t m8, uint8_t m16, uint8_t m32) {
    if (n < 256) {
        put_marked(b, m8, n, 1);
    } else if (n < 65536) {
        put_marked(b, m16, n, 2);
    } else {
        put_marked(b, m32, n, 4);
    }
}

bool valid_utf8(std::string_view s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        uint8_t c = static_cast<uint8_t>(s[i]);
        size_t extra;
        uint32_t min;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1, min = 0x80, cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2, min = 0x800, cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) return false;
        for (size_t k = 1; k <= extra; ++k) {
            uint8_t cc = static_cast<uint8_t>(s[i + k]);
            if ((cc & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

void write_nil(Buffer& b) { put8(b, 0xc0); }
void write_bool(Buffer& b, bool v) { put8(b, v ? 0xc3 : 0xc2); }

void write_uint(Buffer& b, uint64_t v) {
    if (v < 128) {
        put8(b, static_cast<uint8_t>(v));
    } else if (v < 256) {
        put_marked(b, 0xcc, v, 1);
    } else if (v < 65536) {
        put_marked(b, 0xcd, v, 2);
    } else if (v < (1ULL << 32)) {
        put_marked(b, 0xce, v, 4);
    } else {
        put_marked(b, 0xcf, v, 8);
    }
}

void write_int(Buffer& b, int64_t v) {
    if (v >= 0) {
        write_uint(b, static_cast<uint64_t>(v));
    } else if (v >= -32) {
        put8(b, static_cast<uint8_t>(v));
    } else if (v >= -128) {
        put_marked(b, 0xd0, static_cast<uint8_t>(v), 1);
    } else if (v >= -32768) {
        put_marked(b, 0xd1, static_cast<uint16_t>(v), 2);
    } else if (v >= -2147483648LL) {
        put_marked(b, 0xd2, static_cast<uint32_t>(v), 4);
    } else {
        put_marked(b, 0xd3, static_cast<uint64_t>(v), 8);
    }
}

void write_f32(Buffer& b, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_marked(b, 0xca, bits, 4);
}

void write_f64(Buffer& b, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_marked(b, 0xcb, bits, 8);
}

void write_long_str_header(Buffer& b, size_t n) { put_sized(b, n, 0xd9, 0xda, 0xdb); }

void write_bin_header(Buffer& b, size_t n) { put_sized(b, n, 0xc4, 0xc5, 0xc6); }

void write_bin(Buffer& b, std::string_view s) {
    write_bin_header(b, s.size());
    b.append(s);
}

void write_ext_header(Buffer& b, uint8_t code, size_t n) {
    switch (n) {
        case 1: put8(b, 0xd4); break;
        case 2: put8(b, 0xd5); break;
        case 4: put8(b, 0xd6); break;
        case 8: put8(b, 0xd7); break;
        case 16: put8(b, 0xd8); break;
        default: put_sized(b, n, 0xc7, 0xc8, 0xc9);
    }
    put8(b, code);
}

void write_ext(Buffer& b, int8_t type, std::string_view data) {
    write_ext_header(b, static_cast<uint8_t>(type), data.size());
    b.append(data);
}

void write_array_header(Buffer& b, uint32_t n) {
    if (n < 16) {
        put8(b, static_cast<uint8_t>(0x90 | n));
    } else if (n < 65536) {
        put_marked(b, 0xdc, n, 2);
    } else {
        put_marked(b, 0xdd, n, 4);
    }
}

void write_map_header(Buffer& b, uint32_t n) {
    if (n < 16) {
        put8(b, static_cast<uint8_t>(0x80 | n));
    } else if (n < 65536) {
        put_marked(b, 0xde, n, 2);
    } else {
        put_marked(b, 0xdf, n, 4);
    }
}

void write_int_pair(Buffer& b, std::string_view key, std::optional<uint64_t> value) {
    write_str(b, key);
    if (value) {
        write_uint(b, *value);
    } else {
        write_nil(b);
    }
}

void write_f64_pair(Buffer& b, double value) {
    write_str(b, "timestamp");
    write_f64(b, value);
}

void write_raw_pair(Buffer& b, std::string_view key, Buffer& bytes) {
    write_str(b, key);
    b.append(bytes.view());
    bytes.clear();  // emptied, but its memory is kept for the thread's next event
}

Value Value::integer(int64_t v) {
    Value value;
    if (v >= 0) {
        value.kind = Kind::UInt;
        value.uint = static_cast<uint64_t>(v);
    } else {
        value.kind = Kind::Int;
        value.sint = v;
    }
    return value;
}

Value Value::text(std::string_view s) {
    Value value;
    value.kind = Kind::Text;
    value.data = s;
    return value;
}

Value Value::known_text(std::string_view s) {
    Value value = text(s);
    value.known_utf8 = true;
    return value;
}

Value Value::map(std::span<const Value> keys_and_values) {
    Value value;
    value.kind = Kind::Map;
    value.items = keys_and_values;
    return value;
}

void write_value(Buffer& b, const Value& v) {
    switch (v.kind) {
        case Value::Kind::Nil: write_nil(b); break;
        case Value::Kind::Bool: write_bool(b, v.boolean); break;
        case Value::Kind::UInt: write_uint(b, v.uint); break;
        case Value::Kind::Int: write_int(b, v.sint); break;
        case Value::Kind::F32: write_f32(b, static_cast<float>(v.real)); break;
        case Value::Kind::F64: write_f64(b, v.real); break;
        case Value::Kind::Text:
            if (v.known_utf8 || valid_utf8(v.data)) {
                write_str(b, v.data);
            } else {
                write_bin(b, v.data);
            }
            break;
        case Value::Kind::Bytes: write_bin(b, v.data); break;
        case Value::Kind::Array:
            write_array_header(b, static_cast<uint32_t>(v.items.size()));
            for (const Value& item : v.items) write_value(b, item);
            break;
        case Value::Kind::Map:
            write_map_header(b, static_cast<uint32_t>(v.items.size() / 2));
            for (const Value& item : v.items) write_value(b, item);
            break;
        case Value::Kind::Ext: write_ext(b, v.ext_type, v.data); break;
    }
}

bool is_one_msgpack_value(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    auto size = static_cast<Py_ssize_t>(bytes.size());
    Py_ssize_t pos = 0;
    return wire::skip(data, size, pos) == wire::Got::value && pos == size;
}

}  // namespace ruvo
