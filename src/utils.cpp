#include "utils.hpp"

#include <limits.h>
#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace ruvo {

// ---------------------------------------------------------------- names

Names NAMES;

bool init_names() {
#define RUVO_NAME_INIT(ident, text)                           \
    if (NAMES.ident == nullptr) {                             \
        NAMES.ident = PyUnicode_InternFromString(text);       \
        if (NAMES.ident == nullptr) return false;             \
    }
    RUVO_NAMES(RUVO_NAME_INIT)
#undef RUVO_NAME_INIT
    return internal_error_type() != nullptr;
}

namespace {

// Module objects already seen fully imported, by (interned) module name.
// Guarded by the interpreter lock.
struct CompleteModule {
    PyObject* name;
    PyObject* module;  // compared by identity only, never dereferenced
};
CompleteModule complete_modules[16];

PyObject** complete_module_slot(PyObject* name) {
    for (CompleteModule& entry : complete_modules) {
        if (entry.name == name || entry.name == nullptr) {
            entry.name = name;
            return &entry.module;
        }
    }
    return nullptr;
}

}  // namespace

Ref import_module(PyObject* name) {
    // sys.modules is looked at every time, so a replaced module is seen. A
    // module object seen complete before is used as it is; a new one may
    // still be importing in another thread, and PyImport_GetModule waits for
    // that (a check that costs more than the rest of the lookup).
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = PyDict_Check(modules) ? PyDict_GetItemWithError(modules, name) : nullptr;
    if (found == nullptr && PyErr_Occurred()) return Ref();
    // A module blocked with None is the import system's to report: its
    // ImportError names the module, where using the None would not.
    if (found == Py_None) return Ref::steal(PyImport_Import(name));
    PyObject** seen = complete_module_slot(name);
    if (found != nullptr && seen != nullptr && *seen == found) return Ref::borrow(found);
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (!module || module.get() == Py_None) {
        if (PyErr_Occurred()) return Ref();
        module = Ref::steal(PyImport_Import(name));
    }
    if (module && seen != nullptr) *seen = module.get();
    return module;
}

// ---------------------------------------------------------------- errors

PyObject* internal_error_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "ruvo._ruvo.InternalError",
            "A broken invariant inside ruvo's native module. Derived from "
            "BaseException so that ordinary error handling does not hide it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

// "TypeName: message" of an exception instance, for internal-error texts.
static std::string describe_error(PyObject* error) {
    std::string text;
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(error)));
    if (!type_name || !text_for_trace(type_name.get(), &text)) {
        PyErr_Clear();
        text = "<unknown exception>";
    }
    Ref message = Ref::steal(PyObject_Str(error));
    std::string message_text;
    if (message && text_for_trace(message.get(), &message_text)) {
        if (!message_text.empty()) text += ": " + message_text;
    } else {
        PyErr_Clear();
    }
    return text;
}

void set_internal_error(const char* message) {
    Ref cause = fetch_error();
    std::string text = message;
    if (cause) text += ": " + describe_error(cause.get());
    PyErr_SetString(internal_error_type(), text.c_str());
    if (cause) {
        // Chained, so a printed traceback still shows where the cause came from.
        Ref error = fetch_error();
        PyException_SetCause(error.get(), cause.release());
        restore_error(std::move(error));
    }
}

void set_conversion_error(PyObject* obj, const char* target) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

// ---------------------------------------------------------------- conversions

bool extract_bool(PyObject* obj, bool* out) {
    if (obj == Py_True || obj == Py_False) {
        *out = obj == Py_True;
        return true;
    }
    // numpy's bool scalar is not a subclass of bool; numpy 2 renamed it.
    const char* tp_name = Py_TYPE(obj)->tp_name;
    if (std::strcmp(tp_name, "numpy.bool_") == 0 || std::strcmp(tp_name, "numpy.bool") == 0) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        *out = truth != 0;
        return true;
    }
    set_conversion_error(obj, "PyBool");
    return false;
}

