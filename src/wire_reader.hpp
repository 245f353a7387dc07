// Steps over MessagePack values: the one value-skipping reader of every
// native user (the core's record check, ruvo._skim). Header-only, so that
// _skim needs no core. Positions are byte offsets into `data`.
#pragma once

#include <Python.h>

#include <cstdint>

namespace ruvo::wire {

enum class Got { value, incomplete, malformed };

inline uint64_t big_endian(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// The shape of the value at `pos`: the bytes of its header, the bytes of
// payload that follow the header, and how many values it contains (two per
// map entry).
struct Head {
    Py_ssize_t header = 1;
    uint64_t payload = 0;
    uint64_t children = 0;
    bool is_str = false;
};

inline Got head(const unsigned char* data, Py_ssize_t size, Py_ssize_t pos, Head& h) {
    if (pos >= size) return Got::incomplete;
    const unsigned char b = data[pos];
    h = Head{};
    // Lengths that follow the type byte: 1, 2 or 4 bytes.
    auto sized = [&](int n, uint64_t extra) -> Got {
        if (size - pos < 1 + n) return Got::incomplete;
        h.header = 1 + n;
        h.payload = big_endian(data + pos + 1, n) + extra;
        return Got::value;
    };
    auto counted = [&](int n, uint64_t per) -> Got {
        if (size - pos < 1 + n) return Got::incomplete;
        h.header = 1 + n;
        h.children = big_endian(data + pos + 1, n) * per;
        return Got::value;
    };
    if (b <= 0x7f || b >= 0xe0) return Got::value;
    if (b <= 0x8f) {
        h.children = 2u * (b & 0x0f);
        return Got::value;
    }
    if (b <= 0x9f) {
        h.children = b & 0x0f;
        return Got::value;
    }
    if (b <= 0xbf) {
        h.payload = b & 0x1f;
        h.is_str = true;
        return Got::value;
    }
    switch (b) {
        case 0xc0: case 0xc2: case 0xc3: return Got::value;
        case 0xc1: return Got::malformed;
        case 0xc4: return sized(1, 0);
        case 0xc5: return sized(2, 0);
        case 0xc6: return sized(4, 0);
        case 0xc7: return sized(1, 1);  // the extension's type byte
        case 0xc8: return sized(2, 1);
        case 0xc9: return sized(4, 1);
        case 0xca: h.payload = 4; return Got::value;
        case 0xcb: h.payload = 8; return Got::value;
        case 0xcc: case 0xd0: h.payload = 1; return Got::value;
        case 0xcd: case 0xd1: h.payload = 2; return Got::value;
        case 0xce: case 0xd2: h.payload = 4; return Got::value;
        case 0xcf: case 0xd3: h.payload = 8; return Got::value;
        case 0xd4: h.payload = 2; return Got::value;
        case 0xd5: h.payload = 3; return Got::value;
        case 0xd6: h.payload = 5; return Got::value;
        case 0xd7: h.payload = 9; return Got::value;
        case 0xd8: h.payload = 17; return Got::value;
        case 0xd9: h.is_str = true; return sized(1, 0);
        case 0xda: h.is_str = true; return sized(2, 0);
        case 0xdb: h.is_str = true; return sized(4, 0);
        case 0xdc: return counted(2, 1);
        case 0xdd: return counted(4, 1);
        case 0xde: return counted(2, 2);
        default: return counted(4, 2);  // 0xdf
    }
}

// Steps `pos` over one whole value (or to the bad byte). Iterative, so that a hostile nesting
// depth costs no stack.
inline Got skip(const unsigned char* data, Py_ssize_t size, Py_ssize_t& pos) {
    uint64_t pending = 1;
    Py_ssize_t p = pos;
    while (pending != 0) {
        Head h;
        Got got = head(data, size, p, h);
        if (got == Got::malformed) pos = p;  // where it went wrong, for the message
        if (got != Got::value) return got;
        if (static_cast<uint64_t>(size - p) < h.header + h.payload) return Got::incomplete;
        p += h.header + static_cast<Py_ssize_t>(h.payload);
        pending = pending - 1 + h.children;
        // Each value takes at least a byte: more than the bytes left means
        // the buffer ends first (and keeps `pending` far from overflow).
        if (pending > static_cast<uint64_t>(size - p)) return Got::incomplete;
    }
    pos = p;
    return Got::value;
}

}  // namespace ruvo::wire
