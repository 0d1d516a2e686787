// Gaussian blur of one 8-bit channel, separable: a horizontal pass from src into a float plane,
// then a vertical pass from the plane into dst. Each pass filters kLanes lines side by side
// (rows, then columns) in a lane-interleaved buffer, so the inner loops run across lanes and
// vectorise while the filter runs along the lines; every line is read and written contiguously.
//
// The reference is the pixel-area Gaussian: the matte taken as constant over each pixel square,
// convolved with the continuous Gaussian, sampled at pixel centres. Its 1-D weights are the
// Gaussian's integrals over unit intervals. Small deviations use those weights directly; larger
// ones use a fourth-order recursive Gaussian whose cost does not grow with the deviation.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/graphics/image_renderer.h"
#include "platform/runtime/executors.h"

namespace {

// Below this a direction is left alone: the kernel's side weights would be under 1e-20.
constexpr double kMinSigma = 0.05;
constexpr double kMaxSigma = 2000;
// Direct convolution below here (at most 2 * 8 + 1 taps, about the recursion's cost); from
// here on the recursion's shape error is a few hundredths of a level.
constexpr double kRecursiveFromSigma = 2;
constexpr double kTapsPerSigma = 4;  // tails beyond 4 sigma hold under 1e-4 of the weight
constexpr int kMaxRadius = 8;        // ceil(kTapsPerSigma * kRecursiveFromSigma)
constexpr int kLanes = 16;           // lines filtered at once; a multiple of 4, and 16 for the tile scan
// Keeps every index into the lanes buffers within int.
constexpr int kMaxSide = INT32_MAX / kLanes - 2 * kMaxRadius;

// h(x) = sum over both terms of exp(-lambda x) (a cos(omega x) + b sin(omega x)), x >= 0, fitted
// to the unit Gaussian exp(-x^2 / 2) / sqrt(2 pi) by least squares reweighted towards the
// smallest largest error: that error is 6.6e-5, 1.7e-4 of the peak.
struct DampedWave {
  double lambda, omega, a, b;
};
constexpr DampedWave kFit[2] = {
    {1.7401346882582986, 0.62865957101696113, 0.66031051359953152, 1.3586839944964364},
    {1.6731008295086842, 1.990526816518857, -0.26143352700444589, -0.069779330129296491},
};

enum class Kind { kCopy, kDirect, kRecursive };

struct LineFilter {
  Kind kind = Kind::kCopy;
  int radius = 0;
  // How far a step in a line shows in its output: beyond it the output is the input, exactly
  // for direct taps, to under 1e-5 of the step for the recursion (its response there is below
  // exp(-1.67 * 8)).
  int reach = 0;
  float taps[kMaxRadius + 1] = {};  // kDirect: weights of offsets 0..radius
  // kRecursive: two complex one-pole sections. Forward, s[n] = p s[n-1] + x[n]; backward,
  // t[n] = p (t[n+1] + x[n+1]); the output is Re(sum of c (s + t)). The edge factors give the
  // states of an input that goes on forever as its edge value: x / (1 - p) and x p / (1 - p).
  float p_re[2] = {}, p_im[2] = {}, c_re[2] = {}, c_im[2] = {};
  float head_re[2] = {}, head_im[2] = {}, tail_re[2] = {}, tail_im[2] = {};
};

LineFilter MakeFilter(double sigma) {
  LineFilter f;
  if (!(sigma >= kMinSigma)) return f;  // also NaN
  sigma = std::min(sigma, kMaxSigma);
  if (sigma < kRecursiveFromSigma) {
    f.kind = Kind::kDirect;
    f.radius = std::min(kMaxRadius, static_cast<int>(std::ceil(kTapsPerSigma * sigma)));
    // Integral over [k - 1/2, k + 1/2], from erfc so that the tails keep their precision.
    const double scale = 1 / (sigma * std::sqrt(2.0));
    double w[kMaxRadius + 1], sum = 0;
    for (int k = 0; k <= f.radius; ++k) {
      w[k] = k == 0 ? std::erf(0.5 * scale) : 0.5 * (std::erfc((k - 0.5) * scale) - std::erfc((k + 0.5) * scale));
      sum += k == 0 ? w[k] : 2 * w[k];
    }
    for (int k = 0; k <= f.radius; ++k) f.taps[k] = static_cast<float>(w[k] / sum);
    f.reach = f.radius;
    return f;
  }
  f.kind = Kind::kRecursive;
  // The pixel-area kernel is the Gaussian convolved with a unit box, which adds 1/12 to the
  // variance; sampling the wider Gaussian matches it to far below a level at these widths.
  const double s = std::sqrt(sigma * sigma + 1.0 / 12);
  f.reach = static_cast<int>(std::ceil(8 * s)) + 1;
  std::complex<double> p[2], c[2];
  double gain = 0;  // the response to a constant 1: normalised away so flat areas stay flat
  for (int i = 0; i < 2; ++i) {
    p[i] = std::exp(std::complex<double>(-kFit[i].lambda, kFit[i].omega) / s);
    c[i] = std::complex<double>(kFit[i].a, -kFit[i].b);
    gain += (c[i] * (1.0 + p[i]) / (1.0 - p[i])).real();
  }
  for (int i = 0; i < 2; ++i) {
    const std::complex<double> head = 1.0 / (1.0 - p[i]), tail = p[i] / (1.0 - p[i]);
    f.p_re[i] = static_cast<float>(p[i].real());
    f.p_im[i] = static_cast<float>(p[i].imag());
    f.c_re[i] = static_cast<float>(c[i].real() / gain);
    f.c_im[i] = static_cast<float>(c[i].imag() / gain);
    f.head_re[i] = static_cast<float>(head.real());
    f.head_im[i] = static_cast<float>(head.imag());
    f.tail_re[i] = static_cast<float>(tail.real());
    f.tail_im[i] = static_cast<float>(tail.imag());
  }
  return f;
}

// Eight lanes in one vector (one register with AVX2, two without); kLanes / 8 of them are
// filtered side by side, enough to hide the recursion's latency.
typedef float Vec4 __attribute__((vector_size(32)));
constexpr int kVecWidth = 8;
constexpr int kVecs = kLanes / kVecWidth;

// The filter is built for AVX2 and for plain x86-64. GCC inlines these helpers into both builds,
// so a 32-byte vector returned by value never crosses a call (hence no -Wpsabi). Clang refuses a
// vector returned across that target boundary even when inlined: there a load hands out a
// reference to an unaligned view instead (slower with GCC, which is why it is not used there).
#if defined(__clang__)
typedef float Vec4Unaligned __attribute__((vector_size(32), aligned(alignof(float))));
[[gnu::always_inline]] inline const Vec4Unaligned& Load(const float* p) {
  return *reinterpret_cast<const Vec4Unaligned*>(p);
}
using StoredVec = Vec4Unaligned;
#else
#pragma GCC diagnostic ignored "-Wpsabi"
[[gnu::always_inline]] inline Vec4 Load(const float* p) {
  Vec4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
using StoredVec = Vec4;
#endif
[[gnu::always_inline]] inline void Store(float* p, const StoredVec& v) { std::memcpy(p, &v, sizeof v); }

// Filters n >= 1 interleaved samples in[i * kLanes + lane]. For direct convolution `in` must
// have f.radius spare samples before and after it (they are overwritten); otherwise it is only
// read. Returns the output: `out`, or
// `in` itself for a copy.
// Built twice, for AVX2 and for plain x86-64, and picked when the program starts.
__attribute__((target_clones("avx2", "default"))) const float* FilterLines(const LineFilter& f, float* in, float* out,
                                                                           int n) {
  constexpr int L = kLanes;
  if (f.kind == Kind::kCopy) return in;
  if (f.kind == Kind::kDirect) {
    const int r = f.radius;
    for (int i = 1; i <= r; ++i) {  // clamp to edge
      std::memcpy(in - i * L, in, sizeof(float) * L);
      std::memcpy(in + (n - 1 + i) * L, in + (n - 1) * L, sizeof(float) * L);
    }
    for (int i = 0; i < n; ++i) {
      const float* centre = in + i * L;
      for (int v = 0; v < kVecs; ++v) {
        Vec4 acc = f.taps[0] * Load(centre + kVecWidth * v);
        for (int k = 1; k <= r; ++k) {
          acc += f.taps[k] * (Load(centre - k * L + kVecWidth * v) + Load(centre + k * L + kVecWidth * v));
        }
        Store(out + i * L + kVecWidth * v, acc);
      }
    }
    return out;
  }
  // Recursive: the forward states run left to right and write their part of the output; the
  // backward states add theirs right to left.
  Vec4 re0[kVecs], im0[kVecs], re1[kVecs], im1[kVecs];
  const float pr0 = f.p_re[0], pi0 = f.p_im[0], pr1 = f.p_re[1], pi1 = f.p_im[1];
  const float cr0 = f.c_re[0], ci0 = f.c_im[0], cr1 = f.c_re[1], ci1 = f.c_im[1];
  for (int v = 0; v < kVecs; ++v) {
    const Vec4 x = Load(in + kVecWidth * v);
    re0[v] = x * f.head_re[0], im0[v] = x * f.head_im[0];
    re1[v] = x * f.head_re[1], im1[v] = x * f.head_im[1];
  }
  for (int i = 0; i < n; ++i) {
    for (int v = 0; v < kVecs; ++v) {
      const Vec4 x = Load(in + i * L + kVecWidth * v);
      const Vec4 r0 = pr0 * re0[v] - pi0 * im0[v] + x, m0 = pr0 * im0[v] + pi0 * re0[v];
      const Vec4 r1 = pr1 * re1[v] - pi1 * im1[v] + x, m1 = pr1 * im1[v] + pi1 * re1[v];
      re0[v] = r0, im0[v] = m0, re1[v] = r1, im1[v] = m1;
      Store(out + i * L + kVecWidth * v, cr0 * r0 - ci0 * m0 + (cr1 * r1 - ci1 * m1));
    }
  }
  for (int v = 0; v < kVecs; ++v) {
    const Vec4 x = Load(in + (n - 1) * L + kVecWidth * v);
    re0[v] = x * f.tail_re[0], im0[v] = x * f.tail_im[0];
    re1[v] = x * f.tail_re[1], im1[v] = x * f.tail_im[1];
    float* y = out + (n - 1) * L + kVecWidth * v;
    Store(y, Load(y) + (cr0 * re0[v] - ci0 * im0[v] + (cr1 * re1[v] - ci1 * im1[v])));
  }
  for (int i = n - 2; i >= 0; --i) {
    for (int v = 0; v < kVecs; ++v) {
      const Vec4 x = Load(in + (i + 1) * L + kVecWidth * v);
      const Vec4 a0 = re0[v] + x, a1 = re1[v] + x;
      const Vec4 r0 = pr0 * a0 - pi0 * im0[v], m0 = pr0 * im0[v] + pi0 * a0;
      const Vec4 r1 = pr1 * a1 - pi1 * im1[v], m1 = pr1 * im1[v] + pi1 * a1;
      re0[v] = r0, im0[v] = m0, re1[v] = r1, im1[v] = m1;
      float* y = out + i * L + kVecWidth * v;
      Store(y, Load(y) + (cr0 * r0 - ci0 * m0 + (cr1 * r1 - ci1 * m1)));
    }
  }
  return out;
}

// Filters n interleaved samples (as FilterLines, with its spare samples around `in`) only where
// they change: a matte is constant along most of its lines (every row above and below a mask,
// every column beside it, the inside), and a constant stretch filters to itself. The filter runs
// over each stretch within f.reach of a change, begun from the constant on either side as at
// the line's ends; the rest is copied. Returns the output, `in` itself where nothing changes.
const float* FilterWhereItChanges(const LineFilter& f, float* in, float* out, int n) {
  constexpr int L = kLanes;
  if (f.kind == Kind::kCopy) return in;
  int a = -1, b = -1, copied_to = 0;  // the stretch being gathered, [a, b)
  bool any = false;
  const auto flush = [&] {
    if (copied_to < a) std::memcpy(out + copied_to * L, in + copied_to * L, sizeof(float) * (a - copied_to) * L);
    FilterLines(f, in + a * L, out + a * L, b - a);
    copied_to = b;
  };
  for (int x = 1; x < n; ++x) {
    // Bit for bit: a -0 beside a 0 counts as a change, which only filters a little more.
    if (std::memcmp(in + x * L, in + (x - 1) * L, sizeof(float) * L) == 0) continue;
    any = true;
    const int from = std::max(0, x - 1 - f.reach), to = std::min(n, x + f.reach);
    if (a >= 0 && from <= b) {
      b = std::max(b, to);
      continue;
    }
    if (a >= 0) flush();
    a = from, b = to;
  }
  if (!any) return in;
  flush();
  if (copied_to < n) std::memcpy(out + copied_to * L, in + copied_to * L, sizeof(float) * (n - copied_to) * L);
  return out;
}

// Integer clamps, which vectorise (float ones compile to branches); the filters' outputs stay
// within a level of [0, 255], far inside int32's range.
inline uint8_t RoundToByte(float v) {
  const int32_t i = static_cast<int32_t>(v + 0.5f);
  return static_cast<uint8_t>(i < 0 ? 0 : i > 255 ? 255 : i);
}

// Requests for working memory the tests ask to fail (kept memory or not), to reach the paths a
// short machine takes; and the allocations made, to see that kept memory is used again.
std::atomic<int> g_failing_allocations{0};
std::atomic<int64_t> g_allocations{0};

bool AllocationFails() {
  int left = g_failing_allocations.load();
  while (left > 0)
    if (g_failing_allocations.compare_exchange_weak(left, left - 1)) return true;
  return false;
}

// Frames this large are split across the pool; below it, handing out parts costs more than it
// saves.
constexpr int64_t kThreadedFromPixels = 512 * 512;
// At most this many parts, each with its own line buffers, so their memory stays small beside
// the frame's.
constexpr int kMaxParts = 8;

// Runs pass(begin, end, in, out) over [0, count) in contiguous parts on the runtime's CPU pool,
// each part with its own line buffers (`longest` samples of kLanes, plus the direct filter's
// padding). Each line's result depends on that line alone, so how the parts fall does not change
// a bit. False when the buffers cannot be had; nothing has been written then.
// The buffers are the calling thread's, kept from call to call and grown when a longer line
// comes, as the plane is.
template <typename Pass>
bool RunSplit(int count, size_t longest, int64_t pixels, const Pass& pass) {
  const std::shared_ptr<qrs::Executor> pool = qrs::GetCPUBoundExecutor();
  const int parts = pixels >= kThreadedFromPixels ? std::min({count, pool->ThreadCount(), kMaxParts}) : 1;
  thread_local std::vector<std::vector<float>> ins, outs;
  try {
    const size_t in_size = (longest + 2 * kMaxRadius) * kLanes, out_size = longest * kLanes;
    if (AllocationFails()) throw std::bad_alloc();
    const bool enough = ins.size() >= size_t(parts) && std::all_of(ins.begin(), ins.begin() + parts,
                                                                   [&](const auto& b) { return b.size() >= in_size; });
    if (!enough) {
      ins.clear(), outs.clear();
      ++g_allocations;
      for (int part = 0; part < parts; ++part) {
        ins.emplace_back(in_size);
        outs.emplace_back(out_size);
      }
    }
  } catch (...) {
    ins.clear(), outs.clear();
    return false;
  }
  // Named here, on the calling thread: inside the parts, `ins` would be the pool thread's own.
  std::vector<std::vector<float>>&in_buffers = ins, &out_buffers = outs;
  pool->ParallelFor(parts, 1, [&](int64_t first, int64_t end) {
    for (int64_t part = first; part < end; ++part) {
      pass(int(count * part / parts), int(count * (part + 1) / parts), in_buffers[part].data() + kMaxRadius * kLanes,
           out_buffers[part].data());
    }
  });
  return true;
}

// The float plane between the two passes, kept by each thread from call to call and grown when
// a larger frame comes: a frame-sized buffer made afresh for every frame costs its pages' faults
// every time. Throws std::bad_alloc when it cannot be had.
float* PlaneOfThisThread(size_t floats) {
  thread_local std::unique_ptr<float[]> plane;
  thread_local size_t capacity = 0;
  if (AllocationFails()) throw std::bad_alloc();
  if (capacity < floats) {
    plane.reset();
    capacity = 0;
    ++g_allocations;
    plane = std::make_unique_for_overwrite<float[]>(floats);  // every sample is written before it is read
    capacity = floats;
  }
  return plane.get();
}

// The answer to a blur that could not be made: the channel copied through unblurred, so that dst
// never holds what happened to be in its memory, and -1.
int32_t CopyUnblurred(const void* src, int64_t src_rowbytes, int32_t src_pixel_bytes, void* dst, int64_t dst_rowbytes,
                      int32_t dst_pixel_bytes, int w, int h, int32_t channel) {
  for (int y = 0; y < h; ++y) {
    const uint8_t* from = static_cast<const uint8_t*>(src) + y * src_rowbytes + channel;
    uint8_t* to = static_cast<uint8_t*>(dst) + y * dst_rowbytes + channel;
    for (int x = 0; x < w; ++x) to[int64_t(x) * dst_pixel_bytes] = from[int64_t(x) * src_pixel_bytes];
  }
  return -1;
}

// The part of a channel that can change under the blur: the box around every sample unlike the
// first, grown by each direction's reach. Outside it the blurred channel is that first value, so
// only the box is filtered. Empty (x1 == x0) when every sample is alike.
struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// The first of n samples `pixel_bytes` apart unlike `value`, n when all are alike. Single-byte
// samples are compared eight at a time: most rows of a matte are all background.
int FirstUnlike(const uint8_t* row, int n, int32_t pixel_bytes, uint8_t value) {
  int x = 0;
  if (pixel_bytes == 1) {
    const uint64_t all = 0x0101010101010101ull * value;
    for (uint64_t word; x + 8 <= n; x += 8) {
      std::memcpy(&word, row + x, 8);
      if (word != all) break;
    }
    while (x < n && row[x] == value) ++x;
    return x;
  }
  while (x < n && row[int64_t(x) * pixel_bytes] == value) ++x;
  return x;
}

// The last of n samples unlike `value`, -1 when all are alike.
int LastUnlike(const uint8_t* row, int n, int32_t pixel_bytes, uint8_t value) {
  int x = n;
  if (pixel_bytes == 1) {
    const uint64_t all = 0x0101010101010101ull * value;
    for (uint64_t word; x >= 8; x -= 8) {
      std::memcpy(&word, row + x - 8, 8);
      if (word != all) break;
    }
    while (x > 0 && row[x - 1] == value) --x;
    return x - 1;
  }
  while (x > 0 && row[int64_t(x - 1) * pixel_bytes] == value) --x;
  return x - 1;
}

Box ChangingBox(const uint8_t* bytes, int64_t rowbytes, int32_t pixel_bytes, int w, int h, int reach_x, int reach_y) {
  const uint8_t background = bytes[0];
  int top = h, bottom = -1, left = w, right = -1;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = bytes + int64_t(y) * rowbytes;
    const int first = FirstUnlike(row, w, pixel_bytes, background);
    if (first == w) continue;
    top = std::min(top, y), bottom = y;
    left = std::min(left, first), right = std::max(right, LastUnlike(row, w, pixel_bytes, background));
  }
  if (bottom < 0) return {};
  return {std::max(0, left - reach_x), std::max(0, top - reach_y), std::min(w, right + 1 + reach_x),
          std::min(h, bottom + 1 + reach_y)};
}

// Writes `value` into samples [from, to) of a row, `pixel_bytes` apart.
void FillSamples(uint8_t* row, int from, int to, int32_t pixel_bytes, uint8_t value) {
  if (from >= to) return;
  if (pixel_bytes == 1) {
    std::memset(row + from, value, size_t(to - from));
    return;
  }
  for (int x = from; x < to; ++x) row[int64_t(x) * pixel_bytes] = value;
}

// Writes `value` into the channel everywhere outside `box` (all of it for an empty box).
void FillOutside(uint8_t* bytes, int64_t rowbytes, int32_t pixel_bytes, int w, int h, const Box& box, uint8_t value) {
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bytes + int64_t(y) * rowbytes;
    const bool inside = box.x1 > box.x0 && y >= box.y0 && y < box.y1;
    FillSamples(row, 0, inside ? box.x0 : w, pixel_bytes, value);
    if (inside) FillSamples(row, box.x1, w, pixel_bytes, value);
  }
}

