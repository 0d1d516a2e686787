#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "platform/graphics/image_renderer.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A matte in byte 3 of four-byte pixels, as the module passes it.
struct Frame {
  int32_t w, h;
  std::vector<uint8_t> bytes;
  Frame(int32_t w, int32_t h, uint8_t fill = 0) : w(w), h(h), bytes(size_t(w) * h * 4, fill) {}
  uint8_t& at(int32_t x, int32_t y) { return bytes[(size_t(y) * w + x) * 4 + 3]; }
};

int32_t Blur(const Frame& src, Frame& dst, double horizontal, double vertical) {
  return IR_GaussianBlur(src.bytes.data(), 4 * src.w, src.w, src.h, 4, dst.bytes.data(), 4 * dst.w, dst.w, dst.h, 4,
                         horizontal, vertical, 1, 0, 3, 2);
}

// The exact blur of a line of pixel squares, n samples `stride` apart: pixel m's weight at i is
// the Gaussian's integral over it, the edge pixels taking the tails beyond them.
void ExactLine(double* line, int32_t n, size_t stride, double sigma) {
  if (sigma <= 0) return;
  auto cdf = [&](double t) { return 0.5 * std::erfc(-t / (sigma * std::sqrt(2.0))); };
  std::vector<double> in(n);
  for (int32_t i = 0; i < n; ++i) in[i] = line[i * stride];
  for (int32_t i = 0; i < n; ++i) {
    double sum = 0;
    for (int32_t m = 0; m < n; ++m) {
      sum += in[m] * ((m == n - 1 ? 1 : cdf(m + 0.5 - i)) - (m == 0 ? 0 : cdf(m - 0.5 - i)));
    }
    line[i * stride] = sum;
  }
}

enum Pattern { kStep, kLines, kSquare, kNoise, kWhite };

TEST(Blur, MatchesExactPixelAreaGaussian) {
  // 1.99 and 2 straddle the change from direct to recursive filtering.
  for (const double sigma : {0.3, 0.7, 1.0, 1.99, 2.0, 2.5, 5.0, 10.0, 37.0, 120.0, 400.0}) {
    // A frame a few sigma across (huge sigmas on small ones), narrow frames and a tiny one.
    const int32_t big = std::clamp(static_cast<int32_t>(6 * sigma), 24, 90);
    for (const auto& [w, h] : {std::pair{big, big * 2 / 3}, {1, big}, {big, 1}, {5, 3}}) {
      for (const Pattern pattern : {kStep, kLines, kSquare, kNoise, kWhite}) {
        Frame src(w, h);
        std::mt19937 random(w * 131 + h);
        for (int32_t y = 0; y < h; ++y) {
          for (int32_t x = 0; x < w; ++x) {
            const bool square = std::abs(2 * x - w) <= 4 && std::abs(2 * y - h) <= 4;
            const bool on[] = {x + y / 3 < w / 2, x == w / 3 || y == h / 2, square, false, true};
            src.at(x, y) = pattern == kNoise ? random() % 256 : on[pattern] ? 255 : 0;
          }
        }
        for (const auto& [across, down] : {std::pair{sigma, sigma}, {sigma, 0.0}, {0.0, sigma}}) {
          Frame dst(w, h);
          ASSERT_EQ(Blur(src, dst, across, down), 0);
          std::vector<double> exact(size_t(w) * h);
          for (int32_t i = 0; i < w * h; ++i) exact[i] = src.bytes[i * 4 + 3];
          for (int32_t y = 0; y < h; ++y) ExactLine(&exact[size_t(y) * w], w, 1, across);
          for (int32_t x = 0; x < w; ++x) ExactLine(&exact[x], h, w, down);
          // Rounded to nearest from within a tenth of a level: the allowance is two levels, but
          // more than a tenth here would be a fault, not approximation.
          for (int32_t i = 0; i < w * h; ++i) {
            ASSERT_NEAR(dst.bytes[i * 4 + 3], exact[i], 0.6)
                << across << " x " << down << " on " << w << "x" << h << " pattern " << pattern << " pixel " << i;
          }
        }
      }
    }
  }
}

