#include "platform/runtime/host_memory.h"

#include <cstdlib>

// One allocator on both sides, so a block crosses the module boundary safely.
void* HvNewPtr(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void HvDisposePtr(void* block) { std::free(block); }
