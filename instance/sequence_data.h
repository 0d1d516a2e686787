// The per-instance record the host keeps for each effect instance: the state of an interaction
// between mouse events and the set of selected vertices. One 88-byte host handle in memory; a
// flat form with the selection as a list when the host saves it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "platform/runtime/media_time.h"
#include "platform/sdk/effect_interface.h"

namespace mask_effect {

using SelectionSet = std::set<uint64_t>;

struct SequenceRecord {
  uint32_t tag;              // "kcin"
  uint32_t version;          // 1
  uint32_t state;            // interaction state; 0 idle
  float rotation_reference;  // pointer angle when the constrain modifier last changed
  uint64_t rotation_flag;    // constrain modifier down at the previous rotation event
  float marquee_start_x, marquee_start_y;
  float marquee_end_x, marquee_end_y;
  qrs::RatioTime time;
  uint8_t flat;  // 0 in memory, 1 in the flat form
  uint8_t unused1[7];
  SelectionSet* selection;   // in memory: created on first use; flat form: 0
  uint64_t selection_count;  // flat form only: the indices follow the record
  uint64_t unused2;
};
static_assert(sizeof(SequenceRecord) == 88);
static_assert(offsetof(SequenceRecord, time) == 40);
static_assert(offsetof(SequenceRecord, flat) == 56);
static_assert(offsetof(SequenceRecord, selection) == 64);
static_assert(offsetof(SequenceRecord, selection_count) == 72);

inline constexpr uint32_t kSequenceTag = 0x6e69636b;  // "kcin"
inline constexpr uint32_t kSequenceVersion = 1;
inline constexpr size_t kSequenceRecordBytes = sizeof(SequenceRecord);
inline constexpr size_t kFlatIndicesOffset = 80;

FxErr SequenceSetup(FxInData* in_data, FxOutData* out_data);
FxErr SequenceResetup(FxInData* in_data, FxOutData* out_data);
FxErr SequenceFlatten(FxInData* in_data, FxOutData* out_data);
FxErr SequenceSetdown(FxInData* in_data, FxOutData* out_data);

// The in-memory record of this command, or null.
SequenceRecord* RecordOf(const FxInData* in_data);

// Selection. Each creates the empty set first when the record has none.
bool IsSelected(SequenceRecord& record, uint64_t index);
void Select(SequenceRecord& record, uint64_t index);
void ToggleSelected(SequenceRecord& record, uint64_t index);
void ClearSelection(SequenceRecord& record);
void SelectOnly(SequenceRecord& record, uint64_t index);
// Whether the vertex after `index` (vertex 0 after the last) is selected.
bool IsNextSelected(SequenceRecord& record, size_t vertex_count, uint64_t index);
struct MarqueePoint {
  float x, y;
};
// Anchors in the units of the marquee.
void SelectInsideMarquee(SequenceRecord& record, const std::vector<MarqueePoint>& anchors);
// Inside the marquee toggles what was selected when the marquee started.
void SelectMarqueeToggled(SequenceRecord& record, const std::vector<MarqueePoint>& anchors,
                          const SelectionSet& earlier);
SelectionSet SelectionSnapshot(SequenceRecord& record);
size_t SelectionSize(SequenceRecord& record);

// Interaction state.
void SetInteractionState(SequenceRecord& record, uint32_t state);  // also clears the rotation flag
bool InteractionStateIs(const SequenceRecord& record, uint32_t state);
void SetRotationReference(SequenceRecord& record, float angle);
float RotationReference(const SequenceRecord& record);
void SetRotationFlag(SequenceRecord& record, uint64_t on);
bool RotationFlag(const SequenceRecord& record);
void SetMarqueeStart(SequenceRecord& record, float x, float y);
void SetMarqueeEnd(SequenceRecord& record, float x, float y);
struct Marquee {
  float start_x, start_y, end_x, end_y;
};
Marquee MarqueeOf(const SequenceRecord& record);

}  // namespace mask_effect
