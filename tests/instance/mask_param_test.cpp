#include "instance/mask_param.h"

#include <gtest/gtest.h>

#include <cstring>

#include "host/suites/handles.h"
#include "instance/param_ids.h"

namespace Mask {
namespace {

FxErr RefuseResize(uint64_t, FxHandle*) { return FxErr_OutOfMemory; }
// A host that claims success but leaves the block as it was.
FxErr PretendResize(uint64_t, FxHandle*) { return FxErr_None; }

class MaskParamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    utils_.new_handle = &host::NewHandle;
    utils_.dispose_handle = &host::DisposeHandle;
    utils_.get_handle_size = &host::HandleSize;
    utils_.resize_handle = &host::ResizeHandle;
    in_data_.utils = &utils_;
    path_.param_type = FxParam_ArbitraryData;
    params_[mask_effect::kParamMaskPath] = &path_;
  }
  void TearDown() override { host::DisposeHandle(path_.u.arb.value); }

  void StoreBytes(const std::vector<uint8_t>& bytes) {
    path_.u.arb.value = host::NewHandle(bytes.size());
    if (!bytes.empty()) std::memcpy(*path_.u.arb.value, bytes.data(), bytes.size());
  }

  FxUtilityCallbacks utils_{};
  FxInData in_data_{};
  FxParamDef path_{};
  FxParamDef* params_[mask_effect::kParamCount] = {};
};

MaskShape ShapeWith(size_t count) {
  MaskShape shape;
  for (size_t i = 0; i < count; ++i) AppendCornerVertex(shape, 0.1f * i, 0.2f);
  return shape;
}

TEST_F(MaskParamTest, WriteThenReadGivesTheShapeBack) {
  StoreBytes({});
  ASSERT_EQ(WriteMaskShapeToParam(&in_data_, params_, ShapeWith(3)), FxErr_None);
  EXPECT_EQ(host::HandleSize(path_.u.arb.value), 16u + 32 * 3);
  EXPECT_TRUE(path_.change_flags & FxChangeFlag_ChangedValue);

  MaskShape read;
  ASSERT_TRUE(ReadMaskShape(&in_data_, params_, read));
  ASSERT_EQ(read.vertices.size(), 3u);
  EXPECT_FLOAT_EQ(read.vertices[2].anchor_x, 0.2f);
}

TEST_F(MaskParamTest, SameSizeOverwritesWithoutResizing) {
  std::vector<uint8_t> bytes;
  FlattenMaskShape(ShapeWith(2), bytes);
  StoreBytes(bytes);
  utils_.resize_handle = &RefuseResize;  // would fail the write if it were called
  MaskShape moved = ShapeWith(2);
  SetVertexPoint(moved, 1, kPointAnchor, 0.9f, 0.9f);
  ASSERT_EQ(WriteMaskShapeToParam(&in_data_, params_, moved), FxErr_None);
  MaskShape read;
  ASSERT_TRUE(ReadMaskShape(&in_data_, params_, read));
  EXPECT_EQ(read.vertices[1].anchor_x, 0.9f);
  EXPECT_TRUE(path_.change_flags & FxChangeFlag_ChangedValue);
}

// A failed or pretended resize must not let the bytes of a larger shape spill past the block.
TEST_F(MaskParamTest, WriteRefusedWhenTheHandleCannotHoldTheShape) {
  std::vector<uint8_t> bytes;
  FlattenMaskShape(ShapeWith(1), bytes);
  StoreBytes(bytes);
  for (auto resize : {&RefuseResize, &PretendResize}) {
    utils_.resize_handle = resize;
    EXPECT_NE(WriteMaskShapeToParam(&in_data_, params_, ShapeWith(4)), FxErr_None);
    EXPECT_FALSE(path_.change_flags & FxChangeFlag_ChangedValue);
    EXPECT_EQ(host::HandleSize(path_.u.arb.value), bytes.size());
  }
}

TEST_F(MaskParamTest, MissingOrDamagedValueReadsAsRejected) {
  MaskShape shape;
  EXPECT_FALSE(ReadMaskShape(&in_data_, params_, shape));  // null handle
  StoreBytes({0x32, 0x63, 0x69, 0x6E, 2, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0});
  EXPECT_FALSE(ReadMaskShape(&in_data_, params_, shape));
  EXPECT_EQ(shape.mode, kMaskModeClosed);
  EXPECT_TRUE(shape.vertices.empty());
  EXPECT_NE(WriteMaskShapeToParam(&in_data_, nullptr, shape), FxErr_None);
}

}  // namespace
}  // namespace Mask
