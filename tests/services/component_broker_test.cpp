#include "services/component_broker.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/graphics/component_framework.h"

namespace mask_effect {
namespace {

class BrokerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ShutDownBrokerClient();
    ClearOffsetPathProcs();
    TerminateQuillComponents();
  }
};

// A getter that lacks one of the broker's own procedures. The framework is started once by the
// test, so that the fixture's one termination balances it and the next test starts afresh.
QuillProcGetter g_framework = nullptr;
void* GetterWithoutIsMultiThreaded(const char* iface, const char* name, const char* versioned) {
  if (std::strcmp(name, "QIBIsMultiThreaded") == 0) return nullptr;
  return g_framework(iface, name, versioned);
}

TEST_F(BrokerTest, LookupsAnswerNullUntilTheClientStarts) {
  EXPECT_EQ(LookUpProcedure("ZPROffsetPathInterface", "GetOffsetPath", "ZPROffsetPathGetOffsetPathV4"), nullptr);
  ResolveOffsetPathProcs();  // nothing to resolve with, and no error
  EXPECT_EQ(CachedOffsetPathProcs().offset_path, nullptr);
}

TEST_F(BrokerTest, StartRefusedWithoutGetterOrBrokerProcedures) {
  EXPECT_FALSE(InitializeBrokerClient(nullptr));
  g_framework = InitQuillComponents();
  EXPECT_FALSE(InitializeBrokerClient(&GetterWithoutIsMultiThreaded));
  EXPECT_FALSE(BrokerClientInitialized());
}

TEST_F(BrokerTest, StartedClientFindsProceduresAndThrowsForMissingOnes) {
  ASSERT_TRUE(InitializeBrokerClient(InitQuillComponents()));
  EXPECT_TRUE(InitializeBrokerClient(nullptr));  // once per process: later calls succeed at once
  EXPECT_NE(LookUpProcedure("ZPROffsetPathInterface", "GetDashPath", "ZPROffsetPathGetDashPathProcV1"), nullptr);
  EXPECT_THROW(LookUpProcedure("ZPROffsetPathInterface", "GetDashPath", "ZPROffsetPathGetDashPathProcV9"),
               QIB_T_MT::CQIBError);
  EXPECT_THROW(LookUpProcedure("NoSuchInterface", "Proc", "Proc"), QIB_T_MT::CQIBError);
  ShutDownBrokerClient();
  EXPECT_EQ(LookUpProcedure("ZPROffsetPathInterface", "GetDashPath", "ZPROffsetPathGetDashPathProcV1"), nullptr);
}

TEST_F(BrokerTest, OffsetPathProceduresAreCachedOnce) {
  ASSERT_TRUE(InitializeBrokerClient(InitQuillComponents()));
  ResolveOffsetPathProcs();
  const OffsetPathProcs procs = CachedOffsetPathProcs();
  ASSERT_NE(procs.stroke_path, nullptr);
  ASSERT_NE(procs.offset_path, nullptr);
  ASSERT_NE(procs.dash_path, nullptr);
  // A filled slot is not looked up again, so a component going away later does not throw here.
  quill::UnregisterProcForTesting("ZPROffsetPathInterface", "GetOffsetPath");
  EXPECT_NO_THROW(ResolveOffsetPathProcs());
  EXPECT_EQ(CachedOffsetPathProcs().offset_path, procs.offset_path);
  ClearOffsetPathProcs();
  EXPECT_THROW(ResolveOffsetPathProcs(), QIB_T_MT::CQIBError);
}

}  // namespace
}  // namespace mask_effect