// Which L x L tiles of the box the blur has to work on. Far from any change the blurred matte
// is the matte: only the tiles within reach of a change are filtered, and only the samples those
// read are brought into the filter's lanes. The rest of a large matte (the inside of a mask,
// the frame around it) is written with its value.
struct TilePlan {
  int strips = 0, blocks = 0;  // tiles across and down
  std::vector<int16_t> value;  // a tile's value where all its samples have it, else -1
  std::vector<uint8_t> out;    // filtered for the output: a different value lies within reach
  std::vector<uint8_t> lines;  // its horizontal result is read by the vertical filter
  std::vector<uint8_t> input;  // its samples are read by the horizontal filter
  size_t at(int block, int strip) const { return size_t(block) * size_t(strips) + size_t(strip); }
};

// Writes every tile not filtered for the output with its value, a row at a time, neighbouring
// tiles of one value as one run.
void FillFlatTiles(const TilePlan& plan, uint8_t* bytes, int64_t rowbytes, int32_t pixel_bytes, int w, int h) {
  constexpr int L = kLanes;
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bytes + int64_t(y) * rowbytes;
    const size_t first_tile = plan.at(y / L, 0);
    for (int strip = 0; strip < plan.strips;) {
      if (plan.out[first_tile + strip]) {
        ++strip;
        continue;
      }
      const int16_t v = plan.value[first_tile + strip];
      int end = strip + 1;
      while (end < plan.strips && !plan.out[first_tile + end] && plan.value[first_tile + end] == v) ++end;
      FillSamples(row, strip * L, std::min(w, end * L), pixel_bytes, uint8_t(v));
      strip = end;
    }
  }
}

