#include "features/feature_selector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace vantor::tracking {
namespace {

// Parameters far beyond any frame only need to keep the index arithmetic from wrapping.
constexpr int64_t kParamLimit = int64_t{1} << 40;
constexpr float kGreyLimit = 1e7f;

int64_t Clamped(uint64_t v) { return v > static_cast<uint64_t>(kParamLimit) ? kParamLimit : static_cast<int64_t>(v); }

uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

}  // namespace

uint64_t MinDistanceForMask(int64_t box_width, int64_t box_height) {
  if (box_width <= 0 || box_height <= 0) return 4;
  const double d =
      std::floor(std::sqrt(static_cast<double>(box_width) * static_cast<double>(box_height) / (100 * 5.0)) + 0.5);
  return d > 4.0 ? static_cast<uint64_t>(d) : 4;
}

feature_selector::feature_selector(uint64_t width, uint64_t height, const selection_parameters& params)
    : width_(width), height_(height), params_(params) {
  if (width && height > std::numeric_limits<size_t>::max() / 8 / width)
    throw std::length_error("feature_selector: frame too large");
  if (width > static_cast<uint64_t>(kParamLimit) || height > static_cast<uint64_t>(kParamLimit))
    throw std::length_error("feature_selector: frame too large");
  w_ = static_cast<int64_t>(width);
  h_ = static_cast<int64_t>(height);
  hw_ = Clamped(params.window_half_width);
  hh_ = Clamped(params.window_half_height);
  const int64_t m = Clamped(params.border_margin);
  area_ = static_cast<float>(static_cast<double>(2 * hw_ + 1) * static_cast<double>(2 * hh_ + 1));

  // Gradients are needed inside the frame less gL/gT on each side; the window sums and scores
  // one window (plus one pixel) further in, so the rectangle's outermost gradients never enter a
  // window.
  const int64_t gl = std::max<int64_t>(0, m - hw_ - 2), gt = std::max<int64_t>(0, m - hh_ - 2);
  sx0_ = gl + hw_ + 1;
  sx1_ = w_ - gl - hw_ - 1;
  sy0_ = gt + hh_ + 1;
  sy1_ = h_ - gt - hh_ - 1;
  scorable_ = sx1_ > sx0_ && sy1_ > sy0_;
  cx0_ = std::max(hw_ + 2, m);
  cx1_ = w_ - std::max(hw_ + 2, m) - 1;
  cy0_ = std::max(hh_ + 2, m);
  cy1_ = h_ - std::max(hh_ + 2, m) - 1;

  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  grey_.assign(pixels, 0.0f);
  mask_.assign(pixels, 1);
  score_.assign(pixels, 0.0f);
  available_.assign(pixels, 1.0f);
  candidates_.reserve(pixels);
  results_.reserve(static_cast<size_t>(std::min<uint64_t>(params.max_features, pixels)));
  if (!scorable_) return;

  const int64_t nx = sx1_ - sx0_;
  if (cx1_ >= cx0_) peaks_.assign(static_cast<size_t>(cx1_ - cx0_ + 1 + 8), 0);
  products_.assign(static_cast<size_t>(3 * (nx + 2 * hw_)), 0.0f);
  sum_ring_.assign(static_cast<size_t>(3 * nx * (2 * hh_ + 2)), 0.0f);
  sums_.assign(static_cast<size_t>(3 * nx), 0.0f);

  // The kernel weight of pixel k is the Gaussian's mass over [k - 0.5, k + 0.5], normalised.
  const float sigma = static_cast<float>(2 * std::max(hw_, hh_) + 1) * params.presmooth_sigma_factor;
  if (!params.presmooth || !(sigma > 0.0f)) return;
  const double radius = std::floor(3.5 * static_cast<double>(sigma) + 0.5);
  if (!(radius >= 1.0) || radius > static_cast<double>(std::min(w_, h_))) return;
  r_ = static_cast<int64_t>(radius);
  // The smoothed rectangle lies inside the frame less max(0, margin - half window - r - 2);
  // its outermost r pixels only feed the filter.
  const int64_t sl = std::max<int64_t>(0, m - hw_ - r_ - 2), st = std::max<int64_t>(0, m - hh_ - r_ - 2);
  px0_ = sl + r_;
  px1_ = w_ - sl - r_;
  py0_ = st + r_;
  py1_ = h_ - st - r_;
  smooth_ = px1_ > px0_ && py1_ > py0_;
  if (!smooth_) return;
  kernel_.resize(static_cast<size_t>(2 * r_ + 1));
  const double scale = 1.0 / (static_cast<double>(sigma) * std::sqrt(2.0));
  std::vector<double> weights(kernel_.size());
  double total = 0;
  for (int64_t k = -r_; k <= r_; ++k) {
    const double wk =
        std::erf((static_cast<double>(k) + 0.5) * scale) - std::erf((static_cast<double>(k) - 0.5) * scale);
    weights[static_cast<size_t>(k + r_)] = wk;
    total += wk;
  }
  for (size_t i = 0; i < kernel_.size(); ++i) kernel_[i] = static_cast<float>(weights[i] / total);
  smooth_ring_.assign(static_cast<size_t>((2 * r_ + 1) * (px1_ - px0_)), 0.0f);
  tap_rows_.resize(kernel_.size());
}

