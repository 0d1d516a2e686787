// The "Mask Path" byte forms: any bytes either are refused or give a shape that writes back to a
// form that reads as the same shape, and that can be placed and bounded without faults.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mask/mask_geometry.h"
#include "mask/mask_shape.h"

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
  return 0;
}
