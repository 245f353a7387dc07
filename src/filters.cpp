#include "filters.hpp"

#include <cstring>

#include "call_site.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "ids.hpp"
#include "msgpack.hpp"
#include "names.hpp"
#include "paths.hpp"
#include "qualname.hpp"
#include "serializer.hpp"

namespace ruvo {

bool Finder::occurs_in(std::string_view haystack) const {
    if (needle_.empty()) return true;
    if (needle_.size() > haystack.size()) return false;
    return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
}

std::vector<Finder> build_finders(std::vector<std::string> texts) {
    std::vector<Finder> finders;
    finders.reserve(texts.size());
    for (std::string& text : texts) finders.emplace_back(std::move(text));
    return finders;
}

namespace {

std::vector<Finder> finders_of(std::initializer_list<const char*> needles) {
    std::vector<std::string> texts(needles.begin(), needles.end());
    return build_finders(std::move(texts));
}

// Built on first use; function-local statics are initialised exactly once
// even when several threads get here together.
const std::vector<Finder>& LIBRARY_FINDERS() {
    static const std::vector<Finder> finders = finders_of({"lib/python", "/site-packages/"});
    return finders;
}

const std::vector<Finder>& RUVO_FINDERS() {
    static const std::vector<Finder> finders = finders_of({
        "/ruvo/config.py",
        "/ruvo/db.py",
        "/ruvo/django_schema.py",
        "/ruvo/filters/",
        "/ruvo/generate_tests/",
        "/ruvo/git.py",
        "/ruvo/__init__.py",
        "/ruvo/__main__.py",
        "/ruvo/middleware.py",
        "/ruvo/profiler.py",
        "/ruvo/pytest_plugin.py",
        "/ruvo/serialize.py",
        "/ruvo/utils.py",
        "/ruvo/version.py",
        // The package's other files; each new one is added here (a test
        // checks that every file of the package is covered).
        "/ruvo/plugins.py",
        "/ruvo/db/",
        "/ruvo/decode.py",
        "/ruvo/model.py",
        "/ruvo/stream.py",
        "/ruvo/summary.py",
        "/ruvo/checks.py",
        "/ruvo/terminal.py",
        "/ruvo/search.py",
        "/ruvo/cli/",
        "/ruvo/render/",
        "/ruvo/viewer/",
        "/ruvo/diff.py",
        "/ruvo/failure.py",
    });
    return finders;
}

const Finder& FROZEN_FINDER() {
    static const Finder finder("<frozen ");
    return finder;
}

const Finder& EXEC_FINDER() {
    static const Finder finder("<string>");
    return finder;
}

constexpr std::string_view PYTEST_EXPRESSION = "<pytest match expression>";
constexpr std::string_view ATTRS_PREFIX = "<attrs generated";
constexpr std::string_view ATTRS_MAKE_SUFFIX = "attr/_make.py";

bool any_occurs(const std::vector<Finder>& finders, std::string_view name) {
    for (const Finder& finder : finders) {
        if (finder.occurs_in(name)) return true;
    }
    return false;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The file name of a frame's code, read as the attrs test reads it.
bool code_filename_of(PyObject* frame, std::string* out) {
    Ref code = Ref::steal(PyObject_GetAttr(frame, NAMES.f_code));
    if (!code) {
        set_internal_error("A frame has a code object.");
        return false;
    }
    Ref filename = Ref::steal(PyObject_GetAttr(code.get(), NAMES.co_filename));
    if (!filename) {
        set_internal_error("A code object has a filename.");
        return false;
    }
    if (!text_for_trace(filename.get(), out)) {
        set_internal_error("A filename is a string.");
        return false;
    }
    return true;
}

Py_ssize_t code_extra_index = -1;

#if PY_VERSION_HEX >= 0x030C0000
Py_ssize_t request_code_extra_index() { return PyUnstable_Eval_RequestCodeExtraIndex(nullptr); }
int get_code_extra(PyObject* code, void** extra) { return PyUnstable_Code_GetExtra(code, code_extra_index, extra); }
int set_code_extra(PyObject* code, void* extra) { return PyUnstable_Code_SetExtra(code, code_extra_index, extra); }
#else
Py_ssize_t request_code_extra_index() { return _PyEval_RequestCodeExtraIndex(nullptr); }
int get_code_extra(PyObject* code, void** extra) { return _PyCode_GetExtra(code, code_extra_index, extra); }
int set_code_extra(PyObject* code, void* extra) { return _PyCode_SetExtra(code, code_extra_index, extra); }
#endif

}  // namespace

Verdict decide_by_filename(std::string_view filename, const std::vector<Finder>& include_frames,
                           const std::vector<Finder>& ignore_frames) {
    // An include match overrides every skip rule, so nothing else matters then.
    if (any_occurs(include_frames, filename)) return Verdict::Record;
    bool skip = any_occurs(LIBRARY_FINDERS(), filename) || FROZEN_FINDER().occurs_in(filename) ||
                any_occurs(RUVO_FINDERS(), filename) || EXEC_FINDER().occurs_in(filename) ||
                filename == PYTEST_EXPRESSION || filename.substr(0, ATTRS_PREFIX.size()) == ATTRS_PREFIX ||
                any_occurs(ignore_frames, filename);
    return skip ? Verdict::Skip : Verdict::RecordUnlessAttrs;
}

namespace {

// The interpreter's own frames: the caller and its code read through the
// frame API, with the same results as the attributes and no lookups.
bool attrs_caller_test_real(PyFrameObject* frame, bool* holds) {
    *holds = false;
    PyFrameObject* caller = PyFrame_GetBack(frame);
    for (int level = 0; caller != nullptr && level < 2; ++level) {
        Ref owned_caller = Ref::steal(reinterpret_cast<PyObject*>(caller));
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(caller)));
        TraceText filename;
        if (!filename.set(reinterpret_cast<PyCodeObject*>(code.get())->co_filename)) {
            set_internal_error("A filename is a string.");
            return false;
        }
        if (!filename.view().empty()) {
            *holds = ends_with(filename.view(), ATTRS_MAKE_SUFFIX);
            return true;
        }
        // Code with an empty file name runs on behalf of its own caller.
        caller = level == 0 ? PyFrame_GetBack(caller) : nullptr;
    }
    return true;
}

}  // namespace

