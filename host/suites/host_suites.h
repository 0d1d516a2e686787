// The host's utility suite and its private masking suite. Masking requests edit the stored
// "Mask Path" value at the frame of the event that makes them.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/sdk/private_suites.h"
#include "platform/sdk/utility_suite.h"

namespace host {

const FxUtilitySuite* UtilitySuite();
// The number an instance is known by in the render graph; the utility suite's entry 0.
int64_t RuntimeInstanceIdOf(FxEffectRef ref);
const FxMaskingSuite* MaskingSuite();
const FxTrackingSuite* TrackingSuite();
const FxTrackingSuite2* TrackingSuite2();  // version 2: the keyframe pair and each press's report

// Stores a value edited at `frame`: a parameter that is not animated (one value or none) takes
// it for the whole clip; an animated one gets a keyframe there.
class ParamStore;
void StoreValueAtFrame(ParamStore& params, size_t index, int64_t frame, std::vector<uint8_t> bytes);
void StoreNumberAtFrame(ParamStore& params, size_t index, int64_t frame, double value);

}  // namespace host