// The best (by `better`) of the values within [i - r, i + r] of each of n values `stride` apart,
// into out; `none` loses to every value. Running bests forward and backward over blocks of
// 2r + 1 (the line padded by r each side) give each window as two lookups, whatever r.
template <typename T, typename Better>
void SlidingBest(const T* in, T* out, int n, size_t stride, int r, T none, Better better) {
  const int span = 2 * r + 1, padded = n + 2 * r;
  thread_local std::vector<T> forward, backward;
  forward.resize(size_t(padded)), backward.resize(size_t(padded));
  const auto at = [&](int k) { return k < r || k >= n + r ? none : in[size_t(k - r) * stride]; };
  const auto pick = [&](T a, T b) { return better(a, b) ? a : b; };
  for (int k = 0; k < padded; ++k) forward[k] = k % span == 0 ? at(k) : pick(at(k), forward[k - 1]);
  for (int k = padded - 1; k >= 0; --k)
    backward[k] = k == padded - 1 || (k + 1) % span == 0 ? at(k) : pick(at(k), backward[k + 1]);
  for (int i = 0; i < n; ++i) out[size_t(i) * stride] = pick(backward[i], forward[i + 2 * r]);
}

// Sets `grid` (blocks x strips) to 1 wherever a 1 lies within rx tiles across and ry down.
void Dilate(std::vector<uint8_t>& grid, std::vector<uint8_t>& scratch, int blocks, int strips, int rx, int ry) {
  scratch.resize(grid.size());
  const auto more = [](uint8_t a, uint8_t b) { return a > b; };
  for (int b = 0; b < blocks; ++b)
    SlidingBest(grid.data() + size_t(b) * strips, scratch.data() + size_t(b) * strips, strips, 1, rx, uint8_t(0), more);
  for (int s = 0; s < strips; ++s)
    SlidingBest(scratch.data() + s, grid.data() + s, blocks, size_t(strips), ry, uint8_t(0), more);
}

