// The demo's built-in material, drawn in code: a textured card sliding over a textured
// background, and a mask document that follows the card.
#pragma once

#include <cstdint>
#include <vector>

#include "host/mask_document.h"
#include "host/media.h"

namespace host {

struct DemoClipSpec {
  int32_t width = 640, height = 360;
  int32_t frames = 24;
};

std::vector<RgbaFrame> MakeDemoClip(const DemoClipSpec& spec);

// Keyframes on the first and last frame around the card (the module interpolates between).
MaskDocument MakeDemoMask(const DemoClipSpec& spec);

}  // namespace host
