// Pyramidal Lucas-Kanade feature tracking: a translation (optionally with per-channel gain and
// bias) solved coarse to fine by inverse-compositional Gauss-Newton, with restarts from coarser
// levels. Also the per-level histogram and the split of a feature table into tracks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "features/feature_template.h"
#include "features/image_pyramid.h"
#include "features/pyramid_solve.h"
#include "features/tracking_records.h"

namespace vantor::tracking {

// Number of values in the tracker's parameter vector for `mode` (modes above 3: 2).
uint64_t lk_parameter_count(int32_t mode, uint64_t channels);

// Convergence: every step component below its threshold (translation in pixels of the level).
struct lk_convergence {
  float translation = 0.1f;
  float gain = 0.05f;
  float bias = 1.0f;
};

// How a level is solved: the brightness model, when a step counts as converged, and how many
// Gauss-Newton iterations a level gets.
struct lk_solve_options {
  int32_t mode = kPhotometricNone;
  lk_convergence eps;
  uint64_t iteration_limit = 25;
};

// The tracking step's settings, built once per step.
struct lk_track_options {
  uint64_t half_width = 7;  // the window is (2 half_width + 1) x (2 half_height + 1)
  uint64_t half_height = 7;
  uint64_t levels = 5;  // pyramid levels used, at most both pyramids'
  lk_solve_options solve;
  float min_correlation = 0.7f;  // template correlation at the start level that accepts a track
  // A template channel deviating less is flat, and a template with a flat channel is tracked
  // without the correlation test.
  float min_template_spread = 5.0f;
};

// The tracking step's settings from the pipeline's parameters.
lk_track_options tracking_options(const lk_parameters& lk);

// Everything one tracking step needs per feature, sized once: parameter and step vectors, the
// normal equations, the feature's template at every level and the sampled target window.
class lk_workspace {
 public:
  // Sized for every mode, so one workspace serves whatever mode a call asks for.
  lk_workspace(const lk_window& window, uint64_t levels);

  const lk_window& window() const { return window_; }
  uint64_t levels() const { return levels_; }
  // Extracts the template of a feature (see extract_feature_template) and forgets the normal
  // equations of the previous feature. Returns the usable levels.
  uint64_t load_template(const image_pyramid& source, float x, float y);
  uint64_t usable_levels() const { return usable_; }
  const float* template_level(uint64_t level) const { return templates_.data() + level * window_.level_stride(); }
  // The target window sampled last (in the level solver or by sample_target).
  const float* target_window() const { return target_.data(); }
  // Samples the target window at (px, py) of `level` if it passes the level solver's window
  // test; returns whether it did.
  bool sample_target(const image_pyramid& target, uint64_t level, float px, float py);

 private:
  friend struct lk_solver;
  lk_window window_;
  uint64_t levels_;
  uint64_t usable_ = 0;
  std::vector<float> templates_, target_, error_, scratch_;
  std::vector<float> step_, rhs_;
  // Per level: the 2x2 inverse (mode 0), the Cholesky factor (mode 2) or the block inverses
  // (mode 3).
  lk_detail::normal_equations normal_;
};

// One Gauss-Newton solve at `level` of the target pyramid from the point (px, py) (level
// pixels) and params (dx, dy, brightness), updated in place. Stops converged when the step
// falls below the thresholds, at the iteration limit, when the window leaves the level, on
// singular normal equations, or at once (unsupported) for an unknown mode or a level the
// template or the pyramid lacks.
level_solve_result lk_level_solve(lk_workspace& ws, const image_pyramid& target, uint64_t level, float px, float py,
                                  float* params, const lk_solve_options& options);

// Coarse-to-fine tracking of the feature whose template `ws` holds, from (x, y) (level-0
// pixels): start level 0 first, then 1, ... Returns the start level of the first attempt that
// solved every level down to 0 (leaving its level-0 parameters in `out`), or why the last
// attempt failed. A non-zero `flat_indicator` switches the correlation test off; the window,
// levels and template spread of `options` are the workspace's and the caller's business.
pyramid_solve_result lk_track_feature(lk_workspace& ws, const image_pyramid& target, float x, float y,
                                      const float* initial, float* out, int flat_indicator,
                                      const lk_track_options& options);

// Per-level histogram: slot 0 counts failures, slot l+1 successes whose attempt started at
// level l. Counts for slots beyond its size are dropped.
std::vector<uint32_t> make_level_histogram(uint64_t levels);
void count_level(std::span<uint32_t> histogram, int start_level);

// The tracking step: follows every slot of `source_row` from the source into the target
// pyramid and writes the slot of `target_row` (same size): -1 for a slot that was already
// negative, -2 when lost, else state 0 at the tracked position. Only x, y and state of the
// target records are written (a lost or negative slot keeps its position). Throws
// std::invalid_argument for channel counts other than 1 to 4 or mismatched row sizes.
void track(const image_pyramid& source, const image_pyramid& target,
           std::span<const tracking_feature<float>> source_row, std::span<tracking_feature<float>> target_row,
           const lk_track_options& options, std::span<uint32_t> histogram);

// A feature's run through the table: selected in `first_frame` and tracked (state 0) in every
// frame before `end_frame`.
struct feature_track {
  uint64_t slot = 0;
  uint64_t first_frame = 0;
  uint64_t end_frame = 0;
};

// Appends the tracks of a table of `frames` rows of `slots` records (frame by frame, slot by
// slot within a frame) and returns how many it appended.
uint64_t track_spans(std::span<const tracking_feature<float>> table, uint64_t slots, uint64_t frames,
                     std::vector<feature_track>& tracks);

}  // namespace vantor::tracking
