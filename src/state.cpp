#include "state.hpp"

#include "fork.hpp"

namespace ruvo {

ProfilerState::~ProfilerState() {
    stop_following_forks(this);
    // Owned fields go in this order; the Python references among them
    // (plugin callables and contexts, frames on the call stacks) are released
    // with the interpreter lock held, by the instance's deallocation.
    db_path = std::string();
    trace_id = std::string();
    frames_of_interest = RecordStore();
    frames.clear();
    include_frames.clear();
    ignore_frames.clear();
    plugins.clear();
    for (auto& entry : threads) entry.second->call_frames.clear();
    for (auto& entry : threads) entry.second->frame_ids.clear();
    for (auto& entry : threads) entry.second->identity.reset();
    source = std::string();
}

ThreadData& thread_data(ProfilerState& state) {
    uint64_t key = PyThreadState_GetID(PyThreadState_Get());
    if (state.last_thread != nullptr && state.last_thread_key == key) return *state.last_thread;
    std::unique_ptr<ThreadData>& slot = state.threads[key];
    if (!slot) slot = std::make_unique<ThreadData>();
    state.last_thread_key = key;
    state.last_thread = slot.get();
    return *slot;
}

}  // namespace ruvo
