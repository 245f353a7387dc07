// ruvo._skim: reads the records of a stored trace document for views that
// need a few fields of each record (ruvo show, ruvo top). Decoding every
// record into a dict of dicts costs several microseconds a record, most of
// it on locals and values those views never look at; here the fields asked
// for are made into objects and everything else is stepped over.
//
// Records that are not frame records, or whose asked-for fields are not
// plain scalars, come back as their raw bytes, for the caller to decode in
// full: what the caller sees is never a guess.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "refs.hpp"
#include "wire_reader.hpp"

namespace ruvo::skim {
namespace {

// A buffer held for the length of one call.
class View {
  public:
    View() = default;
    bool open(PyObject* object) { return ok_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0; }
    ~View() {
        if (ok_) PyBuffer_Release(&view_);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

  private:
    Py_buffer view_{};
    bool ok_ = false;
};

using wire::big_endian;
using wire::Got;
using wire::Head;
using wire::head;
using wire::skip;

// The str values of one field seen lately. Names, paths, thread names
// repeat from record to record; handing out the same object saves decoding
// and freeing each. A field whose values do not repeat (frame ids) turns its
// cache off after a while.
class Strings {
  public:
    Ref get(const unsigned char* p, Py_ssize_t n) {
        if (off_ || n > 128) return decode(p, n);
        uint32_t hash = 2166136261u;
        for (Py_ssize_t i = 0; i < n; ++i) hash = (hash ^ p[i]) * 16777619u;
        Slot& slot = slots_[hash % SLOTS];
        ++tries_;
        if (slot.str && slot.length == n && std::memcmp(slot.text, p, static_cast<size_t>(n)) == 0) {
            ++hits_;
            return slot.str.copy();
        }
        if (tries_ == 512 && hits_ < 128) off_ = true;
        Ref str = decode(p, n);
        if (!str) return str;
        Py_ssize_t length;
        const char* text = PyUnicode_AsUTF8AndSize(str.get(), &length);
        if (text == nullptr) return Ref();
        slot = Slot{str.copy(), text, length};
        return str;
    }

  private:
    static Ref decode(const unsigned char* p, Py_ssize_t n) {
        return Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), n, nullptr));
    }
    static constexpr int SLOTS = 64;
    struct Slot {
        Ref str;
        const char* text = nullptr;  // its UTF-8, which lives as long as it does
        Py_ssize_t length = 0;
    };
    Slot slots_[SLOTS];
    uint32_t tries_ = 0;
    uint32_t hits_ = 0;
    bool off_ = false;
};

