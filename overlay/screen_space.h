// Layer and screen coordinates of the composition view, through the host's event callbacks
// (layer to composition to screen and back, as 16.16 fixed point).
#pragma once

#include <vector>

#include "mask/mask_shape.h"
#include "platform/sdk/events.h"

namespace mask_overlay {

struct Point {
  float x, y;
};

int32_t ToFixed(float v);  // saturating; NaN gives 0
float FromFixed(int32_t v);

// A layer point on screen; false when a callback fails (the point is then left as it was).
bool LayerToScreen(const FxEventExtra& extra, Point& p);
bool ScreenToLayer(const FxEventExtra& extra, Point& p);

// Every anchor and tangent point of the vertices converted to screen.
void VerticesToScreen(const FxEventExtra& extra, std::vector<Mask::MaskVertex>& vertices);

// Layer units per screen pixel: the layer's diagonal over its length on screen; the smallest
// normal float when the view collapses it.
float ScreenScale(const FxEventExtra& extra, int32_t layer_width, int32_t layer_height);

}  // namespace mask_overlay
