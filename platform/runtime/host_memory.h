// Blocks the host allocates for a caller to free: texts handed out by host suites are freed with
// HvDisposePtr, whichever side of the module boundary made them.
#pragma once

#include <cstddef>

// Null when the block cannot be had.
void* HvNewPtr(size_t size);
// Null is ignored.
void HvDisposePtr(void* block);
