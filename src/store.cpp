#include "store.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "budget.hpp"
#include "document.hpp"
#include "errors.hpp"
#include "state.hpp"

#ifdef RUVO_TESTING
// Test builds only: chunk allocations still to fail as if memory had run
// out, so that tests can check that a store survives it (they set it through
// the core's symbol). Guarded by the interpreter lock.
extern "C" {
__attribute__((visibility("default"))) int ruvo_failing_store_allocations = 0;
}
#endif

namespace ruvo {

void RecordStore::append(const std::vector<EventRecord>& records, size_t begin, size_t end) {
    constexpr size_t MIN_CHUNK = 4096;
    constexpr size_t MAX_CHUNK = 1 << 20;
    // The usual event: one record that fits the last chunk.
    if (end - begin == 1 && !chunks_.empty()) {
        Chunk& last = chunks_.back();
        std::string_view record = records[begin].bytes.view();
        if (last.capacity - last.used >= record.size()) {
            std::memcpy(last.data.get() + last.used, record.data(), record.size());
            last.used += record.size();
            bytes_ += record.size();
            ++count_;
            return;
        }
    }
    size_t needed = 0;
    for (size_t i = begin; i < end; ++i) needed += records[i].bytes.size();
    // Every allocation comes first, so that running out of memory leaves the
    // store exactly as it was: the event is dropped, the store stays usable.
    size_t room = chunks_.empty() ? 0 : chunks_.back().capacity - chunks_.back().used;
    std::vector<Chunk> fresh;
    size_t bytes = bytes_ + room;
    while (room < needed) {
        // Chunks grow with the store, so a small store stays small and a
        // large one wastes at most one chunk.
        size_t capacity = std::clamp(bytes, MIN_CHUNK, MAX_CHUNK);
#ifdef RUVO_TESTING
        if (ruvo_failing_store_allocations > 0 && ruvo_failing_store_allocations-- > 0) throw std::bad_alloc();
#endif
        fresh.push_back(Chunk{std::unique_ptr<char[]>(new char[capacity]), 0, capacity});
        room += capacity;
        bytes += capacity;
    }
    chunks_.reserve(chunks_.size() + fresh.size());
    for (Chunk& chunk : fresh) chunks_.push_back(std::move(chunk));
    // From here on nothing can fail.
    size_t current = chunks_.size() - fresh.size();
    if (current > 0 && chunks_[current - 1].used < chunks_[current - 1].capacity) --current;
    for (size_t i = begin; i < end; ++i) {
        std::string_view record = records[i].bytes.view();
        while (!record.empty()) {
            Chunk& chunk = chunks_[current];
            size_t n = std::min(record.size(), chunk.capacity - chunk.used);
            std::memcpy(chunk.data.get() + chunk.used, record.data(), n);
            chunk.used += n;
            bytes_ += n;
            record.remove_prefix(n);
            if (chunk.used == chunk.capacity) ++current;
        }
        ++count_;
    }
}

void RecordStore::copy_to(char* out) const {
    for (const Chunk& chunk : chunks_) {
        std::memcpy(out, chunk.data.get(), chunk.used);
        out += chunk.used;
    }
}

namespace {

// Appends records [begin, end) of one event to the store of its thread. An
// allocation failure drops the event and leaves the store as it was.
bool push_frame_data(ProfilerState& state, std::optional<uint64_t> native_id, std::vector<EventRecord>& records,
                     size_t begin, size_t end) {
    bool main_store = !native_id || !state.threading ||
                      (state.main_thread_native_id && *state.main_thread_native_id == *native_id);
    std::optional<PoisonMutex::Guard> guard;
    try {
        if (main_store) {
            if (!take_lock(state.frames_of_interest_lock, guard, "the frames_of_interest lock is poisoned")) {
                return false;
            }
            state.frames_of_interest.append(records, begin, end);
        } else {
            if (!take_lock(state.frames_lock, guard, "the frames lock is poisoned")) return false;
            auto found = state.frames.find(*native_id);
            if (found != state.frames.end()) {
                found->second.append(records, begin, end);
            } else {
                RecordStore store;
                store.append(records, begin, end);
                state.frames.emplace(*native_id, std::move(store));
            }
        }
    } catch (const std::bad_alloc&) {
        guard.reset();  // released normally: nothing was changed
        PyErr_NoMemory();
        return false;
    }
    for (size_t i = begin; i < end; ++i) state.left_out.stored_bytes += records[i].bytes.size();
    return true;
}

}  // namespace

bool start_new_trace(ProfilerState& state) {
    Id trace_id = new_id("trc_");
    std::optional<PoisonMutex::Guard> trace_id_guard, foi_guard, frames_guard;
    if (!take_lock(state.trace_id_lock, trace_id_guard, "the trace_id lock is poisoned")) return false;
    if (!take_lock(state.frames_of_interest_lock, foi_guard, "the frames_of_interest lock is poisoned")) return false;
    if (!take_lock(state.frames_lock, frames_guard, "the frames lock is poisoned")) return false;
    state.trace_id.assign(id_view(trace_id));
    state.frames_of_interest = RecordStore();
    state.frames.clear();
    reset_left_out(state);
    // Guards release in reverse: frames, frames_of_interest, trace_id.
    frames_guard.reset();
    foi_guard.reset();
    return true;
}

bool push_frames(ProfilerState& state, ThreadData& thread, bool is_call, std::vector<EventRecord>& records) {
    if (records.empty()) return true;
    // Records of a return nest inside those of its call.
    if (!is_call) std::reverse(records.begin(), records.end());
    if (!thread.identity) {
        ThreadIdentity identity;
        if (!current_thread(&identity)) return false;
        thread.identity = std::move(identity);
    }
    std::optional<uint64_t> native_id = thread.identity->native_id;
    size_t pending = 0;
    if (state.one_trace_per_test) {
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].type == "end_test") {
                if (!push_frame_data(state, native_id, records, pending, i + 1)) return false;
                pending = i + 1;
                if (!save_in_db(state)) return false;
            } else if (records[i].type == "start_test") {
                pending = i;  // what came before the marker belongs to no test
                if (!start_new_trace(state)) return false;
            }
        }
    }
    return push_frame_data(state, native_id, records, pending, records.size());
}

}  // namespace ruvo
