// The tracking job's description, taken from the host's utility suite at the command's time.
#pragma once

#include "analysis/analysis_job.h"
#include "platform/sdk/effect_interface.h"

namespace vsa::analysis {

// Two frames from the command's frame: its start, one frame duration, and the clip's field type
// in the media layer's numbering. A missing utility suite is reported into out_data and thrown
// as the integer 13; so is a clip without a frame duration, which no frame could be timed by.
JobDescription TrackingJobDescription(const FxInData* in_data, FxOutData* out_data);

// The frame a command time falls on: (seconds / frame duration), rounded half up when it is
// not whole.
int64_t FrameIndexAt(Time seconds, Time frame_duration);

// Host ticks scaled by a clip speed factor: unchanged for 0 and 1, else |factor| times as many,
// rounded half up.
int64_t ScaledFrameTicks(int64_t ticks, double factor);

}  // namespace vsa::analysis