// A NaN or infinite grey value would spread through every running sum it enters, and so would
// the overflowing squares of a huge one: non-finite values read as 0, finite ones are held to
// ±1e7 (far outside 0 .. 255), which keeps every window sum and the score finite.
void feature_selector::Sanitise(const Rect& r) {
  for (int64_t y = r.y0; y < r.y1; ++y) {
    float* g = grey_.data() + y * w_;
    for (int64_t x = r.x0; x < r.x1; ++x) {
      const float v = g[x];
      const float held = std::min(std::max(v, -kGreyLimit), kGreyLimit);
      g[x] = (v - v == 0.0f) ? held : 0.0f;
    }
  }
}

namespace {

// out[i] = sum over j of k[j] · in[j][i], taps in order. Sixteen outputs stay in registers
// across all taps (four times faster than a pass over the row per tap).
void Taps(const float* __restrict k, const float* const* in, int64_t taps, int64_t n, float* __restrict out) {
  constexpr int64_t kBlock = 16;
  int64_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    float acc[kBlock];
    const float* __restrict first = in[0] + i;
    for (int64_t l = 0; l < kBlock; ++l) acc[l] = k[0] * first[l];
    for (int64_t j = 1; j < taps; ++j) {
      const float kj = k[j];
      const float* __restrict row = in[j] + i;
      for (int64_t l = 0; l < kBlock; ++l) acc[l] += kj * row[l];
    }
    for (int64_t l = 0; l < kBlock; ++l) out[i + l] = acc[l];
  }
  for (; i < n; ++i) {
    float acc = k[0] * in[0][i];
    for (int64_t j = 1; j < taps; ++j) acc += k[j] * in[j][i];
    out[i] = acc;
  }
}

}  // namespace

// Separable Gaussian over the rectangle `p`, rows then columns, streamed: each horizontally
// filtered row goes into a ring of 2r + 1 rows, and a row is filtered vertically (in place in the
// grey plane) as soon as its last input row is in the ring. A raw row is never read after its
// smoothed row is written.
void feature_selector::Presmooth(const Rect& p) {
  const int64_t n = 2 * r_ + 1, pw = p.x1 - p.x0;
  const float* k = kernel_.data();
  float* ring = smooth_ring_.data();
  const float** in = tap_rows_.data();
  const int64_t first = p.y0 - r_;
  for (int64_t y = first; y < p.y1 + r_; ++y) {
    const float* g = grey_.data() + y * w_ + p.x0 - r_;
    for (int64_t j = 0; j < n; ++j) in[j] = g + j;
    Taps(k, in, n, pw, ring + ((y - first) % n) * pw);
    if (y < p.y0 + r_) continue;
    const int64_t yo = y - r_;
    for (int64_t j = 0; j < n; ++j) in[j] = ring + ((yo - p.y0 + j) % n) * pw;
    Taps(k, in, n, pw, grey_.data() + yo * w_ + p.x0);
  }
}

