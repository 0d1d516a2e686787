#include "features/affine_refinement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "features/cholesky.h"

namespace vantor::tracking {

using namespace lk_detail;

namespace {

constexpr uint64_t kGeometric = 6;  // dx, dy, d11, d12, d21, d22

uint64_t parameter_count(int32_t mode, uint64_t channels) {
  return mode == kPhotometricPerChannel ? kGeometric + 2 * channels : kGeometric;
}

// The warp at a level: centre (x0 + dx, y0 + dy) and the 2x2 matrix.
struct affine_warp {
  float cx, cy, m00, m01, m10, m11;
  affine_warp(float x0, float y0, const float* p)
      : cx(x0 + p[0]), cy(y0 + p[1]), m00(1 + p[2]), m01(p[3]), m10(p[4]), m11(1 + p[5]) {}
  float x(float u, float v) const { return cx + m00 * u + m01 * v; }
  float y(float u, float v) const { return cy + m10 * u + m11 * v; }
};

// All four window corners strictly inside the level (so every point of the warped window has
// both bilinear neighbours in it). Written so that NaN fails.
bool corners_inside(const affine_warp& w, const lk_window& win, uint64_t width, uint64_t height) {
  const float hw = static_cast<float>(win.half_width), hh = static_cast<float>(win.half_height);
  const float xmax = static_cast<float>(width) - 1.0f, ymax = static_cast<float>(height) - 1.0f;
  for (const float u : {-hw, hw})
    for (const float v : {-hh, hh}) {
      const float x = w.x(u, v), y = w.y(u, v);
      if (!(x > 0.0f && x < xmax && y > 0.0f && y < ymax)) return false;
    }
  return true;
}

template <int C>
void sample_warped(const float* image, uint64_t width, uint64_t height, const affine_warp& w, const lk_window& win,
                   float* out) {
  const int64_t hw = static_cast<int64_t>(win.half_width), hh = static_cast<int64_t>(win.half_height);
  const int64_t xlast = static_cast<int64_t>(width) - 2, ylast = static_cast<int64_t>(height) - 2;
  const uint64_t stride = width * C;
  for (int64_t v = -hh; v <= hh; ++v) {
    const float fv = static_cast<float>(v);
    for (int64_t u = -hw; u <= hw; ++u, out += C) {
      const float fu = static_cast<float>(u);
      const float x = w.x(fu, fv), y = w.y(fu, fv);
      // Inside by the corner test; the clamp only guards rounding between corner and point.
      const int64_t ix = std::clamp<int64_t>(static_cast<int64_t>(x), 0, xlast);
      const int64_t iy = std::clamp<int64_t>(static_cast<int64_t>(y), 0, ylast);
      const float fx = x - static_cast<float>(ix), fy = y - static_cast<float>(iy);
      const float w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
      const float* r0 = image + static_cast<uint64_t>(iy) * stride + static_cast<uint64_t>(ix) * C;
      const float* r1 = r0 + stride;
      for (int c = 0; c < C; ++c) out[c] = w00 * r0[c] + w01 * r0[c + C] + w10 * r1[c] + w11 * r1[c + C];
    }
  }
}

// Resamples the window at `p` when its corners are inside; otherwise the last sampled window
// (less than a convergence step away) stands.
void resample(const image_pyramid& target, uint64_t level, float x0, float y0, const float* p, const lk_window& win,
              float* out) {
  const affine_warp w(x0, y0, p);
  const uint64_t width = target.level_width(level), height = target.level_height(level);
  if (!corners_inside(w, win, width, height)) return;
  dispatch_channels(win.channels, [&]<int C>() { sample_warped<C>(target.level(level), width, height, w, win, out); });
}

}  // namespace

refine_options refinement_options(const lk_parameters& lk, uint64_t channels) {
  refine_options options;
  options.window = {lk.window_half_size, lk.window_half_size, channels};
  options.solve.mode = lk.refinement_photometric_mode;
  options.solve.eps = {static_cast<float>(lk.translation_epsilon), static_cast<float>(lk.deformation_epsilon),
                       static_cast<float>(lk.gain_epsilon), static_cast<float>(lk.bias_epsilon)};
  options.solve.iteration_limit = lk.iteration_limit;
  options.min_correlation = static_cast<float>(lk.min_correlation);
  options.min_template_spread = static_cast<float>(lk.min_template_spread);
  return options;
}

void create_templates(const image_pyramid& pyramid, std::span<const tracking_feature<float>> row,
                      std::span<feature_template> templates, std::span<float> states, uint64_t half_size) {
  const uint64_t channels = pyramid.channels(), stride = affine_state::size(channels);
  if (templates.size() < row.size() || states.size() < row.size() * stride)
    throw std::invalid_argument("create_templates: templates or states shorter than the row");
  const lk_window win{half_size, half_size, channels};
  std::vector<float> scratch(win.extraction_scratch());
  for (size_t s = 0; s < row.size(); ++s) {
    if (row[s].state <= 0) continue;
    feature_template& t = templates[s];
    t.half_width = t.half_height = half_size;
    t.channels = channels;
    t.data.assign(pyramid.levels() * win.level_stride(), 0.0f);
    t.levels =
        extract_feature_template(pyramid, win, row[s].x, row[s].y, pyramid.levels(), t.data.data(), scratch.data());
    float* st = states.data() + s * stride;
    std::fill(st, st + stride, 0.0f);
    st[affine_state::kX0] = row[s].x;
    st[affine_state::kY0] = row[s].y;
    for (uint64_t c = 0; c < channels; ++c) st[affine_state::gain(c)] = 1.0f;
  }
}

affine_workspace::affine_workspace(const lk_window& window, uint64_t levels)
    : window_(window), levels_(levels), normal_(levels, kGeometric + 2 * window.channels, window.channels) {
  target_.assign(window.plane_stride(), 0.0f);
  error_.assign(window.plane_stride(), 0.0f);
  step_.assign(kGeometric + 2 * window.channels, 0.0f);
}

void affine_workspace::reset() { normal_.forget(); }

struct affine_solver {
  // The normal equations of the template's level for `mode`, formed and factorised once.
  static bool prepare(affine_workspace& ws, const feature_template& tmpl, uint64_t level, int32_t mode) {
    return ws.normal_.prepare(level, mode, [&] { return form(ws, tmpl, level, mode); });
  }