bool extract_u64(PyObject* obj, uint64_t* out) {
    Ref number = Ref::steal(PyNumber_Index(obj));
    if (!number) return false;
    unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool extract_text(PyObject* obj, std::string* out) {
    if (!PyUnicode_Check(obj)) {
        set_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out->assign(data, static_cast<size_t>(size));
    return true;
}

bool TraceText::set(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        set_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data != nullptr) {
        view_ = std::string_view(data, static_cast<size_t>(size));
        return true;
    }
    PyErr_Clear();
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "backslashreplace"));
    if (!encoded) return false;
    owned_.assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    view_ = owned_;
    return true;
}

bool text_for_trace(PyObject* obj, std::string* out) {
    TraceText text;
    if (!text.set(obj)) return false;
    out->assign(text.view());
    return true;
}

bool extract_text_list(PyObject* obj, std::vector<std::string>* out, bool for_trace) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, CANT_EXTRACT_STR);
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_conversion_error(obj, "Sequence");
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    out->clear();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::string text;
        if (!(for_trace ? text_for_trace(item.get(), &text) : extract_text(item.get(), &text))) return false;
        out->push_back(std::move(text));
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------- time, ids

std::optional<double> timestamp() {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        set_internal_error("Could not read the real-time clock");
        return std::nullopt;
    }
    if (now.tv_sec < 0) {
        set_internal_error("System time is before unix epoch");
        return std::nullopt;
    }
    return static_cast<double>(static_cast<uint64_t>(now.tv_sec)) +
           static_cast<double>(static_cast<uint64_t>(now.tv_nsec)) / 1e9;
}

