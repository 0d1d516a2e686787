#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "platform/graphics/image_renderer.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Four bytes a pixel, as the module calls it; the blurred byte is byte 3.
struct Frame {
  int32_t w, h;
  std::vector<uint8_t> bytes;
  Frame(int32_t w, int32_t h, uint8_t fill = 0) : w(w), h(h), bytes(size_t(w) * h * 4, fill) {}
  uint8_t& at(int32_t x, int32_t y) { return bytes[(size_t(y) * w + x) * 4 + 3]; }
};

int32_t Blur(const Frame& src, Frame& dst, double horizontal, double vertical) {
  return IR_GaussianBlur(src.bytes.data(), 4 * src.w, src.w, src.h, 4, dst.bytes.data(), 4 * dst.w,
                         dst.w, dst.h, 4, horizontal, vertical, 1, 0, 3, 2);
}

// The exact blur of a row of pixel squares: pixel m's weight at n is the Gaussian's integral over
// it, the edge pixels taking the tails beyond them.
std::vector<double> ExactLine(const std::vector<double>& in, double sigma) {
  const int n = static_cast<int>(in.size());
  if (sigma <= 0) return in;
  auto cdf = [&](double t) { return 0.5 * std::erfc(-t / (sigma * std::sqrt(2.0))); };
  std::vector<double> out(n, 0);
  for (int i = 0; i < n; ++i) {
    for (int m = 0; m < n; ++m) {
      const double lo = m == 0 ? 0 : cdf(m - 0.5 - i), hi = m == n - 1 ? 1 : cdf(m + 0.5 - i);
      out[i] += in[m] * (hi - lo);
    }
  }
  return out;
}

std::vector<double> Exact(Frame& f, double horizontal, double vertical) {
  std::vector<double> plane(size_t(f.w) * f.h);
  for (int32_t y = 0; y < f.h; ++y) {
    std::vector<double> row(f.w);
    for (int32_t x = 0; x < f.w; ++x) row[x] = f.at(x, y);
    row = ExactLine(row, horizontal);
    std::copy(row.begin(), row.end(), plane.begin() + size_t(y) * f.w);
  }
  for (int32_t x = 0; x < f.w; ++x) {
    std::vector<double> column(f.h);
    for (int32_t y = 0; y < f.h; ++y) column[y] = plane[size_t(y) * f.w + x];
    column = ExactLine(column, vertical);
    for (int32_t y = 0; y < f.h; ++y) plane[size_t(y) * f.w + x] = column[y];
  }
  return plane;
}

enum Pattern { kStep, kLine, kSquare, kNoise };

Frame Matte(Pattern pattern, int32_t w, int32_t h) {
  Frame f(w, h);
  std::mt19937 random(w * 131 + h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const bool in_square = std::abs(2 * x - w) <= 4 && std::abs(2 * y - h) <= 4;
      f.at(x, y) = pattern == kStep     ? (x + y / 3 < w / 2 ? 255 : 0)
                   : pattern == kLine   ? (x == w / 3 || y == h / 2 ? 255 : 0)
                   : pattern == kSquare ? (in_square ? 255 : 0)
                                        : static_cast<uint8_t>(random());
    }
  }
  return f;
}

TEST(Blur, MatchesExactPixelAreaGaussian) {
  // 2.99 and 3 straddle the change from direct to recursive filtering.
  const double sigmas[] = {0.3, 0.7, 1, 2.5, 2.99, 3, 5, 10, 37, 120, 400};
  double worst = 0;
  for (const double sigma : sigmas) {
    // Frames a few sigma across, and narrow ones; huge sigmas on small frames.
    const int32_t big = std::clamp(static_cast<int32_t>(6 * sigma), 24, 90);
    const int32_t sizes[][2] = {{big, big * 2 / 3}, {1, big}, {big, 1}, {5, 3}};
    for (const auto& size : sizes) {
      for (const Pattern pattern : {kStep, kLine, kSquare, kNoise}) {
        for (const auto& amounts : {std::pair{sigma, sigma}, {sigma, 0.0}, {0.0, sigma}}) {
          Frame src = Matte(pattern, size[0], size[1]), dst(size[0], size[1]);
          ASSERT_EQ(Blur(src, dst, amounts.first, amounts.second), 0);
          const std::vector<double> exact = Exact(src, amounts.first, amounts.second);
          for (int32_t y = 0; y < dst.h; ++y) {
            for (int32_t x = 0; x < dst.w; ++x) {
              const double error = std::fabs(dst.at(x, y) - exact[size_t(y) * dst.w + x]);
              worst = std::max(worst, error);
              ASSERT_LT(error, 1) << "sigma " << amounts.first << ", " << amounts.second << " frame "
                                  << dst.w << "x" << dst.h << " pattern " << pattern << " at " << x
                                  << "," << y;
            }
          }
        }
      }
    }
  }
  RecordProperty("worst_error_milli_levels", static_cast<int>(worst * 1000));
}

