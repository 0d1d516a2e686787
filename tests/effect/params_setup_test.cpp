#include "effect/params_setup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "effect/global_setup.h"
#include "mask/mask_shape.h"
#include "tests/effect/scripted_host.h"

namespace mask_effect {
namespace {

class ParamsSetupTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(GlobalSetup(&host_.in_data, &host_.out_data, nullptr, nullptr), FxErr_None); }
  void TearDown() override {
    for (const FxParamDef& def : host_.added)
      if (def.param_type == FxParam_ArbitraryData) host_.utils.dispose_handle(def.u.arb.default_value);
    GlobalSetdown(&host_.in_data, &host_.out_data);
    EXPECT_EQ(host_.live_handles, 0);
  }
  FxErr Run() { return ParamsSetup(&host_.in_data, &host_.out_data, nullptr, nullptr); }
  scripted::Host host_;
};

// The thirteen documented parameters in order, the mask mode after them (so that their indices
// keep their meaning), then the overlay.
TEST_F(ParamsSetupTest, DeclaresThirteenParametersInOrderThenTheModeThenTheOverlay) {
  ASSERT_EQ(Run(), FxErr_None);
  ASSERT_EQ(host_.added.size(), 14u);
  for (size_t i = 0; i < 14; ++i) {
    EXPECT_EQ(host_.added[i].id, static_cast<int32_t>(i + 1));
    EXPECT_EQ(host_.added_at[i], -1);  // always appended
  }
  const int32_t types[] = {13, 15, 15, 15, 14, 11, 10, 10, 10, 4, 10, 10, 10, 10};
  for (size_t i = 0; i < 14; ++i) EXPECT_EQ(host_.added[i].param_type, types[i]) << "param " << i + 1;
  EXPECT_EQ(host_.group_states, (std::vector<std::pair<int32_t, int32_t>>{{-1, 14}}));
  ASSERT_EQ(host_.registered_ui.size(), 1u);
  EXPECT_EQ(host_.registered_ui[0].events, 1);
  EXPECT_EQ(host_.out_data.num_params, 15);
  EXPECT_STREQ(host_.added[2].u.button.label, ">>");
  EXPECT_EQ(host_.added[2].flags, 0x42);
  const FxParamDef& mode = host_.added[13];
  EXPECT_STREQ(mode.name, "text 6");
  EXPECT_EQ(mode.flags, 0);
  EXPECT_EQ(mode.ui_flags, 0);
  EXPECT_EQ(mode.u.slider.valid_min, 0);
  EXPECT_EQ(mode.u.slider.valid_max, 6);
  EXPECT_EQ(mode.u.slider.value, 0);  // replace
  EXPECT_EQ(mode.u.slider.precision, 0);
}

TEST_F(ParamsSetupTest, MaskPathDefaultsToTheEmptyOpenShape) {
  ASSERT_EQ(Run(), FxErr_None);
  const FxParamDef& path = host_.added[5];
  EXPECT_STREQ(path.name, "text 1");
  EXPECT_EQ(path.u.arb.id, 6);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(path.u.arb.refcon), 0x6e69636bu);
  EXPECT_EQ(path.u.arb.value, nullptr);
  ASSERT_NE(path.u.arb.default_value, nullptr);
  ASSERT_EQ(host_.utils.get_handle_size(path.u.arb.default_value), 16u);
  Mask::MaskShape shape;
  ASSERT_TRUE(Mask::UnflattenMaskShape(*path.u.arb.default_value, 16, shape));
  EXPECT_EQ(shape.mode, Mask::kMaskModeOpen);
  EXPECT_TRUE(shape.vertices.empty());
}