// The scalar at `pos` (nil, bool, int, float or UTF-8 str) as an object, and
// `pos` past it. An empty Ref with no error set means "not a plain scalar";
// with an error set, a failure.
Ref scalar(const unsigned char* data, Py_ssize_t size, Py_ssize_t& pos, Strings& strings) {
    Head h;
    if (head(data, size, pos, h) != Got::value || h.children != 0 ||
        static_cast<uint64_t>(size - pos) < h.header + h.payload) {
        return Ref();
    }
    const unsigned char b = data[pos];
    const unsigned char* p = data + pos + h.header;
    Ref value;
    if (h.is_str) {
        value = strings.get(p, static_cast<Py_ssize_t>(h.payload));
        if (!value) {
            // Left to the caller's decoder, which replaces bad bytes.
            if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
            return Ref();
        }
    } else if (b <= 0x7f) {
        value = Ref::steal(PyLong_FromLong(b));
    } else if (b >= 0xe0) {
        value = Ref::steal(PyLong_FromLong(static_cast<signed char>(b)));
    } else if (b == 0xc0) {
        value = Ref::borrow(Py_None);
    } else if (b == 0xc2 || b == 0xc3) {
        value = Ref::borrow(b == 0xc3 ? Py_True : Py_False);
    } else if (b == 0xca) {
        uint32_t bits = static_cast<uint32_t>(big_endian(p, 4));
        float f;
        std::memcpy(&f, &bits, sizeof f);
        value = Ref::steal(PyFloat_FromDouble(f));
    } else if (b == 0xcb) {
        uint64_t bits = big_endian(p, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        value = Ref::steal(PyFloat_FromDouble(d));
    } else if (b >= 0xcc && b <= 0xcf) {
        value = Ref::steal(PyLong_FromUnsignedLongLong(big_endian(p, static_cast<int>(h.payload))));
    } else if (b >= 0xd0 && b <= 0xd3) {
        const int n = static_cast<int>(h.payload);
        uint64_t bits = big_endian(p, n);
        // Sign-extend from n bytes.
        if (n < 8 && (bits >> (8 * n - 1)) != 0) bits |= ~uint64_t{0} << (8 * n);
        value = Ref::steal(PyLong_FromLongLong(static_cast<long long>(bits)));
    } else {
        return Ref();  // bin, ext, containers
    }
    if (value) pos += h.header + static_cast<Py_ssize_t>(h.payload);
    return value;
}

PyObject* malformed(Py_ssize_t pos) {
    Ref args = Ref::steal(Py_BuildValue("(sn)", "malformed MessagePack", pos));
    if (args) PyErr_SetObject(PyExc_ValueError, args.get());
    return nullptr;
}

// The buffer and the position every function starts from, once the count
// of arguments is checked.
bool buffer_and_pos(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected, const char* usage, View& view,
                    Py_ssize_t& pos) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd arguments", usage, expected);
        return false;
    }
    if (!view.open(args[0])) return false;
    pos = PyNumber_AsSsize_t(args[1], PyExc_OverflowError);
    if (pos == -1 && PyErr_Occurred()) return false;
    if (pos < 0 || pos > view.size()) {
        PyErr_Format(PyExc_ValueError, "position %zd is outside the buffer of %zd bytes", pos, view.size());
        return false;
    }
    return true;
}

// The fields asked for, as UTF-8 to compare record keys with, and as the
// caller's own str objects, which become the keys of the dicts made.
struct Wanted {
    static constexpr int MAX = 16;
    PyObject* keys[MAX];
    const char* text[MAX];
    Py_ssize_t length[MAX];
    int count = 0;
    int type = -1;

    int find(const unsigned char* p, uint64_t n) const {
        for (int i = 0; i < count; ++i) {
            if (static_cast<uint64_t>(length[i]) == n && std::memcmp(text[i], p, n) == 0) return i;
        }
        return -1;
    }
};

bool parse_keys(PyObject* tuple, Wanted& wanted) {
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) > Wanted::MAX) {
        PyErr_Format(PyExc_TypeError, "keys must be a tuple of at most %d str", Wanted::MAX);
        return false;
    }
    wanted.count = static_cast<int>(PyTuple_GET_SIZE(tuple));
    for (int i = 0; i < wanted.count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(tuple, i);
        if (!PyUnicode_CheckExact(key)) {
            PyErr_SetString(PyExc_TypeError, "keys must be a tuple of at most 16 str");
            return false;
        }
        wanted.keys[i] = key;
        wanted.text[i] = PyUnicode_AsUTF8AndSize(key, &wanted.length[i]);
        if (wanted.text[i] == nullptr) return false;
        if (wanted.length[i] == 4 && std::memcmp(wanted.text[i], "type", 4) == 0) wanted.type = i;
    }
    if (wanted.type < 0) {
        PyErr_SetString(PyExc_ValueError, "keys must include 'type'");
        return false;
    }
    return true;
}

enum class Record { dict, raw, incomplete, failed };

