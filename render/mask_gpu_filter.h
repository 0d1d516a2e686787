// The GPU render path: the host's GPU filter interface renders the matte on its GPU frames. A
// precompute step scan-converts the mask on the CPU into a packed frame (four coverage bytes a
// pixel); the render step clears what lies outside it, blurs it for the feather and copies it
// into the destination's alpha (or joins it with the alpha there by the mask mode), all through
// the GPU foundation.
#pragma once

#include <cstdint>

#include "mask/mask_shape.h"
#include "platform/gpu/gpu_filter_base.h"
#include "platform/graphics/alpha_blend.h"
#include "platform/sdk/gpu_filter.h"
#include "platform/sdk/media_suites.h"

namespace mask_render {

// The parameters' indices on the GPU interface: the effect's less one (no input layer there).
inline constexpr int32_t kGPUParamMaskPath = 5, kGPUParamFeather = 6, kGPUParamOpacity = 7, kGPUParamExpansion = 8,
                         kGPUParamInverted = 9, kGPUParamMaskMode = 13;

struct GPUMaskParams {
  Mask::MaskShape shape;
  float feather = 0, opacity = 100, expansion = 0;  // opacity in percent
  bool inverted = false;
  quill::AlphaBlend mode = quill::AlphaBlend::kReplace;
};

// The clip's frame size, and the scale it is shown at in the sequence.
struct FrameGeometry {
  int32_t width = 0, height = 0;
  float scale = 1.0f;
  int32_t par_num = 1, par_den = 1;
};

// A host result as this interface reports it.
FxGPUResult MapHostResult(uint32_t host_result);

// The packed frame's size for a clip frame of `frame_width` x `frame_height` at scales sx, sy:
// four coverage bytes a pixel, enough pixels to cover every column.
void PackedFrameSize(int32_t frame_width, int32_t frame_height, float sx, float sy, int32_t& width, int32_t& height);

class VXMaskGPU : public HvGPUFilterBase {
 public:
  VXMaskGPU() = default;
  ~VXMaskGPU() override;
  VXMaskGPU(const VXMaskGPU&) = delete;
  VXMaskGPU& operator=(const VXMaskGPU&) = delete;

  FxGPUResult Initialize(const FxGPUCreationRecord& creation) override;
  FxGPUResult GetFrameDependencies(const FxGPURenderParams& params, int32_t index, FxGPUFrameDependency* out) override;
  FxGPUResult Precompute(const FxGPURenderParams& params, int32_t index, FxPixHandle frame) override;
  FxGPUResult Render(const FxGPURenderParams& params, const FxPixHandle* inputs, int64_t count,
                     FxPixHandle* out_frame) override;

 private:
  GPUMaskParams ReadParams(int64_t clip_time) const;
  FrameGeometry Geometry() const;
  const void* Acquire(const char* name, int32_t version);

  FxNodeId node_ = kFxNoNode;
  FxSequenceId sequence_ = 0;
  void* host_refcon_ = nullptr;
  const FxBasicSuite* suites_ = nullptr;
  const FxGPUFilterUtility* utility_ = nullptr;
  const FxVideoSegmentSuite* segments_ = nullptr;
  const FxPixSuite* pix_ = nullptr;
  const void* pix2_ = nullptr;
  const FxVideoSegmentSuite* segments_again_ = nullptr;
  const FxSequenceInfoSuite* sequence_info_ = nullptr;
  // (name, version) of every suite acquired, for the release.
  struct Held {
    const char* name;
    int32_t version;
  };
  Held held_[5] = {};
  int held_count_ = 0;
};

// The GPU filter entry: index 0 asks nothing; otherwise the table, the version handshake and
// the info record.
FxGPUResult GPUFilterEntry(uint64_t host_interface, int32_t* version, int32_t index, int32_t reserved,
                           FxGPUFilterEntryTable* table, FxGPUFilterInfo* info);

}  // namespace mask_render
