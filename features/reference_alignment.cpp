#include "features/reference_alignment.h"

#include <algorithm>
#include <cmath>

namespace vantor::tracking {
namespace {

constexpr uint64_t kChannelsMax = 4;

// The map's value at (x, y) and its 2x2 derivative there, false where it folds or runs off to
// infinity.
bool value_and_derivative(const plane_map& m, double x, double y, double& u, double& v, double d[4]) {
  const double w = m[2] * x + m[5] * y + m[8];
  if (!(std::fabs(w) > 1e-9)) return false;
  u = (m[0] * x + m[3] * y + m[6]) / w;
  v = (m[1] * x + m[4] * y + m[7]) / w;
  d[0] = (m[0] - u * m[2]) / w;  // du/dx
  d[1] = (m[3] - u * m[5]) / w;  // du/dy
  d[2] = (m[1] - v * m[2]) / w;  // dv/dx
  d[3] = (m[4] - v * m[5]) / w;  // dv/dy
  return std::isfinite(u) && std::isfinite(v) && d[0] * d[3] - d[1] * d[2] > 0;
}

}  // namespace

uint64_t reference_features::live() const {
  uint64_t n = 0;
  for (const tracking_feature<float>& f : row) n += f.state > 0;
  return n;
}

reference_match match_reference(const image_pyramid& target, const reference_features& reference,
                                const plane_map& predicted, uint64_t iteration_limit, int32_t mode,
                                const affine_convergence& eps, float min_correlation, float min_template_spread,
                                uint64_t half_size) {
  reference_match match;
  const uint64_t channels = target.channels();
  if (channels < 1 || channels > kChannelsMax) return match;
  const uint64_t slots = std::min(reference.row.size(), reference.templates.size());
  const uint64_t stride = affine_state::size(channels);
  std::vector<tracking_feature<float>> row(slots);
  std::vector<float> states(slots * stride, 0.0f);
  const float width = float(target.width()), height = float(target.height());
  for (uint64_t s = 0; s < slots; ++s) {
    const tracking_feature<float>& f = reference.row[s];
    if (f.state <= 0 || reference.templates[s].levels == 0) continue;
    double u = 0, v = 0, d[4];
    if (!value_and_derivative(predicted, f.x, f.y, u, v, d)) continue;
    if (!(u >= 0 && v >= 0 && u < width && v < height)) continue;
    float* st = states.data() + s * stride;
    st[affine_state::kX0] = f.x;
    st[affine_state::kY0] = f.y;
    st[affine_state::kDx] = float(u - f.x);
    st[affine_state::kDy] = float(v - f.y);
    st[affine_state::kD11] = float(d[0] - 1);
    st[affine_state::kD12] = float(d[1]);
    st[affine_state::kD21] = float(d[2]);
    st[affine_state::kD22] = float(d[3] - 1);
    for (uint64_t c = 0; c < channels; ++c) st[affine_state::gain(c)] = 1.0f;
    row[s] = {float(u), float(v), kFeatureTracked, 0.0f};
    ++match.tried;
  }
  std::vector<uint32_t> histogram(target.levels() + 1, 0);
  const refine_options options{
      {half_size, half_size, channels}, {mode, eps, iteration_limit}, min_correlation, min_template_spread};
  refine(target, row, reference.templates, states, options, histogram);
  for (uint64_t s = 0; s < slots; ++s) {
    if (row[s].state != kFeatureTracked) continue;
    match.from.push_back(reference.row[s]);
    match.to.push_back(row[s]);
  }
  return match;
}

}  // namespace vantor::tracking
