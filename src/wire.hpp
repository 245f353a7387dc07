// The value format's shared facts: the MessagePack extension codes ruvo
// writes and the default bounds of a recorded value. Every writer and reader
// takes them from here; ruvo._serialize exports them to Python (and through
// it to the viewer). docs/values.md describes the format for people who
// decode traces themselves.
#pragma once

#include <cstdint>

namespace ruvo::wire {

enum Ext : uint8_t {
    EXT_REPR = 1,       // [type_name, text] or [type_name, text, original_length]
    EXT_BIGINT = 2,     // ASCII digits of an int outside 64 bits
    EXT_OPAQUE = 3,     // type_name: an object by its type alone (lightweight values)
    EXT_RECURSION = 4,  // type_name: a container met again inside itself
    EXT_OMITTED = 5,    // count of items left out
    EXT_CLIPPED = 6,    // [prefix, original_length]
    EXT_TOO_DEEP = 7,   // [type_name, length]
    EXT_DROPPED = 8,    // empty: left out at the value's size limit
    EXT_FAILED = 9,     // empty: could not be written at all
    EXT_OBJECT = 10,    // [type_name, {attribute: value}]: an object's own state
    EXT_TYPED = 11,     // [type_name, value]: a tuple, set, frozenset or subclass of a builtin
    EXT_NAMED = 12,     // [kind, name]: a function, class, module or method, by name
    EXT_ENUM = 13,      // [type_name, member_name]
    EXT_BUDGET = 16,    // empty: left out for the trace's budget
};

// Default bounds of one recorded value. Objects two deep: an object's
// attributes, and theirs, but not an object graph (a model's manager, a
// request's application).
struct DefaultLimits {
    static constexpr int64_t max_items = 100;
    static constexpr int64_t max_depth = 64;
    static constexpr int64_t max_str_bytes = 4 * 1024;
    static constexpr int64_t max_total_bytes = 16 * 1024;
    static constexpr int64_t max_repr_chars = 500;
    static constexpr int64_t object_depth = 2;
    static constexpr int64_t light_max_items = 16;
    static constexpr int64_t light_max_str = 64;
};

}  // namespace ruvo::wire