namespace {

// Bumped in a forked child, so that each thread's generator reseeds instead of
// repeating the ids its parent goes on making.
std::atomic<uint64_t> fork_generation{0};

// xoshiro256**, seeded from the OS random source and reseeded every 2**20
// draws. Trivially destructible: nothing to do when a thread exits.
struct Rng {
    uint64_t s[4];
    uint64_t draws_left;
    uint64_t generation;
    bool seeded;
};
thread_local Rng rng;

uint64_t splitmix64(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void seed(Rng& r) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(r.s);
    size_t got = 0;
    while (got < sizeof(r.s)) {
        ssize_t n = getrandom(bytes + got, sizeof(r.s) - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof(r.s)) {
        // No OS randomness: fall back to the clock and this thread's address
        // space, which still keeps ids of different threads apart.
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        uint64_t x = (static_cast<uint64_t>(now.tv_sec) * 1000000000ULL +
                      static_cast<uint64_t>(now.tv_nsec)) ^
                     reinterpret_cast<uintptr_t>(&r);
        for (auto& word : r.s) word ^= splitmix64(x);
    }
    if ((r.s[0] | r.s[1] | r.s[2] | r.s[3]) == 0) r.s[0] = 1;
    r.draws_left = 1u << 20;
    r.generation = fork_generation.load(std::memory_order_relaxed);
    r.seeded = true;
}

inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t next_random() {
    Rng& r = rng;
    if (!r.seeded || r.draws_left == 0 ||
        r.generation != fork_generation.load(std::memory_order_relaxed)) {
        seed(r);
    }
    --r.draws_left;
    uint64_t result = rotl(r.s[1] * 5, 7) * 9;
    uint64_t t = r.s[1] << 17;
    r.s[2] ^= r.s[0];
    r.s[3] ^= r.s[1];
    r.s[1] ^= r.s[2];
    r.s[0] ^= r.s[3];
    r.s[2] ^= t;
    r.s[3] = rotl(r.s[3], 45);
    return result;
}

constexpr char CROCKFORD[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

void after_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void install_fork_handler() {
    static bool installed = false;
    if (!installed) installed = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
}

void ulid_text(uint64_t high, uint64_t low, char out[26]) {
    // Digit k from the right holds bits 5k to 5k+4: the low word gives the
    // first twelve digits, digit 12 straddles both words, the high word the rest.
    for (int k = 0; k < 12; ++k) out[25 - k] = CROCKFORD[(low >> (5 * k)) & 31u];
    out[13] = CROCKFORD[((low >> 60) | (high << 4)) & 31u];
    for (int k = 13; k < 26; ++k) out[25 - k] = CROCKFORD[(high >> (5 * k - 64)) & 31u];
}

Id new_id(const char prefix[4]) {
    struct timespec now;
    uint64_t millis = 0;
    if (clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec >= 0) {
        millis = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
    }
    uint64_t random_high = next_random();
    uint64_t random_low = next_random();
    uint64_t high = ((millis & ((1ULL << 48) - 1)) << 16) | (random_high >> 48);
    Id id;
    std::memcpy(id.data(), prefix, 4);
    ulid_text(high, random_low, id.data() + 4);
    return id;
}

// ---------------------------------------------------------------- msgpack

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

void write_bin(Buffer& b, std::string_view s) {
    put_sized(b, s.size(), 0xc4, 0xc5, 0xc6);
    b.append(s);
}

void write_ext(Buffer& b, int8_t type, std::string_view data) {
    switch (data.size()) {
        case 1: put8(b, 0xd4); break;
        case 2: put8(b, 0xd5); break;
        case 4: put8(b, 0xd6); break;
        case 8: put8(b, 0xd7); break;
        case 16: put8(b, 0xd8); break;
        default: put_sized(b, data.size(), 0xc7, 0xc8, 0xc9);
    }
    put8(b, static_cast<uint8_t>(type));
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

Value Value::text(std::string s) {
    Value value;
    value.kind = Kind::Text;
    value.data = std::move(s);
    return value;
}

Value Value::map(std::vector<Value> keys_and_values) {
    Value value;
    value.kind = Kind::Map;
    value.items = std::move(keys_and_values);
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
            if (valid_utf8(v.data)) {
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
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    size_t pos = 0;
    // Values still to read. Each needs at least one byte, which bounds the
    // count by the bytes left and so keeps it from overflowing.
    uint64_t pending = 1;
    auto big_endian = [&](size_t width, uint64_t* out) {
        if (n - pos < width) return false;
        uint64_t v = 0;
        for (size_t k = 0; k < width; ++k) v = (v << 8) | p[pos + k];
        pos += width;
        *out = v;
        return true;
    };
    auto skip = [&](uint64_t count) {
        if (n - pos < count) return false;
        pos += count;
        return true;
    };
    while (pending > 0) {
        if (pos >= n) return false;
        uint8_t c = p[pos++];
        --pending;
        uint64_t len = 0;
        if (c <= 0x7f || c >= 0xe0 || c == 0xc0 || c == 0xc2 || c == 0xc3) continue;
        if (c >= 0x80 && c <= 0x8f) {
            pending += 2u * (c & 0x0f);
        } else if (c >= 0x90 && c <= 0x9f) {
            pending += c & 0x0f;
        } else if (c >= 0xa0 && c <= 0xbf) {
            if (!skip(c & 0x1f)) return false;
        } else {
            switch (c) {
                case 0xc4: case 0xc5: case 0xc6:
                    if (!big_endian(size_t{1} << (c - 0xc4), &len) || !skip(len)) return false;
                    break;
                case 0xc7: case 0xc8: case 0xc9:
                    if (!big_endian(size_t{1} << (c - 0xc7), &len) || !skip(len + 1)) return false;
                    break;
                case 0xca: case 0xce: case 0xd2: if (!skip(4)) return false; break;
                case 0xcb: case 0xcf: case 0xd3: if (!skip(8)) return false; break;
                case 0xcc: case 0xd0: if (!skip(1)) return false; break;
                case 0xcd: case 0xd1: if (!skip(2)) return false; break;
                case 0xd4: case 0xd5: case 0xd6: case 0xd7: case 0xd8:
                    if (!skip(1 + (size_t{1} << (c - 0xd4)))) return false;
                    break;
                case 0xd9: case 0xda: case 0xdb:
                    if (!big_endian(size_t{1} << (c - 0xd9), &len) || !skip(len)) return false;
                    break;
                case 0xdc: case 0xdd:
                    if (!big_endian(c == 0xdc ? 2 : 4, &len)) return false;
                    pending += len;
                    break;
                case 0xde: case 0xdf:
                    if (!big_endian(c == 0xde ? 2 : 4, &len)) return false;
                    pending += 2 * len;
                    break;
                default: return false;  // 0xc1 is never used
            }
        }
        if (pending > n - pos) return false;
    }
    return pos == n;
}

// The serialiser's result as bytes: bytes and bytearray directly, any other
// sequence of ints 0..255 item by item.
static bool bytes_from_result(PyObject* result, Buffer* out) {
    out->clear();
    if (PyBytes_Check(result)) {
        out->append(PyBytes_AS_STRING(result), static_cast<size_t>(PyBytes_GET_SIZE(result)));
        return true;
    }
    if (PyByteArray_Check(result)) {
        out->append(PyByteArray_AS_STRING(result), static_cast<size_t>(PyByteArray_GET_SIZE(result)));
        return true;
    }
    if (PyUnicode_Check(result)) {
        PyErr_SetString(PyExc_TypeError, CANT_EXTRACT_STR);
        return false;
    }
    if (!PySequence_Check(result)) {
        set_conversion_error(result, "Sequence");
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(result));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyLong_Check(item.get())) {
            set_conversion_error(item.get(), "PyInt");
            return false;
        }
        long value = PyLong_AsLong(item.get());
        if (value == -1 && PyErr_Occurred()) PyErr_Clear();
        if (value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out->push_back(static_cast<char>(value));
    }
    return !PyErr_Occurred();
}

Ref serializer_function(bool lightweight) {
    Ref module = import_module(NAMES.mod_serialize);
    if (!module) return Ref();
    PyObject* function_name = lightweight ? NAMES.dump_msgpack_lightweight_repr : NAMES.dump_msgpack;
    // The module's dict first; the attribute protocol only when it lacks the name.
    Ref function = Ref::borrow(PyModule_Check(module.get())
                                   ? PyDict_GetItemWithError(PyModule_GetDict(module.get()), function_name)
                                   : nullptr);
    if (!function && !PyErr_Occurred()) function = Ref::steal(PyObject_GetAttr(module.get(), function_name));
    return function;
}

bool dump_msgpack(PyObject* value, bool lightweight, Buffer* out) {
    Ref function = serializer_function(lightweight);
    return function && serialize_with(function.get(), lightweight, value, out);
}

bool serialize_with(PyObject* function, bool lightweight, PyObject* value, Buffer* out) {
    PyObject* function_name = lightweight ? NAMES.dump_msgpack_lightweight_repr : NAMES.dump_msgpack;
    Ref result = Ref::steal(PyObject_CallOneArg(function, value));
    if (!result || !bytes_from_result(result.get(), out)) return false;
    // The bytes are embedded verbatim in records and documents: anything but
    // exactly one value would make the whole document unreadable.
    if (!is_one_msgpack_value(out->view())) {
        PyErr_Format(PyExc_ValueError,
                     "ruvo.serialize.%U returned %zu bytes that are not exactly one MessagePack value",
                     function_name, out->size());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- qualified names

// Appends str(obj) for a name part; an unprintable part is reported to the
// unraisable hook and rendered as a placeholder.
static void append_name_part(std::string& out, PyObject* obj) {
    TraceText text;
    if (PyUnicode_CheckExact(obj) && text.set(obj)) {
        out.append(text.view());
        return;
    }
    Ref str = Ref::steal(PyObject_Str(obj));
    if (str && text.set(str.get())) {
        out.append(text.view());
        return;
    }
    PyErr_WriteUnraisable(obj);
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (type_name && text.set(type_name.get())) {
        out.append("<unprintable ").append(text.view()).append(" object>");
        return;
    }
    PyErr_Clear();
    out.append("<unprintable object>");
}

static void join_names(std::string& out, PyObject* left, PyObject* right) {
    out.clear();
    append_name_part(out, left);
    out += '.';
    append_name_part(out, right);
}

static std::string joined(PyObject* left, PyObject* right) {
    std::string out;
    join_names(out, left, right);
    return out;
}

// module.qualname of a function-like object, or nothing.
static std::optional<std::string> qualname_of(PyObject* obj) {
    Ref module = Ref::steal(PyObject_GetAttr(obj, NAMES.dunder_module));
    if (!module) return std::nullopt;
    Ref qualname = Ref::steal(PyObject_GetAttr(obj, NAMES.dunder_qualname));
    if (!qualname) return std::nullopt;
    return joined(module.get(), qualname.get());
}

// The module name a frame's globals give: a missing "__name__" is a KeyError.
static Ref module_name_of(PyObject* globals) {
    if (PyDict_CheckExact(globals)) {
        PyObject* name = PyDict_GetItemWithError(globals, NAMES.dunder_name);
        if (name == nullptr && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, NAMES.dunder_name);
        return Ref::borrow(name);
    }
    return Ref::steal(PyObject_GetItem(globals, NAMES.dunder_name));
}

bool get_qualname(PyObject* frame, std::string* out, bool* found) {
    *found = true;
    if (PyFrame_Check(frame)) {
        // The interpreter's own frames: the same values as the attributes,
        // read without looking the attributes up.
        auto* real = reinterpret_cast<PyFrameObject*>(frame);
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(real)));
        Ref globals = Ref::steal(PyFrame_GetGlobals(real));
        Ref module = module_name_of(globals.get());
        if (!module) return false;
        join_names(*out, module.get(), reinterpret_cast<PyCodeObject*>(code.get())->co_qualname);
        return true;
    }
    Ref code = Ref::steal(PyObject_GetAttr(frame, NAMES.f_code));
    if (!code) return false;
    Ref qualname = Ref::steal(PyObject_GetAttr(code.get(), NAMES.co_qualname));
    if (!qualname) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        Ref co_name = Ref::steal(PyObject_GetAttr(code.get(), NAMES.co_name));
        if (!co_name) return false;
        if (!PyUnicode_Check(co_name.get())) {
            set_conversion_error(co_name.get(), "PyString");
            return false;
        }
        if (PyUnicode_CompareWithASCIIString(co_name.get(), "<module>") != 0) {
            std::optional<std::string> name = get_qualname_inner(frame, co_name.get());
            *found = name.has_value();
            if (name) *out = std::move(*name);
            return true;
        }
        qualname = std::move(co_name);
    }
    Ref globals = Ref::steal(PyObject_GetAttr(frame, NAMES.f_globals));
    if (!globals) return false;
    Ref module = module_name_of(globals.get());
    if (!module) return false;
    join_names(*out, module.get(), qualname.get());
    return true;
}

std::optional<std::string> get_qualname_inner(PyObject* frame, PyObject* co_name) {
    // Every failure in the search means "no name": nothing may stay pending.
    auto absent = []() -> std::optional<std::string> {
        PyErr_Clear();
        return std::nullopt;
    };
    auto key_error = []() {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
        return true;
    };

    // 1, 2: the caller usually holds the function under its own name.
    Ref caller = Ref::steal(PyObject_GetAttr(frame, NAMES.f_back));
    if (!caller || caller.get() == Py_None) return absent();
    Ref caller_locals = Ref::steal(PyObject_GetAttr(caller.get(), NAMES.f_locals));
    if (!caller_locals) return absent();
    if (Ref found = Ref::steal(PyObject_GetItem(caller_locals.get(), co_name))) {
        auto name = qualname_of(found.get());
        return name ? name : absent();
    }
    if (!key_error()) return absent();

    // 3
    Ref locals = Ref::steal(PyObject_GetAttr(frame, NAMES.f_locals));
    if (!locals) return absent();
    Ref inspect = import_module(NAMES.mod_inspect);
    if (!inspect) return absent();
    Ref getattr_static = Ref::steal(PyObject_GetAttr(inspect.get(), NAMES.getattr_static));
    if (!getattr_static) return absent();

    // 4: a method, found statically on its instance.
    if (Ref self = Ref::steal(PyObject_GetItem(locals.get(), NAMES.self))) {
        Ref attribute = Ref::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), self.get(), co_name, nullptr));
        if (!attribute) return absent();
        Ref builtins = import_module(NAMES.mod_builtins);
        if (!builtins) return absent();
        Ref property = Ref::steal(PyObject_GetAttr(builtins.get(), NAMES.property));
        if (!property) return absent();
        int is_property = PyObject_IsInstance(attribute.get(), property.get());
        if (is_property < 0) return absent();
        if (is_property) {
            attribute = Ref::steal(PyObject_GetAttr(attribute.get(), NAMES.fget));
            if (!attribute) return absent();
        }
        auto name = qualname_of(attribute.get());
        return name ? name : absent();
    }
    if (!key_error()) return absent();

