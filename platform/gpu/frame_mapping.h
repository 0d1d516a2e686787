// Reaching a host frame from its pixel-buffer handle as a GPU frame: the mapping service answers
// with the interfaces the frame offers; a filter that needs one the frame lacks cannot go on.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "platform/sdk/media_suites.h"

namespace KSL {

class NullInterfaceException : public std::runtime_error {
 public:
  NullInterfaceException() : std::runtime_error("A NULL interface pointer has been dereferenced.") {}
};

// The interface a filter looks up, or the exception.
template <typename T>
T& Require(T* interface) {
  if (interface == nullptr) throw NullInterfaceException();
  return *interface;
}

}  // namespace KSL

namespace VF {

struct GPUFrame {
  int32_t device_index = 0;
  void* data = nullptr;  // device memory: the first row
  int64_t rowbytes = 0;
  uint32_t pixel_format = 0;
  int32_t width = 0, height = 0;
};

struct FrameMapping {
  // Null when the handle is not a frame the device can reach.
  GPUFrame* gpu_frame = nullptr;
  GPUFrame storage;
};

// The mapping of `frame` read through the host's pixel-buffer suite.
std::shared_ptr<FrameMapping> GetHvPixHandFrameMapping(const FxPixSuite* pix, FxPixHandle frame);

}  // namespace VF
