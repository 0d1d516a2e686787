#include "tracking/tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include <boost/make_shared.hpp>

#include "analysis/job_description.h"
#include "math/m_matrix.h"
#include "platform/runtime/debug_database.h"
#include "platform/runtime/error_reporter.h"
#include "tracking/active_tracks.h"
#include "tracking/frame_images.h"
#include "tracking/keyframe_pair.h"
#include "tracking/pipeline_cache.h"
#include "tracking/reference_chain.h"

namespace mask {
namespace {

using vantor::tracking::Point2f;
using vsa::analysis::Time;

void Check(int32_t code) {
  if (code != 0) throw code;
}

}  // namespace

TrackerFrameSource::TrackerFrameSource(vsa::analysis::Job& job, const Mask::MaskShape& shape, int32_t first_index,
                                       bool forward, float pixel_aspect, float expansion)
    : job_(job), shape_(shape), first_index_(first_index), forward_(forward), pixel_aspect_(pixel_aspect),
      expansion_(expansion) {
  job_.FrameSize(width_, height_);
}

vsa::analysis::FetchedFrame TrackerFrameSource::Fetch(int64_t k) {
  const int32_t status = job_.Status();
  if (status >= vsa::analysis::kJobStopping) throw TerminateException();
  // Frame k is first_index + k forward, first_index - k backward; its time counts from the
  // segment start, which is the first frame's.
  const Time time = job_.SegmentStart() + job_.FrameDuration() * (forward_ ? k : -k);
  vsa::analysis::FetchedFrame frame;
  job_.GetFrame(time, 0, frame);
  return frame;
}

void TrackerFrameSource::colour(int64_t k, float* rgb) {
  const vsa::analysis::FetchedFrame f = Fetch(k);
  vsa::ColourImageFromArgb({f.pixels, f.rowbytes, width_, height_, f.bottom_up}, rgb);
}

void TrackerFrameSource::grey(int64_t k, float* values) {
  const vsa::analysis::FetchedFrame f = Fetch(k);
  vsa::GreyImageFromArgb({f.pixels, f.rowbytes, width_, height_, f.bottom_up}, values);
}

void TrackerFrameSource::grey_region(int64_t k, float* values, const vantor::tracking::frame_region& r) {
  const vsa::analysis::FetchedFrame f = Fetch(k);
  vsa::GreyImageFromArgb({f.pixels, f.rowbytes, width_, height_, f.bottom_up}, values, r.x0, r.y0, r.x1, r.y1);
}

bool TrackerFrameSource::identity(int64_t k, vantor::tracking::frame_identity& id) {
  const vsa::analysis::FetchedFrame f = Fetch(k);
  id = {f.id_high, f.id_low};
  return f.identified;
}

void TrackerFrameSource::mask(int64_t k, uint8_t* bytes) {
  Fetch(k);  // the mask does not read the pixels, but the step moves at the frames' pace
  vsa::MaskImageFromShape(shape_, width_, height_, width_, height_, pixel_aspect_, expansion_, bytes);
}

Correspondences CollectCorrespondences(const std::vector<vantor::tracking::tracking_feature<float>>& table,
                                       uint64_t slots, float pixel_aspect) {
  Correspondences c;
  c.left = c.top = std::numeric_limits<float>::infinity();
  c.right = c.bottom = -std::numeric_limits<float>::infinity();
  for (uint64_t s = 0; s < slots && slots + s < table.size(); ++s) {
    const auto& a = table[s];
    const auto& b = table[slots + s];
    if (a.state < vantor::tracking::kFeatureSelected || b.state != vantor::tracking::kFeatureTracked) continue;
    c.from.push_back({a.x * pixel_aspect, a.y});
    c.to.push_back({b.x * pixel_aspect, b.y});
    c.left = std::min(c.left, a.x);
    c.top = std::min(c.top, a.y);
    c.right = std::max(c.right, a.x);
    c.bottom = std::max(c.bottom, a.y);
  }
  if (c.from.empty()) c.left = c.top = c.right = c.bottom = 0;
  return c;
}

Mask::Matrix3 FramePixelMatrix(const M_Matrix3& fitted, float pixel_aspect) {
  // p -> (p with x times par) -> fitted -> x divided by par again.
  M_Matrix3 m;
  Check(M_SetIdentityMatrix(&m));
  Check(M_ScaleMatrix(&m, pixel_aspect, 1.0, 0.0, 0.0));
  Check(M_ConcatMatrix(&fitted, &m));
  M_Matrix3 unscale;
  Check(M_SetIdentityMatrix(&unscale));
  Check(M_ScaleMatrix(&unscale, 1.0 / pixel_aspect, 1.0, 0.0, 0.0));
  Check(M_ConcatMatrix(&unscale, &m));
  Mask::Matrix3 out;
  for (int k = 0; k < 9; ++k) out.m[k] = m.m[k / 3][k % 3];
  return out;
}

Mask::Matrix3 MaskPixelMatrix(const Mask::Matrix3& on_feature_pixels) {
  if (!qrs::DebugBool("RMTPixelCentres", true)) return on_feature_pixels;
  Mask::Matrix3 to_features, to_mask;
  to_features.m[6] = to_features.m[7] = -0.5;
  to_mask.m[6] = to_mask.m[7] = 0.5;
  return Then(Then(to_features, on_feature_pixels), to_mask);
}

vantor::tracking::robust_fit_options PressFitOptions() {
  vantor::tracking::robust_fit_options options;
  if (qrs::DebugBool("RMTTightInliers", true)) options.inlier_threshold = 2.0;
  return options;
}

Tracker::Tracker(const FxInData* in_data, const vantor::tracking::selection_parameters& selection,
                 const vantor::tracking::lk_parameters& lk, const Mask::MaskShape& shape, int32_t motion_level,
                 float pixel_aspect, float expansion, bool forward)
    : Analysis(selection, lk), in_data_(*in_data), shape_(shape), motion_level_(motion_level),
      pixel_aspect_(pixel_aspect), expansion_(expansion), forward_(forward) {}

Tracker::~Tracker() { ReleaseActiveTrack(); }

void Tracker::ReleaseActiveTrack() {
  if (holds_active_track_.exchange(false)) EndActiveTrack(in_data_.effect_ref);
}

Mask::Matrix3 Tracker::FrameStep(vsa::analysis::Job& job) {
  int32_t width = 0, height = 0;
  job.FrameSize(width, height);
  const Time start = job.SegmentStart(), step = job.FrameDuration();
  const int64_t i = vsa::analysis::FrameIndexAt(start, step);
  const Time time_i = start, time_j = start + (forward_ ? step : -step);
  job.RequestFrame(time_i, 0);
  job.RequestFrame(time_j, 0);

  TrackerFrameSource source(job, shape_, static_cast<int32_t>(i), forward_, pixel_aspect_, expansion_);
  level_ = shape_.vertices.size() <= 3 ? 0 : motion_level_;
  const Mask::Bounds box = Mask::BoundsInPixels(shape_, float(width), float(height));
  // Where a chain goes on, the reference places the mask and the step only predicts where: the
  // step's refinement waits until the reference is declined.
  Mask::Matrix3 to_i;
  chain_ = ContinuedChain(in_data_.effect_ref, i, shape_, to_i);
  // A step cut short drops its pipeline with the exception; a finished one keeps it for the next press.
  std::unique_ptr<vantor::tracking::two_frame_pipeline> pipeline =
      TakePipeline(uint64_t(width), uint64_t(height), Selection(), Lk());
  vantor::tracking::two_frame_result result = pipeline->run(source, chain_ == nullptr);
  selected_ = result.selected;
  const Mask::Matrix3 frame_step = FitStep(result, box);
  Mask::Matrix3 m;
  // The reference's box, like its features, on the features' pixels.
  const Mask::Bounds feature_box{box.left - 0.5f, box.top - 0.5f, box.width, box.height};
  reference_ = {};
  if (!chain_) {
    // The mask on frame i is not one this instance's track wrote: frame i is the reference.
    chain_ = StartChain(in_data_.effect_ref, i, feature_box,
                        {result.table.begin(), result.table.begin() + int64_t(result.slots)}, *pipeline);
    if (chain_) reference_.kind = ReferenceOutcome::kStarted;
    from_reference_ = m = frame_step;
  } else {
    Mask::Matrix3 map = Then(to_i, frame_step);
    reference_ = CorrectFromReference(*chain_, pipeline->second_pyramid(), Lk(), level_, pixel_aspect_, map);
    if (reference_.kind == ReferenceOutcome::kTaken) {
      from_reference_ = map;
      m = Then(Inverse(to_i), map);
    } else {
      pipeline->refine(result);
      from_reference_ = Then(to_i, m = FitStep(result, box));
    }
  }
  KeepPipeline(std::move(pipeline));
  const uint64_t slots = result.slots;
  SetFeatures(boost::make_shared<vsa::analysis::FeatureTable>(std::move(result.table)), slots, 2);

  job.ReleaseFrame(time_i, 0);
  job.ReleaseFrame(time_j, 0);
  return MaskPixelMatrix(m);
}

Mask::Matrix3 Tracker::FitStep(const vantor::tracking::two_frame_result& result, const Mask::Bounds& box) {
  const Correspondences c = CollectCorrespondences(result.table, result.slots, pixel_aspect_);
  last_correspondences_ = c.from.size();
  const M_FloatRect mask_rect{box.left, box.top, box.left + box.width, box.top + box.height};
  const double area = vantor::tracking::area_score({c.left, c.top, c.right, c.bottom}, mask_rect);
  std::mt19937 rng(vantor::tracking::kRobustFitSeed);
  // List A is where the features went, list B where they came from: the model maps i onto j.
  // The tracker fits with 1500 samples, 99% confidence and the truncated cost (PressFitOptions).
  const M_Matrix3 fitted =
      vantor::tracking::fit_frame_motion(PressFitOptions(), level_, c.to, c.from, area, mask_rect, rng, nullptr, &fit_);
  return FramePixelMatrix(fitted, pixel_aspect_);
}

FxPressReport Tracker::PressReport() const {
  FxPressReport r{};
  r.size = int32_t(sizeof r);
  r.level_requested = level_;
  // The model that placed the mask: the reference's where it was taken.
  const vantor::tracking::frame_motion_report& placed =
      reference_.kind == ReferenceOutcome::kTaken ? reference_.fit : fit_;
  r.level_used = vantor::tracking::motion_level_of_type(placed.type);
  r.features_selected = int32_t(std::min<uint64_t>(selected_, INT32_MAX));
  r.features_followed = int32_t(std::min<uint64_t>(last_correspondences_, INT32_MAX));
  r.features_fitted = int32_t(std::min<uint64_t>(fit_.inliers, INT32_MAX));
  r.reference = int32_t(reference_.kind);
  r.reference_found = int32_t(std::min<uint64_t>(reference_.matched, INT32_MAX));
  r.reference_frame = chain_ ? chain_->frame : -1;
  r.reference_correction = reference_.correction;
  r.fallback = placed.fallback.c_str();
  r.reference_note = reference_.why;
  return r;
}

void Tracker::Run(vsa::analysis::Job& job) {
  int32_t width = 0, height = 0;
  job.FrameSize(width, height);
  Mask::Matrix3 m;  // identity
  bool stepped = false;
  try {
    m = FrameStep(job);
    DiscardShortTracks();
    stepped = true;
  } catch (const TerminateException&) {
    // The job stopped: the mask stays where it is, and the host still hears of the press.
  }
  Mask::MaskShape moved = shape_;
  MoveShapeByTrack(moved, float(width), float(height), m);
  const Time t0 = job.SegmentStart();
  const Time t1 = forward_ ? t0 + job.FrameDuration() : t0 - job.FrameDuration();
  // A mask left where it was by a stopped job is not where the reference's map puts it.
  if (stepped && chain_)
    RecordWritten(*chain_, vsa::analysis::FrameIndexAt(t1, job.FrameDuration()), moved, from_reference_);
  {
    // Free for the next press once the host has this one's keyframes, whatever happened here.
    struct Release {
      Tracker* t;
      ~Release() { t->ReleaseActiveTrack(); }
    } release{this};
    WriteKeyframePair(in_data_, shape_, moved, t0, t1);
  }
  if (stepped) ReportPress(in_data_, t1, PressReport());
  // Only after the pair: the host's reporter may raise, and the press still owes the host its
  // keyframes. A mask the reference placed did not stay where it was.
  if (last_correspondences_ == 0 && reference_.kind != ReferenceOutcome::kTaken &&
      job.Status() < vsa::analysis::kJobStopping) {
    qrs::config::ThrowError(kWarningLevel, kNoFeaturesWarning, vsa::analysis::kErrorCategory,
                            vsa::analysis::kErrorCode + 1, true, {});
  }
}

}  // namespace mask
