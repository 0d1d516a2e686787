#include "services/suite_access.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/effect/scripted_host.h"

namespace mask_effect {
namespace {

class SuiteAccessTest : public ::testing::Test {
 protected:
  scripted::Host host_;
  std::string Message() const { return host_.out_data.return_msg; }
  bool Flagged() const { return host_.out_data.out_flags & FxOutFlag_DisplayErrorMessage; }
};

TEST_F(SuiteAccessTest, AcquireAndReleaseThroughTheBasicSuite) {
  const void* suite = nullptr;
  EXPECT_EQ(AcquireSuiteOrReport(&host_.in_data, &host_.out_data, "PF Pixel Format Suite", 1, nullptr, &suite),
            FxErr_None);
  EXPECT_NE(suite, nullptr);
  EXPECT_EQ(ReleaseSuiteOrReport(&host_.in_data, &host_.out_data, "PF Pixel Format Suite", 1, nullptr), FxErr_None);
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"acquire PF Pixel Format Suite", "release PF Pixel Format Suite"}));
  EXPECT_FALSE(Flagged());
}

TEST_F(SuiteAccessTest, NoBasicSuiteIsReportedWithTheDefaultTexts) {
  host_.in_data.basic_suite = nullptr;
  const void* suite = reinterpret_cast<const void*>(0x1);
  EXPECT_EQ(AcquireSuiteOrReport(&host_.in_data, &host_.out_data, "X", 1, nullptr, &suite), FxErr_BadCallbackParam);
  EXPECT_EQ(suite, nullptr);
  EXPECT_TRUE(Flagged());
  EXPECT_EQ(Message(), "Not able to acquire VXFX Suite.");
  EXPECT_EQ(ReleaseSuiteOrReport(&host_.in_data, &host_.out_data, "X", 1, nullptr), FxErr_BadCallbackParam);
  EXPECT_EQ(Message(), "Not able to release VXFX Suite.");
}

TEST_F(SuiteAccessTest, TheTableCountsNotTheHostsResult) {
  host_.refused = {"Refused"};
  const void* suite = nullptr;
  // Refused even though the host says success: there is no table to call.
  host_.acquire_result_when_refused = FxErr_None;
  EXPECT_EQ(AcquireSuiteOrReport(&host_.in_data, &host_.out_data, "Refused", 1, "Own text %d %s", &suite),
            FxErr_BadCallbackParam);
  EXPECT_EQ(Message(), "Own text %d %s");  // the caller's text, shown as written
  // Accepted even though a host might say otherwise: the table is what is used.
  EXPECT_EQ(AcquireSuiteOrReport(&host_.in_data, &host_.out_data, "Other", 1, nullptr, &suite), FxErr_None);
}

TEST_F(SuiteAccessTest, ScopedSuiteReleasesWhatItAcquired) {
  {
    ScopedSuite suite(&host_.in_data, "PF Pixel Format Suite", 1);
    EXPECT_NE(suite.get<FxPixelFormatSuite>(), nullptr);
  }
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"acquire PF Pixel Format Suite", "release PF Pixel Format Suite"}));
}

TEST_F(SuiteAccessTest, ScopedSuiteThrowsThirteenOnRefusalOrMissingTable) {
  host_.refused = {"Refused"};
  for (FxErr host_result : {FxErr_BadCallbackParam, FxErr_None}) {
    host_.acquire_result_when_refused = host_result;
    host_.out_data = FxOutData{};
    try {
      ScopedSuite suite(&host_.in_data, "Refused", 1, &host_.out_data);
      FAIL() << "no exception for host result " << host_result;
    } catch (int code) {
      EXPECT_EQ(code, 13);
    }
    EXPECT_TRUE(Flagged());
    EXPECT_EQ(Message(), "Not able to acquire VXFX Suite.");
  }
  // Without out_data there is nowhere to report, but it still throws.
  host_.out_data = FxOutData{};
  EXPECT_THROW(ScopedSuite(&host_.in_data, "Refused", 1), int);
  EXPECT_FALSE(Flagged());
  host_.in_data.basic_suite = nullptr;
  EXPECT_THROW(ScopedSuite(&host_.in_data, "Any", 1, &host_.out_data, "Custom."), int);
  EXPECT_EQ(Message(), "Custom.");
}

}  // namespace
}  // namespace mask_effect
