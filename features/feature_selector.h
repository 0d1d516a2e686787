// Feature selection: scores every pixel of a grey frame by the smaller eigenvalue of its
// windowed gradient structure tensor (minimum-eigenvalue corner score), keeps strict local
// maxima inside a mask, thresholds and sorts them, then thins them by a minimum distance and a
// maximum count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "features/tracking_records.h"

namespace vantor::tracking {

struct selected_feature {
  float x, y, score;
};
static_assert(sizeof(selected_feature) == 12);

// The minimum distance for a mask whose bounding box is w x h frame pixels (already truncated
// to integers): max(4, floor(sqrt(w · h / 500) + 0.5)). Degenerate boxes give 4.
uint64_t MinDistanceForMask(int64_t box_width, int64_t box_height);

class feature_selector {
 public:
  // Sizes every buffer for a width x height frame; select() and thin() allocate nothing.
  feature_selector(uint64_t width, uint64_t height, const selection_parameters& params);

  uint64_t width() const { return width_; }
  uint64_t height() const { return height_; }
  const selection_parameters& parameters() const { return params_; }
  // Only the thinning reads the minimum distance, so it may change between frames.
  void set_min_distance(uint64_t d) { params_.min_distance = d; }
  // (2 · half width + 1) · (2 · half height + 1).
  float window_area() const { return area_; }

  // Filled by the caller before select(): grey values (0 .. 255) row by row, and one byte per
  // pixel, non-zero inside the mask (all 1 until written). select() smooths the grey plane in
  // place, reads non-finite grey values as 0 and holds finite ones to ±1e7.
  float* grey_plane() { return grey_.data(); }
  uint8_t* mask_plane() { return mask_.data(); }
  // Once the mask is written: the grey pixels [x0, x1) x [y0, y1) that select() will read (an
  // empty rectangle where it reads none).
  void grey_needed(int64_t& x0, int64_t& y0, int64_t& x1, int64_t& y1) const;

  // Scores, candidates, threshold and sort. Returns (best score, worst kept score), each divided
  // by the window area, or (0, 0) when no candidate survives. Only the mask's box is worked on:
  // the score plane is written there and one pixel around it (within the scorable frame), the
  // grey plane smoothed and sanitised as far as those scores read, and the rest keeps what it
  // held. An empty mask, or a frame too small for the margins and windows, produces no
  // candidates and leaves the score plane untouched.
  std::pair<float, float> select();
  // Walks the sorted candidates, keeping one only when no kept feature lies within the minimum
  // distance (a distance equal to it also excludes), up to max_features; with spread_cells,
  // each cell's share first (see selection_parameters). Results best first.
  void thin();

  const std::vector<selected_feature>& results() const { return results_; }
  // Row-major pixel indices y · width + x, best score first (equal scores in raster order).
  const std::vector<uint64_t>& candidates() const { return candidates_; }
  const float* score_plane() const { return score_.data(); }

  // The results into feature slots in order: x, y copied, state kFeatureSelected; every later
  // slot gets kFeatureNotTracked. Results beyond the row's size are dropped.
  void write_features(std::vector<tracking_feature<float>>& row) const;

 private:
  struct Rect {
    int64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;  // end exclusive
  };
  Rect MaskBox() const;
  // The rectangles select() works on, from the mask's box.
  struct Work {
    Rect candidates, scored, smoothed, read;
    bool any = false, smooth = false;
  };
  Work Plan() const;
  void Sanitise(const Rect& r);
  void Presmooth(const Rect& p);
  void Score(const Rect& r);
  void FindCandidates(const Rect& c, float& best);
  void SortCandidates();
  void ClearDisc(int64_t cx, int64_t cy);
  Rect CandidateBox() const;
  void ThinByCells(uint64_t limit, const Rect& box);

  uint64_t width_, height_;
  selection_parameters params_;
  int64_t w_, h_;  // the frame size, signed for index arithmetic
  int64_t hw_, hh_;
  float area_;
  // Presmoothing: kernel radius and the rectangle of smoothed pixels (end exclusive); the
  // input rows run r further up and down, the columns r further left and right.
  int64_t r_ = 0;
  bool smooth_ = false;
  int64_t px0_ = 0, px1_ = 0, py0_ = 0, py1_ = 0;
  // Score rectangle (end exclusive) and candidate scan range (inclusive).
  int64_t sx0_, sx1_, sy0_, sy1_;
  int64_t cx0_, cx1_, cy0_, cy1_;
  bool scorable_ = false;

  std::vector<float> grey_;
  std::vector<uint8_t> mask_;
  std::vector<float> score_;
  std::vector<float> available_;
  std::vector<uint64_t> candidates_;
  std::vector<selected_feature> results_;
  std::vector<uint64_t> cell_counts_;
  std::vector<float> kernel_;
  std::vector<float> smooth_ring_;      // 2r + 1 horizontally smoothed rows
  std::vector<const float*> tap_rows_;  // the inputs of one filter tap each
  std::vector<float> products_;         // one row each of gx², gy², gx·gy
  std::vector<float> sum_ring_;         // 2hh + 2 rows of horizontal window sums, three planes each
  std::vector<uint8_t> peaks_;          // one row of local-maximum flags, padded to whole words
  std::vector<float> sums_;             // the running vertical window sums, three planes
};

}  // namespace vantor::tracking
