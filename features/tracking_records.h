// The records the feature tracker, the analysis and the tracker driver share: a tracked feature
// and the two parameter blocks of selection and Lucas-Kanade tracking.
#pragma once

#include <cstdint>

namespace vantor::tracking {

// Feature states.
enum : int32_t {
  kFeatureSelected = 1,       // newly selected in this frame
  kFeatureTracked = 0,        // tracked into this frame
  kFeatureNotTracked = -1,    // empty slot, or lost in an earlier frame
  kFeatureLost = -2,          // lost by the Lucas-Kanade tracker
  kFeatureRejected = -3,      // rejected by the affine refinement with a quality at its threshold
  kFeatureRejectedFlat = -4,  // rejected by the affine refinement with a quality below its threshold
};

template <typename T>
struct tracking_feature {
  T x = 0;  // level-0 pixels of the frame the record belongs to
  T y = 0;
  int32_t state = kFeatureNotTracked;
  T quality = 0;  // template correlation from the refinement
};
static_assert(sizeof(tracking_feature<float>) == 16);

// A feature that ended in one frame is carried into the next as an empty slot.
template <typename T>
tracking_feature<T> CarriedForward(const tracking_feature<T>& f) {
  tracking_feature<T> next = f;
  if (f.state < 0) next.state = kFeatureNotTracked;
  return next;
}

struct selection_parameters {
  uint64_t max_features;       // capacity of the selected list
  uint64_t min_distance;       // no second feature within this many pixels of a kept one
  uint64_t window_half_width;  // structure-tensor window 2·w+1 wide
  uint64_t window_half_height;
  uint64_t border_margin;        // copied into the four margins
  float relative_quality;        // fraction of the best score a candidate must reach
  float min_score_per_pixel;     // absolute floor, times the window area
  float score_cap_per_pixel;     // cap of the best score for the relative threshold, times the area
  bool presmooth;                // Gaussian before the gradients
  float presmooth_sigma_factor;  // sigma = factor · (2 · max(half width, half height) + 1)
  float eigenvalue_ratio_limit;  // larger/smaller eigenvalue above this scores 0
  // 0: the strongest corners first. n > 1: the candidates' box cut into n x n cells, each cell
  // first keeps up to its share of max_features, then the strongest of the rest fill the list,
  // so that a richly textured corner of a mask does not take every slot.
  uint64_t spread_cells = 0;

  // The second set (`strict`) asks more of a corner: relative quality 0.02, ratio limit 15.
  explicit selection_parameters(bool strict = false)
      : max_features(500), min_distance(10), window_half_width(5), window_half_height(5), border_margin(12),
        relative_quality(strict ? 0.02f : 0.001f), min_score_per_pixel(1.0f), score_cap_per_pixel(6000.0f),
        presmooth(true), presmooth_sigma_factor(0.1f), eigenvalue_ratio_limit(strict ? 15.0f : 5.0f) {}
  bool operator==(const selection_parameters&) const = default;
};

struct lk_parameters {
  uint64_t iteration_limit = 25;      // Gauss-Newton iterations per pyramid level
  double translation_epsilon = 0.1;   // pixels of the current level
  double deformation_epsilon = 0.05;  // the refinement's 2x2 warp
  uint64_t pyramid_levels = 5;
  uint64_t window_half_size = 7;            // 15 x 15 windows
  uint64_t second_window_half_size = 7;     // not read by the tracking step
  int32_t tracking_photometric_mode = 0;    // brightness model with the translation (0 none)
  int32_t refinement_photometric_mode = 2;  // gain and bias per channel
  bool refinement_enabled = true;
  double gain_epsilon = 0.05;
  double bias_epsilon = 1.0;         // grey levels
  double min_correlation = 0.7;      // template correlation to accept a feature
  double min_template_spread = 5.0;  // per-channel standard deviation below which a channel is flat
  int32_t min_track_length = 0;      // shorter tracks are discarded after a step; 0 keeps all
  bool operator==(const lk_parameters&) const = default;
};

}  // namespace vantor::tracking
