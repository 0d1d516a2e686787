#include "host/media/picture_scale.h"

#include <algorithm>
#include <cmath>

namespace host {

RgbaFrame ScalePicture(const RgbaFrame& in, double zoom) {
  if (!(zoom == zoom)) zoom = 1;
  zoom = std::clamp(zoom, 1.0 / 16, 16.0);
  if (zoom == 1.0 || in.width <= 0 || in.height <= 0) return in;
  RgbaFrame out;
  out.width = std::max<int32_t>(1, int32_t(std::lround(in.width * zoom)));
  out.height = std::max<int32_t>(1, int32_t(std::lround(in.height * zoom)));
  out.pixels.resize(size_t(out.width) * out.height * 4);
  const double sx = double(in.width) / out.width, sy = double(in.height) / out.height;
  for (int32_t y = 0; y < out.height; ++y) {
    const double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, double(in.height - 1));
    const int32_t y0 = int32_t(fy), y1 = std::min(y0 + 1, in.height - 1);
    const double wy = fy - y0;
    for (int32_t x = 0; x < out.width; ++x) {
      const double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, double(in.width - 1));
      const int32_t x0 = int32_t(fx), x1 = std::min(x0 + 1, in.width - 1);
      const double wx = fx - x0;
      for (int c = 0; c < 4; ++c) {
        const auto at = [&](int32_t px, int32_t py) { return double(in.pixels[(size_t(py) * in.width + px) * 4 + c]); };
        const double top = at(x0, y0) * (1 - wx) + at(x1, y0) * wx;
        const double bottom = at(x0, y1) * (1 - wx) + at(x1, y1) * wx;
        out.pixels[(size_t(y) * out.width + x) * 4 + c] = uint8_t(std::lround(top * (1 - wy) + bottom * wy));
      }
    }
  }
  return out;
}

}  // namespace host
