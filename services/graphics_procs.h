// The procedures of the graphics, raster and imaging-model components the mask outline code
// calls, looked up through the broker on first use and cached, and a holder that releases a
// component object when it goes out of scope.
#pragma once

#include "platform/graphics/component_object.h"
#include "platform/graphics/path.h"
#include "platform/graphics/raster_painter.h"

namespace mask_render {

struct PathProcs {
  ZPRNewPathProc new_path = nullptr;
  ZPRGetPathDataProc get_path_data = nullptr;
  ZPRTransformProc transform = nullptr;
  QIBObjectReleaseProc release = nullptr;
  QIBObjectHasInterfaceProc has_interface = nullptr;
};

struct PainterProcs {
  TQENewFillProc new_fill = nullptr;
  QIMGetInfoProc get_info = nullptr;
};

// Throw the broker's error when a procedure is missing ("Missing Interface").
const PathProcs& Paths();
const PainterProcs& Painters();

// Owns one reference to a component object, released with the broker's procedure that was
// current when the holder was made.
class ComponentRef {
 public:
  ComponentRef() : release_(Paths().release) {}
  ~ComponentRef() { reset(); }
  ComponentRef(const ComponentRef&) = delete;
  ComponentRef& operator=(const ComponentRef&) = delete;
  ComponentRef(ComponentRef&& other) noexcept : object_(other.object_), release_(other.release_) {
    other.object_ = nullptr;
  }
  ComponentRef& operator=(ComponentRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = other.object_;
      release_ = other.release_;
      other.object_ = nullptr;
    }
    return *this;
  }
  QuillObject* get() const { return object_; }
  // For a procedure that delivers a new object.
  QuillObject** out() {
    reset();
    return &object_;
  }
  void reset() noexcept {
    if (object_ != nullptr) release_(object_);
    object_ = nullptr;
  }

 private:
  QuillObject* object_ = nullptr;
  QIBObjectReleaseProc release_;
};

// Turns a component's non-zero result into the broker's error.
void CheckComponent(int32_t result, const char* what);

}  // namespace mask_render
