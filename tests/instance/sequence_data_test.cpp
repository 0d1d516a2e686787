#include "instance/sequence_data.h"

#include "effect/entry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/effect/scripted_host.h"
#include "tracking/pipeline_cache.h"

namespace mask_effect {
namespace {

class SequenceDataTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (host_.in_data.sequence_data) SequenceSetdown(&host_.in_data, &host_.out_data);
    EXPECT_EQ(host_.live_handles, 0);
  }
  SequenceRecord& Record() { return *RecordOf(&host_.in_data); }
  std::vector<uint8_t> Bytes(FxHandle h) {
    const auto* p = static_cast<const uint8_t*>(*h);
    return std::vector<uint8_t>(p, p + host_.utils.get_handle_size(h));
  }
  // Hands the module a block the way a host hands back what it saved.
  void StoreBlock(const std::vector<uint8_t>& bytes) {
    FxHandle h = host_.utils.new_handle(bytes.size());
    std::memcpy(*h, bytes.data(), bytes.size());
    host_.in_data.sequence_data = h;
  }
  // Flattens the live record and hands the flat block back as if loaded from disk.
  std::vector<uint8_t> FlattenAndReload() {
    SequenceFlatten(&host_.in_data, &host_.out_data);
    host_.in_data.sequence_data = host_.out_data.sequence_data;
    std::vector<uint8_t> flat = Bytes(host_.in_data.sequence_data);
    EXPECT_EQ(SequenceResetup(&host_.in_data, &host_.out_data), FxErr_None);
    return flat;
  }
  scripted::Host host_;
};

TEST_F(SequenceDataTest, SetupMakesAnIdleRecordWithTheInvalidTime) {
  ASSERT_EQ(SequenceSetup(&host_.in_data, &host_.out_data), FxErr_None);
  ASSERT_EQ(host_.in_data.sequence_data, host_.out_data.sequence_data);
  EXPECT_EQ(host_.utils.get_handle_size(host_.in_data.sequence_data), 88u);
  const SequenceRecord& r = Record();
  EXPECT_EQ(r.tag, 0x6e69636bu);
  EXPECT_EQ(r.version, 1u);
  EXPECT_EQ(r.state, 0u);
  EXPECT_EQ(r.selection, nullptr);
  EXPECT_EQ(r.time, qrs::TimeToRatioTime(qrs::kTime_Invalid));
  EXPECT_GT(r.time.den, 0);
}

TEST_F(SequenceDataTest, FlattenListsTheSelectionInOrderAndResetupRestoresIt) {
  SequenceSetup(&host_.in_data, &host_.out_data);
  SequenceRecord& r = Record();
  for (uint64_t i : {7, 2, 5}) Select(r, i);
  SetInteractionState(r, 4);
  SetRotationReference(r, 1.25f);
  SetRotationFlag(r, 9);
  SetMarqueeStart(r, 10, 20);
  SetMarqueeEnd(r, 30, 40);

  const std::vector<uint8_t> flat = FlattenAndReload();
  ASSERT_EQ(flat.size(), 112u);
  EXPECT_EQ(flat[56], 1);  // flat flag
  uint64_t list[4];
  std::memcpy(list, flat.data() + 72, sizeof list);
  EXPECT_EQ(list[0], 3u);  // count
  EXPECT_EQ((std::vector<uint64_t>{list[1], list[2], list[3]}), (std::vector<uint64_t>{2, 5, 7}));

  SequenceRecord& back = Record();
  EXPECT_EQ(back.flat, 0);
  EXPECT_TRUE(InteractionStateIs(back, 4));
  EXPECT_EQ(RotationReference(back), 1.25f);
  EXPECT_TRUE(RotationFlag(back));
  EXPECT_EQ(MarqueeOf(back).end_y, 40.0f);
  EXPECT_EQ(SelectionSnapshot(back), (SelectionSet{2, 5, 7}));
}

// The tracker's memory kept for a next press goes when an instance closes.
TEST_F(SequenceDataTest, SetdownDropsTheTrackersKeptMemory) {
  SequenceSetup(&host_.in_data, &host_.out_data);
  mask::KeepPipeline(mask::TakePipeline(64, 48, vantor::tracking::selection_parameters{}, {}));
  ASSERT_TRUE(mask::HasKeptPipeline());
  DispatchEffectCommand(ModuleHandlers(), FxCmd_SequenceSetdown, &host_.in_data, &host_.out_data, nullptr, nullptr,
                        nullptr);
  EXPECT_FALSE(mask::HasKeptPipeline());
}

TEST_F(SequenceDataTest, EmptySelectionFlattensToEightyEightBytes) {
  SequenceSetup(&host_.in_data, &host_.out_data);
  EXPECT_EQ(FlattenAndReload().size(), 88u);
  EXPECT_EQ(SelectionSize(Record()), 0u);
}

