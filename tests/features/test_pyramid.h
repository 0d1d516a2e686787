// A three-channel pyramid built from a function of (x, y, channel), for the tracking tests.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "features/image_pyramid.h"

namespace vantor::tracking::testing {

inline image_pyramid Pyramid(int w, int h, const std::function<float(int x, int y, int c)>& f, uint64_t levels = 5) {
  image_pyramid p(w, h, 3, levels);
  float* d = p.level(0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) *d++ = f(x, y, c);
  std::vector<float> scratch(static_cast<size_t>(w) * h * 3);
  p.build(scratch);
  return p;
}

}  // namespace vantor::tracking::testing
