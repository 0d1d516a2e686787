#include "instance/sequence_data.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/runtime/never_destroyed.h"

namespace mask_effect {
namespace {

// Selection sets this module created and has not destroyed. A record the host copied without
// flattening carries a pointer from another instance, or from a process long gone; it is read
// only when it names one of these.
std::mutex g_sets_mutex;
std::unordered_set<const SelectionSet*>& LiveSets() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<std::unordered_set<const SelectionSet*>> sets;
  return sets.get();
}

SelectionSet* NewSelectionSet(const SelectionSet* copy_from) {
  auto* set = new SelectionSet;
  std::lock_guard lock(g_sets_mutex);
  if (copy_from && LiveSets().count(copy_from)) *set = *copy_from;
  LiveSets().insert(set);
  return set;
}

void DestroySelectionSet(SelectionSet*& set) {
  if (set == nullptr) return;
  {
    std::lock_guard lock(g_sets_mutex);
    LiveSets().erase(set);
    // An empty set gives its buckets back, so nothing is left when the module is unloaded.
    if (LiveSets().empty()) std::unordered_set<const SelectionSet*>().swap(LiveSets());
  }
  delete set;
  set = nullptr;
}

SelectionSet& SetOf(SequenceRecord& record) {
  if (record.selection == nullptr) record.selection = NewSelectionSet(nullptr);
  return *record.selection;
}

void InitRecord(SequenceRecord& record) {
  std::memset(static_cast<void*>(&record), 0, sizeof record);
  record.tag = kSequenceTag;
  record.version = kSequenceVersion;
  record.time = qrs::TimeToRatioTime(qrs::kTime_Invalid);
}

FxHandle NewRecordHandle(const FxInData* in_data, uint64_t size) {
  FxHandle handle = in_data->utils->new_handle(size);
  if (handle != nullptr && *handle == nullptr) {
    in_data->utils->dispose_handle(handle);
    return nullptr;
  }
  return handle;
}

void StoreRecordHandle(FxInData* in_data, FxOutData* out_data, FxHandle handle) {
  out_data->sequence_data = handle;
  in_data->sequence_data = handle;
}

bool InsideMarquee(const Marquee& m, const MarqueePoint& p) {
  return std::min(m.start_x, m.end_x) <= p.x && p.x < std::max(m.start_x, m.end_x) &&
         std::min(m.start_y, m.end_y) <= p.y && p.y < std::max(m.start_y, m.end_y);
}

// The stored block as a record, when it is one of ours: at least 88 bytes, our tag and version.
const SequenceRecord* AcceptedBlock(const FxInData* in_data, FxHandle block) {
  if (block == nullptr || *block == nullptr) return nullptr;
  if (in_data->utils->get_handle_size(block) < kSequenceRecordBytes) return nullptr;
  const auto* record = static_cast<const SequenceRecord*>(*block);
  if (record->tag != kSequenceTag || record->version != kSequenceVersion) return nullptr;
  return record;
}

// The flat form's list, or false when its count claims more indices than the block holds.
bool FlatIndices(const FxInData* in_data, FxHandle block, const SequenceRecord& flat, const uint64_t*& indices) {
  const uint64_t size = in_data->utils->get_handle_size(block);
  const uint64_t room = (size - kFlatIndicesOffset) / sizeof(uint64_t);
  if (flat.selection_count > room) return false;
  indices = reinterpret_cast<const uint64_t*>(static_cast<const uint8_t*>(*block) + kFlatIndicesOffset);
  return true;
}

}  // namespace

SequenceRecord* RecordOf(const FxInData* in_data) {
  if (in_data->sequence_data == nullptr || *in_data->sequence_data == nullptr) return nullptr;
  auto* record = static_cast<SequenceRecord*>(*in_data->sequence_data);
  return record->flat ? nullptr : record;
}

FxErr SequenceSetup(FxInData* in_data, FxOutData* out_data) {
  FxHandle handle = NewRecordHandle(in_data, kSequenceRecordBytes);
  if (handle == nullptr) return FxErr_OutOfMemory;
  InitRecord(*static_cast<SequenceRecord*>(*handle));
  StoreRecordHandle(in_data, out_data, handle);
  return FxErr_None;
}

FxErr SequenceResetup(FxInData* in_data, FxOutData* out_data) {
  FxHandle stored = in_data->sequence_data;
  const SequenceRecord* block = AcceptedBlock(in_data, stored);
  const uint64_t* indices = nullptr;
  if (block != nullptr && block->flat && !FlatIndices(in_data, stored, *block, indices)) block = nullptr;
  if (block == nullptr) {
    // Not ours, or damaged: start afresh.
    if (stored) in_data->utils->dispose_handle(stored);
    StoreRecordHandle(in_data, out_data, nullptr);
    return SequenceSetup(in_data, out_data);
  }

  FxHandle handle = NewRecordHandle(in_data, kSequenceRecordBytes);
  if (handle == nullptr) {
    // No record: the command reports out of memory and the stored block goes with it.
    in_data->utils->dispose_handle(stored);
    StoreRecordHandle(in_data, out_data, nullptr);
    return FxErr_OutOfMemory;
  }
  auto& record = *static_cast<SequenceRecord*>(*handle);
  if (block->flat) {
    InitRecord(record);
    std::memcpy(reinterpret_cast<uint8_t*>(&record) + 8, reinterpret_cast<const uint8_t*>(block) + 8, 48);
    record.flat = 0;
    record.selection = NewSelectionSet(nullptr);
    record.selection->insert(indices, indices + block->selection_count);
  } else {
    std::memcpy(static_cast<void*>(&record), block, kSequenceRecordBytes);
    record.selection = NewSelectionSet(block->selection);  // never shared with the original
  }
  in_data->utils->dispose_handle(stored);
  StoreRecordHandle(in_data, out_data, handle);
  return FxErr_None;
}

