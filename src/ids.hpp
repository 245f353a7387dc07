// Timestamps from the real-time clock, and frame and trace ids (ULIDs).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ruvo {

// Seconds since the Unix epoch from the real-time clock.
std::optional<double> timestamp();

// "frm_" or "trc_" and 26 Crockford base-32 characters. Fixed size, so ids
// are copied around without touching the heap.
using Id = std::array<char, 30>;
inline std::string_view id_view(const Id& id) { return {id.data(), id.size()}; }

// ULID text of a 128-bit value given as its top 64 and bottom 64 bits.
void ulid_text(uint64_t high, uint64_t low, char out[26]);
// A new id with the given four-character prefix ("frm_" or "trc_").
Id new_id(const char prefix[4]);
// Resets the per-thread generators in a forked child.
void install_fork_handler();

}  // namespace ruvo