namespace {

// gx², gy² and gx·gy of n pixels from `g` on; central differences, not halved.
void ProductRow(const float* __restrict g, int64_t stride, int64_t n, float* __restrict pxx, float* __restrict pyy,
                float* __restrict pxy) {
  const float* __restrict up = g - stride;
  const float* __restrict down = g + stride;
  for (int64_t u = 0; u < n; ++u) {
    const float gx = g[u + 1] - g[u - 1];
    const float gy = down[u] - up[u];
    pxx[u] = gx * gx;
    pyy[u] = gy * gy;
    pxy[u] = gx * gy;
  }
}

// Window sums of `win` products along a row, n outputs, for the three planes at once: the
// first by direct summation, then running (add the entering product, drop the leaving one).
// Three independent chains, and the differences do not wait for the sums.
void RunningRowSums(const float* __restrict pxx, const float* __restrict pyy, const float* __restrict pxy, int64_t win,
                    int64_t n, float* __restrict oa, float* __restrict oc, float* __restrict ob) {
  float a = 0, c = 0, b = 0;
  for (int64_t u = 0; u < win; ++u) {
    a += pxx[u];
    c += pyy[u];
    b += pxy[u];
  }
  oa[0] = a;
  oc[0] = c;
  ob[0] = b;
  for (int64_t i = 1; i < n; ++i) {
    a += pxx[i + win - 1] - pxx[i - 1];
    c += pyy[i + win - 1] - pyy[i - 1];
    b += pxy[i + win - 1] - pxy[i - 1];
    oa[i] = a;
    oc[i] = c;
    ob[i] = b;
  }
}

// One output row: the three vertical window sums advance by the entering row `in` and the
// leaving row `old` (each three planes of n), and the score follows from them:
// s = t - sqrt(t² - 4(ac - b²)), twice the smaller eigenvalue of [[a, b], [b, c]]; 0 where the
// eigenvalue ratio exceeds the limit, where s is not positive (flat) and where it is NaN.
void AdvanceAndScore(float* __restrict sums, const float* __restrict in, const float* __restrict old, int64_t n,
                     float ratio, float* __restrict out) {
  for (int64_t i = 0; i < n; ++i) {
    const float a = sums[i] + (in[i] - old[i]);
    const float c = sums[n + i] + (in[n + i] - old[n + i]);
    const float b = sums[2 * n + i] + (in[2 * n + i] - old[2 * n + i]);
    sums[i] = a;
    sums[n + i] = c;
    sums[2 * n + i] = b;
    const float t = a + c;
    // Rounding can push the discriminant of a nearly isotropic window below zero.
    const float d = std::sqrt(std::max(t * t - 4.0f * (a * c - b * b), 0.0f));
    const float s = t - d;
    const float v = (t + d <= s * ratio) ? s : 0.0f;
    out[i] = v > 0.0f ? v : 0.0f;
  }
}

}  // namespace

