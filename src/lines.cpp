#include "lines.hpp"

#include <cstdint>

namespace ruvo {

namespace {

// Direct-mapped: (code, instruction offset) -> line. A code object's line
// table never changes; each entry holds its code object, so that a freed
// one's address cannot come back with another table. Guarded by the
// interpreter lock; never freed (it would outlive the interpreter).
struct LineEntry {
    PyObject* code = nullptr;
    int offset = 0;
    int line = 0;
};
constexpr size_t LINE_SLOTS = 1024;
LineEntry line_cache[LINE_SLOTS];

}  // namespace

int frame_line(PyFrameObject* frame) {
    PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
    int offset = PyFrame_GetLasti(frame);        // -1 before the first instruction
    auto key = reinterpret_cast<uintptr_t>(code);
    size_t slot = ((key >> 4) ^ (static_cast<uintptr_t>(static_cast<unsigned>(offset)) * 0x9E3779B1u)) % LINE_SLOTS;
    LineEntry& entry = line_cache[slot];
    if (entry.code == reinterpret_cast<PyObject*>(code) && entry.offset == offset) {
        Py_DECREF(code);
        return entry.line;
    }
    int line = PyCode_Addr2Line(code, offset);
    PyObject* previous = entry.code;
    entry = LineEntry{reinterpret_cast<PyObject*>(code), offset, line};  // takes the new reference
    Py_XDECREF(previous);
    return line;
}

}  // namespace ruvo