// Reads the record at `pos` into `out`: a dict of the wanted fields when it
// is a map with str keys whose "type" is "frame" and whose wanted fields
// are all plain scalars, else its raw bytes.
Record read_record(const unsigned char* data, Py_ssize_t size, Py_ssize_t& pos, const Wanted& wanted,
                   Strings* strings, Ref& out) {
    const Py_ssize_t start = pos;
    Head h;
    Got got = head(data, size, start, h);
    if (got == Got::incomplete) return Record::incomplete;
    if (got == Got::malformed) {
        malformed(start);
        return Record::failed;
    }
    const unsigned char b = data[start];
    bool plain = (b >= 0x80 && b <= 0x8f) || b == 0xde || b == 0xdf;
    bool frame = false;
    Ref fields;
    if (plain) {
        fields = Ref::steal(PyDict_New());
        if (!fields) return Record::failed;
        Py_ssize_t p = start + h.header;
        for (uint64_t entry = 0; plain && entry < h.children / 2; ++entry) {
            Head key;
            got = head(data, size, p, key);
            if (got == Got::incomplete) return Record::incomplete;
            if (got == Got::malformed || !key.is_str) {
                plain = false;  // the raw path below finds out which
                break;
            }
            if (static_cast<uint64_t>(size - p) < key.header + key.payload) return Record::incomplete;
            const unsigned char* text = data + p + key.header;
            p += key.header + static_cast<Py_ssize_t>(key.payload);
            const int index = wanted.find(text, key.payload);
            if (index < 0) {
                got = skip(data, size, p);
                if (got == Got::incomplete) return Record::incomplete;
                if (got == Got::malformed) plain = false;
                continue;
            }
            if (index == wanted.type) {
                Head type;
                static const char FRAME[] = "frame";
                frame = head(data, size, p, type) == Got::value && type.is_str && type.payload == 5 &&
                        static_cast<uint64_t>(size - p) >= static_cast<uint64_t>(type.header) + 5 &&
                        std::memcmp(data + p + type.header, FRAME, 5) == 0;
            }
            Ref value = scalar(data, size, p, strings[index]);
            if (!value) {
                if (PyErr_Occurred()) return Record::failed;
                plain = false;
                break;
            }
            if (PyDict_SetItem(fields.get(), wanted.keys[index], value.get()) < 0) return Record::failed;
        }
        if (plain && frame) {
            pos = p;
            out = std::move(fields);
            return Record::dict;
        }
    }
    Py_ssize_t end = start;
    got = skip(data, size, end);
    if (got == Got::incomplete) return Record::incomplete;
    if (got == Got::malformed) {
        malformed(end);
        return Record::failed;
    }
    out = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data + start), end - start));
    if (!out) return Record::failed;
    pos = end;
    return Record::raw;
}