// Amounts that mean the same blur give the same bytes, either way round; whatever the amounts,
// a white frame stays exactly white.
TEST(Blur, OutOfRangeAmountsActAsTheirLimits) {
  Frame src(30, 20);
  for (int32_t i = 0; i < 600; ++i) src.bytes[i * 4 + 3] = (i * 37) % 256;
  const std::pair<double, double> cases[] = {{kNaN, 0}, {-4, 0}, {0.04, 0}, {-kInf, 0}, {kInf, 2000}, {1e9, 2000}};
  for (const auto& [amount, same_as] : cases) {
    Frame got(30, 20), want(30, 20);
    ASSERT_EQ(Blur(src, got, amount, 2.5) | Blur(src, want, same_as, 2.5), 0);
    EXPECT_EQ(got.bytes, want.bytes) << amount;
    ASSERT_EQ(Blur(src, got, 6.5, amount) | Blur(src, want, 6.5, same_as), 0);
    EXPECT_EQ(got.bytes, want.bytes) << amount;
    for (const double other : {amount, same_as, 0.06, 1.99, 2.0, 17.0}) {
      for (const auto& [w, h] : {std::pair{1, 1}, {1, 9}, {9, 1}, {37, 21}}) {
        Frame white(w, h, 255), out(w, h, 255);
        ASSERT_EQ(Blur(white, out, amount, other), 0);
        EXPECT_EQ(out.bytes, white.bytes) << amount << " x " << other << " on " << w << "x" << h;
      }
    }
  }
  Frame copy(30, 20);
  ASSERT_EQ(Blur(src, copy, kNaN, kNaN), 0);
  EXPECT_EQ(copy.bytes, src.bytes);
}

// Other layouts: only the chosen byte of dst changes (row padding too stays as it was), and it
// matches the four-byte blur, which gives the same in place.
TEST(Blur, WritesOnlyTheChosenByte) {
  const int32_t w = 13, h = 11, dst_rowbytes = w * 3 + 7;
  std::vector<uint8_t> src(w * 5 * h), dst(dst_rowbytes * h), before(dst.size());
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * i % 251);
  for (size_t i = 0; i < dst.size(); ++i) dst[i] = before[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(IR_GaussianBlur(src.data(), w * 5, w, h, 5, dst.data(), dst_rowbytes, w, h, 3, 4.2, 1.3, 1, 0, 1, 2), 0);
  Frame four(w, h), blurred(w, h);
  for (int32_t i = 0; i < w * h; ++i) four.bytes[i * 4 + 3] = src[i * 5 + 1];
  ASSERT_EQ(Blur(four, blurred, 4.2, 1.3) | Blur(four, four, 4.2, 1.3), 0);
  EXPECT_EQ(four.bytes, blurred.bytes);
  for (size_t i = 0; i < dst.size(); ++i) {
    const int32_t x = i % dst_rowbytes, y = i / dst_rowbytes;
    const bool chosen = x < w * 3 && x % 3 == 1;
    EXPECT_EQ(dst[i], chosen ? blurred.at(x / 3, y) : before[i]) << x << "," << y;
  }
}

TEST(Blur, RefusesBadArgumentsWithoutTouchingDst) {
  struct Call {
    const void* src;
    int64_t src_rowbytes;
    int32_t src_w, src_h, src_pb;
    void* dst;
    int64_t dst_rowbytes;
    int32_t dst_w, dst_h, dst_pb, single, channel;
  };
  Frame src(8, 6, 200), dst(8, 6, 9);
  const Call good = {src.bytes.data(), 32, 8, 6, 4, dst.bytes.data(), 32, 8, 6, 4, 1, 3};
  std::vector<Call> bad(11, good);
  bad[0].src = nullptr, bad[1].dst = nullptr;
  bad[2].dst_w = 7, bad[3].dst_h = 7;
  bad[4].src_rowbytes = 31, bad[5].dst_rowbytes = -32;
  bad[6].src_pb = 3, bad[7].dst_pb = 0;  // channel 3 lies outside such pixels
  bad[8].channel = -1, bad[9].single = 0;
  bad[10].src_w = bad[10].dst_w = -8;
  for (const Call& c : bad) {
    EXPECT_EQ(IR_GaussianBlur(c.src, c.src_rowbytes, c.src_w, c.src_h, c.src_pb, c.dst, c.dst_rowbytes, c.dst_w,
                              c.dst_h, c.dst_pb, 3, 3, c.single, 0, c.channel, 2),
              -1)
        << &c - bad.data();
    EXPECT_EQ(dst.bytes, Frame(8, 6, 9).bytes) << &c - bad.data();
  }
  EXPECT_EQ(IR_GaussianBlur(src.bytes.data(), 0, 0, 6, 4, dst.bytes.data(), 0, 0, 6, 4, 3, 3, 1, 0, 3, 2),
            0);  // an empty frame is nothing to do
}