TEST(Blur, UniformFrameStaysExactlyUniform) {
  for (const uint8_t level : {255, 0, 131}) {
    for (const double sigma : {0.06, 0.3, 2.99, 3.0, 17.0, 400.0, 2000.0, 1e12, kInf}) {
      for (const auto& size : {std::pair{1, 1}, {1, 9}, {9, 1}, {37, 21}}) {
        Frame src(size.first, size.second, level), dst(size.first, size.second, 7);
        ASSERT_EQ(Blur(src, dst, sigma, sigma * 0.7), 0);
        for (int32_t i = 0; i < src.w * src.h; ++i) {
          ASSERT_EQ(dst.bytes[i * 4 + 3], level) << "sigma " << sigma << " pixel " << i;
        }
      }
    }
  }
}

// Amounts that mean the same blur give the same bytes.
TEST(Blur, OutOfRangeAmountsActAsTheirLimits) {
  const struct {
    double amount, same_as;
  } cases[] = {{kNaN, 0}, {-4, 0}, {0.04, 0}, {-kInf, 0}, {kInf, 2000}, {1e9, 2000}};
  const Frame src = Matte(kSquare, 30, 20);
  for (const auto& c : cases) {
    Frame got(30, 20), want(30, 20);
    ASSERT_EQ(Blur(src, got, c.amount, 2.5), 0);
    ASSERT_EQ(Blur(src, want, c.same_as, 2.5), 0);
    EXPECT_EQ(got.bytes, want.bytes) << c.amount;
    ASSERT_EQ(Blur(src, got, 6.5, c.amount), 0);
    ASSERT_EQ(Blur(src, want, 6.5, c.same_as), 0);
    EXPECT_EQ(got.bytes, want.bytes) << c.amount;
  }
  Frame copy(30, 20);
  ASSERT_EQ(Blur(src, copy, kNaN, kNaN), 0);
  EXPECT_EQ(copy.bytes, src.bytes);
}

// Other pixel layouts: only the chosen byte of dst changes (padding bytes too stay as they were),
// and blurring in place gives what blurring into another buffer does.
TEST(Blur, WritesOnlyTheChosenByte) {
  const int32_t w = 13, h = 11;
  std::vector<uint8_t> src(w * 5 * h + 3), dst(w * 3 * h + 7 * h);
  std::mt19937 random(5);
  for (uint8_t& b : src) b = static_cast<uint8_t>(random());
  for (size_t i = 0; i < dst.size(); ++i) dst[i] = static_cast<uint8_t>(i * 7);
  const std::vector<uint8_t> before = dst;
  ASSERT_EQ(IR_GaussianBlur(src.data(), w * 5, w, h, 5, dst.data(), w * 3 + 7, w, h, 3, 4.2, 1.3,
                            1, 0, 1, 2), 0);
  Frame reference(w, h), blurred(w, h);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) reference.at(x, y) = src[(y * w + x) * 5 + 1];
  }
  for (size_t i = 0; i < dst.size(); ++i) {
    const size_t x = i % (w * 3 + 7), y = i / (w * 3 + 7);
    if (x < size_t(w) * 3 && x % 3 == 1) continue;
    EXPECT_EQ(dst[i], before[i]) << "byte " << x << " of row " << y;
  }
  ASSERT_EQ(Blur(reference, blurred, 4.2, 1.3), 0);
  ASSERT_EQ(Blur(reference, reference, 4.2, 1.3), 0);
  EXPECT_EQ(reference.bytes, blurred.bytes);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) EXPECT_EQ(dst[y * (w * 3 + 7) + x * 3 + 1], blurred.at(x, y));
  }
}

TEST(Blur, RefusesBadArgumentsWithoutTouchingDst) {
  struct Args {
    const void* src;
    int64_t src_rowbytes;
    int32_t src_w, src_h, src_pb;
    void* dst;
    int64_t dst_rowbytes;
    int32_t dst_w, dst_h, dst_pb, single, channel;
  };
  Frame src = Matte(kNoise, 8, 6), dst(8, 6, 9);
  const Args good = {src.bytes.data(), 32, 8, 6, 4, dst.bytes.data(), 32, 8, 6, 4, 1, 3};
  std::vector<Args> bad(12, good);
  bad[0].src = nullptr;
  bad[1].dst = nullptr;
  bad[2].dst_w = 7;
  bad[3].dst_h = 7;
  bad[4].src_rowbytes = 31;
  bad[5].dst_rowbytes = -32;
  bad[6].src_pb = 3;  // channel 3 lies outside a 3-byte pixel
  bad[7].dst_pb = 0;
  bad[8].channel = -1;
  bad[9].single = 0;
  bad[10].src_w = bad[10].dst_w = -8;
  bad[11].src_h = bad[11].dst_h = -1;
  for (size_t i = 0; i < bad.size(); ++i) {
    const Args& a = bad[i];
    EXPECT_EQ(IR_GaussianBlur(a.src, a.src_rowbytes, a.src_w, a.src_h, a.src_pb, a.dst,
                              a.dst_rowbytes, a.dst_w, a.dst_h, a.dst_pb, 3, 3, a.single, 0,
                              a.channel, 2), -1) << "case " << i;
    EXPECT_EQ(dst.bytes, Frame(8, 6, 9).bytes) << "case " << i;
  }
  // An empty frame is nothing to do.
  EXPECT_EQ(IR_GaussianBlur(src.bytes.data(), 0, 0, 6, 4, dst.bytes.data(), 0, 0, 6, 4, 3, 3, 1, 0,
                            3, 2), 0);
}

}  // namespace