// skim(buffer, pos, count, keys) -> (records, pos)
PyObject* skim(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    View view;
    Py_ssize_t pos;
    if (!buffer_and_pos(args, nargs, 4, "skim(buffer, pos, count, keys)", view, pos)) return nullptr;
    const Py_ssize_t count = PyNumber_AsSsize_t(args[2], PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    Wanted wanted;
    if (!parse_keys(args[3], wanted)) return nullptr;
    Ref records = Ref::steal(PyList_New(0));
    if (!records) return nullptr;
    std::unique_ptr<Strings[]> strings(new (std::nothrow) Strings[Wanted::MAX]);
    if (!strings) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref record;
        Record got = read_record(view.data(), view.size(), pos, wanted, strings.get(), record);
        if (got == Record::failed) return nullptr;
        if (got == Record::incomplete) break;
        if (PyList_Append(records.get(), record.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(Nn)", records.release(), pos);
}

// skip(buffer, pos) -> the end of the value at pos, or -1 if the buffer ends first
PyObject* skip_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    View view;
    Py_ssize_t pos;
    if (!buffer_and_pos(args, nargs, 2, "skip(buffer, pos)", view, pos)) return nullptr;
    Py_ssize_t end = pos;
    Got got = skip(view.data(), view.size(), end);
    if (got == Got::malformed) return malformed(end);
    return PyLong_FromSsize_t(got == Got::incomplete ? -1 : end);
}

// header(buffer, pos) -> ("map" | "array" | "value", entries, end of header), or None if the buffer ends first
PyObject* header(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    View view;
    Py_ssize_t pos;
    if (!buffer_and_pos(args, nargs, 2, "header(buffer, pos)", view, pos)) return nullptr;
    Head h;
    Got got = head(view.data(), view.size(), pos, h);
    if (got == Got::incomplete) Py_RETURN_NONE;
    if (got == Got::malformed) return malformed(pos);
    const unsigned char b = view.data()[pos];
    const bool map = (b >= 0x80 && b <= 0x8f) || b == 0xde || b == 0xdf;
    const bool array = (b >= 0x90 && b <= 0x9f) || b == 0xdc || b == 0xdd;
    if (!map && !array) return Py_BuildValue("(snn)", "value", Py_ssize_t{0}, pos);
    return Py_BuildValue("(sKn)", map ? "map" : "array",
                         static_cast<unsigned long long>(map ? h.children / 2 : h.children), pos + h.header);
}

// --- summary(buffer): what a small document holds at a glance ---------------------------
//
// The same answer as decoding the whole document with msgpack and reading it
// (ruvo.summary), from one pass that makes only the few objects it returns.
// Anything that decoding might treat differently (a malformed or truncated
// document, a key that is a container, a timestamp extension, a repeated key
// among those read, thread keys that are not distinct ints, deep nesting)
// makes it answer None, and the caller decodes after all.

constexpr int MAX_DEPTH = 256;

bool is_map(unsigned char b) { return (b >= 0x80 && b <= 0x8f) || b == 0xde || b == 0xdf; }
bool is_array(unsigned char b) { return (b >= 0x90 && b <= 0x9f) || b == 0xdc || b == 0xdd; }

bool text_is(const unsigned char* data, const Head& h, Py_ssize_t pos, const char* text, size_t n) {
    return h.is_str && h.payload == n && std::memcmp(data + pos + h.header, text, n) == 0;
}

// Steps over one value, as decoding would take it: false where decoding
// could fail or read it otherwise.
bool plain_value(const unsigned char* data, Py_ssize_t size, Py_ssize_t& pos, int depth = 0) {
    Head h;
    if (depth > MAX_DEPTH || head(data, size, pos, h) != Got::value ||
        static_cast<uint64_t>(size - pos) < h.header + h.payload) {
        return false;
    }
    const unsigned char b = data[pos];
    // A timestamp extension (type -1) becomes an object, or an error.
    if (b >= 0xc7 && b <= 0xc9 && data[pos + h.header] == 0xff) return false;
    if (b >= 0xd4 && b <= 0xd8 && data[pos + 1] == 0xff) return false;
    pos += h.header + static_cast<Py_ssize_t>(h.payload);
    if (h.children > static_cast<uint64_t>(size - pos)) return false;
    const bool map = is_map(b);
    for (uint64_t i = 0; i < h.children; ++i) {
        if (map && i % 2 == 0 && pos < size && (is_map(data[pos]) || is_array(data[pos]))) return false;
        if (!plain_value(data, size, pos, depth + 1)) return false;
    }
    return true;
}

// A str value decoded as msgpack decodes it (bad bytes replaced); None for
// any other value. `pos` is past it.
Ref str_or_none(const unsigned char* data, Py_ssize_t size, Py_ssize_t& pos) {
    Head h;
    const Py_ssize_t start = pos;
    if (!plain_value(data, size, pos)) return Ref();
    head(data, size, start, h);
    if (!h.is_str) return Ref::borrow(Py_None);
    return Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data + start + h.header),
                                           static_cast<Py_ssize_t>(h.payload), "replace"));
}

// What one list of records tells: the nodeid of its first start_test
// record, the outcome of its first end_test, the message of its first
// "left out" record (each None where that field is not a str).
struct Found {
    bool start = false, end = false, left_out = false;
    Ref nodeid, outcome, message;
};

enum class Step { ok, undecided, failed };

