// Bilinear interpolation of interleaved rows, shared by the template extraction and the
// translation tracker's window sampling.
#pragma once

#include <cstdint>

namespace vantor::tracking::lk_detail {

struct bilinear_weights {
  float w00, w01, w10, w11;
  bilinear_weights(float fx, float fy)
      : w00((1 - fx) * (1 - fy)), w01(fx * (1 - fy)), w10((1 - fx) * fy), w11(fx * fy) {}
};

// One interpolated row of n floats from two source rows; neighbours are C floats apart.
template <int C>
inline void bilinear_row(const float* __restrict r0, const float* __restrict r1, float* __restrict out, uint64_t n,
                         const bilinear_weights& w) {
  const float w00 = w.w00, w01 = w.w01, w10 = w.w10, w11 = w.w11;
  for (uint64_t k = 0; k < n; ++k) out[k] = w00 * r0[k] + w01 * r0[k + C] + w10 * r1[k] + w11 * r1[k + C];
}

}  // namespace vantor::tracking::lk_detail