TEST_F(ParamsSetupTest, SlidersCarryTheirRangesAndFlags) {
  ASSERT_EQ(Run(), FxErr_None);
  const FxParamDef& opacity = host_.added[7];
  EXPECT_STREQ(opacity.name, "text 3");
  const FxFloatSliderDef& s = opacity.u.slider;
  EXPECT_EQ(s.valid_min, 0.0f);
  EXPECT_EQ(s.valid_max, 100.0f);
  EXPECT_EQ(s.slider_max, 100.0f);
  EXPECT_EQ(s.value, 100.0);
  EXPECT_EQ(s.default_value, 100.0f);
  EXPECT_EQ(s.precision, 1);
  EXPECT_EQ(s.display_flags, 1);
  EXPECT_FLOAT_EQ(s.curve_tolerance, 0.05f);
  EXPECT_EQ(opacity.flags, 0);

  const FxParamDef& scale = host_.added[12];
  EXPECT_EQ(scale.flags, 0x102);
  EXPECT_EQ(scale.ui_flags, 0x200);
  EXPECT_EQ(scale.name[0], '\0');
  EXPECT_EQ(scale.u.slider.valid_max, std::numeric_limits<float>::max());
  EXPECT_EQ(scale.u.slider.default_value, 0.5f);

  const FxParamDef& inverted = host_.added[9];
  EXPECT_EQ(inverted.flags, 0x2);
  EXPECT_STREQ(inverted.u.checkbox.label, "text 5");
  EXPECT_EQ(inverted.name[0], '\0');
}

TEST_F(ParamsSetupTest, RefusedParameterStopsTheDeclaration) {
  host_.refuse_add_call = 4;  // "FlushFrameCache"
  EXPECT_EQ(Run(), 1234);
  EXPECT_EQ(host_.added.size(), 3u);
  EXPECT_TRUE(host_.registered_ui.empty());
}

TEST_F(ParamsSetupTest, RefusedMaskPathReturnsItsDefaultHandle) {
  host_.refuse_add_call = 6;
  const int handles_before = host_.live_handles;
  EXPECT_EQ(Run(), 1234);
  EXPECT_EQ(host_.live_handles, handles_before);
}

TEST_F(ParamsSetupTest, MissingGroupSuiteSkipsTheTrackingGroup) {
  host_.refused = {kFxGroupParamSuiteName};
  ASSERT_EQ(Run(), FxErr_None);
  ASSERT_EQ(host_.added.size(), 9u);
  EXPECT_EQ(host_.added[0].id, 6);
  EXPECT_STREQ(host_.out_data.return_msg, "Not able to acquire VXFX Suite.");
}

TEST(ParamNames, LongNamesAreCutAtACharacterBoundary) {
  char field[kFxParamNameSize];
  CopyParamName(field, "A name that is longer than thirty-one bytes");
  EXPECT_EQ(std::strlen(field), 31u);
  // 30 ASCII bytes then a two-byte character: it no longer fits and goes whole.
  CopyParamName(field, "123456789012345678901234567890\xC3\xA9xyz");
  EXPECT_STREQ(field, "123456789012345678901234567890");
  CopyParamName(field, nullptr);
  EXPECT_STREQ(field, "");
}

TEST(ParamValues, ReadAndWriteThroughTheParameterArray) {
  FxParamDef defs[kParamCount] = {};
  FxParamDef* params[kParamCount];
  for (int i = 0; i < kParamCount; ++i) params[i] = &defs[i];
  defs[kParamMaskOpacity].u.slider.value = 50;
  defs[kParamMaskExpansion].u.slider.value = -2.5;
  defs[kParamMotionLevel].u.slider.value = 2.9;
  defs[kParamInverted].u.checkbox.value = 1;
  defs[kParamOverlayIndex].u.slider.value = 7.8;
  EXPECT_EQ(ReadOpacity(params), 0.5f);
  EXPECT_EQ(ReadExpansion(params), -2.5f);
  EXPECT_EQ(ReadMotionLevel(params), 2);
  EXPECT_TRUE(ReadInverted(params));
  EXPECT_EQ(ReadOverlayIndex(params), 7u);

  defs[kParamMotionLevel].u.slider.value = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ReadMotionLevel(params), 0);
  defs[kParamMotionLevel].u.slider.value = 1e300;
  EXPECT_EQ(ReadMotionLevel(params), std::numeric_limits<int32_t>::max());

  WriteOverlayPair(params, 3, 0.25f);
  EXPECT_EQ(ReadOverlayIndex(params), 3u);
  EXPECT_EQ(ReadOverlayScale(params), 0.25f);
  EXPECT_TRUE(defs[kParamOverlayIndex].change_flags & FxChangeFlag_ChangedValue);
  EXPECT_TRUE(defs[kParamOverlayScale].change_flags & FxChangeFlag_ChangedValue);
  WriteFeather(params, 12.5);
  EXPECT_EQ(ReadFeather(params), 12.5);
  EXPECT_FALSE(defs[kParamMaskOpacity].change_flags);
}

}  // namespace
}  // namespace mask_effect