// The fields of one record that the summary reads, as positions of their values.
struct Fields {
    Py_ssize_t type = -1, nodeid = -1, outcome = -1, subtype = -1, message = -1;
};

Step read_records(const unsigned char* data, Py_ssize_t size, Py_ssize_t& pos, uint64_t& count, Found& found) {
    Head list;
    if (head(data, size, pos, list) != Got::value || !is_array(data[pos])) return Step::undecided;
    pos += list.header;
    count = list.children;
    if (count > static_cast<uint64_t>(size - pos)) return Step::undecided;
    for (uint64_t i = 0; i < count; ++i) {
        Head record;
        if (head(data, size, pos, record) != Got::value) return Step::undecided;
        if (!is_map(data[pos])) {
            if (!plain_value(data, size, pos)) return Step::undecided;
            continue;
        }
        Py_ssize_t p = pos + record.header;
        if (record.children > static_cast<uint64_t>(size - p)) return Step::undecided;
        Fields fields;
        for (uint64_t entry = 0; entry < record.children / 2; ++entry) {
            Head key;
            if (head(data, size, p, key) != Got::value || is_map(data[p]) || is_array(data[p])) {
                return Step::undecided;
            }
            // Stepped over first: its bytes are known to be there before they are compared.
            const Py_ssize_t at = p;
            if (!plain_value(data, size, p)) return Step::undecided;
            Py_ssize_t* slot = nullptr;
            if (text_is(data, key, at, "type", 4)) slot = &fields.type;
            else if (text_is(data, key, at, "nodeid", 6)) slot = &fields.nodeid;
            else if (text_is(data, key, at, "outcome", 7)) slot = &fields.outcome;
            else if (text_is(data, key, at, "subtype", 7)) slot = &fields.subtype;
            else if (text_is(data, key, at, "message", 7)) slot = &fields.message;
            if (slot != nullptr) {
                if (*slot >= 0) return Step::undecided;  // a repeated key: the last one would win
                *slot = p;
            }
            if (!plain_value(data, size, p)) return Step::undecided;
        }
        pos = p;
        if (fields.type < 0) continue;
        Head type;
        head(data, size, fields.type, type);
        // Fields that are absent read as None, like dict.get.
        auto field = [&](Py_ssize_t at, Ref& out) -> Step {
            if (at < 0) {
                out = Ref::borrow(Py_None);
                return Step::ok;
            }
            out = str_or_none(data, size, at);
            return out ? Step::ok : PyErr_Occurred() ? Step::failed : Step::undecided;
        };
        Step step = Step::ok;
        if (!found.start && text_is(data, type, fields.type, "start_test", 10)) {
            found.start = true;
            step = field(fields.nodeid, found.nodeid);
        } else if (!found.end && text_is(data, type, fields.type, "end_test", 8)) {
            found.end = true;
            step = field(fields.outcome, found.outcome);
        } else if (!found.left_out && text_is(data, type, fields.type, "ruvo", 4) && fields.subtype >= 0) {
            Head subtype;
            head(data, size, fields.subtype, subtype);
            if (text_is(data, subtype, fields.subtype, "left_out", 8)) {
                found.left_out = true;
                step = field(fields.message, found.message);
            }
        }
        if (step != Step::ok) return step;
    }
    return Step::ok;
}

// An int map key's value, for telling thread keys apart; false for any other key.
bool int_key(const unsigned char* data, const Head& h, Py_ssize_t pos, int64_t& value, bool& unsigned_big) {
    const unsigned char b = data[pos];
    const unsigned char* p = data + pos + h.header;
    unsigned_big = false;
    if (b <= 0x7f) value = b;
    else if (b >= 0xe0) value = static_cast<signed char>(b);
    else if (b >= 0xcc && b <= 0xcf) {
        const uint64_t v = big_endian(p, static_cast<int>(h.payload));
        unsigned_big = v > static_cast<uint64_t>(INT64_MAX);
        value = static_cast<int64_t>(v);
    } else if (b >= 0xd0 && b <= 0xd3) {
        const int n = static_cast<int>(h.payload);
        uint64_t bits = big_endian(p, n);
        if (n < 8 && (bits >> (8 * n - 1)) != 0) bits |= ~uint64_t{0} << (8 * n);
        value = static_cast<int64_t>(bits);
    } else {
        return false;
    }
    return true;
}

