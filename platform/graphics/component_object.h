// Objects the graphics components hand out (paths, painters): reference counted through the
// broker, and asked by interface name whether they offer an interface.
#pragma once

#include <atomic>
#include <cstdint>

extern "C" {

struct QuillObject;

struct QuillObjectClass {
  const char* name;
  void (*destroy)(QuillObject* object);
  int32_t (*has_interface)(const QuillObject* object, const char* interface_name);
};

struct QuillObject {
  const QuillObjectClass* cls;
  std::atomic<int32_t> refs;
};

// The broker's object procedures, found under interface "QIB".
using QIBObjectAddRefProc = void (*)(QuillObject* object);
using QIBObjectReleaseProc = void (*)(QuillObject* object);
using QIBObjectHasInterfaceProc = int32_t (*)(const QuillObject* object, const char* interface_name);

void QIBObjectAddRef(QuillObject* object);
void QIBObjectRelease(QuillObject* object);
int32_t QIBObjectHasInterface(const QuillObject* object, const char* interface_name);

}  // extern "C"