    // 5: a classmethod, found statically on its class.
    if (Ref cls = Ref::steal(PyObject_GetItem(locals.get(), NAMES.cls))) {
        if (PyType_Check(cls.get())) {
            Ref attribute = Ref::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), cls.get(), co_name, nullptr));
            if (!attribute) return absent();
            auto name = qualname_of(attribute.get());
            return name ? name : absent();
        }
    } else if (!key_error()) {
        return absent();
    }

    // 6: a class body, or a module-level function.
    Ref globals = Ref::steal(PyObject_GetAttr(frame, NAMES.f_globals));
    if (!globals) return absent();
    if (Ref class_qualname = Ref::steal(PyObject_GetItem(locals.get(), NAMES.dunder_qualname))) {
        Ref module = Ref::steal(PyObject_GetItem(globals.get(), NAMES.dunder_name));
        if (!module) return absent();
        return joined(module.get(), class_qualname.get());
    }
    if (!key_error()) return absent();
    Ref function = Ref::steal(PyObject_GetItem(globals.get(), co_name));
    if (!function) return absent();
    auto name = qualname_of(function.get());
    return name ? name : absent();
}

// ---------------------------------------------------------------- threads, call sites

bool current_thread(ThreadIdentity* out) {
    Ref threading = import_module(NAMES.mod_threading);
    if (!threading) return false;
    Ref thread = Ref::steal(PyObject_CallMethodNoArgs(threading.get(), NAMES.current_thread));
    if (!thread) return false;
    Ref name = Ref::steal(PyObject_GetAttr(thread.get(), NAMES.name));
    if (!name) return false;
    ThreadIdentity identity;
    if (!text_for_trace(name.get(), &identity.name)) return false;
    Ref native_id = Ref::steal(PyObject_GetAttr(thread.get(), NAMES.native_id));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
    } else if (native_id.get() != Py_None) {
        uint64_t value;
        if (!extract_u64(native_id.get(), &value)) return false;
        identity.native_id = value;
    }
    *out = std::move(identity);
    return true;
}