// A blur whose working memory cannot be had says so and passes the channel through unblurred,
// so a caller never reads what happened to be in dst's memory.
TEST(Blur, WithoutWorkingMemoryTheChannelPassesThroughUnblurred) {
  Frame src(40, 30), dst(40, 30, 77);
  for (int32_t y = 10; y < 20; ++y)
    for (int32_t x = 10; x < 30; ++x) src.at(x, y) = 255;
  for (size_t i = 0; i < src.bytes.size(); ++i)
    if (i % 4 != 3) src.bytes[i] = 5;
  quill::FailNextBlurAllocations(1);
  EXPECT_EQ(Blur(src, dst, 3, 3), -1);
  quill::FailNextBlurAllocations(0);
  for (size_t i = 0; i < dst.bytes.size(); ++i) ASSERT_EQ(dst.bytes[i], i % 4 == 3 ? src.bytes[i] : 77) << i;
  EXPECT_EQ(Blur(src, dst, 3, 3), 0);  // and the next blur is made as usual
  EXPECT_GT(dst.at(9, 15), 0);
}

// The filter runs only near where a line changes and copies the constant stretches between: bands
// closer together and farther apart than the filter's reach, at the line's ends and alone, in
// direct and recursive filtering, still match the exact pixel-area blur.
TEST(Blur, ConstantStretchesBetweenBandsStayExact) {
  const int32_t w = 900, h = 40;
  // Bands with gaps from 1 to 200 samples: around twice the recursion's reach at sigma 3 (52)
  // and at sigma 12 (about 200), and beyond the direct filter's at sigma 1.2.
  const std::vector<std::pair<int32_t, int32_t>> bands = {{0, 30},    {31, 60},   {112, 140}, {193, 230},
                                                          {250, 300}, {500, 520}, {720, 760}, {880, 900}};
  std::vector<double> row(w, 0);
  for (const auto& [from, to] : bands)
    for (int32_t x = from; x < to; ++x) row[x] = 255;
  Frame src(w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) src.at(x, y) = uint8_t(row[x]);
  for (const double sigma : {1.2, 3.0, 12.0}) {
    Frame dst(w, h);
    ASSERT_EQ(Blur(src, dst, sigma, sigma), 0);
    std::vector<double> exact = row;
    ExactLine(exact.data(), w, 1, sigma);
    for (int32_t x = 0; x < w; ++x) ASSERT_NEAR(dst.at(x, h / 2), exact[x], 0.6) << sigma << " at " << x;
  }
}

// Only the box around what changes is filtered; everything outside it, in a separate dst that
// held other bytes, is the background, and a channel all alike comes out as it went in. The
// other channels are left alone.
TEST(Blur, OutsideTheChangingBoxIsTheBackground) {
  const int32_t w = 300, h = 200;
  Frame src(w, h, 9), dst(w, h, 7);
  std::vector<double> row(w, 200), column(h, 0);
  for (int32_t x = 120; x < 160; ++x) row[x] = 40;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) src.at(x, y) = (y >= 80 && y < 110) ? uint8_t(row[x]) : 200;
  ASSERT_EQ(Blur(src, dst, 2.5, 2.5), 0);
  for (int32_t y = 80; y < 110; ++y) column[y] = 1;
  ExactLine(column.data(), h, 1, 2.5);
  std::vector<double> exact = row;
  ExactLine(exact.data(), w, 1, 2.5);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const double expected = 200 + (exact[x] - 200) * column[y];
      ASSERT_NEAR(dst.at(x, y), expected, 0.6) << x << "," << y;
      ASSERT_EQ(dst.bytes[(size_t(y) * w + x) * 4], 7) << x << "," << y;  // another channel
    }
  Frame flat(w, h, 9), out(w, h, 7);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) flat.at(x, y) = 200;
  ASSERT_EQ(Blur(flat, out, 30, 30), 0);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) ASSERT_EQ(out.at(x, y), 200) << x << "," << y;
}

// Work is done only on the tiles within reach of a change, the rest written with its value: a
// matte of several values (two inside values, a noisy patch, shapes touching the frame's edges
// and each other, tiles of one value beside tiles of another) matches the exact blur at every
// pixel, from a separate dst that held other bytes and in place.
TEST(Blur, FlatTilesFarFromChangesKeepTheirValue) {
  const int32_t w = 181, h = 133;
  Frame src(w, h, 0);
  std::mt19937 random(5);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t v = 30;
      if (x >= 16 && x < 112 && y >= 32 && y < 96) v = 255;            // on tile seams
      if (x >= 112 && x < 181 && y >= 0 && y < 64) v = 128;            // against the frame's edges
      if ((x - 60) * (x - 60) + (y - 115) * (y - 115) < 200) v = 200;  // a disc on the bottom edge
      if (x >= 140 && x < 170 && y >= 90 && y < 120) v = uint8_t(random() % 256);
      src.at(x, y) = v;
    }
  for (const double sigma : {0.8, 3.0, 9.0}) {
    std::vector<double> exact(size_t(w) * h);
    for (int32_t i = 0; i < w * h; ++i) exact[i] = src.bytes[i * 4 + 3];
    for (int32_t y = 0; y < h; ++y) ExactLine(&exact[size_t(y) * w], w, 1, sigma);
    for (int32_t x = 0; x < w; ++x) ExactLine(&exact[x], h, w, sigma);
    Frame dst(w, h, 77), in_place = src;
    ASSERT_EQ(Blur(src, dst, sigma, sigma), 0);
    ASSERT_EQ(Blur(in_place, in_place, sigma, sigma), 0);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        ASSERT_NEAR(dst.at(x, y), exact[size_t(y) * w + x], 0.6) << sigma << " at " << x << "," << y;
        ASSERT_EQ(in_place.at(x, y), dst.at(x, y)) << sigma << " at " << x << "," << y;
      }
  }
}