void PlanTiles(const uint8_t* bytes, int64_t rowbytes, int32_t pixel_bytes, int w, int h, int reach_x, int reach_y,
               TilePlan& plan) {
  constexpr int L = kLanes;
  const int strips = (w + L - 1) / L, blocks = (h + L - 1) / L;
  const size_t tiles = size_t(strips) * size_t(blocks);
  plan.strips = strips, plan.blocks = blocks;
  plan.value.assign(tiles, int16_t(-2));  // -2: no row seen yet
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = bytes + int64_t(y) * rowbytes;
    int16_t* values = plan.value.data() + plan.at(y / L, 0);
    for (int strip = 0; strip < strips; ++strip) {
      const int x0 = strip * L, x1 = std::min(w, x0 + L);
      const uint8_t first = row[int64_t(x0) * pixel_bytes];
      bool differs = false;
      if (pixel_bytes == 1 && x1 - x0 == 16) {  // a whole tile's row as two words
        const uint64_t all = 0x0101010101010101ull * first;
        uint64_t a, b;
        std::memcpy(&a, row + x0, 8);
        std::memcpy(&b, row + x0 + 8, 8);
        differs = (a != all) | (b != all);
      } else {
        for (int x = x0 + 1; x < x1; ++x) differs |= row[int64_t(x) * pixel_bytes] != first;
      }
      int16_t& v = values[strip];
      if (differs || (v != -2 && v != first)) v = -1;
      else if (v == -2) v = first;
    }
  }
  // A tile is filtered where the lowest and highest values within reach differ (a mixed tile
  // counts as both -1 and 256).
  const int rx = (reach_x + L - 1) / L, ry = (reach_y + L - 1) / L;
  thread_local std::vector<int16_t> low, high, scratch16;
  low.resize(tiles), high.resize(tiles), scratch16.resize(tiles);
  for (size_t t = 0; t < tiles; ++t) {
    low[t] = plan.value[t];
    high[t] = plan.value[t] < 0 ? int16_t(256) : plan.value[t];
  }
  const auto less = [](int16_t a, int16_t b) { return a < b; };
  const auto more = [](int16_t a, int16_t b) { return a > b; };
  for (std::vector<int16_t>* grid : {&low, &high}) {
    const bool lows = grid == &low;
    for (int b = 0; b < blocks; ++b) {
      const int16_t* in = grid->data() + plan.at(b, 0);
      int16_t* out = scratch16.data() + plan.at(b, 0);
      lows ? SlidingBest(in, out, strips, 1, rx, int16_t(999), less)
           : SlidingBest(in, out, strips, 1, rx, int16_t(-999), more);
    }
    for (int s = 0; s < strips; ++s) {
      lows ? SlidingBest(scratch16.data() + s, grid->data() + s, blocks, size_t(strips), ry, int16_t(999), less)
           : SlidingBest(scratch16.data() + s, grid->data() + s, blocks, size_t(strips), ry, int16_t(-999), more);
    }
  }
  plan.out.resize(tiles);
  for (size_t t = 0; t < tiles; ++t) plan.out[t] = low[t] != high[t];
  thread_local std::vector<uint8_t> scratch8;
  plan.lines = plan.out;
  Dilate(plan.lines, scratch8, blocks, strips, 0, ry);
  plan.input = plan.lines;
  Dilate(plan.input, scratch8, blocks, strips, rx, 0);
}

