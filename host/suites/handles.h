// The host's movable memory blocks, handed to effects as FxHandle.
#pragma once

#include <cstdint>

#include "platform/sdk/effect_interface.h"

namespace host {

FxHandle NewHandle(uint64_t size);  // zero-filled; null when the allocation fails
void DisposeHandle(FxHandle handle);
uint64_t HandleSize(FxHandle handle);
FxErr ResizeHandle(uint64_t new_size, FxHandle* handle);

// Handles currently alive, to find leaks.
int64_t LiveHandleCount();

// Makes the next `count` allocations succeed and every one after them fail; -1 lifts the limit.
void FailHandleAllocationsAfter(int64_t count);

// Every handle larger than this fails to allocate; guards the host against absurd requests.
inline constexpr uint64_t kMaxHandleSize = uint64_t{1} << 32;

}  // namespace host
