#include "host/jobs/demo_clip.h"

#include <cmath>

#include "mask/mask_geometry.h"

namespace host {

CardClipSpec DemoClipSpec() {
  CardClipSpec spec;
  spec.width = 640;
  spec.height = 360;
  spec.frames = 24;
  spec.motion = CardMotion::kSimilarity;
  spec.card_left = 150, spec.card_top = 90, spec.card_width = 260, spec.card_height = 180;
  spec.texture_scale = 1.0;  // the drawn textures are smooth already; photographs get enlarged
  return spec;
}

std::vector<RgbaFrame> MakeDemoClip(const CardClipSpec& spec) {
  return MakeCardClip(spec, ProceduralTexture(256, 256, 11), ProceduralTexture(320, 320, 23));
}

MaskDocument MakeDemoMask(const CardClipSpec& spec) {
  MaskDocument doc;
  doc.width = spec.width;
  doc.height = spec.height;
  doc.feather = 6;
  doc.motion = "similarity";
  Mask::MaskShape shape;
  const double inset_x = spec.card_width * 0.15, inset_y = spec.card_height * 0.15;
  Mask::MakeEllipseFromPixels(shape, float(spec.width), float(spec.height), float(spec.card_left + inset_x),
                              float(spec.card_top + inset_y), float(spec.card_left + spec.card_width - inset_x),
                              float(spec.card_top + spec.card_height - inset_y));
  doc.keyframes.push_back({0, shape});
  return doc;
}

double DemoTrackingError(const CardClipSpec& spec, const MaskDocument& start, const Mask::MaskShape& shape,
                         int32_t frame) {
  if (start.keyframes.empty()) return 0;
  const Mask::MaskShape& first = start.keyframes.front().shape;
  const PlaneMap map = CardMapAt(spec, frame);
  double sum = 0;
  size_t n = 0;
  for (size_t i = 0; i < first.vertices.size() && i < shape.vertices.size(); ++i, ++n) {
    double x = 0, y = 0;
    map.Apply(double(first.vertices[i].anchor_x) * spec.width, double(first.vertices[i].anchor_y) * spec.height, x, y);
    sum += std::hypot(double(shape.vertices[i].anchor_x) * spec.width - x,
                      double(shape.vertices[i].anchor_y) * spec.height - y);
  }
  return n ? sum / double(n) : 0;
}

}  // namespace host
