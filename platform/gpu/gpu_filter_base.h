// The base of GPU filter objects: the host's interface calls reach a filter through these
// virtual operations. A filter that precomputes nothing keeps the base's answers.
#pragma once

#include <cstdint>

#include "platform/sdk/gpu_filter.h"

class HvGPUFilterBase {
 public:
  virtual ~HvGPUFilterBase() = default;
  virtual FxGPUResult Initialize(const FxGPUCreationRecord& creation) = 0;
  virtual FxGPUResult GetFrameDependencies(const FxGPURenderParams&, int32_t, FxGPUFrameDependency*) {
    return kFxGPU_NotSupported;
  }
  virtual FxGPUResult Precompute(const FxGPURenderParams&, int32_t, FxPixHandle) { return kFxGPU_NotSupported; }
  virtual FxGPUResult Render(const FxGPURenderParams& params, const FxPixHandle* inputs, int64_t count,
                             FxPixHandle* out_frame) = 0;
};
