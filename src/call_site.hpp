// Thread identity, the per-thread stack of recorded calls, and the call site
// in the calling user code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ids.hpp"
#include "refs.hpp"

namespace ruvo {

struct ThreadIdentity {
    std::string name;
    std::optional<uint64_t> native_id;
};
bool current_thread(ThreadIdentity* out);

struct CallFrame {
    Ref frame;
    Id id;
    // Whether the call's record carries values, so that its return does too.
    bool with_values = true;
};

// Takes a returning frame's entry off the thread's stack of recorded calls.
// A return pops only its own frame: a call that failed to record, or a
// return whose call was never seen, must not take the caller's entry.
void pop_call_frame(std::vector<CallFrame>& stack, PyObject* frame);

// The two topmost entries of a thread's call-frame stack: all that the call
// site search ever looks at, so that is all that is copied.
struct CallSiteSnapshot {
    CallFrame entries[2];  // entries[0] is the top of the stack
    int size = 0;
};
CallSiteSnapshot snapshot_top(const std::vector<CallFrame>& stack);

struct UserCodeCallSite {
    Id call_frame_id;
    int32_t line_number;
};
// false with an error set, or true with `out` empty or filled.
bool user_code_call_site(CallSiteSnapshot snapshot, const Id* frame_id,
                         std::optional<UserCodeCallSite>* out);
// The same read from the stack itself, for callers that run no Python code
// between taking the stack and using the result.
bool user_code_call_site(const std::vector<CallFrame>& stack, const Id* frame_id,
                         std::optional<UserCodeCallSite>* out);

}  // namespace ruvo
