// Blocks the host allocates for a caller to free: texts and values handed out by host suites are
// freed with HvDisposePtr, whichever side of the module boundary made them, and their size can be
// asked for with HvGetPtrSize.
#pragma once

#include <cstddef>

// Null when the block cannot be had.
void* HvNewPtr(size_t size);
// The size the block was made with; 0 for null.
size_t HvGetPtrSize(const void* block);
// Null is ignored.
void HvDisposePtr(void* block);
