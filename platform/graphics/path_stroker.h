// Stroking a path for the raster painter: the region a round pen covers along the path, handed
// to a scan converter as convex pieces that meet edge to edge, so that exact-area coverage counts
// every pixel once.
#pragma once

#include "platform/graphics/path_data.h"
#include "platform/graphics/scan_converter.h"

namespace quill {

// Adds to `converter` the stroke of `path` with a pen of radius `half_width` (path units), `m`
// mapping path and pen to pixels (finite and invertible); open sub-outlines stay open (round
// ends), closed ones join round. Pieces that cannot reach `clip` are left out.
void StrokePath(ScanConverter& converter, const Affine& m, double half_width, const ClipRect& clip,
                const PathView& path);

}  // namespace quill