// Gradients, their products, the window sums and the score over the rectangle `r`, streamed row
// by row: a row of products is summed along the row (running sum), the sums go into a ring of
// 2hh + 2 rows, and the vertical running sums advance by one ring row in, one out. No
// full-frame product planes.
void feature_selector::Score(const Rect& r) {
  const int64_t sx0 = r.x0, sy0 = r.y0, sy1 = r.y1;
  const int64_t nx = r.x1 - r.x0, pn = nx + 2 * hw_, win = 2 * hw_ + 1;
  const int64_t slots = 2 * hh_ + 2, first = sy0 - hh_;
  float* ring = sum_ring_.data();
  float* sums = sums_.data();  // three planes: sum gx², sum gy², sum gx·gy
  float* pxx = products_.data();

  auto row_sums = [&](int64_t y) {
    ProductRow(grey_.data() + y * w_ + sx0 - hw_, w_, pn, pxx, pxx + pn, pxx + 2 * pn);
    float* out = ring + ((y - first) % slots) * 3 * nx;
    RunningRowSums(pxx, pxx + pn, pxx + 2 * pn, win, nx, out, out + nx, out + 2 * nx);
    return out;
  };
  auto score_row = [&](int64_t y, const float* in, const float* old) {
    AdvanceAndScore(sums, in, old, nx, params_.eigenvalue_ratio_limit, score_.data() + y * w_ + sx0);
  };

  // The first window: 2hh + 1 rows summed in order, the last of them added with the score. The
  // ring's spare slot, zeroed, stands in for the leaving row.
  std::fill(sums, sums + 3 * nx, 0.0f);
  float* spare = ring + (slots - 1) * 3 * nx;
  std::fill(spare, spare + 3 * nx, 0.0f);
  for (int64_t y = first; y < sy0 + hh_; ++y) {
    const float* __restrict in = row_sums(y);
    for (int64_t i = 0; i < 3 * nx; ++i) sums[i] += in[i];
  }
  score_row(sy0, row_sums(sy0 + hh_), spare);
  for (int64_t y = sy0 + 1; y < sy1; ++y) {
    const float* in = row_sums(y + hh_);
    score_row(y, in, ring + ((y - hh_ - 1 - first) % slots) * 3 * nx);
  }
}

namespace {

// 1 where score[x] beats all 8 neighbours, for n pixels; rows above and below at `stride`.
void PeakRow(const float* __restrict score, int64_t stride, int64_t n, uint8_t* __restrict peak) {
  const float* __restrict up = score - stride;
  const float* __restrict down = score + stride;
  for (int64_t x = 0; x < n; ++x) {
    const float s = score[x];
    const bool above = (s > up[x - 1]) & (s > up[x]) & (s > up[x + 1]);
    const bool beside = (s > score[x - 1]) & (s > score[x + 1]);
    const bool below = (s > down[x - 1]) & (s > down[x]) & (s > down[x + 1]);
    peak[x] = above & beside & below;
  }
}

}  // namespace

// Strict local maxima of the score over the 8-neighbourhood, inside the mask, in raster order,
// within the rectangle `c`. The peak test runs over a whole row first (vectorised) and the row's
// few peaks are then collected. (A candidate's right neighbour can never be one, which a
// pixel-by-pixel scan could skip; the whole-row test finds the same set.)
void feature_selector::FindCandidates(const Rect& c, float& best) {
  const float* score = score_.data();
  const uint8_t* mask = mask_.data();
  uint8_t* peak = peaks_.data();
  const int64_t n = c.x1 - c.x0;
  for (int64_t y = c.y0; y < c.y1; ++y) {
    const int64_t row = y * w_ + c.x0;
    PeakRow(score + row, w_, n, peak);
    for (int64_t x = 0; x < n; x += 8) {
      uint64_t word = 0;  // eight flags at a time: most rows are mostly empty
      std::memcpy(&word, peak + x, 8);
      if (!word) continue;
      for (int64_t k = x; k < std::min(x + 8, n); ++k) {
        if (!peak[k] || !mask[row + k]) continue;
        candidates_.push_back(static_cast<uint64_t>(row + k));
        best = std::max(best, score[row + k]);
      }
    }
  }
}

// Best first; equal scores in raster order so results do not depend on the sort. With fewer than
// 2^32 pixels, score bits and index pack into one key (positive floats order like their bits).
void feature_selector::SortCandidates() {
  const float* score = score_.data();
  if (static_cast<uint64_t>(w_) * static_cast<uint64_t>(h_) <= 0xFFFFFFFFull) {
    for (uint64_t& c : candidates_) c = (uint64_t{FloatBits(score[c])} << 32) | (0xFFFFFFFFull - c);
    std::sort(candidates_.begin(), candidates_.end(), [](uint64_t a, uint64_t b) { return a > b; });
    for (uint64_t& c : candidates_) c = 0xFFFFFFFFull - (c & 0xFFFFFFFFull);
  } else {
    std::sort(candidates_.begin(), candidates_.end(),
              [score](uint64_t a, uint64_t b) { return score[a] != score[b] ? score[a] > score[b] : a < b; });
  }
}

