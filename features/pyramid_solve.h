// What the two Gauss-Newton trackers share: why a solve stopped, the coarse-to-fine driver with
// its restarts from coarser levels, the normal equations kept per level of one template, and
// the per-channel gain-and-bias update.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "features/feature_template.h"

namespace vantor::tracking {

// Brightness model solved together with the geometry.
enum photometric_mode : int32_t {
  kPhotometricNone = 0,        // (dx, dy)
  kPhotometricGlobal = 1,      // reserved: (dx, dy, gain, bias); never converges
  kPhotometricPerChannel = 2,  // (dx, dy, gain_0, bias_0, ..., gain_C-1, bias_C-1), joint solve
  kPhotometricBlockwise = 3,   // as 2, geometry and each channel's brightness solved separately
};

// Why a solve stopped.
enum class solve_stop : uint8_t {
  converged,        // every step component fell below its threshold
  iteration_limit,  // the limit came first (the reserved mode only ever stops here)
  left_image,       // the window (a warped window's corner) left the level
  singular,         // the normal equations are not positive definite, or solving with them failed
  unsupported,      // a mode the solver does not solve, or a level, template and pyramid that do not fit
  low_correlation,  // converged, but the window correlates with the template below the threshold
  no_template,      // no level to start from: the feature's template has none
};

// One level's solve: why it stopped and the iteration it stopped in (0-based; the limit when
// the limit came first).
struct level_solve_result {
  solve_stop stop = solve_stop::unsupported;
  uint64_t iteration = 0;
  bool converged() const { return stop == solve_stop::converged; }
};

// A coarse-to-fine solve: the start level of the attempt that solved every level down to 0,
// or -1 and why the last attempt stopped.
struct pyramid_solve_result {
  solve_stop stop = solve_stop::no_template;
  int start_level = -1;
  bool solved() const { return stop == solve_stop::converged; }
};

namespace lk_detail {

// Geometry (at most the affine warp's six) and a gain and bias per channel.
constexpr uint64_t kMaxParameters = 6 + 2 * kMaxChannels;

// A template channel with (almost) no spread cannot tell gain from bias: its gain is then kept
// and only its bias solved, so a flat channel beside textured ones leaves the system regular.
// sum_t and sum_tt are the channel's sum and sum of squares over n samples.
inline bool gain_undetermined(double sum_t, double sum_tt, double n) {
  return sum_tt - sum_t * sum_t / n <= 1e-4 * sum_tt;
}

// One channel's brightness after a step (step_gain, step_bias) solved in template units: the
// gain is multiplied by exp(step_gain), and the bias change in target units before the gain
// factor is gain * step_bias - step_gain * bias. Returns whether both changes are below their
// thresholds.
inline bool update_gain_bias(float& gain, float& bias, float step_gain, float step_bias, float eps_gain,
                             float eps_bias) {
  const float sb = gain * step_bias - step_gain * bias;
  const float e = std::exp(step_gain);
  gain *= e;
  bias = e * (bias + sb);
  return std::fabs(step_gain) < eps_gain && std::fabs(sb) < eps_bias;
}

// The normal equations of one template per level, formed on first use for the mode asked and
// kept until the template or the mode changes: an n x n block per level (n the largest
// parameter count) and per channel whether its gain is held (see gain_undetermined).
class normal_equations {
 public:
  normal_equations(uint64_t levels, uint64_t n, uint64_t channels)
      : n_(n), channels_(channels), values_(levels * n * n, 0.0f), state_(levels, 0), held_gain_(levels * channels, 0) {
  }

  // Forgets every level: the template changed.
  void forget() { std::fill(state_.begin(), state_.end(), int8_t{0}); }
  // Whether the equations of `level` for `mode` are usable, forming them first with form()
  // (false for a singular system) where they are not formed yet.
  template <typename Form>
  bool prepare(uint64_t level, int32_t mode, Form&& form) {
    if (mode_ != mode) {
      forget();
      mode_ = mode;
    }
    int8_t& state = state_[level];
    if (state == 0) state = form() ? 1 : -1;
    return state > 0;
  }
  float* level(uint64_t l) { return values_.data() + l * n_ * n_; }
  const float* level(uint64_t l) const { return values_.data() + l * n_ * n_; }
  uint8_t* held_gain(uint64_t l) { return held_gain_.data() + l * channels_; }
  const uint8_t* held_gain(uint64_t l) const { return held_gain_.data() + l * channels_; }

 private:
  uint64_t n_, channels_;
  std::vector<float> values_;
  std::vector<int8_t> state_;  // per level: 0 not formed, 1 ready, -1 singular
  std::vector<uint8_t> held_gain_;
  int32_t mode_ = -1;
};

// Coarse to fine with restarts: attempts start at level 0, then 1, ... below `starts`. Each
// copies the n parameters of `initial` (the first two a translation in level-0 pixels), scales
// the point (x, y) and the translation to its start level and solves every level down to 0 with
// solve_level(level, x, y, params), doubling both between levels. An attempt fails at the
// first level that does not converge, or where correlates(level, x, y, params) refuses the
// start level's result. The first attempt to reach level 0 writes its parameters to `out`
// (which may be `initial`); a failure reports why the last attempt stopped.
template <typename SolveLevel, typename Correlates>
pyramid_solve_result solve_coarse_to_fine(uint64_t starts, float x, float y, const float* initial, uint64_t n,
                                          float* out, SolveLevel&& solve_level, Correlates&& correlates) {
  std::array<float, kMaxParameters> p;
  pyramid_solve_result result;
  for (uint64_t s = 0; s < starts; ++s) {
    std::copy(initial, initial + n, p.begin());
    const float scale = std::ldexp(1.0f, -static_cast<int>(s));
    p[0] *= scale;
    p[1] *= scale;
    float qx = x * scale, qy = y * scale;
    result.stop = solve_stop::converged;
    for (uint64_t l = s + 1; l-- > 0;) {
      const level_solve_result r = solve_level(l, qx, qy, p.data());
      if (!r.converged()) {
        result.stop = r.stop;
        break;
      }
      if (l == s && !correlates(l, qx, qy, static_cast<const float*>(p.data()))) {
        result.stop = solve_stop::low_correlation;
        break;
      }
      if (l > 0) {
        qx *= 2.0f;
        qy *= 2.0f;
        p[0] *= 2.0f;
        p[1] *= 2.0f;
      }
    }
    if (result.solved()) {
      std::copy(p.begin(), p.begin() + n, out);
      result.start_level = static_cast<int>(s);
      return result;
    }
  }
  return result;
}

}  // namespace lk_detail
}  // namespace vantor::tracking