CallSiteSnapshot snapshot_top(const std::vector<CallFrame>& stack) {
    CallSiteSnapshot snapshot;
    for (auto it = stack.rbegin(); it != stack.rend() && snapshot.size < 2; ++it) {
        snapshot.entries[snapshot.size].frame = it->frame.copy();
        snapshot.entries[snapshot.size].id = it->id;
        ++snapshot.size;
    }
    return snapshot;
}

bool user_code_call_site(CallSiteSnapshot snapshot, const Id* frame_id,
                         std::optional<UserCodeCallSite>* out) {
    out->reset();
    if (frame_id == nullptr) return true;
    const CallFrame* site = nullptr;
    for (int i = 0; i < snapshot.size; ++i) {
        if (snapshot.entries[i].id != *frame_id) {
            site = &snapshot.entries[i];
            break;
        }
    }
    if (site == nullptr) return true;
    PyObject* frame = site->frame.get();
    if (!PyFrame_Check(frame)) {
        set_conversion_error(frame, "PyFrame");
        return false;
    }
    // What the frame's f_lineno gives; no line (None there) is refused as
    // None would be.
    int line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
    if (line < 0) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        return false;
    }
    *out = UserCodeCallSite{site->id, static_cast<int32_t>(line)};
    return true;
}

// ---------------------------------------------------------------- paths

