#include "features/feature_template.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "features/bilinear.h"

namespace vantor::tracking {

using namespace lk_detail;

uint64_t lk_window::plane_stride() const {
  const uint64_t block = std::lcm(std::max<uint64_t>(channels, 1), kLanes);
  return (samples() + block - 1) / block * block;
}

uint64_t lk_window::extraction_scratch() const {
  const uint64_t block = (2 * half_width + 4) * (2 * half_height + 4);
  const uint64_t sampled = (2 * half_width + 3) * (2 * half_height + 3);
  return (block + sampled) * channels;
}

namespace {

// Values and central-difference gradients of one level's window. The (2hw+4) x (2hh+4) pixel
// block around the window (edge pixels repeated outside the level) is interpolated into a
// window one pixel wider on every side, whose differences give the gradients: the same as
// interpolating the gradients of the pixels, but with one pass of interpolation.
template <int C>
void extract_level(const float* image, int64_t width, int64_t height, int64_t ix, int64_t iy, float fx, float fy,
                   const lk_window& win, float* planes, float* scratch) {
  const int64_t hw = static_cast<int64_t>(win.half_width), hh = static_cast<int64_t>(win.half_height);
  const int64_t bw = 2 * hw + 4, bh = 2 * hh + 4;
  float* block = scratch;
  float* sampled = scratch + bw * bh * C;
  for (int64_t r = 0; r < bh; ++r) {
    const int64_t yy = std::clamp<int64_t>(iy - hh - 1 + r, 0, height - 1);
    const float* row = image + yy * width * C;
    float* dst = block + r * bw * C;
    for (int64_t j = 0; j < bw; ++j) {
      const int64_t xx = std::clamp<int64_t>(ix - hw - 1 + j, 0, width - 1);
      for (int c = 0; c < C; ++c) dst[j * C + c] = row[xx * C + c];
    }
  }
  const bilinear_weights w(fx, fy);
  const int64_t sn = (bw - 1) * C;
  for (int64_t r = 0; r < bh - 1; ++r)
    bilinear_row<C>(block + r * bw * C, block + (r + 1) * bw * C, sampled + r * sn, sn, w);

  const uint64_t ps = win.plane_stride(), rn = win.row_floats();
  float* values = planes;
  float* gx = planes + ps;
  float* gy = planes + 2 * ps;
  for (uint64_t v = 0; v < win.height(); ++v) {
    const float* up = sampled + v * sn + C;
    const float* mid = up + sn;
    const float* down = mid + sn;
    const float* left = mid - C;  // the neighbours one pixel to each side
    const float* right = mid + C;
    float* vo = values + v * rn;
    float* xo = gx + v * rn;
    float* yo = gy + v * rn;
    for (uint64_t k = 0; k < rn; ++k) {
      vo[k] = mid[k];
      xo[k] = 0.5f * (right[k] - left[k]);
      yo[k] = 0.5f * (down[k] - up[k]);
    }
  }
  for (float* plane : {values, gx, gy}) std::fill(plane + win.samples(), plane + ps, 0.0f);
}

}  // namespace

uint64_t extract_feature_template(const image_pyramid& pyramid, const lk_window& window, float x, float y,
                                  uint64_t max_levels, float* planes, float* scratch) {
  if (window.channels != pyramid.channels() || window.channels < 1 || window.channels > kMaxChannels) return 0;
  const uint64_t levels = std::min(max_levels, pyramid.levels());
  const double hw = static_cast<double>(window.half_width), hh = static_cast<double>(window.half_height);
  uint64_t l = 0;
  for (; l < levels; ++l) {
    const float px = std::ldexp(x, -static_cast<int>(l)), py = std::ldexp(y, -static_cast<int>(l));
    const uint64_t width = pyramid.level_width(l), height = pyramid.level_height(l);
    // The interpolation footprint (2hw+2) x (2hh+2) must lie in the level.
    if (!(px >= hw && px < static_cast<double>(width) - hw - 1.0 && py >= hh &&
          py < static_cast<double>(height) - hh - 1.0))
      break;
    const int64_t ix = static_cast<int64_t>(std::floor(px)), iy = static_cast<int64_t>(std::floor(py));
    dispatch_channels(window.channels, [&]<int C>() {
      extract_level<C>(pyramid.level(l), static_cast<int64_t>(width), static_cast<int64_t>(height), ix, iy,
                       px - static_cast<float>(ix), py - static_cast<float>(iy), window,
                       planes + l * window.level_stride(), scratch);
    });
  }
  return l;
}

int flat_channel_indicator(const float* values, const lk_window& window, float min_spread) {
  const uint64_t channels = window.channels;
  if (channels < 2 || channels > kMaxChannels) return 0;
  std::array<double, kMaxChannels> sum{}, sum_sq{}, spread{};
  const uint64_t pixels = window.pixels();
  for (uint64_t p = 0; p < pixels; ++p)
    for (uint64_t c = 0; c < channels; ++c) {
      const double v = values[p * channels + c];
      sum[c] += v;
      sum_sq[c] += v * v;
    }
  const double n = static_cast<double>(pixels);
  const double threshold = static_cast<double>(min_spread) * min_spread * n;
  for (uint64_t c = 0; c < channels; ++c) spread[c] = sum_sq[c] - sum[c] * sum[c] / n;
  uint64_t flat = channels;
  for (uint64_t c = 0; c < channels && flat == channels; ++c)
    if (spread[c] < threshold) flat = c;
  if (flat == channels) return 0;
  uint64_t best = channels;
  for (uint64_t c = 0; c < channels; ++c)
    if (c != flat && (best == channels || spread[c] > spread[best])) best = c;
  return static_cast<int>(best) + 1;
}

float window_correlation(const float* a, const float* b, const lk_window& window) {
  const uint64_t channels = window.channels, pixels = window.pixels();
  if (channels == 0) return 0.0f;
  // Double sums: N * sum(a^2) - sum(a)^2 cancels most of its digits on low-contrast windows.
  double total = 0.0;
  for (uint64_t c = 0; c < channels; ++c) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (uint64_t p = 0; p < pixels; ++p) {
      const double va = a[p * channels + c], vb = b[p * channels + c];
      sa += va;
      sb += vb;
      saa += va * va;
      sbb += vb * vb;
      sab += va * vb;
    }
    const double n = static_cast<double>(pixels);
    const double var_a = n * saa - sa * sa, var_b = n * sbb - sb * sb;
    if (var_a > 0 && var_b > 0) total += (n * sab - sa * sb) / std::sqrt(var_a * var_b);
  }
  return static_cast<float>(total / static_cast<double>(channels));
}

}  // namespace vantor::tracking
