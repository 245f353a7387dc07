// The trace document: built from the stored records (which it takes out) and
// returned as bytes, or handed to ruvo.db to be saved.
#pragma once

#include <string>

#include "refs.hpp"
#include "state.hpp"

namespace ruvo {

// The document of everything stored since the last build or save, as bytes.
// Empty with the error set.
Ref build_trace_inner(ProfilerState& state);

// Builds the document and hands it to ruvo.db's saver. False with the error set.
bool save_in_db(ProfilerState& state);

// The current trace id. False with the error set (a poisoned lock).
bool copy_trace_id(ProfilerState& state, std::string* out);

}  // namespace ruvo
