// Drawing the mask over the composition view: the outline with a shadow, the vertices, the
// tangent handles of the vertices being worked on, the expansion and feather outlines, the
// feather/expansion handle and the marquee, all through the host's drawing suites.
#pragma once

#include <cstdint>
#include <vector>

#include "mask/mask_shape.h"
#include "overlay/screen_space.h"
#include "platform/graphics/path_data.h"
#include "platform/sdk/drawing_suites.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/events.h"
#include "platform/sdk/params.h"

namespace mask_overlay {

FxErr DrawMaskOverlay(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxEventExtra* extra);

// The five drawing suites for one pass, released when it ends. Any of them missing: no drawing.
class DrawingSuites {
 public:
  explicit DrawingSuites(const FxInData* in_data);
  ~DrawingSuites();
  DrawingSuites(const DrawingSuites&) = delete;
  DrawingSuites& operator=(const DrawingSuites&) = delete;
  bool complete() const { return draw && supplier && surface && path && pen; }

  const FxDrawSuite* draw = nullptr;
  const FxSupplierSuite* supplier = nullptr;
  const FxSurfaceSuite* surface = nullptr;
  const FxPathSuite* path = nullptr;
  const FxPenSuite* pen = nullptr;

 private:
  const FxInData* in_data_;
};

// What one pass draws with: the suites, the supplier and surface of the event's drawing reference.
struct Canvas {
  const DrawingSuites& suites;
  FxSupplierRef supplier;
  FxSurfaceRef surface;
  FxDrawColor color;
};

// An outline in layer coordinates as the offset service gave it (recorder entries).
struct LayerOutline {
  std::vector<quill::PathPoint> points;
  std::vector<uint32_t> codes;
};

// The expansion outline and the two feather outlines, each computed once per draw and shared by
// both passes: offsetting a mask of many vertices is the costly part of drawing it. An outline
// the offset service could not make is left empty and not drawn.
struct OffsetOutlines {
  LayerOutline expansion, feather_outer, feather_inner;
};

struct PassInput {
  const std::vector<Mask::MaskVertex>* vertices;  // layer coordinates
  bool show_handles;
  const Mask::MaskShape* shape;
  double feather;
  float expansion;
  float screen_scale;
  const OffsetOutlines* offsets = nullptr;  // computed once for both passes from the unshifted vertices
  float offsets_shift = 0;                  // layer units this pass's vertices lie right and down of those
};

void DrawMaskPass(const FxInData* in_data, FxParamDef* params[], const FxEventExtra& extra, const PassInput& input,
                  const FxDrawColor& color);
void DrawVertexMarker(const Canvas& canvas, const FxDrawRect& rect, bool selected);
void DrawCircleHandle(const Canvas& canvas, Point centre, float radius, bool filled);

}  // namespace mask_overlay
