#include "platform/graphics/component_object.h"

#include <cstring>

extern "C" void QIBObjectAddRef(QuillObject* object) {
  if (object) object->refs.fetch_add(1, std::memory_order_relaxed);
}

extern "C" void QIBObjectRelease(QuillObject* object) {
  if (object && object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) object->cls->destroy(object);
}

extern "C" int32_t QIBObjectHasInterface(const QuillObject* object, const char* interface_name) {
  if (object == nullptr || interface_name == nullptr) return 0;
  return object->cls->has_interface ? object->cls->has_interface(object, interface_name) : 0;
}
