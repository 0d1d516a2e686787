// The "<<" and ">>" buttons: one press builds a tracker and its frame job and starts it; the
// tracking itself runs on the job's thread.
#pragma once

#include <cstdint>

#include "features/tracking_records.h"
#include "mask/mask_geometry.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace mask {

inline constexpr uint64_t kTrackMaxFeatures = 100;

// The selection block of a press for a mask box of box_width x box_height pixels.
vantor::tracking::selection_parameters TrackingSelection(float box_width, float box_height);
// The optical-flow block of a press: finer convergence than the defaults unless the debug
// setting "RMTFineConvergence" is 0.
vantor::tracking::lk_parameters TrackingLk();

// Command 13 for parameter 2 ("<<", forward false) or 3 (">>", forward true).
FxErr TrackMask(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], bool forward);

inline constexpr const char* kNothingToTrackText = "Mask has no closed path to track.";
inline constexpr const char* kStillTrackingText = "Mask is still tracking the previous frame.";

}  // namespace mask