FxErr SequenceFlatten(FxInData* in_data, FxOutData* out_data) {
  FxHandle current = in_data->sequence_data;
  auto* record = static_cast<SequenceRecord*>(*current);
  if (record == nullptr || record->flat) {
    out_data->sequence_data = current;
    return FxErr_None;
  }
  const uint64_t count = record->selection ? record->selection->size() : 0;
  FxHandle handle = NewRecordHandle(in_data, kSequenceRecordBytes + sizeof(uint64_t) * count);
  if (handle == nullptr) {
    // Keep the live record rather than lose the selection; it stays valid for this instance.
    out_data->sequence_data = current;
    return FxErr_OutOfMemory;
  }
  auto& flat = *static_cast<SequenceRecord*>(*handle);
  InitRecord(flat);
  std::memcpy(reinterpret_cast<uint8_t*>(&flat) + 8, reinterpret_cast<const uint8_t*>(record) + 8, 32);
  flat.flat = 1;
  flat.selection_count = count;
  if (count > 0) {
    auto* out = reinterpret_cast<uint64_t*>(static_cast<uint8_t*>(*handle) + kFlatIndicesOffset);
    std::copy(record->selection->begin(), record->selection->end(), out);  // ascending
  }
  DestroySelectionSet(record->selection);
  out_data->sequence_data = handle;
  in_data->utils->dispose_handle(current);
  return FxErr_None;
}

FxErr SequenceSetdown(FxInData* in_data, FxOutData* out_data) {
  FxHandle handle = in_data->sequence_data;
  if (*handle != nullptr) {
    auto* record = static_cast<SequenceRecord*>(*handle);
    if (!record->flat) DestroySelectionSet(record->selection);
  }
  in_data->utils->dispose_handle(handle);
  StoreRecordHandle(in_data, out_data, nullptr);
  return FxErr_None;
}

bool IsSelected(SequenceRecord& record, uint64_t index) { return SetOf(record).count(index) > 0; }

void Select(SequenceRecord& record, uint64_t index) { SetOf(record).insert(index); }

void ToggleSelected(SequenceRecord& record, uint64_t index) {
  SelectionSet& set = SetOf(record);
  if (!set.erase(index)) set.insert(index);
}

void ClearSelection(SequenceRecord& record) { SetOf(record).clear(); }

void SelectOnly(SequenceRecord& record, uint64_t index) {
  ClearSelection(record);
  Select(record, index);
}

bool IsNextSelected(SequenceRecord& record, size_t vertex_count, uint64_t index) {
  const uint64_t next = index + 1 >= vertex_count ? 0 : index + 1;
  return IsSelected(record, next);
}

void SelectInsideMarquee(SequenceRecord& record, const std::vector<MarqueePoint>& anchors) {
  const Marquee m = MarqueeOf(record);
  SelectionSet& set = SetOf(record);
  for (size_t i = 0; i < anchors.size(); ++i)
    if (InsideMarquee(m, anchors[i])) set.insert(i);
}

void SelectMarqueeToggled(SequenceRecord& record, const std::vector<MarqueePoint>& anchors,
                          const SelectionSet& earlier) {
  const Marquee m = MarqueeOf(record);
  SelectionSet& set = SetOf(record);
  set.clear();
  for (size_t i = 0; i < anchors.size(); ++i)
    if (InsideMarquee(m, anchors[i]) != (earlier.count(i) > 0)) set.insert(i);
  // Selected vertices beyond the anchors given stay as they were.
  for (uint64_t i : earlier)
    if (i >= anchors.size()) set.insert(i);
}

SelectionSet SelectionSnapshot(SequenceRecord& record) { return SetOf(record); }

size_t SelectionSize(SequenceRecord& record) { return SetOf(record).size(); }

void SetInteractionState(SequenceRecord& record, uint32_t state) {
  record.state = state;
  record.rotation_flag = 0;
}

bool InteractionStateIs(const SequenceRecord& record, uint32_t state) { return record.state == state; }

void SetRotationReference(SequenceRecord& record, float angle) { record.rotation_reference = angle; }

float RotationReference(const SequenceRecord& record) { return record.rotation_reference; }

void SetRotationFlag(SequenceRecord& record, uint64_t on) { record.rotation_flag = on ? 1 : 0; }

bool RotationFlag(const SequenceRecord& record) { return record.rotation_flag != 0; }

void SetMarqueeStart(SequenceRecord& record, float x, float y) {
  record.marquee_start_x = x;
  record.marquee_start_y = y;
}

void SetMarqueeEnd(SequenceRecord& record, float x, float y) {
  record.marquee_end_x = x;
  record.marquee_end_y = y;
}

Marquee MarqueeOf(const SequenceRecord& record) {
  return {record.marquee_start_x, record.marquee_start_y, record.marquee_end_x, record.marquee_end_y};
}

}  // namespace mask_effect