  // Jacobian of (pixel (u, v), channel c): (gx, gy, gx u, gx v, gy u, gy v), then in mode 2
  // -T at gain c and -1 at bias c (brightness composed onto the template side).
  static bool form(affine_workspace& ws, const feature_template& tmpl, uint64_t level, int32_t mode) {
    const lk_window& win = ws.window_;
    const uint64_t channels = win.channels, ps = win.plane_stride(), n = parameter_count(mode, channels);
    const float* values = tmpl.level(level);
    const float* gx = values + ps;
    const float* gy = values + 2 * ps;
    std::array<double, kGeometric * kGeometric> geo{};
    struct per_channel {
      std::array<double, kGeometric> g{}, gt{};  // sum J_geo, sum J_geo * T
      double t = 0, tt = 0;
    };
    std::array<per_channel, kMaxChannels> pc{};
    const int64_t hw = static_cast<int64_t>(win.half_width), hh = static_cast<int64_t>(win.half_height);
    uint64_t k = 0;
    for (int64_t v = -hh; v <= hh; ++v)
      for (int64_t u = -hw; u <= hw; ++u)
        for (uint64_t c = 0; c < channels; ++c, ++k) {
          const double x = gx[k], y = gy[k], t = values[k];
          const double j[kGeometric] = {x, y, x * u, x * v, y * u, y * v};
          for (uint64_t r = 0; r < kGeometric; ++r)
            for (uint64_t q = 0; q <= r; ++q) geo[r * kGeometric + q] += j[r] * j[q];
          per_channel& m = pc[c];
          for (uint64_t r = 0; r < kGeometric; ++r) {
            m.g[r] += j[r];
            m.gt[r] += j[r] * t;
          }
          m.t += t;
          m.tt += t * t;
        }
    std::array<double, (kGeometric + 2 * kMaxChannels) * (kGeometric + 2 * kMaxChannels)> h{};
    auto at = [&](uint64_t r, uint64_t q) -> double& { return h[q * n + r]; };
    for (uint64_t r = 0; r < kGeometric; ++r)
      for (uint64_t q = 0; q <= r; ++q) at(r, q) = at(q, r) = geo[r * kGeometric + q];
    const double pixels = static_cast<double>(win.pixels());
    uint8_t* held = ws.normal_.held_gain(level);
    if (mode == kPhotometricPerChannel) {
      for (uint64_t c = 0; c < channels; ++c) {
        const per_channel& m = pc[c];
        const uint64_t gi = kGeometric + 2 * c, bi = gi + 1;
        held[c] = gain_undetermined(m.t, m.tt, pixels);
        at(bi, bi) = pixels;
        for (uint64_t r = 0; r < kGeometric; ++r) at(r, bi) = at(bi, r) = -m.g[r];
        if (held[c]) {
          at(gi, gi) = 1.0;
          continue;
        }
        at(gi, gi) = m.tt;
        at(gi, bi) = at(bi, gi) = m.t;
        for (uint64_t r = 0; r < kGeometric; ++r) at(r, gi) = at(gi, r) = -m.gt[r];
      }
    }
    float* out = ws.normal_.level(level);
    for (uint64_t i = 0; i < n * n; ++i) out[i] = static_cast<float>(h[i]);
    return cholesky_factor(out, static_cast<int>(n));
  }

