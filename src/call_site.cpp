#include "call_site.hpp"

#include <algorithm>

#include "convert.hpp"
#include "errors.hpp"
#include "lines.hpp"
#include "names.hpp"

namespace ruvo {

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

void pop_call_frame(std::vector<CallFrame>& stack, PyObject* frame) {
    if (stack.empty() || stack.back().frame.get() != frame) return;
    // Out of the vector before the reference goes: dropping a frame can run
    // Python code (finalisers of its locals), and the collector may walk the
    // stack meanwhile.
    CallFrame top = std::move(stack.back());
    stack.pop_back();
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

namespace {

// The search over the topmost entries, `top[0]` being the top of the stack.
bool call_site_of(const CallFrame* const* top, int size, const Id* frame_id, std::optional<UserCodeCallSite>* out) {
    out->reset();
    if (frame_id == nullptr) return true;
    const CallFrame* site = nullptr;
    for (int i = 0; i < size; ++i) {
        if (top[i]->id != *frame_id) {
            site = top[i];
            break;
        }
    }
    if (site == nullptr) return true;
    PyObject* frame = site->frame.get();
    if (!PyFrame_Check(frame)) {
        set_conversion_error(frame, "PyFrame");
        return false;
    }
    // What the frame's f_lineno gives (the calling frame is not in a trace
    // callback); no line (None there) is refused as None would be.
    int line = frame_line(reinterpret_cast<PyFrameObject*>(frame));
    if (line < 0) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object cannot be interpreted as an integer");
        return false;
    }
    *out = UserCodeCallSite{site->id, static_cast<int32_t>(line)};
    return true;
}

}  // namespace

bool user_code_call_site(CallSiteSnapshot snapshot, const Id* frame_id,
                         std::optional<UserCodeCallSite>* out) {
    const CallFrame* top[2] = {&snapshot.entries[0], &snapshot.entries[1]};
    return call_site_of(top, snapshot.size, frame_id, out);
}

bool user_code_call_site(const std::vector<CallFrame>& stack, const Id* frame_id,
                         std::optional<UserCodeCallSite>* out) {
    size_t n = stack.size();
    const CallFrame* top[2] = {n > 0 ? &stack[n - 1] : nullptr, n > 1 ? &stack[n - 2] : nullptr};
    return call_site_of(top, static_cast<int>(std::min<size_t>(n, 2)), frame_id, out);
}

}  // namespace ruvo
