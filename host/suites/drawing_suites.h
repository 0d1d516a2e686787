// The host's overlay drawing suites, drawn with cairo onto an OverlayCanvas.
//
// Coordinates and lengths are canvas pixels with the origin at the top-left corner of the top-left
// pixel, so pixel (i, j) has its centre at (i + 0.5, j + 0.5). Arc angles are degrees measured
// from +x towards +y (clockwise on screen). Colours are straight RGBA floats, clamped to 0..1,
// composited over what is already there.
#pragma once

#include <cstdint>
#include <memory>

#include "host/media/media.h"
#include "platform/sdk/drawing_suites.h"

namespace host {

// A view the overlay is drawn on: an ARGB32 cairo surface holding a picture. Its draw_ref is what
// an effect draws through; pens, brushes and paths made through it belong to this canvas and are
// freed with it if the effect leaves any behind.
class OverlayCanvas {
 public:
  // Transparent. Throws std::invalid_argument for sizes cairo cannot hold (negative, > 32767).
  OverlayCanvas(int32_t width, int32_t height);
  // The picture as background. Throws std::invalid_argument when its pixels do not match its size.
  explicit OverlayCanvas(const RgbaFrame& picture);
  ~OverlayCanvas();
  OverlayCanvas(const OverlayCanvas&) = delete;
  OverlayCanvas& operator=(const OverlayCanvas&) = delete;

  FxDrawRef draw_ref();          // valid while the canvas lives
  RgbaFrame Picture() const;     // straight RGBA; fully transparent pixels read 0, 0, 0, 0
  int32_t live_objects() const;  // pens, brushes and paths not yet released
  int32_t state_depth() const;   // pushes not yet popped

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

const FxDrawSuite* DrawSuite();
const FxSupplierSuite* SupplierSuite();
const FxSurfaceSuite* SurfaceSuite();
const FxPathSuite* PathSuite();
const FxPenSuite* PenSuite();

}  // namespace host