// summary(buffer) -> (timestamp, source, main records, [records of each other thread], nodeid, outcome,
// left out message), or None when only decoding can tell
PyObject* summary(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "summary(buffer) takes 1 argument");
        return nullptr;
    }
    View view;
    if (!view.open(args[0])) return nullptr;
    const unsigned char* data = view.data();
    const Py_ssize_t size = view.size();
    Head top;
    if (head(data, size, 0, top) != Got::value || !is_map(data[0])) Py_RETURN_NONE;
    Py_ssize_t pos = top.header;
    if (top.children > static_cast<uint64_t>(size - pos)) Py_RETURN_NONE;
    Ref timestamp = Ref::borrow(Py_None), source = Ref::borrow(Py_None);
    bool seen_timestamp = false, seen_meta = false, seen_main = false, seen_frames = false;
    uint64_t main_count = 0;
    Found main;
    std::unique_ptr<Found[]> threads;
    Ref counts = Ref::steal(PyList_New(0));
    if (!counts) return nullptr;
    uint64_t thread_count = 0;
    for (uint64_t entry = 0; entry < top.children / 2; ++entry) {
        Head key;
        if (head(data, size, pos, key) != Got::value || is_map(data[pos]) || is_array(data[pos])) Py_RETURN_NONE;
        const Py_ssize_t at = pos;
        if (!plain_value(data, size, pos)) Py_RETURN_NONE;
        if (text_is(data, key, at, "timestamp", 9)) {
            if (seen_timestamp) Py_RETURN_NONE;
            seen_timestamp = true;
            Strings strings;
            Py_ssize_t p = pos;
            Head value;
            if (head(data, size, p, value) != Got::value) Py_RETURN_NONE;
            if (!value.is_str && value.children == 0) {
                Ref number = scalar(data, size, p, strings);
                if (number) timestamp = std::move(number);
                else if (PyErr_Occurred()) return nullptr;
            }
            if (!plain_value(data, size, pos)) Py_RETURN_NONE;
        } else if (text_is(data, key, at, "meta", 4)) {
            if (seen_meta) Py_RETURN_NONE;
            seen_meta = true;
            Head meta;
            if (head(data, size, pos, meta) != Got::value) Py_RETURN_NONE;
            if (!is_map(data[pos])) {
                if (!plain_value(data, size, pos)) Py_RETURN_NONE;
                continue;
            }
            pos += meta.header;
            if (meta.children > static_cast<uint64_t>(size - pos)) Py_RETURN_NONE;
            bool seen_source = false;
            for (uint64_t field = 0; field < meta.children / 2; ++field) {
                Head name;
                if (head(data, size, pos, name) != Got::value || is_map(data[pos]) || is_array(data[pos])) {
                    Py_RETURN_NONE;
                }
                const Py_ssize_t at_name = pos;
                if (!plain_value(data, size, pos)) Py_RETURN_NONE;
                const bool is_source = text_is(data, name, at_name, "source", 6);
                if (is_source) {
                    if (seen_source) Py_RETURN_NONE;
                    seen_source = true;
                    source = str_or_none(data, size, pos);
                    if (!source) {
                        if (PyErr_Occurred()) return nullptr;
                        Py_RETURN_NONE;
                    }
                } else if (!plain_value(data, size, pos)) {
                    Py_RETURN_NONE;
                }
            }
        } else if (text_is(data, key, at, "frames_of_interest", 18)) {
            if (seen_main) Py_RETURN_NONE;
            seen_main = true;
            Step step = read_records(data, size, pos, main_count, main);
            if (step == Step::failed) return nullptr;
            if (step == Step::undecided) Py_RETURN_NONE;
        } else if (text_is(data, key, at, "frames", 6)) {
            if (seen_frames) Py_RETURN_NONE;
            seen_frames = true;
            Head frames;
            if (head(data, size, pos, frames) != Got::value || !is_map(data[pos])) Py_RETURN_NONE;
            pos += frames.header;
            thread_count = frames.children / 2;
            if (frames.children > static_cast<uint64_t>(size - pos)) Py_RETURN_NONE;
            threads.reset(new (std::nothrow) Found[thread_count ? thread_count : 1]);
            std::unique_ptr<int64_t[]> ids(new (std::nothrow) int64_t[thread_count ? thread_count : 1]);
            std::unique_ptr<bool[]> big(new (std::nothrow) bool[thread_count ? thread_count : 1]);
            if (!threads || !ids || !big) return PyErr_NoMemory();
            for (uint64_t t = 0; t < thread_count; ++t) {
                Head id;
                const Py_ssize_t at_id = pos;
                if (head(data, size, pos, id) != Got::value || !plain_value(data, size, pos) ||
                    !int_key(data, id, at_id, ids[t], big[t])) {
                    Py_RETURN_NONE;
                }
                for (uint64_t other = 0; other < t; ++other) {
                    if (ids[other] == ids[t] && big[other] == big[t]) Py_RETURN_NONE;  // a repeated thread
                }
                uint64_t records = 0;
                Step step = read_records(data, size, pos, records, threads[t]);
                if (step == Step::failed) return nullptr;
                if (step == Step::undecided) Py_RETURN_NONE;
                Ref number = Ref::steal(PyLong_FromUnsignedLongLong(records));
                if (!number || PyList_Append(counts.get(), number.get()) < 0) return nullptr;
            }
        } else if (!plain_value(data, size, pos)) {
            Py_RETURN_NONE;
        }
    }
    if (pos != size) Py_RETURN_NONE;  // bytes after the document: decoding fails
    // The main thread's records first, then the other threads' in their order.
    auto first = [&](bool Found::*has, Ref Found::*field) -> PyObject* {
        if (main.*has) return (main.*field).get();
        for (uint64_t t = 0; t < thread_count; ++t) {
            if (threads[t].*has) return (threads[t].*field).get();
        }
        return Py_None;
    };
    PyObject* message = main.left_out ? main.message.get() : Py_None;
    return Py_BuildValue("(OOKOOOO)", timestamp.get(), source.get(), static_cast<unsigned long long>(main_count),
                         counts.get(), first(&Found::start, &Found::nodeid), first(&Found::end, &Found::outcome),
                         message);
}

PyMethodDef METHODS[] = {
    {"skim", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(skim)), METH_FASTCALL,
     "skim(buffer, pos, count, keys) -> (records, pos)\n\nUp to count records from pos: a dict of the fields named "
     "in keys for each frame record whose fields are plain scalars, the raw bytes of any other; stops early where "
     "the buffer ends inside a record."},
    {"skip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(skip_value)), METH_FASTCALL,
     "skip(buffer, pos) -> int\n\nThe end of the value at pos, or -1 if the buffer ends inside it."},
    {"header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(header)), METH_FASTCALL,
     "header(buffer, pos) -> (kind, entries, pos) or None\n\nWhat the value at pos is: a map or an array with its "
     "entries and the position after its header, or another value (at pos)."},
    {"summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(summary)), METH_FASTCALL,
     "summary(buffer) -> tuple or None\n\nWhat a whole document holds at a glance (timestamp, source, main "
     "records, other threads' records, nodeid, outcome, left out message), as decoding it would tell; None "
     "where only decoding can tell."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_skim", "Reads the records of stored trace documents.", -1, METHODS,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace ruvo::skim

PyMODINIT_FUNC PyInit__skim() { return PyModule_Create(&ruvo::skim::MODULE); }