  template <int C>
  static level_solve_result solve(affine_workspace& ws, const image_pyramid& target, const feature_template& tmpl,
                                  uint64_t level, float x0, float y0, float* p, int32_t mode,
                                  const affine_convergence& eps, uint64_t limit) {
    const lk_window& win = ws.window_;
    const uint64_t ps = win.plane_stride(), n = parameter_count(mode, C);
    const uint64_t width = target.level_width(level), height = target.level_height(level);
    const float* image = target.level(level);
    const float* values = tmpl.level(level);
    const float* gx = values + ps;
    const float* gy = values + 2 * ps;
    const float* factor = ws.normal_.level(level);
    const uint8_t* held = ws.normal_.held_gain(level);
    float* window = ws.target_.data();
    float* error = ws.error_.data();
    float* s = ws.step_.data();
    const int64_t hw = static_cast<int64_t>(win.half_width), hh = static_cast<int64_t>(win.half_height);
    const bool brightness = mode == kPhotometricPerChannel;

    for (uint64_t i = 0; i < limit; ++i) {
      const affine_warp w(x0, y0, p);
      if (!corners_inside(w, win, width, height)) return {solve_stop::left_image, i};
      sample_warped<C>(image, width, height, w, win, window);

      // Error against the template with the target brought to the template's brightness.
      std::array<float, C> inv_gain, bias;
      for (int c = 0; c < C; ++c) {
        inv_gain[c] = brightness ? 1.0f / p[kGeometric + 2 * c] : 1.0f;
        bias[c] = brightness ? p[kGeometric + 2 * c + 1] : 0.0f;
      }
      const uint64_t samples = win.samples();
      for (uint64_t k = 0; k < samples; k += C)
        for (int c = 0; c < C; ++c) error[k + c] = values[k + c] - (window[k + c] - bias[c]) * inv_gain[c];

      // Right-hand side: geometric sums by rows, then the row's offset v.
      float b[kGeometric] = {};
      std::array<float, C> sum_te{}, sum_e{};
      uint64_t k = 0;
      for (int64_t v = -hh; v <= hh; ++v) {
        float ex = 0, ey = 0, uex = 0, uey = 0;
        for (int64_t u = -hw; u <= hw; ++u) {
          float px = 0, py = 0;
          for (int c = 0; c < C; ++c, ++k) {
            px += gx[k] * error[k];
            py += gy[k] * error[k];
            sum_te[c] += values[k] * error[k];
            sum_e[c] += error[k];
          }
          ex += px;
          ey += py;
          uex += static_cast<float>(u) * px;
          uey += static_cast<float>(u) * py;
        }
        const float fv = static_cast<float>(v);
        b[0] += ex;
        b[1] += ey;
        b[2] += uex;
        b[3] += fv * ex;
        b[4] += uey;
        b[5] += fv * ey;
      }
      std::copy(b, b + kGeometric, s);
      if (brightness)
        for (int c = 0; c < C; ++c) {
          s[kGeometric + 2 * c] = held[c] ? 0.0f : -sum_te[c];
          s[kGeometric + 2 * c + 1] = -sum_e[c];
        }
      if (!cholesky_solve(factor, static_cast<int>(n), s)) return {solve_stop::singular, i};

      // Composition with the inverse increment: A <- A (I - S)^-1, t <- t + A (I - S)^-1 s_t.
      const float a00 = 1 + p[2], a01 = p[3], a10 = p[4], a11 = 1 + p[5];
      const float i00 = 1 - s[2], i01 = -s[3], i10 = -s[4], i11 = 1 - s[5];
      const float det = i00 * i11 - i01 * i10;
      const float v00 = i11 / det, v01 = -i01 / det, v10 = -i10 / det, v11 = i00 / det;
      const float m00 = a00 * v00 + a01 * v10, m01 = a00 * v01 + a01 * v11;
      const float m10 = a10 * v00 + a11 * v10, m11 = a10 * v01 + a11 * v11;
      p[0] += m00 * s[0] + m01 * s[1];
      p[1] += m10 * s[0] + m11 * s[1];
      p[2] = m00 - 1;
      p[3] = m01;
      p[4] = m10;
      p[5] = m11 - 1;
      bool converged = std::fabs(s[0]) < eps.translation && std::fabs(s[1]) < eps.translation;
      for (uint64_t j = 2; j < kGeometric; ++j) converged = converged && std::fabs(s[j]) < eps.deformation;
      if (brightness)
        for (int c = 0; c < C; ++c) {
          const uint64_t g = kGeometric + 2 * c;
          const bool small = update_gain_bias(p[g], p[g + 1], s[g], s[g + 1], eps.gain, eps.bias);
          converged = converged && small;
        }
      if (converged) return {solve_stop::converged, i};
    }
    return {solve_stop::iteration_limit, limit};
  }
};

level_solve_result affine_level_solve(affine_workspace& ws, const image_pyramid& target, const feature_template& tmpl,
                                      uint64_t level, float x0, float y0, float* params,
                                      const affine_solve_options& options) {
  const int32_t mode = options.mode;
  const uint64_t lim = std::min<uint64_t>(options.iteration_limit, std::numeric_limits<int32_t>::max());
  const lk_window& win = ws.window();
  if (level >= tmpl.levels || level >= target.levels() || level >= ws.levels() || target.channels() != win.channels ||
      tmpl.half_width != win.half_width || tmpl.half_height != win.half_height || tmpl.channels != win.channels)
    return {solve_stop::unsupported, 0};
  if (mode == kPhotometricGlobal) {
    // Reserved: fails in its first iteration, after the window test.
    if (lim == 0) return {solve_stop::iteration_limit, 0};
    const affine_warp w(x0, y0, params);
    if (!corners_inside(w, win, target.level_width(level), target.level_height(level)))
      return {solve_stop::left_image, 0};
    return {solve_stop::unsupported, 0};
  }
  if (mode != kPhotometricNone && mode != kPhotometricPerChannel) return {solve_stop::unsupported, 0};
  if (!affine_solver::prepare(ws, tmpl, level, mode)) return {solve_stop::singular, 0};
  return dispatch_channels(win.channels, [&]<int C>() {
    return affine_solver::solve<C>(ws, target, tmpl, level, x0, y0, params, mode, options.eps, lim);
  });
}

pyramid_solve_result refine_feature(affine_workspace& ws, const image_pyramid& target, const feature_template& tmpl,
                                    float* state, float threshold, const affine_solve_options& options) {
  const lk_window& win = ws.window();
  ws.reset();
  float* window = ws.target_window();
  float* params = state + affine_state::kDx;
  return solve_coarse_to_fine(
      std::min({tmpl.levels, target.levels(), ws.levels()}), state[affine_state::kX0], state[affine_state::kY0], params,
      kGeometric + 2 * win.channels, params,
      [&](uint64_t level, float x0, float y0, float* p) {
        return affine_level_solve(ws, target, tmpl, level, x0, y0, p, options);
      },
      [&](uint64_t level, float x0, float y0, const float* p) {
        resample(target, level, x0, y0, p, win, window);
        return window_correlation(tmpl.level(level), window, win) >= threshold;
      });
}

void refine(const image_pyramid& target, std::span<tracking_feature<float>> row,
            std::span<const feature_template> templates, std::span<float> states, const refine_options& options,
            std::span<uint32_t> histogram) {
  const lk_window& win = options.window;
  const uint64_t channels = win.channels;
  if (channels < 1 || channels > kMaxChannels || target.channels() != channels)
    throw std::invalid_argument("refine: the pyramid must have the given channel count, 1 to 4");
  const uint64_t stride = affine_state::size(channels);
  if (templates.size() < row.size() || states.size() < row.size() * stride)
    throw std::invalid_argument("refine: templates or states shorter than the row");
  affine_workspace ws(win, target.levels());
  float* window = ws.target_window();
  for (size_t slot = 0; slot < row.size(); ++slot) {
    tracking_feature<float>& f = row[slot];
    if (f.state != kFeatureTracked) continue;
    const feature_template& tmpl = templates[slot];
    float* state = states.data() + slot * stride;
    float threshold = options.min_correlation;
    pyramid_solve_result solve;  // no template
    if (tmpl.levels > 0 && tmpl.half_width == win.half_width && tmpl.half_height == win.half_height &&
        tmpl.channels == channels) {
      if (flat_channel_indicator(tmpl.level(0), win, options.min_template_spread) != 0) threshold = -2.0f;
      solve = refine_feature(ws, target, tmpl, state, threshold, options.solve);
    }
    if (solve.solved()) {
      resample(target, 0, state[affine_state::kX0], state[affine_state::kY0], state + affine_state::kDx, win, window);
      f.quality = window_correlation(tmpl.level(0), window, win);
      if (f.quality >= threshold) {
        count_level(histogram, solve.start_level);
        f.x = state[affine_state::kX0] + state[affine_state::kDx];
        f.y = state[affine_state::kY0] + state[affine_state::kDy];
        continue;
      }
    }
    count_level(histogram, -1);
    f.state = threshold > f.quality ? kFeatureRejectedFlat : kFeatureRejected;
  }
}

}  // namespace vantor::tracking
