#include "host/suites/suite_registry.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

constexpr const char* kName = "Test Suite";
constexpr int32_t kVersion = 2;
const int kTable = 0;
const int kOtherTable = 0;

// The registry is one per process: every test starts and ends with it empty.
class SuiteRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::Suites().WithdrawAll();
    host::Suites().Offer(kName, kVersion, &kTable);
  }
  void TearDown() override { host::Suites().WithdrawAll(); }
  FxErr Acquire(const char* name, int32_t version) { return basic_.AcquireSuite(name, version, &table_); }
  FxErr Release(const char* name, int32_t version) { return basic_.ReleaseSuite(name, version); }

  const FxBasicSuite& basic_ = *host::HostBasicSuite();
  const void* table_ = nullptr;
};

TEST_F(SuiteRegistryTest, ReleasesMustMatchAcquisitions) {
  EXPECT_NE(Release(kName, kVersion), FxErr_None);  // nothing acquired yet
  EXPECT_NE(Release(nullptr, kVersion), FxErr_None);
  host::Suites().Offer("Other", 1, &kOtherTable);
  ASSERT_EQ(Acquire(kName, kVersion), FxErr_None);
  EXPECT_EQ(table_, &kTable);
  ASSERT_EQ(Acquire(kName, kVersion), FxErr_None);
  ASSERT_EQ(Acquire("Other", 1), FxErr_None);
  EXPECT_EQ(table_, &kOtherTable);
  EXPECT_EQ(host::Suites().Outstanding(kName, kVersion), 2);
  EXPECT_EQ(host::Suites().TotalOutstanding(), 3);

  EXPECT_EQ(Release(kName, kVersion), FxErr_None);
  EXPECT_EQ(Release(kName, kVersion), FxErr_None);
  EXPECT_NE(Release(kName, kVersion), FxErr_None);  // one release too many
  EXPECT_EQ(host::Suites().Outstanding(kName, kVersion), 0);
  EXPECT_EQ(host::Suites().TotalOutstanding(), 1);
}

TEST_F(SuiteRegistryTest, UnknownSuitesAreRefusedWithANullTable) {
  const std::pair<const char*, int32_t> requests[] = {
      {"No Such Suite", kVersion}, {kName, kVersion + 1}, {nullptr, kVersion}};
  for (const auto& [name, version] : requests) {
    table_ = &kOtherTable;  // a refusal must not leave a stale pointer behind
    EXPECT_NE(Acquire(name, version), FxErr_None) << (name ? name : "(null)") << "/" << version;
    EXPECT_EQ(table_, nullptr);
  }
  EXPECT_NE(basic_.AcquireSuite(kName, kVersion, nullptr), FxErr_None);
  EXPECT_EQ(host::Suites().TotalOutstanding(), 0);
}

TEST_F(SuiteRegistryTest, WithdrawnSuitesAreNoLongerHandedOut) {
  ASSERT_EQ(Acquire(kName, kVersion), FxErr_None);
  host::Suites().Withdraw(kName, kVersion);
  EXPECT_NE(Acquire(kName, kVersion), FxErr_None);
  EXPECT_EQ(Release(kName, kVersion), FxErr_None);  // what was handed out may still come back

  // Two hosts offer the same suite: it stays until both have withdrawn it.
  host::Suites().Offer(kName, kVersion, &kTable);
  host::Suites().Offer(kName, kVersion, &kTable);
  host::Suites().Withdraw(kName, kVersion);
  ASSERT_EQ(Acquire(kName, kVersion), FxErr_None);
  host::Suites().Withdraw(kName, kVersion);
  EXPECT_NE(Acquire(kName, kVersion), FxErr_None);

  host::Suites().Offer(kName, kVersion, &kTable);
  ASSERT_EQ(Acquire(kName, kVersion), FxErr_None);
  host::Suites().WithdrawAll();
  EXPECT_EQ(host::Suites().TotalOutstanding(), 0);
  EXPECT_NE(Acquire(kName, kVersion), FxErr_None);
  EXPECT_NE(Release(kName, kVersion), FxErr_None);
}

}  // namespace
