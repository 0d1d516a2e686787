// The feature pipeline of one tracking step: corners are selected in the first frame inside the
// mask, followed into the second frame coarse to fine, and checked against their first
// appearance with an affine, brightness-adjusted template. Frames arrive through a source, so
// the tracker only has to plug its frames in.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "features/affine_refinement.h"
#include "features/feature_selector.h"
#include "features/image_pyramid.h"
#include "features/lk_tracker.h"
#include "features/tracking_records.h"

namespace vantor::tracking {

// The host's name for a frame's content: equal names, equal pixels.
struct frame_identity {
  int64_t high = 0, low = 0;
  bool operator==(const frame_identity&) const = default;
};

// Pixels [x0, x1) x [y0, y1) of a frame.
struct frame_region {
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Where the pipeline reads frame k (0 or 1) of the step. Sizes are fixed for the step.
class frame_source {
 public:
  virtual ~frame_source() = default;
  virtual uint64_t width() const = 0;
  virtual uint64_t height() const = 0;
  // Red, green, blue as three floats a pixel, 0 to 255, rows top-down.
  virtual void colour(int64_t k, float* rgb) = 0;
  // Grey as whole numbers 0 to 255, one float a pixel.
  virtual void grey(int64_t k, float* values) = 0;
  // The same where only `region` will be read (rows keep the frame's width); sources that can
  // convert less override it.
  virtual void grey_region(int64_t k, float* values, const frame_region& /*region*/) { grey(k, values); }
  // Non-zero inside the mask, one byte a pixel.
  virtual void mask(int64_t k, uint8_t* bytes) = 0;
  // Frame k's identity, where the source knows one.
  virtual bool identity(int64_t /*k*/, frame_identity& /*id*/) { return false; }
};

struct two_frame_result {
  // Two rows of max features slots: frame 0 (selected: state 1, or -1) and frame 1.
  std::vector<tracking_feature<float>> table;
  uint64_t slots = 0;
  uint64_t selected = 0;
  std::pair<float, float> scores{0, 0};  // best and worst kept score per window pixel
  std::vector<uint32_t> tracking_histogram, refinement_histogram;
};

// The step's working memory: sized once for a frame size, reused for every step of that size.
class two_frame_pipeline {
 public:
  two_frame_pipeline(uint64_t width, uint64_t height, const selection_parameters& selection, const lk_parameters& lk);
  // Runs the step over frames 0 and 1 of the source (same size as the pipeline). A track's
  // next step starts on this one's second frame: where the source names frame 0 as the frame
  // the last run's second pyramid was built from, that pyramid serves again; nothing else of a
  // run is read by the next. With `refine` false the refinement waits for refine(), which a
  // caller calls only where the tracked positions alone do not serve.
  two_frame_result run(frame_source& source, bool refine = true);
  // The refinement of the last run's second frame, when that run left it out (once).
  void refine(two_frame_result& result);
  // Whether the last run took its first pyramid from the run before.
  bool reused_first_pyramid() const { return reused_; }

  // Whether this pipeline can run a step on width x height frames with these parameters: all
  // must match but the minimum distance, which the mask's size sets anew every step.
  bool serves(uint64_t width, uint64_t height, const selection_parameters& selection, const lk_parameters& lk) const;
  void set_min_distance(uint64_t d);

  // After a run: the first frame's templates, slot for slot with its row (only the selected
  // slots' are current), and the second frame's pyramid. The templates are extracted on first
  // use: a press that a reference places never needs them.
  const std::vector<feature_template>& first_templates();
  const image_pyramid& second_pyramid() const { return to_; }

 private:
  void make_templates();

  selection_parameters selection_;
  lk_parameters lk_;
  feature_selector selector_;
  image_pyramid from_, to_;
  std::vector<float> scratch_;
  std::vector<feature_template> templates_;
  std::vector<float> states_;
  std::vector<tracking_feature<float>> first_row_;  // the last run's selection
  bool templates_current_ = false;
  std::optional<frame_identity> second_identity_;  // of the frame in to_
  bool reused_ = false;
};

}  // namespace vantor::tracking
