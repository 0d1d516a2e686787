// The host's side of the GPU filter interface for one effect instance: it resolves the
// module's GPU entry, creates the filter with a creation record and the suite getter, and for
// every frame asks for the precompute frame, has the filter fill it, then render, as a host
// with a GPU would. Frames here are host memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/hosting/effect_host.h"
#include "platform/sdk/gpu_filter.h"
#include "platform/sdk/world.h"

namespace host {

class GPUFilterHost {
 public:
  // Null, with a one-line reason, when the module has no GPU entry or refuses to make a filter.
  // The effect must be set up and keep living while the filter does. An effect without a clip
  // gets one of its layer's size, so that the filter can find its frame geometry.
  static std::unique_ptr<GPUFilterHost> Open(EffectHost& effect, std::string& error);
  ~GPUFilterHost();  // disposes the filter
  GPUFilterHost(const GPUFilterHost&) = delete;
  GPUFilterHost& operator=(const GPUFilterHost&) = delete;

  // Renders frame `frame` into `output`, which holds the input picture as 'bgra' (8-bit) or
  // 'BGra' (float) pixels; the filter writes the alpha. Safe from several threads at once.
  bool RenderFrame(int64_t frame, FxWorld& output, uint32_t format, std::string& error);

  const FxGPUFilterEntryTable& table() const { return table_; }
  FxGPUFilterInstance& instance() { return instance_; }
  FxGPURenderParams ParamsForFrame(int64_t frame) const;

 private:
  explicit GPUFilterHost(EffectHost& effect) : effect_(effect) {}
  EffectHost& effect_;
  FxGPUFilterEntryTable table_{};
  FxGPUFilterInstance instance_{};
  int64_t frame_ticks_ = 0;
};

}  // namespace host