// The rectangle (end exclusive) of the mask's non-zero bytes; empty when there are none.
feature_selector::Rect feature_selector::MaskBox() const {
  Rect box{w_, 0, h_, 0};
  for (int64_t y = 0; y < h_; ++y) {
    const uint8_t* row = mask_.data() + y * w_;
    int64_t x = 0;
    // Eight bytes at a time to the first set one: most rows of a frame lie outside a mask.
    for (uint64_t word = 0; x + 8 <= w_; x += 8) {
      std::memcpy(&word, row + x, 8);
      if (word) break;
    }
    while (x < w_ && !row[x]) ++x;
    if (x == w_) continue;
    int64_t last = w_ - 1;
    while (!row[last]) --last;
    box.x0 = std::min(box.x0, x);
    box.x1 = std::max(box.x1, last + 1);
    box.y0 = std::min(box.y0, y);
    box.y1 = y + 1;
  }
  return box;
}

// Candidates lie only in the mask, so the work is confined to its box: the candidate range, the
// scores their peak tests read (one pixel around), the grey those scores read (a window and a
// pixel around) and the raw grey the smoothing reads (its radius around).
feature_selector::Work feature_selector::Plan() const {
  Work w;
  if (!scorable_) return w;
  const Rect mask = MaskBox();
  w.candidates = {std::max(cx0_, mask.x0), std::min(cx1_ + 1, mask.x1), std::max(cy0_, mask.y0),
                  std::min(cy1_ + 1, mask.y1)};
  w.any = w.candidates.x0 < w.candidates.x1 && w.candidates.y0 < w.candidates.y1;
  if (!w.any) return w;
  const Rect& c = w.candidates;
  w.scored = {std::max(sx0_, c.x0 - 1), std::min(sx1_, c.x1 + 1), std::max(sy0_, c.y0 - 1), std::min(sy1_, c.y1 + 1)};
  const Rect score_reads{w.scored.x0 - hw_ - 1, w.scored.x1 + hw_ + 1, w.scored.y0 - hh_ - 1, w.scored.y1 + hh_ + 1};
  w.smoothed = {std::max(px0_, score_reads.x0), std::min(px1_, score_reads.x1), std::max(py0_, score_reads.y0),
                std::min(py1_, score_reads.y1)};
  w.smooth = smooth_ && w.smoothed.x0 < w.smoothed.x1 && w.smoothed.y0 < w.smoothed.y1;
  w.read = !w.smooth ? score_reads
                     : Rect{std::min(score_reads.x0, w.smoothed.x0 - r_), std::max(score_reads.x1, w.smoothed.x1 + r_),
                            std::min(score_reads.y0, w.smoothed.y0 - r_), std::max(score_reads.y1, w.smoothed.y1 + r_)};
  return w;
}

void feature_selector::grey_needed(int64_t& x0, int64_t& y0, int64_t& x1, int64_t& y1) const {
  const Work w = Plan();
  x0 = w.read.x0, x1 = w.read.x1, y0 = w.read.y0, y1 = w.read.y1;
  if (!w.any) x0 = x1 = y0 = y1 = 0;
}

std::pair<float, float> feature_selector::select() {
  candidates_.clear();
  const Work w = Plan();
  if (!w.any) return {0.0f, 0.0f};
  Sanitise(w.read);
  if (w.smooth) Presmooth(w.smoothed);
  Score(w.scored);

  float best = -100000.0f;
  FindCandidates(w.candidates, best);
  if (best < 0.0f) {
    candidates_.clear();
    return {0.0f, 0.0f};
  }
  const float threshold = std::max(params_.relative_quality * std::min(area_ * params_.score_cap_per_pixel, best),
                                   area_ * params_.min_score_per_pixel);
  const float* score = score_.data();
  std::erase_if(candidates_, [&](uint64_t c) { return score[c] < threshold; });
  if (candidates_.empty()) return {0.0f, 0.0f};
  SortCandidates();
  return {score[candidates_.front()] / area_, score[candidates_.back()] / area_};
}

