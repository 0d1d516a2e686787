#include "host/suites/param_store.h"

#include <gtest/gtest.h>

namespace host {
namespace {

FxParamDef Slider(float default_value) {
  FxParamDef def{};
  def.param_type = FxParam_FloatSlider;
  def.u.slider.default_value = default_value;
  return def;
}

TEST(ParamStore, DeclaresInOrderOnly) {
  ParamStore store;
  EXPECT_TRUE(store.Declare(-1, Slider(1)));
  EXPECT_TRUE(store.Declare(1, Slider(2)));
  EXPECT_FALSE(store.Declare(5, Slider(3)));  // a gap in the array
  EXPECT_EQ(store.size(), 2u);
}

TEST(ParamStore, SlidersHoldOutsideAndBlendBetweenKeyframes) {
  ParamStore store;
  store.Declare(-1, Slider(7));
  EXPECT_EQ(store.NumberAt(0, 3), 7.0);  // no keyframes: the default
  store.SetKeyframe(0, 10, 100);
  store.SetKeyframe(0, 20, 200);
  EXPECT_EQ(store.NumberAt(0, 0), 100.0);
  EXPECT_EQ(store.NumberAt(0, 15), 150.0);
  EXPECT_EQ(store.NumberAt(0, 20), 200.0);
  EXPECT_EQ(store.NumberAt(0, 99), 200.0);
  store.SetConstant(0, 5);
  EXPECT_EQ(store.NumberAt(0, 15), 5.0);
}

TEST(ParamStore, CheckboxesSwitchAtKeyframes) {
  ParamStore store;
  FxParamDef box{};
  box.param_type = FxParam_Checkbox;
  store.Declare(-1, box);
  store.SetKeyframe(0, 0, 0);
  store.SetKeyframe(0, 10, 1);
  EXPECT_EQ(store.NumberAt(0, 9), 0.0);
  EXPECT_EQ(store.NumberAt(0, 10), 1.0);
}

TEST(ParamStore, ValueBracketsGiveTheKeyframesAroundAFrame) {
  ParamStore store;
  FxParamDef arb{};
  arb.param_type = FxParam_ArbitraryData;
  store.Declare(-1, arb, {9});
  EXPECT_EQ(store.ValueAt(0, 5).left, nullptr);
  store.SetValueKeyframe(0, 10, {1});
  store.SetValueKeyframe(0, 30, {3});
  const auto before = store.ValueAt(0, 0);
  EXPECT_EQ(before.left, before.right);
  EXPECT_EQ((*before.left)[0], 1);
  const auto between = store.ValueAt(0, 15);
  EXPECT_EQ((*between.left)[0], 1);
  EXPECT_EQ((*between.right)[0], 3);
  EXPECT_DOUBLE_EQ(between.t, 0.25);
  EXPECT_EQ((*store.ValueAt(0, 40).left)[0], 3);
  EXPECT_FALSE(store.SetKeyframe(0, 0, 1.0));  // numbers do not go into a value parameter
}

TEST(ParamStore, ErasedValueKeyframesAndRestoredValuesLeaveTheRestAlone) {
  ParamStore store;
  FxParamDef arb{};
  arb.param_type = FxParam_ArbitraryData;
  store.Declare(-1, arb);
  store.Declare(-1, Slider(1));
  for (int64_t f : {0, 5, 10, 15}) store.SetValueKeyframe(0, f, {uint8_t(f)});
  const StoredParam before = store.at(0);
  EXPECT_EQ(store.EraseValueKeyframes(0, 5, 10), 2u);  // both ends kept in
  EXPECT_EQ(store.at(0).values.size(), 2u);
  EXPECT_EQ(store.EraseValueKeyframes(0, 11, 14), 0u);
  EXPECT_EQ(store.EraseValueKeyframes(0, 20, 0), 0u);  // an empty span
  EXPECT_EQ(store.EraseValueKeyframes(1, 0, 99), 0u);  // a slider has no value keyframes
  EXPECT_TRUE(store.RestoreValues(0, before));
  EXPECT_EQ(store.at(0).values, before.values);
  EXPECT_FALSE(store.RestoreValues(1, before));  // another kind of parameter
  EXPECT_FALSE(store.RestoreValues(7, before));
}

}  // namespace
}  // namespace host