bool attrs_caller_test(PyObject* frame, bool* holds) {
    if (PyFrame_Check(frame)) return attrs_caller_test_real(reinterpret_cast<PyFrameObject*>(frame), holds);
    *holds = false;
    Ref caller = Ref::steal(PyObject_GetAttr(frame, NAMES.f_back));
    if (!caller) {
        set_internal_error("A frame has an `f_back` attribute.");
        return false;
    }
    if (caller.get() == Py_None) return true;
    std::string filename;
    if (!code_filename_of(caller.get(), &filename)) return false;
    if (filename.empty()) {
        // Code with an empty file name runs on behalf of its own caller.
        Ref grand_caller = Ref::steal(PyObject_GetAttr(caller.get(), NAMES.f_back));
        if (!grand_caller) {
            set_internal_error("A frame has an `f_back` attribute.");
            return false;
        }
        if (grand_caller.get() == Py_None) return true;
        if (!code_filename_of(grand_caller.get(), &filename)) return false;
    }
    *holds = ends_with(filename, ATTRS_MAKE_SUFFIX);
    return true;
}

void init_code_cache() {
    if (code_extra_index >= 0) return;
    // No free function: the word stored is a plain number, not a pointer.
    code_extra_index = request_code_extra_index();
    if (code_extra_index < 0) PyErr_Clear();  // every slot taken: run without the cache
}

uintptr_t cached_code_info(PyObject* code) {
    void* extra = nullptr;
    if (code_extra_index < 0 || get_code_extra(code, &extra) != 0) {
        PyErr_Clear();
        return 0;
    }
    return reinterpret_cast<uintptr_t>(extra);
}

void store_code_info(PyObject* code, uintptr_t info) {
    if (code_extra_index < 0) return;
    if (set_code_extra(code, reinterpret_cast<void*>(info)) != 0) PyErr_Clear();
}

bool frame_is_recorded(Verdict verdict, PyObject* frame, bool* recorded) {
    *recorded = verdict == Verdict::Record;
    if (verdict != Verdict::RecordUnlessAttrs) return true;
    bool attrs = false;
    if (!attrs_caller_test(frame, &attrs)) return false;
    *recorded = !attrs;
    return true;
}

}  // namespace ruvo
