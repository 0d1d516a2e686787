#include "tracking/track_command.h"

#include <cmath>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "analysis/job_description.h"
#include "analysis/video_segment_render_suite_job.h"
#include "features/feature_selector.h"
#include "instance/mask_param.h"
#include "instance/param_values.h"
#include "platform/runtime/debug_database.h"
#include "services/suite_access.h"
#include "tracking/active_tracks.h"
#include "tracking/keyframe_pair.h"
#include "tracking/tracker.h"

namespace mask {
namespace {

float PixelAspectOf(const FxInData* in_data) {
  const FxRational r = in_data->pixel_aspect_ratio;
  const float par = r.den == 0 ? 1.0f : float(r.num) / float(r.den);
  return std::isfinite(par) && par > 0 ? par : 1.0f;  // a broken ratio must not poison every point
}

// A press the module cannot act on: the host hears that it produced no keyframes, and why.
FxErr Refuse(FxInData* in_data, FxOutData* out_data, const char* why) {
  SendNoKeyframes(*in_data);
  mask_effect::ReportErrorMessage(in_data, out_data, why);
  return FxErr_None;
}

bool Trackable(const Mask::MaskShape& shape) { return shape.mode != Mask::kMaskModeOpen && !shape.vertices.empty(); }

}  // namespace

vantor::tracking::selection_parameters TrackingSelection(float box_width, float box_height) {
  vantor::tracking::selection_parameters s;
  s.max_features = kTrackMaxFeatures;
  // Whole pixels multiplied as 32-bit integers, as the box is measured.
  const auto whole = [](float v) { return std::isfinite(v) && v > 0 ? int64_t(int32_t(std::min(v, 2e9f))) : 0; };
  s.min_distance = vantor::tracking::MinDistanceForMask(whole(box_width), whole(box_height));
  // Corners over the whole mask, not only its most textured part: the far vertices are moved by
  // what the features there say. Off unless "RMTSpreadFeatures" is 1: on the clip set and the
  // real clip it changed errors by hundredths of a pixel either way.
  if (qrs::DebugBool("RMTSpreadFeatures", false)) s.spread_cells = 4;
  return s;
}

// Each feature's solve runs until its steps fall under a tenth of the usual thresholds: on weakly
// textured pictures the coarser stops leave every step a little short, and the chain of presses
// keeps the shortfall.
vantor::tracking::lk_parameters TrackingLk() {
  vantor::tracking::lk_parameters lk;
  if (qrs::DebugBool("RMTFineConvergence", true)) {
    lk.translation_epsilon /= 10;
    lk.deformation_epsilon /= 10;
  }
  return lk;
}

FxErr TrackMask(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], bool forward) {
  Mask::MaskShape shape;
  Mask::ReadMaskShape(in_data, params, shape);
  if (!Trackable(shape)) return Refuse(in_data, out_data, kNothingToTrackText);
  if (!BeginActiveTrack(in_data->effect_ref)) return Refuse(in_data, out_data, kStillTrackingText);

  try {
    const Mask::Bounds box = Mask::BoundsInPixels(shape, float(in_data->width), float(in_data->height));
    const vantor::tracking::lk_parameters lk = TrackingLk();
    const int32_t level = mask_effect::ReadMotionLevel(params);
    const float expansion = mask_effect::ReadExpansion(params);
    boost::shared_ptr<Tracker> tracker(new Tracker(in_data, TrackingSelection(box.width, box.height), lk, shape, level,
                                                   PixelAspectOf(in_data), expansion, forward));
    tracker->HoldActiveTrack();
    const vsa::analysis::JobDescription description = vsa::analysis::TrackingJobDescription(in_data, out_data);
    auto job = boost::make_shared<vsa::VideoSegmentRenderSuiteJob>(in_data, out_data, description, tracker, true);
    if (job->Status() == vsa::analysis::kJobIdle) {
      job->Start(job);
      return FxErr_None;
    }
    // The job cannot run (no input to render): the press ends here, and the tracker with it.
    job.reset();
    tracker.reset();
    SendNoKeyframes(*in_data);
    return FxErr_None;
  } catch (...) {
    EndActiveTrack(in_data->effect_ref);
    throw;
  }
}

}  // namespace mask
