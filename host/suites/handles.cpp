#include "host/suites/handles.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace host {
namespace {

// The handle is the address of `data`, so dereferencing it once yields the bytes.
struct HandleBlock {
  void* data;
  uint64_t size;
};
static_assert(offsetof(HandleBlock, data) == 0);

std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_allocations_left{-1};

bool AllocationAllowed(uint64_t size) {
  if (size > kMaxHandleSize) return false;
  int64_t left = g_allocations_left.load();
  while (left >= 0) {
    if (left == 0) return false;
    if (g_allocations_left.compare_exchange_weak(left, left - 1)) return true;
  }
  return true;
}

HandleBlock* BlockOf(FxHandle handle) { return reinterpret_cast<HandleBlock*>(handle); }

}  // namespace

FxHandle NewHandle(uint64_t size) {
  if (!AllocationAllowed(size)) return nullptr;
  // Zero-size handles still get a distinct, dereferenceable block.
  void* data = std::calloc(size ? size : 1, 1);
  if (data == nullptr) return nullptr;
  auto* block = new (std::nothrow) HandleBlock{data, size};
  if (block == nullptr) {
    std::free(data);
    return nullptr;
  }
  g_live.fetch_add(1);
  return &block->data;
}

void DisposeHandle(FxHandle handle) {
  if (handle == nullptr) return;
  HandleBlock* block = BlockOf(handle);
  std::free(block->data);
  delete block;
  g_live.fetch_sub(1);
}

uint64_t HandleSize(FxHandle handle) { return handle ? BlockOf(handle)->size : 0; }

FxErr ResizeHandle(uint64_t new_size, FxHandle* handle) {
  if (handle == nullptr || *handle == nullptr) return FxErr_BadCallbackParam;
  if (!AllocationAllowed(new_size)) return FxErr_OutOfMemory;
  HandleBlock* block = BlockOf(*handle);
  void* data = std::realloc(block->data, new_size ? new_size : 1);
  if (data == nullptr) return FxErr_OutOfMemory;
  if (new_size > block->size) std::memset(static_cast<char*>(data) + block->size, 0, new_size - block->size);
  block->data = data;
  block->size = new_size;
  return FxErr_None;
}

int64_t LiveHandleCount() { return g_live.load(); }

void FailHandleAllocationsAfter(int64_t count) { g_allocations_left.store(count); }

}  // namespace host
