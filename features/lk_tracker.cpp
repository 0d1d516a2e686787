#include "features/lk_tracker.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "features/bilinear.h"
#include "features/cholesky.h"

namespace vantor::tracking {

using namespace lk_detail;

uint64_t lk_parameter_count(int32_t mode, uint64_t channels) {
  switch (mode) {
    case kPhotometricGlobal: return 4;
    case kPhotometricPerChannel:
    case kPhotometricBlockwise: return 2 + 2 * channels;
    default: return 2;
  }
}

lk_track_options tracking_options(const lk_parameters& lk) {
  lk_track_options options;
  options.half_width = options.half_height = lk.window_half_size;
  options.levels = lk.pyramid_levels;
  options.solve.mode = lk.tracking_photometric_mode;
  options.solve.eps = {static_cast<float>(lk.translation_epsilon), static_cast<float>(lk.gain_epsilon),
                       static_cast<float>(lk.bias_epsilon)};
  options.solve.iteration_limit = lk.iteration_limit;
  options.min_correlation = static_cast<float>(lk.min_correlation);
  options.min_template_spread = static_cast<float>(lk.min_template_spread);
  return options;
}

namespace {

inline float lane_total(const float* acc) {
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// Sums over padded planes (n a multiple of kLanes), one accumulator per lane so that the
// loops vectorise without reassociating a single sum.
inline float dot(const float* __restrict a, const float* __restrict b, uint64_t n) {
  float acc[kLanes] = {};
  for (uint64_t k = 0; k < n; k += kLanes)
    for (uint64_t j = 0; j < kLanes; ++j) acc[j] += a[k + j] * b[k + j];
  return lane_total(acc);
}

// (sum gx (T - I), sum gy (T - I)): the translation right-hand side.
inline std::pair<float, float> gradient_times_difference(const float* __restrict gx, const float* __restrict gy,
                                                         const float* __restrict t, const float* __restrict i,
                                                         uint64_t n) {
  float ax[kLanes] = {}, ay[kLanes] = {};
  for (uint64_t k = 0; k < n; k += kLanes)
    for (uint64_t j = 0; j < kLanes; ++j) {
      const float e = t[k + j] - i[k + j];
      ax[j] += gx[k + j] * e;
      ay[j] += gy[k + j] * e;
    }
  return {lane_total(ax), lane_total(ay)};
}

// Per channel: sum(T e) and sum(e), lanes a whole number of pixels wide.
template <int C>
void brightness_rhs(const float* __restrict t, const float* __restrict e, uint64_t n, float* sum_te, float* sum_e) {
  constexpr uint64_t L = std::lcm(static_cast<uint64_t>(C), kLanes);
  float ate[L] = {}, ae[L] = {};
  for (uint64_t k = 0; k < n; k += L)
    for (uint64_t j = 0; j < L; ++j) {
      ate[j] += t[k + j] * e[k + j];
      ae[j] += e[k + j];
    }
  for (int c = 0; c < C; ++c) sum_te[c] = sum_e[c] = 0.0f;
  for (uint64_t j = 0; j < L; ++j) {
    sum_te[j % C] += ate[j];
    sum_e[j % C] += ae[j];
  }
}

// e = T - (I - bias) / gain over the window's samples; the padding of e stays zero.
template <int C>
void normalised_error(const float* __restrict t, const float* __restrict i, const float* inv_gain, const float* bias,
                      uint64_t pixels, float* __restrict e) {
  for (uint64_t p = 0; p < pixels; ++p)
    for (int c = 0; c < C; ++c) e[p * C + c] = t[p * C + c] - (i[p * C + c] - bias[c]) * inv_gain[c];
}

struct gradient_moments {
  double xx = 0, xy = 0, yy = 0;
};

gradient_moments moments(const float* gx, const float* gy, uint64_t n) {
  gradient_moments m;
  for (uint64_t k = 0; k < n; ++k) {
    m.xx += static_cast<double>(gx[k]) * gx[k];
    m.xy += static_cast<double>(gx[k]) * gy[k];
    m.yy += static_cast<double>(gy[k]) * gy[k];
  }
  return m;
}

struct brightness_moments {
  double t = 0, tt = 0, x = 0, y = 0, tx = 0, ty = 0;
};

void brightness(const float* values, const float* gx, const float* gy, const lk_window& win, brightness_moments* out) {
  const uint64_t channels = win.channels;
  for (uint64_t p = 0; p < win.pixels(); ++p)
    for (uint64_t c = 0; c < channels; ++c) {
      const uint64_t k = p * channels + c;
      const double t = values[k];
      brightness_moments& m = out[c];
      m.t += t;
      m.tt += t * t;
      m.x += gx[k];
      m.y += gy[k];
      m.tx += t * gx[k];
      m.ty += t * gy[k];
    }
}

// Inverse of the symmetric [a b; b d] by cofactors; fails only when it is singular (a matrix of
// summed squares has no negative determinant but for rounding). An ill-conditioned one is
// still inverted: its steps meet the window test, the convergence test and the correlation.
bool invert_2x2(double a, double b, double d, float* out) {
  const double det = a * d - b * b;
  if (!(det > 0) || !std::isfinite(det)) return false;
  out[0] = static_cast<float>(d / det);
  out[1] = static_cast<float>(-b / det);
  out[2] = static_cast<float>(-b / det);
  out[3] = static_cast<float>(a / det);
  return std::isfinite(out[0]) && std::isfinite(out[1]) && std::isfinite(out[3]);
}

// The translation window test: the (2hw+2) x (2hh+2) block at (ix - hw, iy - hh) must lie in
// the level with one spare row below it. Written on the coordinates so that NaN fails.
bool translation_window_fits(float px, float py, uint64_t width, uint64_t height, const lk_window& win) {
  const double hw = static_cast<double>(win.half_width), hh = static_cast<double>(win.half_height);
  return px >= hw && px < static_cast<double>(width) - hw - 1.0 && py >= hh &&
         py < static_cast<double>(height) - hh - 2.0;
}

template <int C>
void sample_translation_window(const float* image, uint64_t width, float px, float py, const lk_window& win,
                               float* out) {
  const int64_t ix = static_cast<int64_t>(std::floor(px)), iy = static_cast<int64_t>(std::floor(py));
  const bilinear_weights w(px - static_cast<float>(ix), py - static_cast<float>(iy));
  const uint64_t stride = width * C, rn = win.row_floats();
  const float* src = image + (iy - static_cast<int64_t>(win.half_height)) * static_cast<int64_t>(stride) +
                     (ix - static_cast<int64_t>(win.half_width)) * C;
  for (uint64_t v = 0; v < win.height(); ++v, src += stride) bilinear_row<C>(src, src + stride, out + v * rn, rn, w);
}

}  // namespace

lk_workspace::lk_workspace(const lk_window& window, uint64_t levels)
    : window_(window), levels_(levels), normal_(levels, 2 + 2 * window.channels, window.channels) {
  const uint64_t n = 2 + 2 * window.channels;
  templates_.assign(levels * window.level_stride(), 0.0f);
  target_.assign(window.plane_stride(), 0.0f);
  error_.assign(window.plane_stride(), 0.0f);
  scratch_.assign(window.extraction_scratch(), 0.0f);
  step_.assign(n, 0.0f);
  rhs_.assign(n, 0.0f);
}

bool lk_workspace::sample_target(const image_pyramid& target, uint64_t level, float px, float py) {
  if (level >= target.levels() || target.channels() != window_.channels ||
      !translation_window_fits(px, py, target.level_width(level), target.level_height(level), window_))
    return false;
  dispatch_channels(window_.channels, [&]<int C>() {
    sample_translation_window<C>(target.level(level), target.level_width(level), px, py, window_, target_.data());
  });
  return true;
}

uint64_t lk_workspace::load_template(const image_pyramid& source, float x, float y) {
  usable_ = extract_feature_template(source, window_, x, y, levels_, templates_.data(), scratch_.data());
  normal_.forget();
  return usable_;
}

// The level solver's parts, with access to the workspace.
struct lk_solver {
  // Forms the normal equations of `level` for `mode` once per loaded template.
  static bool prepare(lk_workspace& ws, uint64_t level, int32_t mode) {
    return ws.normal_.prepare(level, mode, [&] { return form(ws, level, mode); });
  }

