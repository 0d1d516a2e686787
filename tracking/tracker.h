// The tracker: one press of "<<" or ">>" as an analysis on the job's thread. It fetches the
// current and the neighbouring frame, follows corner features from one to the other, fits the
// motion the chosen level allows, and hands the host the mask moved by it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <vector>

#include "analysis/analysis_job.h"
#include "features/tracking_records.h"
#include "features/two_frame_pipeline.h"
#include "mask/mask_geometry.h"
#include "mask/mask_shape.h"
#include "motion/robust_fit.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/private_suites.h"
#include "tracking/reference_chain.h"

namespace mask {

// Abandons a step whose job has stopped, failed or finished; the mask then stays where it is.
class TerminateException : public std::exception {
 public:
  const char* what() const noexcept override { return "tracking step terminated"; }
};

// Reported (not failing the job) when a step finds nothing to follow.
inline constexpr const char* kNoFeaturesWarning =
    "$$$/stabilizer/warning/NoFeatures=No features could be followed inside the mask; it stays where it is.";
inline constexpr int32_t kWarningLevel = 2;

// The pipeline's frames 0 and 1, read through the job: frame index first_index and its
// neighbour. Every read checks the job first, so a stopped job ends the step.
class TrackerFrameSource : public vantor::tracking::frame_source {
 public:
  TrackerFrameSource(vsa::analysis::Job& job, const Mask::MaskShape& shape, int32_t first_index, bool forward,
                     float pixel_aspect, float expansion);
  uint64_t width() const override { return uint64_t(width_); }
  uint64_t height() const override { return uint64_t(height_); }
  void colour(int64_t k, float* rgb) override;
  void grey(int64_t k, float* values) override;
  void grey_region(int64_t k, float* values, const vantor::tracking::frame_region& r) override;
  void mask(int64_t k, uint8_t* bytes) override;
  bool identity(int64_t k, vantor::tracking::frame_identity& id) override;

 private:
  vsa::analysis::FetchedFrame Fetch(int64_t k);

  vsa::analysis::Job& job_;
  Mask::MaskShape shape_;
  int32_t width_ = 0, height_ = 0;
  int32_t first_index_;
  bool forward_;
  float pixel_aspect_;
  float expansion_;
};

// The correspondences of a step: frame-i points (x scaled by the pixel aspect) and where they
// went in frame j, and the box of the frame-i points (unscaled).
struct Correspondences {
  std::vector<vantor::tracking::Point2f> from, to;
  float left = 0, top = 0, right = 0, bottom = 0;
};
Correspondences CollectCorrespondences(const std::vector<vantor::tracking::tracking_feature<float>>& table,
                                       uint64_t slots, float pixel_aspect);

// The fit's options for a press: the defaults, but with inliers within 2 (squared transfer error,
// about a pixel) rather than 8: features a pixel or two off the motion (on a hand crossing the
// card, at the edge of a flat area) otherwise join the least-squares refit and stay in the chain.
// "RMTTightInliers" 0 keeps the default.
vantor::tracking::robust_fit_options PressFitOptions();

// The fitted map (on x scaled by the pixel aspect) turned into one on frame pixels.
Mask::Matrix3 FramePixelMatrix(const M_Matrix3& fitted, float pixel_aspect);

// A map on the features' pixels, where pixel (k, l)'s value sits at (k, l), as one on the
// mask's, where it covers (k, l) to (k + 1, l + 1): the same motion, its centre half a pixel
// away. A turn or a scale fitted on features and applied to the mask unchanged moves it by
// (A - I)(0.5, 0.5): a quarter of a pixel after a scale of 1.4. "RMTPixelCentres" 0 applies the
// features' map as it is.
Mask::Matrix3 MaskPixelMatrix(const Mask::Matrix3& on_feature_pixels);

class Tracker : public vsa::analysis::Analysis {
 public:
  Tracker(const FxInData* in_data, const vantor::tracking::selection_parameters& selection,
          const vantor::tracking::lk_parameters& lk, const Mask::MaskShape& shape, int32_t motion_level,
          float pixel_aspect, float expansion, bool forward);
  ~Tracker() override;

  // The whole press: the frame step (identity when it was stopped), then the keyframe pair.
  void Run(vsa::analysis::Job& job) override;
  // The frame step alone: the matrix that maps the current frame's pixels to the neighbour's.
  Mask::Matrix3 FrameStep(vsa::analysis::Job& job);

  // The tracker now marks its instance busy until its press has been written (or it dies).
  void HoldActiveTrack() { holds_active_track_ = true; }

  // What the last step found, for hosts and tests.
  uint64_t LastCorrespondenceCount() const { return last_correspondences_; }
  const ReferenceOutcome& LastReferenceOutcome() const { return reference_; }

 private:
  void ReleaseActiveTrack();
  // The frame-to-frame map of the step's features, on the features' pixels; `box` is the mask's.
  Mask::Matrix3 FitStep(const vantor::tracking::two_frame_result& result, const Mask::Bounds& box);

  FxInData in_data_;  // a copy: the command's record is gone by the time the job runs
  Mask::MaskShape shape_;
  int32_t motion_level_;
  float pixel_aspect_;
  float expansion_;
  bool forward_;
  uint64_t last_correspondences_ = 0;
  // What the press did, for its report.
  FxPressReport PressReport() const;
  int32_t level_ = 0;
  uint64_t selected_ = 0;
  vantor::tracking::frame_motion_report fit_;
  std::shared_ptr<ReferenceChain> chain_;
  Mask::Matrix3 from_reference_;  // the reference's pixels to the new frame's
  ReferenceOutcome reference_;
  std::atomic<bool> holds_active_track_{false};
};

}  // namespace mask
