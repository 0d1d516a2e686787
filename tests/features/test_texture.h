// A smooth random colour texture defined everywhere, so that shifted and warped frames made from
// it are exact.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

namespace vantor::tracking::testing {

class Texture {
 public:
  explicit Texture(uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 6.2831853);
    for (auto& w : waves_) {
      const double angle = unit(rng), k = 6.2831853 / (8 + 3.8 * unit(rng));  // wavelengths 8 to 32
      w = {k * std::cos(angle), k * std::sin(angle), 8 + 1.3 * unit(rng), unit(rng)};
    }
  }
  float operator()(double x, double y, int c) const {
    double v = 128;
    for (const auto& [kx, ky, amp, phase] : waves_) v += amp * std::sin(kx * x + ky * y + phase * (c + 1));
    return static_cast<float>(v);
  }

 private:
  struct Wave {
    double kx, ky, amp, phase;
  };
  Wave waves_[24];
};

}  // namespace vantor::tracking::testing
