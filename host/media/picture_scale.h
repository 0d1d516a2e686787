// Resizing a picture for a view at a zoom.
#pragma once

#include "host/media/media.h"

namespace host {

// The picture at `zoom` (clamped to 1/16 .. 16), bilinear, at least 1 x 1 pixels.
RgbaFrame ScalePicture(const RgbaFrame& picture, double zoom);

}  // namespace host