  static bool form(lk_workspace& ws, uint64_t level, int32_t mode) {
    const lk_window& win = ws.window_;
    const uint64_t channels = win.channels, ps = win.plane_stride();
    const float* values = ws.template_level(level);
    const float* gx = values + ps;
    const float* gy = values + 2 * ps;
    const uint64_t n2 = 2 + 2 * channels;
    float* out = ws.normal_.level(level);
    const gradient_moments g = moments(gx, gy, ps);
    if (mode == kPhotometricNone || mode == kPhotometricBlockwise) {
      if (!invert_2x2(g.xx, g.xy, g.yy, out)) return false;
      if (mode == kPhotometricNone) return true;
    }
    // Brightness rows: per channel sum(T^2), sum(T), and against the gradients.
    std::array<brightness_moments, kMaxChannels> b{};
    brightness(values, gx, gy, win, b.data());
    const double n = static_cast<double>(win.pixels());
    uint8_t* held = ws.normal_.held_gain(level);
    for (uint64_t c = 0; c < channels; ++c) held[c] = gain_undetermined(b[c].t, b[c].tt, n);
    if (mode == kPhotometricBlockwise) {
      for (uint64_t c = 0; c < channels; ++c) {
        float* inv = out + 4 + 4 * c;
        if (held[c]) {
          inv[0] = inv[1] = inv[2] = 0.0f;
          inv[3] = static_cast<float>(1.0 / n);
        } else if (!invert_2x2(b[c].tt, b[c].t, n, inv)) {
          return false;
        }
      }
      return true;
    }
    // Mode 2: the full system, Jacobian rows (gx, gy, -T, -1) per channel.
    std::array<double, (2 + 2 * kMaxChannels) * (2 + 2 * kMaxChannels)> h{};
    auto at = [&](uint64_t r, uint64_t c) -> double& { return h[c * n2 + r]; };
    at(0, 0) = g.xx;
    at(0, 1) = at(1, 0) = g.xy;
    at(1, 1) = g.yy;
    for (uint64_t c = 0; c < channels; ++c) {
      const uint64_t gi = 2 + 2 * c, bi = gi + 1;
      at(bi, bi) = n;
      at(0, bi) = at(bi, 0) = -b[c].x;
      at(1, bi) = at(bi, 1) = -b[c].y;
      if (held[c]) {
        at(gi, gi) = 1.0;
        continue;
      }
      at(gi, gi) = b[c].tt;
      at(gi, bi) = at(bi, gi) = b[c].t;
      at(0, gi) = at(gi, 0) = -b[c].tx;
      at(1, gi) = at(gi, 1) = -b[c].ty;
    }
    for (uint64_t k = 0; k < n2 * n2; ++k) out[k] = static_cast<float>(h[k]);
    return cholesky_factor(out, static_cast<int>(n2));
  }

