#include "args.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace ruvo {

bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::initializer_list<const char*> names, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    std::fill(out, out + count, nullptr);
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function, count,
                     count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) break;
            ++index;
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, key);
            return false;
        }
        out[index] = args[nargs + k];
    }
    std::vector<std::string> missing;
    Py_ssize_t index = 0;
    for (const char* name : names) {
        if (out[index++] == nullptr) missing.push_back(std::string("'") + name + "'");
    }
    if (!missing.empty()) {
        std::string list = missing[0];
        for (size_t i = 1; i < missing.size(); ++i) {
            list += (i + 1 == missing.size() ? (missing.size() > 2 ? ", and " : " and ") : ", ") + missing[i];
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function,
                     missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
        return false;
    }
    return true;
}

}  // namespace ruvo
