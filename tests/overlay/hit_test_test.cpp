#include "overlay/hit_test.h"

#include <gtest/gtest.h>

#include "tests/effect/scripted_host.h"

namespace mask_overlay {
namespace {

FxErr Same(void*, const FxEventContext*, FxFixedPoint*) { return FxErr_None; }

class HitTest : public ::testing::Test {
 protected:
  void SetUp() override { extra_.callbacks = {nullptr, &Same, &Same, &Same, &Same}; }
  FxEventExtra extra_{};
};

TEST_F(HitTest, AnchorsAreHitBelowThirtyTwoAndFarFromTwelve) {
  Mask::MaskShape s;
  Mask::AppendCornerVertex(s, 100, 100);
  EXPECT_FALSE(HitVertex(extra_, s.vertices, true, nullptr, {120, 112}));     // 32
  const auto far = HitVertex(extra_, s.vertices, true, nullptr, {120, 111});  // 31
  ASSERT_TRUE(far);
  EXPECT_TRUE(far->far);
  const auto near = HitVertex(extra_, s.vertices, true, nullptr, {105, 106});  // 11
  ASSERT_TRUE(near);
  EXPECT_FALSE(near->far);
}

TEST_F(HitTest, WidgetPointsAreHitBelowTwelveNearestFirstTiesToTheEarlier) {
  FeatherHandle h{};
  h.pa = {0, 0};
  h.pb = {0, 100};
  h.pc = {0, 110};
  EXPECT_EQ(HitFeatherHandle(extra_, h, {0, 121}), 2);  // 11 from Pc
  EXPECT_FALSE(HitFeatherHandle(extra_, h, {0, 122}));  // 12
  EXPECT_EQ(HitFeatherHandle(extra_, h, {0, 106}), 2);  // nearer Pc than Pb
  EXPECT_EQ(HitFeatherHandle(extra_, h, {0, 105}), 1);  // equally near: Pb, tested first
}

TEST_F(HitTest, TangentPointsCountOnlyWhereTheyAreShown) {
  Mask::MaskShape s;
  Mask::AppendCurveVertex(s, {100, 100}, {60, 100}, {140, 100});
  Mask::AppendCornerVertex(s, 300, 300);
  scripted::Host host;
  ASSERT_EQ(mask_effect::SequenceSetup(&host.in_data, &host.out_data), FxErr_None);
  mask_effect::SequenceRecord& record = *mask_effect::RecordOf(&host.in_data);
  EXPECT_EQ(HitVertex(extra_, s.vertices, true, &record, {142, 100})->part, 0);  // handles hidden: the anchor, far
  mask_effect::Select(record, 0);
  EXPECT_EQ(HitVertex(extra_, s.vertices, true, &record, {142, 100})->part, 2);
  EXPECT_EQ(HitVertex(extra_, s.vertices, false, &record, {142, 100})->part, 0);  // shape without handles
  mask_effect::SequenceSetdown(&host.in_data, &host.out_data);
}

}  // namespace
}  // namespace mask_overlay
