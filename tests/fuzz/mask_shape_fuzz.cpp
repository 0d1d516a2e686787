// The "Mask Path" byte forms: any bytes either are refused or give a shape that writes back to a
// form that reads as the same shape, and that can be placed, bounded and rendered (grown and
// shrunk, feathered, inverted) into a matte without faults.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mask/mask_geometry.h"
#include "mask/mask_shape.h"
#include "platform/graphics/component_framework.h"
#include "platform/graphics/raster_engine.h"
#include "render/render_frame.h"
#include "services/component_broker.h"

namespace {

// The drawing components as the module's global setup starts them, once a process.
void StartComponents() {
  static const bool started = [] {
    const QuillProcGetter getter = InitQuillComponents();
    if (!mask_effect::InitializeBrokerClient(getter) || TQE_Initialize(getter) != 0) std::abort();
    mask_effect::ResolveOffsetPathProcs();
    return true;
  }();
  (void)started;
}

// Two renders that between them take every stage: a grown, feathered matte and a shrunk,
// inverted, half-opaque one at a quarter of the layer's resolution.
void Render(const Mask::MaskShape& shape) {
  constexpr int32_t kW = 96, kH = 64;
  std::vector<uint8_t> pixels(size_t(kW) * kH * 4, 0x80);
  const mask_render::AlphaTarget out{pixels.data(), kW * 4, kW, kH, false};
  mask_render::ComposeMatte(shape, out, kW, kH, kW, kH, {1, 1}, {1, 1}, {1, 1}, false, 6.0, 1.0f, 4.0f);
  mask_render::ComposeMatte(shape, out, kW / 4, kH / 4, kW, kH, {1, 4}, {1, 4}, {3, 2}, true, 2.0, 0.5f, -3.0f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Mask::MaskShape shape;
  if (!Mask::UnflattenMaskShape(data, size, shape)) return 0;
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(shape, bytes);
  Mask::MaskShape again;
  if (!Mask::UnflattenMaskShape(bytes.data(), bytes.size(), again)) std::abort();
  std::vector<uint8_t> twice;
  Mask::FlattenMaskShape(again, twice);
  if (twice != bytes) std::abort();
  std::vector<Mask::MaskVertex> placed;
  Mask::PlaceInPixels(shape, 1920, 1080, placed);
  (void)Mask::BoundsInPixels(shape, 1920, 1080);
  StartComponents();
  Render(shape);
  return 0;
}
