// Conversions of Python values to booleans, integers and UTF-8 texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "refs.hpp"

namespace ruvo {

// True/False, or an object whose type is named "numpy.bool_".
bool extract_bool(PyObject* obj, bool* out);
// An int or an __index__ object in 0..2**64-1.
bool extract_u64(PyObject* obj, uint64_t* out);
// A str (or subclass), through its UTF-8 form; no UTF-8 form is an error.
bool extract_text(PyObject* obj, std::string* out);
// A sequence of str that is not itself a str. With `for_trace`, items are
// taken as text_for_trace takes them (used for texts that only go into a
// trace, such as the command line).
bool extract_text_list(PyObject* obj, std::vector<std::string>* out, bool for_trace = false);
// The UTF-8 form of a str that must go into a trace whatever it holds: lone
// surrogates (undecodable file names, odd thread names) are written as
// backslash escapes instead of making the document unreadable. Returns false
// only when `obj` is not a str or memory runs out.
bool text_for_trace(PyObject* obj, std::string* out);

// The same text as a view: the interpreter's own cached UTF-8 form when the
// str has one (no copy), an escaped copy otherwise. Valid while the str lives.
class TraceText {
  public:
    bool set(PyObject* obj) {
        // An ASCII str is its own UTF-8 form: names and paths almost always are.
        if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
            view_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                     static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
            return true;
        }
        return set_other(obj);
    }
    std::string_view view() const { return view_; }

  private:
    bool set_other(PyObject* obj);
    std::string_view view_;
    std::string owned_;
};

}  // namespace ruvo
