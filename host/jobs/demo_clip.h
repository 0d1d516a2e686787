// The demo's built-in material, drawn in code: a textured card turning and sliding over a
// textured background with a known motion, and a mask drawn on the card in the first frame.
#pragma once

#include <cstdint>
#include <vector>

#include "host/documents/mask_document.h"
#include "host/media/card_clip.h"
#include "host/media/media.h"

namespace host {

// 640x360, 24 frames at 24 fps: the card turns and grows a little while it slides (a similarity).
CardClipSpec DemoClipSpec();

std::vector<RgbaFrame> MakeDemoClip(const CardClipSpec& spec);

// One keyframe on frame 0: an ellipse inside the card; tracking does the rest.
MaskDocument MakeDemoMask(const CardClipSpec& spec);

// Mean distance in pixels between the anchors of `shape` on `frame` and where the card took the
// first keyframe's anchors.
double DemoTrackingError(const CardClipSpec& spec, const MaskDocument& start, const Mask::MaskShape& shape,
                         int32_t frame);

}  // namespace host
