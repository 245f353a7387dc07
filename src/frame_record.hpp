// The frame record of a recorded frame: gathered from the frame, written as
// one MessagePack map, and filed with the event's other records.
#pragma once

#include <string_view>

#include "state.hpp"

namespace ruvo {

// Gathers and writes the frame record of a recorded frame, then files the
// event's records. Without values, "arg" and "locals" hold the marker that
// says why (see Values). False with the error set when the event has to be dropped.
// What a frame record carries for its values.
enum class Values { Kept, LeftForBudget, Dropped };

bool process_frame(ProfilerState& state, ThreadData& thread, PyObject* frame, PyObject* arg, bool is_call,
                   std::string_view filename, std::string_view co_name, Values values);

}  // namespace ruvo