// Wide blurs are made on a coarser grid and read back by interpolation: on a separable matte
// whose bands touch the frame's edges (where the edge goes on forever), with the two directions
// apart, every pixel still rounds from within a tenth of a level of the exact blur, and a blur in
// place gives the same.
TEST(Blur, WideBlursStayExactToTheFramesEdges) {
  const int32_t w = 403, h = 297;
  std::vector<double> row(w), column(h);
  for (int32_t x = 0; x < w; ++x) row[x] = (x < 9 || (x >= 150 && x < 330)) ? 255 : 0;
  for (int32_t y = 0; y < h; ++y) column[y] = (y >= 60 && y < 200) ? 1 : y >= 280 ? 0.6 : 0;
  Frame src(w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) src.at(x, y) = uint8_t(std::lround(row[x] * column[y]));
  for (const auto& [across, down] : {std::pair{40.0, 40.0}, {100.0, 36.0}, {33.0, 260.0}, {140.0, 90.0}}) {
    std::vector<double> exact_row = row, exact_column = column;
    ExactLine(exact_row.data(), w, 1, across);
    ExactLine(exact_column.data(), h, 1, down);
    Frame dst(w, h, 5), in_place = src;
    ASSERT_EQ(Blur(src, dst, across, down), 0);
    ASSERT_EQ(Blur(in_place, in_place, across, down), 0);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        ASSERT_EQ(in_place.at(x, y), dst.at(x, y)) << x << "," << y;
        ASSERT_NEAR(dst.at(x, y), exact_row[x] * exact_column[y], 0.6)
            << across << " x " << down << " at " << x << "," << y;
      }
  }
}

// A blur of a frame no larger than the last one on this thread makes no memory of its own (a
// fresh frame-sized buffer every frame costs its pages' faults every time), and gives the same.
TEST(Blur, TheWorkingMemoryIsKeptFromFrameToFrame) {
  Frame src(640, 360), first(640, 360), again(640, 360), smaller(320, 200);
  for (int32_t y = 100; y < 300; ++y)
    for (int32_t x = 100; x < 400; ++x) src.at(x, y) = 255;
  ASSERT_EQ(Blur(src, first, 4, 4), 0);
  const int64_t made = quill::BlurAllocationsMade();
  EXPECT_EQ(Blur(src, again, 4, 4), 0);
  EXPECT_EQ(Blur(Frame(320, 200), smaller, 20, 20), 0);
  EXPECT_EQ(quill::BlurAllocationsMade(), made);
  EXPECT_EQ(again.bytes, first.bytes);
}

}  // namespace

// Frames large enough to be split across threads give what one thread would: the exact blur of
// a separable matte (a disc's rows and columns are not, a box's are), checked on a row and a
// column that cross the parts' seams.
TEST(Blur, LargeFramesSplitAcrossThreadsStayExact) {
  const int32_t w = 700, h = 520;
  Frame src(w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) src.at(x, y) = (x >= 200 && x < 500 && y >= 150 && y < 400) ? 255 : 0;
  for (const double sigma : {1.5, 3.7, 40.0}) {
    Frame dst(w, h);
    ASSERT_EQ(Blur(src, dst, sigma, sigma), 0);
    std::vector<double> row(w), column(h);
    for (int32_t x = 0; x < w; ++x) row[x] = (x >= 200 && x < 500) ? 255 : 0;
    for (int32_t y = 0; y < h; ++y) column[y] = (y >= 150 && y < 400) ? 1 : 0;
    ExactLine(row.data(), w, 1, sigma);
    ExactLine(column.data(), h, 1, sigma);
    for (const int32_t y : {0, 149, 260, 261, 399, 519})
      for (int32_t x = 0; x < w; ++x)
        ASSERT_NEAR(dst.at(x, y), row[x] * column[y], 0.6) << sigma << " " << x << "," << y;
  }
}