namespace {

// The directory is read at every recorded event: C code (ctypes, extension
// modules) can change it without telling the interpreter, so no cached value
// can be trusted. Only what is derived from the text is kept between reads,
// for as long as the text stays the same. Runs with the interpreter lock
// held, which guards the cache.
struct DirectoryCache {
    std::string directory;
    bool plain = false;
};
DirectoryCache directory_cache;

}  // namespace

bool current_directory(std::string_view* out, bool* plain) {
    DirectoryCache& cache = directory_cache;
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        set_internal_error("Current directory is invalid.");
        return false;
    }
    std::string_view now(buffer);
    if (now != cache.directory) {
        cache.directory.assign(now);
        cache.plain = is_plain_directory(cache.directory);
    }
    *out = cache.directory;
    *plain = cache.plain;
    return true;
}

// The next path component from `pos` on; "." components are skipped, as
// they name the same directory.
static std::optional<std::string_view> next_component(std::string_view path, size_t& pos) {
    while (true) {
        while (pos < path.size() && path[pos] == '/') ++pos;
        if (pos >= path.size()) return std::nullopt;
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        std::string_view component = path.substr(pos, end - pos);
        pos = end;
        if (component != ".") return component;
    }
}

bool is_plain_directory(std::string_view directory) {
    return directory.size() > 1 && directory.back() != '/' && directory.find("/.") == std::string_view::npos &&
           directory.find("//") == std::string_view::npos;
}

