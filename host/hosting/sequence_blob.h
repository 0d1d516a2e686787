// The effect's saved per-instance record, as a host stores it: the flat form with a selection
// of vertices, so a host can open an instance with those vertices selected.
#pragma once

#include <cstdint>
#include <vector>

namespace host {

// "kcin" version 1, flat, idle, the given vertex indices selected (sorted, duplicates dropped).
std::vector<uint8_t> FlatRecordWithSelection(std::vector<uint64_t> selected);

}  // namespace host
