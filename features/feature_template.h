// Feature templates: the window layout both trackers share, a feature's template sampled at
// every pyramid level, the flat-channel test on a template and the correlation of two windows.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "features/image_pyramid.h"

namespace vantor::tracking {

namespace lk_detail {
constexpr uint64_t kMaxChannels = 4;
// Float lanes of the window sums (two SSE or one AVX register); planes are padded to whole
// multiples of lcm(channels, kLanes).
constexpr uint64_t kLanes = 8;

// Calls f.template operator()<C>() with the channel count as a constant, so the per-channel
// loops unroll; channel counts other than 1 to 4 throw std::invalid_argument.
template <typename F>
decltype(auto) dispatch_channels(uint64_t channels, F&& f) {
  switch (channels) {
    case 1: return f.template operator()<1>();
    case 2: return f.template operator()<2>();
    case 3: return f.template operator()<3>();
    case 4: return f.template operator()<4>();
    default: throw std::invalid_argument("channel count other than 1 to 4");
  }
}
}  // namespace lk_detail

// A (2hw+1) x (2hh+1) window of `channels` interleaved samples. A plane holds one quantity of
// the window row by row; planes are padded with zeros to whole vector blocks so that the
// window sums need no tail loops.
struct lk_window {
  uint64_t half_width = 7;
  uint64_t half_height = 7;
  uint64_t channels = 3;

  uint64_t width() const { return 2 * half_width + 1; }
  uint64_t height() const { return 2 * half_height + 1; }
  uint64_t pixels() const { return width() * height(); }
  uint64_t row_floats() const { return width() * channels; }
  uint64_t samples() const { return pixels() * channels; }
  uint64_t plane_stride() const;
  // One template level: values, x-gradients, y-gradients.
  uint64_t level_stride() const { return 3 * plane_stride(); }
  // Scratch floats needed by extract_feature_template.
  uint64_t extraction_scratch() const;
};

// Samples the template of a feature at (x, y) (level-0 pixels): for level l = 0, 1, ... below
// `max_levels` and the pyramid's level count, at (x / 2^l, y / 2^l), the window's values and
// central-difference gradients are interpolated bilinearly into `planes + l * level_stride()`.
// Stops at the first level where the window's bilinear footprint leaves the level; returns the
// number of levels written (the usable levels; 0 for a pyramid whose channel count differs
// from the window's or is not 1 to 4). Gradients at the level's outermost pixels use
// the edge pixel for the missing neighbour.
uint64_t extract_feature_template(const image_pyramid& pyramid, const lk_window& window, float x, float y,
                                  uint64_t max_levels, float* planes, float* scratch);

// 0 when no channel's sum of squared deviations over the window is below
// min_spread^2 * pixels; otherwise the 1-based channel with the largest sum among the channels
// other than the first flat one. Always 0 for one channel (and for more than 4).
int flat_channel_indicator(const float* values, const lk_window& window, float min_spread);

// Mean over channels of the normalised cross-correlation of two value planes; a channel whose
// variance is zero in either plane contributes 0.
float window_correlation(const float* a, const float* b, const lk_window& window);

// A feature's appearance in the frame of its selection: per usable level, the planes of values,
// x-gradients and y-gradients in the layout of lk_window (see extract_feature_template).
template <typename T, typename Alloc = std::allocator<T>>
struct lk_tracker_feature_template {
  uint64_t half_width = 0;
  uint64_t half_height = 0;
  uint64_t channels = 0;
  uint64_t levels = 0;  // usable levels
  std::vector<T, Alloc> data;

  lk_window window() const { return {half_width, half_height, channels}; }
  const T* level(uint64_t l) const { return data.data() + l * window().level_stride(); }
};
using feature_template = lk_tracker_feature_template<float, std::allocator<float>>;

}  // namespace vantor::tracking