std::string_view relative_path(std::string_view filename, std::string_view cwd, bool cwd_is_plain) {
    // A relative name can never lie under the (absolute) current directory.
    if (filename.empty() || filename[0] != '/' || cwd.empty() || cwd[0] != '/') return filename;
    // The usual case: a plain directory's exact text, a slash, and a plain
    // rest. (The walk below gives the same answer, component by component.)
    if (cwd_is_plain) {
        // A plain directory's components are its text. Up to where the two
        // texts first differ they are the same components; if the name
        // differs there by an ordinary character, its component differs and
        // no walk could realign them.
        size_t limit = std::min(filename.size(), cwd.size());
        size_t same = 0;
        while (same < limit && filename[same] == cwd[same]) ++same;
        if (same == cwd.size()) {
            if (filename.size() > same + 1 && filename[same] == '/') {
                std::string_view rest = filename.substr(same + 1);
                if (rest[0] != '/' && rest.substr(0, 2) != "./" && rest != ".") return rest;
            }
        } else if (same < filename.size() && filename[same] != '/' && filename[same] != '.') {
            return filename;
        }
    }
    size_t file_pos = 0, cwd_pos = 0;
    while (auto directory = next_component(cwd, cwd_pos)) {
        auto component = next_component(filename, file_pos);
        if (!component || *component != *directory) return filename;
    }
    std::string_view rest = filename.substr(file_pos);
    while (true) {
        if (!rest.empty() && rest[0] == '/') {
            rest.remove_prefix(1);
        } else if (rest.substr(0, 2) == "./" || rest == ".") {
            rest.remove_prefix(1);
        } else {
            break;
        }
    }
    return rest;
}

}  // namespace ruvo
