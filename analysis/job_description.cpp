#include "analysis/job_description.h"

#include <cmath>

#include "platform/runtime/media_formats.h"
#include "platform/runtime/media_time.h"
#include "platform/sdk/utility_suite.h"
#include "services/suite_access.h"

namespace vsa::analysis {

namespace {
constexpr const char* kNoFrameDurationText = "The clip has no frame duration to track by.";
}  // namespace

int64_t ScaledFrameTicks(int64_t ticks, double factor) {
  if (factor == 1.0 || factor == 0.0) return ticks;
  return static_cast<int64_t>(std::floor(double(ticks) * std::fabs(factor) + 0.5));
}

int64_t FrameIndexAt(Time seconds, Time frame_duration) {
  // floor(frames + 1/2): whole frame counts stay as they are, others round half up.
  const Time shifted = seconds / frame_duration + Time(1, 2);
  int64_t floor = shifted.numerator() / shifted.denominator();
  if (shifted.numerator() % shifted.denominator() != 0 && shifted.numerator() < 0) --floor;
  return floor;
}

JobDescription TrackingJobDescription(const FxInData* in_data, FxOutData* out_data) {
  mask_effect::ScopedSuite suite(in_data, kFxUtilitySuiteName, kFxUtilitySuiteVersion, out_data);
  const FxUtilitySuite* utility = suite.get<FxUtilitySuite>();
  int32_t sdk_field = qrs::kSDKFieldProgressive;
  int64_t ticks = 0;
  double factor = 1.0;
  utility->GetFieldType(in_data->effect_ref, &sdk_field);
  utility->GetFrameDuration(in_data->effect_ref, &ticks);
  utility->GetClipSpeed(in_data->effect_ref, &factor);
  ticks = ScaledFrameTicks(ticks, factor);
  // Every time below is a multiple of this; without it there is nothing to track between.
  if (ticks <= 0 || in_data->time_scale == 0) {
    mask_effect::ReportErrorMessage(in_data, out_data, kNoFrameDurationText);
    throw mask_effect::kSuiteUnavailableException;
  }
  const qrs::RatioTime duration = qrs::TimeToRatioTime(ticks);

  JobDescription d;
  d.frame_duration = Time(duration.num, duration.den);
  const Time now(in_data->current_time, int64_t(in_data->time_scale));
  d.segment_start = Time(FrameIndexAt(now, d.frame_duration)) * d.frame_duration;
  d.segment_length = d.frame_duration * 2;
  d.field_type = qrs::SDKToBEFieldType(sdk_field);
  return d;
}

}  // namespace vsa::analysis
