#include "host/suites/handles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

class HandlesTest : public ::testing::Test {
 protected:
  void SetUp() override { live_ = host::LiveHandleCount(); }
  void TearDown() override {
    host::FailHandleAllocationsAfter(-1);
    EXPECT_EQ(host::LiveHandleCount(), live_) << "a handle leaked or was freed twice";
  }
  static Bytes Contents(FxHandle h) {
    const auto* data = static_cast<const unsigned char*>(*h);
    return {data, data + host::HandleSize(h)};
  }
  int64_t live_ = 0;
};

TEST_F(HandlesTest, NewIsZeroFilledAndCounted) {
  FxHandle h = host::NewHandle(64);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Contents(h), Bytes(64, 0));
  EXPECT_EQ(host::LiveHandleCount(), live_ + 1);
  FxHandle empty = host::NewHandle(0);  // still a distinct block to dereference
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(*empty, nullptr);
  EXPECT_EQ(host::HandleSize(empty), 0u);
  host::DisposeHandle(empty);
  host::DisposeHandle(h);
  host::DisposeHandle(nullptr);
  EXPECT_EQ(host::HandleSize(nullptr), 0u);
  FxHandle null_handle = nullptr;
  EXPECT_EQ(host::ResizeHandle(8, &null_handle), FxErr_BadCallbackParam);
  EXPECT_EQ(host::ResizeHandle(8, nullptr), FxErr_BadCallbackParam);
}

TEST_F(HandlesTest, ResizeKeepsBytesAndZeroFillsGrowth) {
  FxHandle h = host::NewHandle(4);
  ASSERT_NE(h, nullptr);
  std::memcpy(*h, "\x11\x22\x33\x44", 4);
  ASSERT_EQ(host::ResizeHandle(4096, &h), FxErr_None);
  Bytes grown(4096, 0);
  std::memcpy(grown.data(), "\x11\x22\x33\x44", 4);
  EXPECT_EQ(Contents(h), grown);
  ASSERT_EQ(host::ResizeHandle(2, &h), FxErr_None);
  EXPECT_EQ(Contents(h), (Bytes{0x11, 0x22}));
  // Growing after a shrink must not bring the cut bytes back.
  ASSERT_EQ(host::ResizeHandle(4, &h), FxErr_None);
  EXPECT_EQ(Contents(h), (Bytes{0x11, 0x22, 0, 0}));
  ASSERT_EQ(host::ResizeHandle(0, &h), FxErr_None);
  EXPECT_NE(*h, nullptr);
  EXPECT_EQ(host::LiveHandleCount(), live_ + 1);
  host::DisposeHandle(h);
}

TEST_F(HandlesTest, InjectedFailuresHitNewAndResizeUntilLifted) {
  host::FailHandleAllocationsAfter(0);
  EXPECT_EQ(host::NewHandle(0), nullptr);
  host::FailHandleAllocationsAfter(1);
  FxHandle h = host::NewHandle(8);
  ASSERT_NE(h, nullptr);
  std::memset(*h, 0x5a, 8);
  EXPECT_EQ(host::NewHandle(8), nullptr);
  EXPECT_EQ(host::ResizeHandle(16, &h), FxErr_OutOfMemory);
  EXPECT_EQ(Contents(h), Bytes(8, 0x5a));  // a refused resize leaves the handle as it was
  EXPECT_EQ(host::LiveHandleCount(), live_ + 1);

  host::FailHandleAllocationsAfter(-1);
  FxHandle second = host::NewHandle(8);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(host::ResizeHandle(16, &h), FxErr_None);
  host::DisposeHandle(second);
  host::DisposeHandle(h);
}

TEST_F(HandlesTest, AbsurdSizesAreRefused) {
  EXPECT_EQ(host::NewHandle(host::kMaxHandleSize + 1), nullptr);
  EXPECT_EQ(host::NewHandle(UINT64_MAX), nullptr);
  FxHandle h = host::NewHandle(8);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(host::ResizeHandle(host::kMaxHandleSize + 1, &h), FxErr_OutOfMemory);
  EXPECT_EQ(host::HandleSize(h), 8u);
  host::DisposeHandle(h);
}

}  // namespace
