#include "effect/global_setup.h"

#include <gtest/gtest.h>

#include <string>

#include "services/component_broker.h"
#include "tests/effect/scripted_host.h"

namespace mask_effect {
namespace {

class GlobalSetupTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (host_.in_data.global_data) GlobalSetdown(&host_.in_data, &host_.out_data);
    EXPECT_EQ(host_.live_handles, 0);
  }
  FxErr RunSetup() { return GlobalSetup(&host_.in_data, &host_.out_data, nullptr, nullptr); }
  std::string Message() const { return host_.out_data.return_msg; }
  bool Flagged() const { return host_.out_data.out_flags & FxOutFlag_DisplayErrorMessage; }
  scripted::Host host_;
};

TEST_F(GlobalSetupTest, RegistersFormatsFlagsAndTheGlobalBlock) {
  ASSERT_EQ(RunSetup(), FxErr_None);
  EXPECT_FALSE(Flagged());
  const std::vector<std::string> expected_calls = {"load 4321",
                                                   "new-handle 8",
                                                   "acquire PF Pixel Format Suite",
                                                   "clear-formats",
                                                   "release PF Pixel Format Suite",
                                                   "acquire PF Background Frame Suite",
                                                   "release PF Background Frame Suite"};
  EXPECT_EQ(host_.calls, expected_calls);
  EXPECT_EQ(host_.formats,
            (std::vector<uint32_t>{0x61797576, 0x41595556, 0x61726762, 0x61795556, 0x61595576, 0x61724742}));
  const std::vector<std::pair<int32_t, uint32_t>> background = {{2, 0x61726762}, {2, 0x61797576}, {2, 0x41595556},
                                                                {2, 0x61795556}, {2, 0x61595576}, {2, 0x61724742}};
  EXPECT_EQ(host_.background, background);
  EXPECT_EQ(host_.out_data.out_flags, 0x04208050);
  EXPECT_EQ(host_.out_data.out_flags2, 0x20);
  EXPECT_EQ(host_.out_data.my_version, 0x80000u);

  ASSERT_NE(host_.in_data.global_data, nullptr);
  EXPECT_EQ(host_.out_data.global_data, host_.in_data.global_data);
  EXPECT_EQ(static_cast<GlobalData*>(*host_.in_data.global_data)->string_table, &host_.table_token);
  EXPECT_STREQ(ModuleText(&host_.in_data, kStrMaskPath), "text 1");
}

TEST_F(GlobalSetupTest, SetdownReleasesTheTableAndTheBlock) {
  ASSERT_EQ(RunSetup(), FxErr_None);
  EXPECT_NE(CachedOffsetPathProcs().offset_path, nullptr);
  EXPECT_EQ(GlobalSetdown(&host_.in_data, &host_.out_data), FxErr_None);
  EXPECT_EQ(host_.released_tables, std::vector<void*>{&host_.table_token});
  EXPECT_EQ(host_.in_data.global_data, nullptr);
  EXPECT_EQ(host_.out_data.global_data, nullptr);
  EXPECT_EQ(host_.live_handles, 0);
  EXPECT_FALSE(BrokerClientInitialized());
  EXPECT_EQ(CachedOffsetPathProcs().offset_path, nullptr);
  EXPECT_STREQ(ModuleText(&host_.in_data, kStrMaskPath), "");
}

// Hosts that set the module up once per instance: the components stay until the last
// successful setup is set down, and a failed setup's setdown takes nothing from the others.
TEST_F(GlobalSetupTest, ComponentsStayUntilTheLastSetupIsSetDown) {
  FxInData second_in = host_.in_data, failed_in = host_.in_data;
  FxOutData second_out{}, failed_out{};
  ASSERT_EQ(RunSetup(), FxErr_None);
  ASSERT_EQ(GlobalSetup(&second_in, &second_out, nullptr, nullptr), FxErr_None);
  host_.allocation_fails = true;
  ASSERT_EQ(GlobalSetup(&failed_in, &failed_out, nullptr, nullptr), FxErr_OutOfMemory);
  host_.allocation_fails = false;
  EXPECT_EQ(GlobalSetdown(&failed_in, &failed_out), FxErr_None);
  EXPECT_EQ(GlobalSetdown(&host_.in_data, &host_.out_data), FxErr_None);
  EXPECT_TRUE(BrokerClientInitialized());
  EXPECT_NE(CachedOffsetPathProcs().offset_path, nullptr);
  EXPECT_EQ(GlobalSetdown(&second_in, &second_out), FxErr_None);
  EXPECT_FALSE(BrokerClientInitialized());
  EXPECT_EQ(CachedOffsetPathProcs().offset_path, nullptr);
}

