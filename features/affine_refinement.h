// Affine feature refinement: every freshly tracked feature is matched against the template
// taken where it was first selected, allowing an affine deformation of the window and a gain
// and bias per channel (inverse compositional, coarse to fine with restarts). Features that no
// longer match are rejected.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "features/feature_template.h"
#include "features/image_pyramid.h"
#include "features/lk_tracker.h"
#include "features/pyramid_solve.h"
#include "features/tracking_records.h"

namespace vantor::tracking {

// Per-slot affine state: 2C + 8 floats. A window point (u, v) maps to
// (x0 + dx + (1 + d11) u + d12 v, y0 + dy + d21 u + (1 + d22) v); the feature is at
// (x0 + dx, y0 + dy); channel c's brightness is gain * template + bias.
namespace affine_state {
constexpr uint64_t kX0 = 0, kY0 = 1, kDx = 2, kDy = 3, kD11 = 4, kD12 = 5, kD21 = 6, kD22 = 7;
constexpr uint64_t size(uint64_t channels) { return 2 * channels + 8; }
constexpr uint64_t gain(uint64_t c) { return 8 + 2 * c; }
constexpr uint64_t bias(uint64_t c) { return 9 + 2 * c; }
}  // namespace affine_state

struct affine_convergence {
  float translation = 0.1f;
  float deformation = 0.05f;
  float gain = 0.05f;
  float bias = 1.0f;
};

// How a level is solved: mode 0 the warp alone, 2 with a gain and bias per channel (others
// fail); when a step counts as converged; how many Gauss-Newton iterations a level gets.
struct affine_solve_options {
  int32_t mode = kPhotometricPerChannel;
  affine_convergence eps;
  uint64_t iteration_limit = 25;
};

// The refinement step's settings, built once per step.
struct refine_options {
  lk_window window;  // the templates' window; its channel count the target pyramid's
  affine_solve_options solve;
  float min_correlation = 0.7f;  // template correlation that accepts a refined feature
  // A template with a channel deviating less is judged against -2 instead (see refine).
  float min_template_spread = 5.0f;
};

// The refinement step's settings from the pipeline's parameters, for `channels` channels.
refine_options refinement_options(const lk_parameters& lk, uint64_t channels);

// For every feature of `row` with state > 0: extracts its template from `pyramid` (the frame
// of its selection) with a (2 half_size + 1)^2 window over all pyramid levels, and resets its
// state (`states`: affine_state::size(channels) floats per slot) to the identity warp at its
// position. Other slots are left alone.
void create_templates(const image_pyramid& pyramid, std::span<const tracking_feature<float>> row,
                      std::span<feature_template> templates, std::span<float> states, uint64_t half_size);

// Sized once per refinement step.
class affine_workspace {
 public:
  affine_workspace(const lk_window& window, uint64_t levels);
  const lk_window& window() const { return window_; }
  uint64_t levels() const { return levels_; }
  // The target window sampled last.
  const float* target_window() const { return target_.data(); }
  float* target_window() { return target_.data(); }
  // Forgets the normal equations: call before solving with another template.
  void reset();

 private:
  friend struct affine_solver;
  lk_window window_;
  uint64_t levels_;
  std::vector<float> target_, error_, step_;
  lk_detail::normal_equations normal_;  // per level: the Cholesky factor of the n x n system
};

// One Gauss-Newton solve at `level` from the template centre (x0, y0) (level pixels) with
// params (dx, dy, d11, d12, d21, d22, gain, bias per channel) updated in place. Stops
// converged when the step falls below the thresholds, at the iteration limit, when a window
// corner leaves the level's interior, on a singular system, or at once (unsupported) for a
// mode other than 0 and 2 (mode 1 after its first window test) or a level, template and
// workspace that do not fit together.
level_solve_result affine_level_solve(affine_workspace& ws, const image_pyramid& target, const feature_template& tmpl,
                                      uint64_t level, float x0, float y0, float* params,
                                      const affine_solve_options& options);

// Coarse-to-fine refinement of one feature from its stored state: start level 0 first, then 1,
// ... An attempt fails on a failed or unconverged level, or when the correlation at its start
// level is below `threshold`. On success the level-0 parameters are written into `state` and
// the start level is returned, else -1 and why the last attempt failed.
pyramid_solve_result refine_feature(affine_workspace& ws, const image_pyramid& target, const feature_template& tmpl,
                                    float* state, float threshold, const affine_solve_options& options);

// The refinement step over a row (state 0 features only). Accepted: quality set, position
// moved to the refined one, histogram slot start+1. Rejected: histogram slot 0 and state -4
// when the threshold (min_correlation, or -2 for a template with a flat channel) is above the
// feature's quality, else -3. Templates of another window are rejected. Throws
// std::invalid_argument for channel counts other than 1 to 4 or spans too short for the row.
void refine(const image_pyramid& target, std::span<tracking_feature<float>> row,
            std::span<const feature_template> templates, std::span<float> states, const refine_options& options,
            std::span<uint32_t> histogram);

}  // namespace vantor::tracking
