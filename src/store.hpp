// Record storage: the records of an event, the per-thread stores they are
// filed into, and the cut of a trace at test boundaries.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "msgpack.hpp"

namespace ruvo {

// One record of an event: its type ("frame" or the plugin's) and its bytes.
struct EventRecord {
    std::string type;  // short types such as "frame" live inside the string itself
    Buffer bytes;
};

// Encoded records, kept back to back in chunks. Records are only ever copied
// out whole and in order, into a trace document, so a record may straddle
// two chunks; memory stays close to the encoded size however many records
// there are.
class RecordStore {
  public:
    // Appends records [begin, end) in order; all or nothing (throws
    // std::bad_alloc with the store unchanged).
    void append(const std::vector<EventRecord>& records, size_t begin, size_t end);
    size_t count() const { return count_; }
    size_t size() const { return bytes_; }
    void copy_to(char* out) const;

  private:
    struct Chunk {
        std::unique_ptr<char[]> data;
        size_t used;
        size_t capacity;
    };
    std::vector<Chunk> chunks_;
    size_t count_ = 0;
    size_t bytes_ = 0;
};

struct ProfilerState;
struct ThreadData;

// Files one event's records (reversed on a return, so that they nest like
// the calls) under the thread, cutting and saving the trace at test markers
// in one-trace-per-test mode. False with the error set.
bool push_frames(ProfilerState& state, ThreadData& thread, bool is_call, std::vector<EventRecord>& records);

// A new trace starts (a test's, or a forked child's own): a new trace id, and
// everything stored so far is dropped. False with the error set.
bool start_new_trace(ProfilerState& state);

}  // namespace ruvo