// out[x] = a[x] + t (b[x] - a[x]), rounded to bytes. A function of its own so that the byte
// stores are known not to touch the caller's variables, and the loop vectorises.
void RoundBetween(const float* __restrict a, const float* __restrict b, float t, uint8_t* __restrict out, int n) {
  for (int x = 0; x < n; ++x) out[x] = RoundToByte(a[x] + t * (b[x] - a[x]));
}

// ---- Wide blurs on a coarser grid ---------------------------------------------------------
//
// A wide blur is smooth at the scale of many pixels: it is made on a grid k times coarser (each
// coarse sample the mean of a k x k block), with the deviation less the block's own spread, and
// read back by linear interpolation between the blocks' centres (extrapolation past the first
// and last). The interpolation's error is at most k^2 / 8 times the result's curvature, under
// 7.7 k^2 / sigma^2 of a level for a full step: with k at most sigma / 16, under 0.03. The
// grid's edges keep the frame's: one sample on each side holds the edge row or column as it goes
// on forever, which is where the recursion starts.

// The coarse step for these deviations: a power of two up to min(sigma) / 16 and 64, leaving at
// least two blocks each way; 1 where the blur stays on the pixels.
int CoarseStep(const LineFilter& across, const LineFilter& down, double horizontal, double vertical, int w, int h) {
  if (across.kind != Kind::kRecursive || down.kind != Kind::kRecursive) return 1;
  const double sigma = std::min(std::min(horizontal, kMaxSigma), std::min(vertical, kMaxSigma));
  int k = 1;
  while (2 * k <= 64 && 2 * k <= sigma / 16 && w >= 4 * k && h >= 4 * k) k *= 2;
  return k;
}