// Clears the pixels within the minimum distance of (cx, cy), the boundary included.
void feature_selector::ClearDisc(int64_t cx, int64_t cy) {
  const double r = static_cast<double>(params_.min_distance);
  const double x = static_cast<double>(cx), y = static_cast<double>(cy);
  const double top = std::max(0.0, std::ceil(y - r)), bottom = std::min(static_cast<double>(h_ - 1), std::floor(y + r));
  for (int64_t row = static_cast<int64_t>(top); row <= static_cast<int64_t>(bottom); ++row) {
    const double dy = static_cast<double>(row) - y;
    const double half = std::sqrt(r * r - dy * dy);
    const double left = std::max(0.0, std::ceil(x - half));
    const double right = std::min(static_cast<double>(w_ - 1), std::floor(x + half));
    if (right < left) continue;
    float* a = available_.data() + row * w_;
    std::fill(a + static_cast<int64_t>(left), a + static_cast<int64_t>(right) + 1, 0.0f);
  }
}

// The box of the candidates (empty when there are none).
feature_selector::Rect feature_selector::CandidateBox() const {
  Rect box{w_, 0, h_, 0};
  for (const uint64_t c : candidates_) {
    const int64_t x = static_cast<int64_t>(c % width_), y = static_cast<int64_t>(c / width_);
    box.x0 = std::min(box.x0, x), box.x1 = std::max(box.x1, x + 1);
    box.y0 = std::min(box.y0, y), box.y1 = std::max(box.y1, y + 1);
  }
  return box;
}

void feature_selector::thin() {
  results_.clear();
  // Only the candidates' pixels are read: their box is made available again.
  const Rect box = CandidateBox();
  for (int64_t y = box.y0; y < box.y1; ++y)
    std::fill(available_.data() + y * w_ + box.x0, available_.data() + y * w_ + box.x1, 1.0f);
  const uint64_t limit = params_.max_features;
  if (limit == 0) return;
  if (params_.spread_cells > 1) ThinByCells(limit, box);
  for (const uint64_t c : candidates_) {
    if (results_.size() >= limit) break;
    if (available_[c] == 0.0f) continue;
    const int64_t x = static_cast<int64_t>(c % width_), y = static_cast<int64_t>(c / width_);
    results_.push_back({static_cast<float>(x), static_cast<float>(y), score_[c]});
    ClearDisc(x, y);
  }
  // Best first, as without cells: the fill after the cells' shares comes in score order too.
  std::stable_sort(results_.begin(), results_.end(),
                   [](const selected_feature& a, const selected_feature& b) { return a.score > b.score; });
}

void feature_selector::ThinByCells(uint64_t limit, const Rect& box) {
  if (candidates_.empty()) return;
  const int64_t n = static_cast<int64_t>(std::min<uint64_t>(params_.spread_cells, 64));
  const uint64_t share = (limit + uint64_t(n * n) - 1) / uint64_t(n * n);
  cell_counts_.assign(size_t(n * n), 0);
  for (const uint64_t c : candidates_) {
    if (results_.size() >= limit) break;
    if (available_[c] == 0.0f) continue;
    const int64_t x = static_cast<int64_t>(c % width_), y = static_cast<int64_t>(c / width_);
    const int64_t cx = (x - box.x0) * n / (box.x1 - box.x0), cy = (y - box.y0) * n / (box.y1 - box.y0);
    uint64_t& count = cell_counts_[size_t(cy * n + cx)];
    if (count >= share) continue;
    ++count;
    results_.push_back({static_cast<float>(x), static_cast<float>(y), score_[c]});
    ClearDisc(x, y);
  }
}

void feature_selector::write_features(std::vector<tracking_feature<float>>& row) const {
  const size_t n = std::min(row.size(), results_.size());
  for (size_t i = 0; i < n; ++i) {
    row[i].x = results_[i].x;
    row[i].y = results_[i].y;
    row[i].state = kFeatureSelected;
  }
  for (size_t i = n; i < row.size(); ++i) row[i].state = kFeatureNotTracked;
}

}  // namespace vantor::tracking