TEST_F(GlobalSetupTest, WithoutBasicSuiteSetupStillSucceedsAndSaysWhy) {
  host_.in_data.basic_suite = nullptr;
  ASSERT_EQ(RunSetup(), FxErr_None);
  EXPECT_TRUE(Flagged());
  EXPECT_EQ(Message(), "Not able to acquire VXFX Suite.");
  EXPECT_TRUE(host_.formats.empty());
  EXPECT_TRUE(host_.background.empty());
  EXPECT_EQ(host_.out_data.out_flags & 0x04208050, 0x04208050);
}

TEST_F(GlobalSetupTest, RefusedPixelFormatSuiteStillRegistersBackgroundFormats) {
  host_.refused = {kFxPixelFormatSuiteName};
  ASSERT_EQ(RunSetup(), FxErr_None);
  EXPECT_EQ(Message(), "Not able to acquire VXFX Suite.");
  EXPECT_TRUE(host_.formats.empty());
  EXPECT_EQ(host_.background.size(), 6u);
}

// The slot still holds the descriptor after a failed load: it must never be "released".
TEST_F(GlobalSetupTest, FailedStringTableLoadReturnsItsErrorAndAllocatesNothing) {
  host_.load_result = 7;
  EXPECT_EQ(RunSetup(), 7);
  EXPECT_TRUE(Flagged());
  EXPECT_EQ(Message(), "Mask could not be initialized.");
  EXPECT_EQ(host_.calls, std::vector<std::string>{"load 4321"});
  EXPECT_TRUE(host_.released_tables.empty());
  EXPECT_EQ(host_.in_data.global_data, nullptr);
}

TEST_F(GlobalSetupTest, FailedBlockAllocationReleasesTheTable) {
  host_.allocation_fails = true;
  EXPECT_EQ(RunSetup(), FxErr_OutOfMemory);
  EXPECT_EQ(Message(), "Mask could not be initialized.");
  EXPECT_EQ(host_.released_tables, std::vector<void*>{&host_.table_token});
  EXPECT_EQ(host_.in_data.global_data, nullptr);
  // Set down after a failed set up has nothing to release and must not crash.
  EXPECT_EQ(GlobalSetdown(&host_.in_data, &host_.out_data), FxErr_None);
  EXPECT_EQ(host_.released_tables.size(), 1u);
}

TEST_F(GlobalSetupTest, MissingStringServiceFailsCleanly) {
  host_.in_data.inter.string_table_load = nullptr;
  EXPECT_EQ(RunSetup(), FxErr_BadCallbackParam);
  EXPECT_EQ(Message(), "Mask could not be initialized.");
}

// The six documented strings keep their places; the mask mode's name follows them.
TEST(StringTableDescriptor, HoldsTheSevenStringsAndTheTerminator) {
  const FxStringTableDescriptor& d = StringTableDescriptor();
  EXPECT_STREQ(d.name, "FX");
  ASSERT_EQ(d.entry_count, 8);
  EXPECT_STREQ(d.entries[1].key, "$$$/Corvane/VXFilters/VXMask/kStrMaskPath=Mask Path");
  EXPECT_STREQ(d.entries[5].key, "$$$/Corvane/VXFilters/VXMask/kStrInvertedLabelText=Inverted");
  EXPECT_STREQ(d.entries[6].key, "$$$/Corvane/VXFilters/VXMask/kStrMaskModeLabelText=Mask Mode");
  EXPECT_EQ(std::string(d.entries[0].key).rfind("$$$/Corvane/VXFilters/VXMask/0000=Mask...^n", 0), 0u);
  EXPECT_EQ(d.entries[7].key, nullptr);
  EXPECT_EQ(d.entries[7].host_slots[0], -1);
  EXPECT_EQ(d.entries[7].host_slots[1], -1);
  EXPECT_EQ(d.entries[7].host_slots[2], 0);
}

}  // namespace
}  // namespace mask_effect