  template <int C>
  static level_solve_result solve(lk_workspace& ws, const image_pyramid& target, uint64_t level, float px0, float py0,
                                  float* p, int32_t mode, const lk_convergence& eps, uint64_t limit) {
    const lk_window& win = ws.window_;
    const uint64_t ps = win.plane_stride(), width = target.level_width(level), height = target.level_height(level);
    const float* image = target.level(level);
    const float* values = ws.template_level(level);
    const float* gx = values + ps;
    const float* gy = values + 2 * ps;
    float* window = ws.target_.data();
    float* error = ws.error_.data();
    float* step = ws.step_.data();
    float* rhs = ws.rhs_.data();
    const uint64_t n2 = 2 + 2 * C;
    const float* normal = ws.normal_.level(level);
    const uint8_t* held = ws.normal_.held_gain(level);
    for (uint64_t i = 0; i < limit; ++i) {
      const float px = px0 + p[0], py = py0 + p[1];
      if (!translation_window_fits(px, py, width, height, win)) return {solve_stop::left_image, i};
      sample_translation_window<C>(image, width, px, py, win, window);
      if (mode == kPhotometricNone) {
        const auto [bx, by] = gradient_times_difference(gx, gy, values, window, ps);
        step[0] = normal[0] * bx + normal[1] * by;
        step[1] = normal[2] * bx + normal[3] * by;
        p[0] += step[0];
        p[1] += step[1];
        if (std::fabs(step[0]) < eps.translation && std::fabs(step[1]) < eps.translation)
          return {solve_stop::converged, i};
        continue;
      }
      // Target brought to the template's brightness: (I - bias) / gain.
      std::array<float, C> inv_gain, bias;
      for (int c = 0; c < C; ++c) {
        inv_gain[c] = 1.0f / p[2 + 2 * c];
        bias[c] = p[3 + 2 * c];
      }
      normalised_error<C>(values, window, inv_gain.data(), bias.data(), win.pixels(), error);
      std::array<float, C> sum_te, sum_e;
      brightness_rhs<C>(values, error, ps, sum_te.data(), sum_e.data());
      rhs[0] = dot(gx, error, ps);
      rhs[1] = dot(gy, error, ps);
      for (int c = 0; c < C; ++c) {
        rhs[2 + 2 * c] = held[c] ? 0.0f : -sum_te[c];
        rhs[3 + 2 * c] = -sum_e[c];
      }
      if (mode == kPhotometricPerChannel) {
        std::copy(rhs, rhs + n2, step);
        if (!cholesky_solve(normal, static_cast<int>(n2), step)) return {solve_stop::singular, i};
      } else {
        step[0] = normal[0] * rhs[0] + normal[1] * rhs[1];
        step[1] = normal[2] * rhs[0] + normal[3] * rhs[1];
        for (int c = 0; c < C; ++c) {
          const float* inv = normal + 4 + 4 * c;
          const float rg = rhs[2 + 2 * c], rb = rhs[3 + 2 * c];
          step[2 + 2 * c] = inv[0] * rg + inv[1] * rb;
          step[3 + 2 * c] = inv[2] * rg + inv[3] * rb;
        }
      }
      p[0] += step[0];
      p[1] += step[1];
      bool converged = std::fabs(step[0]) < eps.translation && std::fabs(step[1]) < eps.translation;
      for (int c = 0; c < C; ++c) {
        const bool small =
            update_gain_bias(p[2 + 2 * c], p[3 + 2 * c], step[2 + 2 * c], step[3 + 2 * c], eps.gain, eps.bias);
        converged = converged && small;
      }
      if (converged) return {solve_stop::converged, i};
    }
    return {solve_stop::iteration_limit, limit};
  }
};

level_solve_result lk_level_solve(lk_workspace& ws, const image_pyramid& target, uint64_t level, float px, float py,
                                  float* params, const lk_solve_options& options) {
  const int32_t mode = options.mode;
  const uint64_t lim = std::min<uint64_t>(options.iteration_limit, std::numeric_limits<int32_t>::max());
  if (mode < kPhotometricNone || mode > kPhotometricBlockwise) return {solve_stop::unsupported, 0};
  if (level >= ws.usable_levels() || level >= target.levels() || target.channels() != ws.window().channels)
    return {solve_stop::unsupported, 0};
  if (mode == kPhotometricGlobal) {
    // Reserved: no update is made, so it only ever stops at the window test or the limit.
    if (lim == 0) return {solve_stop::iteration_limit, 0};
    if (!translation_window_fits(px + params[0], py + params[1], target.level_width(level), target.level_height(level),
                                 ws.window()))
      return {solve_stop::left_image, 0};
    return {solve_stop::iteration_limit, lim};
  }
  if (!lk_solver::prepare(ws, level, mode)) return {solve_stop::singular, 0};
  return dispatch_channels(ws.window().channels, [&]<int C>() {
    return lk_solver::solve<C>(ws, target, level, px, py, params, mode, options.eps, lim);
  });
}

pyramid_solve_result lk_track_feature(lk_workspace& ws, const image_pyramid& target, float x, float y,
                                      const float* initial, float* out, int flat_indicator,
                                      const lk_track_options& options) {
  const lk_window& win = ws.window();
  const float threshold = flat_indicator != 0 ? -2.0f : options.min_correlation;
  return solve_coarse_to_fine(
      std::min(ws.usable_levels(), target.levels()), x, y, initial,
      lk_parameter_count(options.solve.mode, win.channels), out,
      [&](uint64_t level, float qx, float qy, float* p) {
        return lk_level_solve(ws, target, level, qx, qy, p, options.solve);
      },
      [&](uint64_t level, float qx, float qy, const float* p) {
        // The window at the solved position; where that has left the level, the one sampled
        // in the last iteration (less than a step away).
        ws.sample_target(target, level, qx + p[0], qy + p[1]);
        return window_correlation(ws.template_level(level), ws.target_window(), win) >= threshold;
      });
}

std::vector<uint32_t> make_level_histogram(uint64_t levels) { return std::vector<uint32_t>(levels + 1, 0); }

void count_level(std::span<uint32_t> histogram, int start_level) {
  const uint64_t slot = start_level < 0 ? 0 : static_cast<uint64_t>(start_level) + 1;
  if (slot < histogram.size()) ++histogram[slot];
}

void track(const image_pyramid& source, const image_pyramid& target,
           std::span<const tracking_feature<float>> source_row, std::span<tracking_feature<float>> target_row,
           const lk_track_options& options, std::span<uint32_t> histogram) {
  const uint64_t channels = source.channels();
  if (channels < 1 || channels > kMaxChannels || target.channels() != channels)
    throw std::invalid_argument("track: the pyramids must have the same channel count, 1 to 4");
  if (target_row.size() != source_row.size())
    throw std::invalid_argument("track: source and target rows differ in size");
  const lk_window win{options.half_width, options.half_height, channels};
  lk_workspace ws(win, std::min({options.levels, source.levels(), target.levels()}));
  const int32_t mode = options.solve.mode;
  const uint64_t n = lk_parameter_count(mode, channels);
  std::vector<float> initial(n, 0.0f), result(n, 0.0f);
  if (mode == kPhotometricGlobal) initial[2] = 1.0f;
  if (mode == kPhotometricPerChannel || mode == kPhotometricBlockwise)
    for (uint64_t c = 0; c < channels; ++c) initial[2 + 2 * c] = 1.0f;

  for (size_t s = 0; s < source_row.size(); ++s) {
    const tracking_feature<float>& in = source_row[s];
    tracking_feature<float>& out = target_row[s];
    if (in.state < 0) {
      out.state = kFeatureNotTracked;
      continue;
    }
    pyramid_solve_result solve;  // no template
    if (ws.load_template(source, in.x, in.y) > 0) {
      const int indicator = flat_channel_indicator(ws.template_level(0), win, options.min_template_spread);
      solve = lk_track_feature(ws, target, in.x, in.y, initial.data(), result.data(), indicator, options);
    }
    count_level(histogram, solve.start_level);
    if (!solve.solved()) {
      out.state = kFeatureLost;
      continue;
    }
    out.x = in.x + result[0];
    out.y = in.y + result[1];
    out.state = kFeatureTracked;
  }
}

uint64_t track_spans(std::span<const tracking_feature<float>> table, uint64_t slots, uint64_t frames,
                     std::vector<feature_track>& tracks) {
  if (slots == 0) return 0;
  frames = std::min<uint64_t>(frames, table.size() / slots);
  uint64_t appended = 0;
  for (uint64_t f = 0; f < frames; ++f)
    for (uint64_t s = 0; s < slots; ++s) {
      if (table[f * slots + s].state <= 0) continue;
      uint64_t e = f + 1;
      while (e < frames && table[e * slots + s].state == kFeatureTracked) ++e;
      tracks.push_back({s, f, e});
      ++appended;
    }
  return appended;
}

}  // namespace vantor::tracking