// The coarse filter: variance sigma^2 + 1/12 in all (the pixel-area Gaussian's), less the
// block mean's (k^2 - 1) / 12, in coarse units, less the 1/12 MakeFilter adds back.
LineFilter CoarseFilter(double sigma, int k) {
  sigma = std::min(sigma, kMaxSigma);
  const double variance = (sigma * sigma + 1.0 / 12 - (double(k) * k - 1) / 12) / (double(k) * k) - 1.0 / 12;
  return MakeFilter(std::sqrt(variance));
}

// Blurs the w x h box from src into dst through the coarse grid, whose (m + 2) x (q + 2) floats
// go in `grid`. False when the working memory cannot be had.
bool BlurOnCoarseGrid(const uint8_t* src, int64_t src_rowbytes, int32_t src_pixel_bytes, uint8_t* dst,
                      int64_t dst_rowbytes, int32_t dst_pixel_bytes, int w, int h, double horizontal, double vertical,
                      int k, float* grid, size_t longest) {
  constexpr int L = kLanes;
  const LineFilter across = CoarseFilter(horizontal, k), down = CoarseFilter(vertical, k);
  const int m = (w + k - 1) / k, q = (h + k - 1) / k, gw = m + 2, gh = q + 2;
  // Row r of the grid: the mean of its fine rows (one for the edge rows), its blocks' means
  // across and the row's edge samples at either end. The fine rows are first summed column by
  // column (`in` holds the sums), then the sums block by block; the frame's last row and column
  // stand in for any beyond it.
  const auto gather = [&](int first, int end, float* in, float*) {
    for (int r = first; r < end; ++r) {
      const int y0 = r == 0 ? 0 : r == gh - 1 ? h - 1 : (r - 1) * k;
      const int rows = r == 0 || r == gh - 1 ? 1 : k;
      std::fill(in, in + w, 0.0f);
      for (int t = 0; t < rows; ++t) {
        const uint8_t* row = src + int64_t(std::min(y0 + t, h - 1)) * src_rowbytes;
        if (src_pixel_bytes == 1) {
          for (int x = 0; x < w; ++x) in[x] += float(row[x]);
        } else {
          for (int x = 0; x < w; ++x) in[x] += float(row[int64_t(x) * src_pixel_bytes]);
        }
      }
      float* g = grid + size_t(r) * gw;
      const float row_scale = 1.0f / float(rows), block_scale = row_scale / float(k);
      g[0] = in[0] * row_scale;
      g[gw - 1] = in[w - 1] * row_scale;
      const int whole = w / k;  // blocks within the frame; a last, partial one takes the edge
      std::fill(g + 1, g + 1 + m, 0.0f);
      for (int t = 0; t < k; ++t)
        for (int c = 0; c < whole; ++c) g[c + 1] += in[c * k + t];
      if (whole < m) {
        for (int x = whole * k; x < w; ++x) g[m] += in[x];
        g[m] += float(m * k - w) * in[w - 1];
      }
      for (int c = 1; c <= m; ++c) g[c] *= block_scale;
    }
  };
  const auto rows_pass = [&](int first_block, int end_block, float* in, float* out) {
    for (int b = first_block; b < end_block; ++b) {
      const int r0 = b * L, rows = std::min(L, gh - r0);
      for (int c = 0; c < gw; ++c)
        for (int l = 0; l < L; ++l) in[c * L + l] = grid[size_t(r0 + std::min(l, rows - 1)) * gw + c];
      const float* result = FilterLines(across, in, out, gw);
      for (int l = 0; l < rows; ++l)
        for (int c = 0; c < gw; ++c) grid[size_t(r0 + l) * gw + c] = result[c * L + l];
    }
  };
  const auto columns_pass = [&](int first_strip, int end_strip, float* in, float* out) {
    for (int s = first_strip; s < end_strip; ++s) {
      const int c0 = s * L, columns = std::min(L, gw - c0);
      for (int r = 0; r < gh; ++r)
        for (int l = 0; l < L; ++l) in[r * L + l] = grid[size_t(r) * gw + c0 + std::min(l, columns - 1)];
      const float* result = FilterLines(down, in, out, gh);
      for (int r = 0; r < gh; ++r)
        for (int l = 0; l < columns; ++l) grid[size_t(r) * gw + c0 + l] = result[r * L + l];
    }
  };
  // Fine pixel x lies at (x + 0.5) / k - 0.5 in block centres: the k pixels from c k + k / 2 on
  // lie between centres c and c + 1, at (j + 0.5) / k of the way for the j-th; the k / 2 before
  // the first centre and those past the last are extrapolated from the first and last pair. A
  // grid row is spread across into w floats once; each fine row is then interpolated down
  // between two spread rows and rounded.
  const auto spread_row = [&](int grid_row, float* fine) {
    const float* t = grid + size_t(grid_row + 1) * gw + 1;
    const int half = k / 2;
    for (int j = 0; j < k; ++j) {
      const float f = (float(j) + 0.5f) / float(k);
      for (int c = 0; c + 1 < m; ++c) fine[half + c * k + j] = t[c] + f * (t[c + 1] - t[c]);
    }
    for (int x = 0; x < half; ++x) {  // before the first centre
      const float f = (float(x) + 0.5f) / float(k) - 0.5f;
      fine[x] = t[0] + f * (t[1] - t[0]);
    }
    for (int x = half + (m - 1) * k; x < w; ++x) {  // past the last
      const float f = (float(x) + 0.5f) / float(k) - 0.5f - float(m - 2);
      fine[x] = t[m - 2] + f * (t[m - 1] - t[m - 2]);
    }
  };
  const auto spread = [&](int first, int end, float* in, float*) {
    float *upper = in, *lower = in + w;
    int spread_at = -1;  // the grid row in `upper`
    for (int y = first; y < end; ++y) {
      const double v = (y + 0.5) / k - 0.5;
      const int j = std::clamp(int(std::floor(v)), 0, q - 2);
      if (j != spread_at) {
        if (spread_at >= 0 && j == spread_at + 1) {
          std::swap(upper, lower);
        } else {
          spread_row(j, upper);
        }
        spread_row(j + 1, lower);
        spread_at = j;
      }
      const float ty = float(v - j);
      uint8_t* row = dst + int64_t(y) * dst_rowbytes;
      if (dst_pixel_bytes == 1) {
        RoundBetween(upper, lower, ty, row, w);
      } else {
        for (int x = 0; x < w; ++x)
          row[int64_t(x) * dst_pixel_bytes] = RoundToByte(upper[x] + ty * (lower[x] - upper[x]));
      }
    }
  };
  const int64_t pixels = int64_t(w) * h;
  // All of src is read (the grid gathered) before dst is written, so the two may be one buffer.
  return RunSplit(gh, longest, pixels, gather) && RunSplit((gh + L - 1) / L, longest, pixels, rows_pass) &&
         RunSplit((gw + L - 1) / L, longest, pixels, columns_pass) && RunSplit(h, longest, pixels, spread);
}

}  // namespace

