// A static built on first use and destroyed only when the library that holds it is unloaded:
// at dlclose, or at the very end of the process, after every exit handler and every static's
// destructor has run. What a module or host keeps for the whole process must outlive every
// instance, and hosts close instances from exit handlers and static destructors; yet a library
// that is unloaded and loaded again must not leave what it held behind.
#pragma once

#include <atomic>
#include <new>
#include <utility>

namespace qrs {
namespace never_destroyed_detail {

struct Node {
  void (*destroy)(Node*) = nullptr;
  Node* next = nullptr;
};

// One list per library: hidden, so that every shared object keeps its own.
__attribute__((visibility("hidden"))) inline std::atomic<Node*> g_statics{nullptr};

// Runs from the library's finalisers, which come after the exit handlers (every object file
// that includes this header adds a call; the first does the work).
__attribute__((visibility("hidden"), destructor)) inline void DestroyStatics() {
  Node* node = g_statics.exchange(nullptr);
  while (node != nullptr) {
    Node* next = node->next;
    node->destroy(node);
    node = next;
  }
}

}  // namespace never_destroyed_detail

template <typename T>
class NeverDestroyed : private never_destroyed_detail::Node {
 public:
  template <typename... Args>
  explicit NeverDestroyed(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
    destroy = [](Node* self) { static_cast<NeverDestroyed*>(self)->get().~T(); };
    next = never_destroyed_detail::g_statics.load();
    while (!never_destroyed_detail::g_statics.compare_exchange_weak(next, this)) {
    }
  }
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace qrs
