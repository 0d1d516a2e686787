#include "overlay/screen_space.h"

#include <cmath>
#include <limits>

namespace mask_overlay {

int32_t ToFixed(float v) {
  const double f = double(v) * 65536.0;
  if (!(f == f)) return 0;
  if (f >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (f <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(f);
}

float FromFixed(int32_t v) { return static_cast<float>(v / 65536.0); }

namespace {

bool Convert(const FxEventExtra& extra, Point& p,
             FxErr (*const FxEventCallbacks::*first)(void*, const FxEventContext*, FxFixedPoint*),
             FxErr (*const FxEventCallbacks::*second)(void*, const FxEventContext*, FxFixedPoint*)) {
  const FxEventCallbacks& cb = extra.callbacks;
  if (!(cb.*first) || !(cb.*second)) return false;
  FxFixedPoint fixed{ToFixed(p.x), ToFixed(p.y)};
  if ((cb.*first)(cb.refcon, extra.context, &fixed) != FxErr_None) return false;
  if ((cb.*second)(cb.refcon, extra.context, &fixed) != FxErr_None) return false;
  p = {FromFixed(fixed.x), FromFixed(fixed.y)};
  return true;
}

void PointToScreen(const FxEventExtra& extra, float& x, float& y) {
  Point p{x, y};
  if (LayerToScreen(extra, p)) x = p.x, y = p.y;
}

}  // namespace

bool LayerToScreen(const FxEventExtra& extra, Point& p) {
  return Convert(extra, p, &FxEventCallbacks::layer_to_comp, &FxEventCallbacks::comp_to_screen);
}

bool ScreenToLayer(const FxEventExtra& extra, Point& p) {
  return Convert(extra, p, &FxEventCallbacks::screen_to_comp, &FxEventCallbacks::comp_to_layer);
}

void VerticesToScreen(const FxEventExtra& extra, std::vector<Mask::MaskVertex>& vertices) {
  for (Mask::MaskVertex& v : vertices) {
    PointToScreen(extra, v.anchor_x, v.anchor_y);
    PointToScreen(extra, v.in_x, v.in_y);
    PointToScreen(extra, v.out_x, v.out_y);
  }
}

float ScreenScale(const FxEventExtra& extra, int32_t layer_width, int32_t layer_height) {
  Point origin{0, 0}, corner{float(layer_width), float(layer_height)};
  LayerToScreen(extra, origin);
  LayerToScreen(extra, corner);
  const double dx = double(corner.x) - origin.x, dy = double(corner.y) - origin.y;
  const double d2 = dx * dx + dy * dy;
  if (!(d2 > 0)) return std::numeric_limits<float>::min();
  return static_cast<float>(std::sqrt((double(layer_width) * layer_width + double(layer_height) * layer_height) / d2));
}

}  // namespace mask_overlay