extern "C" int32_t IR_GaussianBlur(const void* src, int64_t src_rowbytes, int32_t src_width, int32_t src_height,
                                   int32_t src_pixel_bytes, void* dst, int64_t dst_rowbytes, int32_t dst_width,
                                   int32_t dst_height, int32_t dst_pixel_bytes, double horizontal, double vertical,
                                   int32_t single_channel, int32_t /*reserved*/, int32_t channel, int32_t /*quality*/) {
  if (src == nullptr || dst == nullptr || !single_channel || src_width != dst_width || src_height != dst_height ||
      src_width < 0 || src_height < 0 || src_pixel_bytes <= 0 || dst_pixel_bytes <= 0 || channel < 0 ||
      channel >= src_pixel_bytes || channel >= dst_pixel_bytes ||
      src_rowbytes < static_cast<int64_t>(src_width) * src_pixel_bytes ||
      dst_rowbytes < static_cast<int64_t>(dst_width) * dst_pixel_bytes)
    return -1;
  const int frame_w = src_width, frame_h = src_height;
  if (frame_w == 0 || frame_h == 0) return 0;
  const auto unblurred = [&] {
    return CopyUnblurred(src, src_rowbytes, src_pixel_bytes, dst, dst_rowbytes, dst_pixel_bytes, frame_w, frame_h,
                         channel);
  };
  if (std::max(frame_w, frame_h) > kMaxSide) return unblurred();

  constexpr int L = kLanes;
  const LineFilter across = MakeFilter(horizontal), down = MakeFilter(vertical);
  const auto* frame_src = static_cast<const uint8_t*>(src) + channel;
  auto* frame_dst = static_cast<uint8_t*>(dst) + channel;
  const Box box = ChangingBox(frame_src, src_rowbytes, src_pixel_bytes, frame_w, frame_h, across.reach, down.reach);
  const uint8_t background = frame_src[0];
  if (box.x1 == box.x0) {
    FillOutside(frame_dst, dst_rowbytes, dst_pixel_bytes, frame_w, frame_h, box, background);
    return 0;
  }
  const int w = box.x1 - box.x0, h = box.y1 - box.y0;
  // The horizontal pass leaves its result in `plane` as strips of L columns, each strip's rows
  // one after another, so that the vertical pass finds its L columns interleaved and contiguous.
  // All of src is read before dst is written, so the two may be the same buffer.
  const int strips = (w + L - 1) / L;
  float* plane = nullptr;
  try {
    plane = PlaneOfThisThread(static_cast<size_t>(strips) * h * L);
  } catch (...) {  // too large to blur: refuse rather than end the process
    return unblurred();
  }
  const size_t longest = static_cast<size_t>(std::max(w, h));
  const uint8_t* src_bytes = frame_src + int64_t(box.y0) * src_rowbytes + int64_t(box.x0) * src_pixel_bytes;
  uint8_t* dst_bytes = frame_dst + int64_t(box.y0) * dst_rowbytes + int64_t(box.x0) * dst_pixel_bytes;
  if (const int k = CoarseStep(across, down, horizontal, vertical, w, h); k > 1) {
    if (!BlurOnCoarseGrid(src_bytes, src_rowbytes, src_pixel_bytes, dst_bytes, dst_rowbytes, dst_pixel_bytes, w, h,
                          horizontal, vertical, k, plane, longest))
      return unblurred();
    FillOutside(frame_dst, dst_rowbytes, dst_pixel_bytes, frame_w, frame_h, box, background);
    return 0;
  }

  // Named here, on the calling thread: inside the parts, a thread_local would be the pool
  // thread's own.
  thread_local TilePlan kept_plan;
  TilePlan& plan = kept_plan;
  PlanTiles(src_bytes, src_rowbytes, src_pixel_bytes, w, h, across.reach, down.reach, plan);

  // A row block's runs of tiles whose samples the horizontal filter reads: each run's lanes are
  // filled and filtered, and the tiles the vertical filter reads are transposed into the plane.
  // Lanes past the frame's last row or column repeat it, so that they hold ordinary numbers.
  const auto horizontal_pass = [&](int first_block, int end_block, float* in, float* out) {
    for (int block = first_block; block < end_block; ++block) {
      const int y0 = block * L, rows = std::min(L, h - y0);
      const uint8_t* row[L];
      for (int l = 0; l < L; ++l) {
        row[l] = src_bytes + static_cast<int64_t>(y0 + std::min(l, rows - 1)) * src_rowbytes;
      }
      const uint8_t* input = plan.input.data() + plan.at(block, 0);
      for (int first = 0; first < strips;) {
        if (!input[first]) {
          ++first;
          continue;
        }
        int end = first + 1;
        while (end < strips && input[end]) ++end;
        const int xa = first * L, xb = std::min(w, end * L), n = xb - xa;
        if (src_pixel_bytes == 1) {  // the matte plane: each sample's lanes written side by side
          for (int x = 0; x < n; ++x)
            for (int l = 0; l < L; ++l) in[x * L + l] = row[l][xa + x];
        } else {
          for (int x0 = 0; x0 < n; x0 += 64) {  // a chunk of the lanes buffer stays in L1
            const int x1 = std::min(n, x0 + 64);
            for (int l = 0; l < L; ++l) {
              for (int x = x0; x < x1; ++x) {
                in[x * L + l] = row[l][static_cast<int64_t>(xa + x) * src_pixel_bytes];
              }
            }
          }
        }
        const float* result = FilterWhereItChanges(across, in, out, n);
        for (int strip = first; strip < end; ++strip) {  // transposes L x L tiles
          if (!plan.lines[plan.at(block, strip)]) continue;
          const float* tile = result + static_cast<size_t>(strip - first) * L * L;
          const int columns = std::min(L, w - strip * L);
          for (int l = 0; l < rows; ++l) {
            float* to = plane + (static_cast<size_t>(strip) * h + y0 + l) * L;
            for (int c = 0; c < L; ++c) to[c] = tile[std::min(c, columns - 1) * L + l];
          }
        }
        first = end;
      }
    }
  };
  // A strip's runs of tiles the vertical filter reads are filtered, and written out where a tile
  // is filtered for the output (every other tile is written with its value afterwards).
  const auto vertical_pass = [&](int first_strip, int end_strip, float* in, float* out) {
    for (int strip = first_strip; strip < end_strip; ++strip) {
      const int columns = std::min(L, w - strip * L);
      uint8_t* strip_bytes = dst_bytes + static_cast<int64_t>(strip) * L * dst_pixel_bytes;
      for (int first = 0; first < plan.blocks;) {
        if (!plan.lines[plan.at(first, strip)]) {
          ++first;
          continue;
        }
        int end = first + 1;
        while (end < plan.blocks && plan.lines[plan.at(end, strip)]) ++end;
        const int ya = first * L, yb = std::min(h, end * L);
        float* lines = plane + (static_cast<size_t>(strip) * h + ya) * L;
        if (down.kind == Kind::kDirect) {  // needs room for the edge padding
          std::memcpy(in, lines, sizeof(float) * (yb - ya) * L);
          lines = in;
        }
        const float* result = FilterWhereItChanges(down, lines, out, yb - ya);
        for (int block = first; block < end; ++block) {
          if (!plan.out[plan.at(block, strip)]) continue;
          for (int y = block * L; y < std::min(h, (block + 1) * L); ++y) {
            uint8_t* row = strip_bytes + static_cast<int64_t>(y) * dst_rowbytes;
            const float* samples = result + static_cast<size_t>(y - ya) * L;
            if (dst_pixel_bytes == 1) {
              for (int c = 0; c < columns; ++c) row[c] = RoundToByte(samples[c]);
            } else {
              for (int c = 0; c < columns; ++c) row[c * dst_pixel_bytes] = RoundToByte(samples[c]);
            }
          }
        }
        first = end;
      }
    }
  };
  // All of src is read (first pass, every part) before dst is written (second pass), so the two
  // may be the same buffer.
  const int blocks = plan.blocks;
  const int64_t pixels = int64_t(w) * h;
  if (!RunSplit(blocks, longest, pixels, horizontal_pass) || !RunSplit(strips, longest, pixels, vertical_pass))
    return unblurred();
  FillFlatTiles(plan, dst_bytes, dst_rowbytes, dst_pixel_bytes, w, h);
  FillOutside(frame_dst, dst_rowbytes, dst_pixel_bytes, frame_w, frame_h, box, background);
  return 0;
}

namespace quill {

void FailNextBlurAllocations(int count) { g_failing_allocations.store(std::max(count, 0)); }

int64_t BlurAllocationsMade() { return g_allocations.load(); }

}  // namespace quill
