// The host's utility suite (clip timing and field type of an effect instance, redraw requests
// from event handling) and its private effect suite. Both tables are numbered from 0: reservedN
// and the "// N" notes give each member's entry in the table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/pf_suites.h"

extern "C" {

// The context of one event command; its record is declared with the event records.
struct FxEventContext;

// A rectangle in whole screen pixels, right and bottom exclusive.
struct FxScreenRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

inline constexpr const char* kFxUtilitySuiteName = "PF Utility Suite";
inline constexpr int32_t kFxUtilitySuiteVersion = 3;
struct FxUtilitySuite {
  // 0: the instance's runtime id, the same number its effect node shows as a property.
  FxErr (*GetRuntimeInstanceId)(FxEffectRef effect_ref, int64_t* instance_id);
  FxReservedSlot reserved1;
  // 2: the clip's speed factor; 0 and 1 both mean the frame duration stands as it is.
  FxErr (*GetClipSpeed)(FxEffectRef effect_ref, double* factor);
  // 3: where the clip starts in its sequence, in host ticks.
  FxErr (*GetClipStart)(FxEffectRef effect_ref, int64_t* start_ticks);
  // 4: how long the clip lasts in its sequence, in host ticks.
  FxErr (*GetClipDuration)(FxEffectRef effect_ref, int64_t* duration_ticks);
  FxReservedSlot reserved5;
  FxReservedSlot reserved6;
  // 7: the duration of one frame of the clip's sequence, in host ticks.
  FxErr (*GetSequenceTimebase)(FxEffectRef effect_ref, int64_t* ticks_per_frame);
  // 8: the clip's field type in the host's own numbering.
  FxErr (*GetFieldType)(FxEffectRef effect_ref, int32_t* field_type);
  // 9: the duration of one frame of the clip, in host ticks.
  FxErr (*GetFrameDuration)(FxEffectRef effect_ref, int64_t* ticks);
  // 10: the id of the sequence that holds the clip, as the sequence suites take it.
  FxErr (*GetSequenceId)(FxEffectRef effect_ref, int32_t* sequence_id);
  // 11: asks the host to redraw the event's window; area null redraws all of it. Entries 8 and
  // 9 above answer questions about an effect instance, so this request, which takes an event
  // context and an area, has an entry of its own after them rather than sharing either.
  FxErr (*RedrawEventContext)(FxEventContext* context, const FxScreenRect* area);
};

inline constexpr const char* kFxPrivateEffectSuiteName = "PF VX Private Effect Suite";
inline constexpr int32_t kFxPrivateEffectSuiteVersion = 3;
struct FxPrivateEffectSuite {
  FxReservedSlot reserved0;
  FxReservedSlot reserved1;
  FxReservedSlot reserved2;
  FxReservedSlot reserved3;
  // 4: tells the host the instance's background analysis is waiting for a frame or has ended,
  // so it can bring its own view of the instance up to date.
  FxErr (*NotifyAnalysisActivity)(FxEffectRef effect_ref);
};

}  // extern "C"

// The table positions the module relies on.
static_assert(offsetof(FxUtilitySuite, GetRuntimeInstanceId) == 0 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, GetClipSpeed) == 2 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, GetClipStart) == 3 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, GetClipDuration) == 4 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, GetSequenceTimebase) == 7 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, GetFieldType) == 8 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, GetFrameDuration) == 9 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, GetSequenceId) == 10 * sizeof(void (*)()));
static_assert(offsetof(FxUtilitySuite, RedrawEventContext) == 11 * sizeof(void (*)()));
static_assert(sizeof(FxUtilitySuite) == 12 * sizeof(void (*)()));
static_assert(offsetof(FxPrivateEffectSuite, NotifyAnalysisActivity) == 4 * sizeof(void (*)()));
static_assert(sizeof(FxPrivateEffectSuite) == 5 * sizeof(void (*)()));