TEST_F(SequenceDataTest, DamagedBlocksGiveAFreshRecord) {
  SequenceSetup(&host_.in_data, &host_.out_data);
  Select(Record(), 3);
  SetInteractionState(Record(), 2);
  SequenceFlatten(&host_.in_data, &host_.out_data);
  host_.in_data.sequence_data = host_.out_data.sequence_data;
  const std::vector<uint8_t> good = Bytes(host_.in_data.sequence_data);
  SequenceSetdown(&host_.in_data, &host_.out_data);

  std::vector<std::vector<uint8_t>> damaged;
  damaged.emplace_back(good.begin(), good.begin() + 87);  // one byte short
  damaged.push_back(good);
  damaged.back()[4] = 2;  // version 2
  damaged.push_back(good);
  damaged.back()[0] = 'x';  // another tag
  damaged.push_back(good);
  const uint64_t huge = uint64_t{1} << 60;  // more indices than the block holds
  std::memcpy(damaged.back().data() + 72, &huge, 8);
  for (const auto& block : damaged) {
    StoreBlock(block);
    ASSERT_EQ(SequenceResetup(&host_.in_data, &host_.out_data), FxErr_None);
    EXPECT_TRUE(InteractionStateIs(Record(), 0));
    EXPECT_EQ(SelectionSize(Record()), 0u);
    SequenceSetdown(&host_.in_data, &host_.out_data);
  }
}

// A host that duplicates an instance by copying its in-memory record: each copy gets a
// selection of its own, and a pointer that is no set of ours is never read.
TEST_F(SequenceDataTest, CopiedInMemoryRecordsNeverShareOrTrustTheSelection) {
  SequenceSetup(&host_.in_data, &host_.out_data);
  Select(Record(), 1);
  FxHandle original = host_.in_data.sequence_data;
  const std::vector<uint8_t> copy = Bytes(original);

  StoreBlock(copy);
  ASSERT_EQ(SequenceResetup(&host_.in_data, &host_.out_data), FxErr_None);
  SequenceRecord& duplicate = Record();
  EXPECT_EQ(SelectionSnapshot(duplicate), (SelectionSet{1}));
  Select(duplicate, 9);
  EXPECT_EQ(static_cast<SequenceRecord*>(*original)->selection->count(9), 0u);
  SequenceSetdown(&host_.in_data, &host_.out_data);

  // The original goes away; a block still carrying its pointer now reads as no selection.
  host_.in_data.sequence_data = original;
  SequenceSetdown(&host_.in_data, &host_.out_data);
  StoreBlock(copy);
  ASSERT_EQ(SequenceResetup(&host_.in_data, &host_.out_data), FxErr_None);
  EXPECT_EQ(SelectionSize(Record()), 0u);
}

TEST_F(SequenceDataTest, FlattenOfAFlatRecordHandsTheSameBlockBack) {
  SequenceSetup(&host_.in_data, &host_.out_data);
  SequenceFlatten(&host_.in_data, &host_.out_data);
  FxHandle flat = host_.out_data.sequence_data;
  host_.in_data.sequence_data = flat;
  host_.out_data.sequence_data = nullptr;
  SequenceFlatten(&host_.in_data, &host_.out_data);
  EXPECT_EQ(host_.out_data.sequence_data, flat);
}

TEST_F(SequenceDataTest, SelectionOperations) {
  SequenceSetup(&host_.in_data, &host_.out_data);
  SequenceRecord& r = Record();
  ToggleSelected(r, 4);
  EXPECT_TRUE(IsSelected(r, 4));
  ToggleSelected(r, 4);
  EXPECT_FALSE(IsSelected(r, 4));
  SelectOnly(r, 0);
  EXPECT_TRUE(IsNextSelected(r, 3, 2));  // after the last comes vertex 0
  EXPECT_FALSE(IsNextSelected(r, 3, 0));

  const std::vector<MarqueePoint> anchors = {{1, 1}, {5, 5}, {10, 10}, {4, 9}};
  SetMarqueeStart(r, 10, 10);  // dragged up-left: the box is the same
  SetMarqueeEnd(r, 0, 0);
  ClearSelection(r);
  SelectInsideMarquee(r, anchors);
  EXPECT_EQ(SelectionSnapshot(r), (SelectionSet{0, 1, 3}));  // right and bottom edges excluded

  SelectMarqueeToggled(r, anchors, SelectionSet{1, 2});
  EXPECT_EQ(SelectionSnapshot(r), (SelectionSet{0, 2, 3}));

  SetRotationFlag(r, 1);
  SetInteractionState(r, 3);
  EXPECT_FALSE(RotationFlag(r));
}

}  // namespace
}  // namespace mask_effect
