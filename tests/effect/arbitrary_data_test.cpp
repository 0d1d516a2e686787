#include "effect/arbitrary_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "instance/param_ids.h"
#include "tests/effect/scripted_host.h"

namespace mask_effect {
namespace {

using Mask::MaskShape;
using Mask::MaskVertex;

class ArbitraryDataTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (FxHandle h : owned_) host_.utils.dispose_handle(h);
    EXPECT_EQ(host_.live_handles, 0);
  }
  FxErr Call(FxArbExtra extra, uintptr_t refcon = kMaskPathRefcon) {
    extra.refcon = reinterpret_cast<void*>(refcon);
    return ArbitraryDataCallback(&host_.in_data, &host_.out_data, nullptr, nullptr, &extra);
  }
  FxHandle Own(FxHandle h) {
    if (h) owned_.push_back(h);
    return h;
  }
  FxHandle HandleOf(const std::vector<uint8_t>& bytes) {
    FxHandle h = Own(host_.utils.new_handle(bytes.size()));
    if (!bytes.empty()) std::memcpy(*h, bytes.data(), bytes.size());
    return h;
  }
  FxHandle HandleOf(const MaskShape& shape) {
    std::vector<uint8_t> bytes;
    Mask::FlattenMaskShape(shape, bytes);
    return HandleOf(bytes);
  }
  MaskShape ShapeOf(FxHandle h) {
    MaskShape shape;
    EXPECT_TRUE(Mask::UnflattenMaskShape(*h, host_.utils.get_handle_size(h), shape));
    return shape;
  }
  FxHandle Interpolate(FxHandle left, FxHandle right, double t) {
    FxHandle out = nullptr;
    FxArbExtra extra{};
    extra.which = FxArb_Interpolate;
    extra.u.interpolate_args = {left, right, t, &out};
    EXPECT_EQ(Call(extra), FxErr_None);
    return Own(out);
  }
  scripted::Host host_;
  std::vector<FxHandle> owned_;
};

MaskShape Square(float offset, size_t count = 4) {
  MaskShape shape;
  for (size_t i = 0; i < count; ++i)
    Mask::AppendCurveVertex(shape, {offset + i, offset}, {offset + i - 0.5f, offset}, {offset + i + 0.5f, offset});
  return shape;
}

TEST_F(ArbitraryDataTest, NewAndDisposeRecogniseTheirOwnValues) {
  FxHandle value = reinterpret_cast<FxHandle>(0x1);
  FxArbExtra extra{};
  extra.which = FxArb_New;
  extra.u.new_args.arb = &value;
  EXPECT_EQ(Call(extra), FxErr_None);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(host_.utils.get_handle_size(value), 0u);

  FxArbExtra dispose{};
  dispose.which = FxArb_Dispose;
  dispose.u.dispose_args.arb = &value;
  EXPECT_EQ(Call(dispose, 0x1234), FxErr_InvalidArbitraryData);
  EXPECT_NE(value, nullptr);
  EXPECT_EQ(Call(dispose), FxErr_None);
  EXPECT_EQ(value, nullptr);

  EXPECT_EQ(Call(extra, 0x1234), FxErr_InvalidArbitraryData);  // allocated, but not ours
  Own(value);
  host_.allocation_fails = true;
  EXPECT_EQ(Call(extra), FxErr_OutOfMemory);
  EXPECT_EQ(value, nullptr);
}

TEST_F(ArbitraryDataTest, CopyFlattenAndUnflattenKeepTheBytes) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
  FxHandle copy = nullptr;
  FxArbExtra extra{};
  extra.which = FxArb_Copy;
  extra.u.copy_args = {HandleOf(bytes), &copy};
  EXPECT_EQ(Call(extra, 0x1234), FxErr_None);  // not ours: nothing done
  EXPECT_EQ(copy, nullptr);
  EXPECT_EQ(Call(extra), FxErr_None);
  ASSERT_NE(Own(copy), nullptr);
  EXPECT_EQ(0, std::memcmp(*copy, bytes.data(), bytes.size()));

  uint32_t size = 0;
  extra.which = FxArb_FlatSize;
  extra.u.flat_size_args = {copy, &size};
  EXPECT_EQ(Call(extra), FxErr_None);
  EXPECT_EQ(size, 5u);

  // A buffer larger than the value gets the value's bytes and zeros, never bytes past it.
  uint8_t buffer[12];
  std::memset(buffer, 0xEE, sizeof buffer);
  extra.which = FxArb_Flatten;
  extra.u.flatten_args = {copy, sizeof buffer, buffer};
  EXPECT_EQ(Call(extra), FxErr_None);
  EXPECT_EQ(0, std::memcmp(buffer, bytes.data(), 5));
  EXPECT_EQ(buffer[5], 0);
  EXPECT_EQ(buffer[11], 0);

  FxHandle restored = nullptr;
  extra.which = FxArb_Unflatten;
  extra.u.unflatten_args = {3, buffer, &restored};
  EXPECT_EQ(Call(extra), FxErr_None);
  ASSERT_NE(Own(restored), nullptr);
  EXPECT_EQ(host_.utils.get_handle_size(restored), 3u);
  host_.allocation_fails = true;
  restored = nullptr;
  EXPECT_EQ(Call(extra), FxErr_OutOfMemory);
  EXPECT_EQ(restored, nullptr);
}

TEST_F(ArbitraryDataTest, InterpolationMovesEveryPointByT) {
  const MaskShape result = ShapeOf(Interpolate(HandleOf(Square(0)), HandleOf(Square(4)), 0.25));
  ASSERT_EQ(result.vertices.size(), 4u);
  EXPECT_FLOAT_EQ(result.vertices[2].anchor_x, 3.0f);
  EXPECT_FLOAT_EQ(result.vertices[2].anchor_y, 1.0f);
  EXPECT_FLOAT_EQ(result.vertices[2].in_x, 2.5f);
  EXPECT_FLOAT_EQ(result.vertices[2].out_x, 3.5f);
}

TEST_F(ArbitraryDataTest, DifferentVertexCountsHoldTheLeftShape) {
  MaskShape left = Square(0, 4);
  left.mode = Mask::kMaskModeEllipse;
  for (double t : {0.0, 0.5, 1.0}) {
    const MaskShape result = ShapeOf(Interpolate(HandleOf(left), HandleOf(Square(4, 5)), t));
    EXPECT_EQ(result.mode, Mask::kMaskModeEllipse);
    ASSERT_EQ(result.vertices.size(), 4u);
    EXPECT_EQ(result.vertices[1].anchor_x, 1.0f);
  }
}

TEST_F(ArbitraryDataTest, KindAndLinkedRules) {
  MaskShape corners, curves;
  Mask::AppendCornerVertex(corners, 0.5f, 0.5f);
  Mask::AppendCornerVertex(corners, 0.1f, 0.1f);
  Mask::AppendCurveVertex(curves, {0.5f, 0.5f}, {0.4f, 0.5f}, {0.6f, 0.5f});
  Mask::AppendCornerVertex(curves, 0.2f, 0.2f);
  Mask::ClearVertexLinked(curves, 0);

  const MaskShape half = ShapeOf(Interpolate(HandleOf(corners), HandleOf(curves), 0.5));
  EXPECT_EQ(half.vertices[0].kind, Mask::kVertexCurve);   // tangents left the anchor
  EXPECT_EQ(half.vertices[0].linked, 0u);                 // one side unlinked
  EXPECT_EQ(half.vertices[1].kind, Mask::kVertexCorner);  // two corners stay a corner
  EXPECT_EQ(half.vertices[1].linked, 1u);
  const MaskShape start = ShapeOf(Interpolate(HandleOf(corners), HandleOf(curves), 0.0));
  EXPECT_EQ(start.vertices[0].kind, Mask::kVertexCorner);  // tangents still on the anchor
}

TEST_F(ArbitraryDataTest, UnreadableSidesLeaveTheOutHandleAlone) {
  const FxHandle good = HandleOf(Square(0));
  const FxHandle damaged = HandleOf(std::vector<uint8_t>{'2', 'c', 'i', 'n', 2, 0, 0, 0});
  const FxHandle empty = HandleOf(std::vector<uint8_t>{});
  EXPECT_EQ(Interpolate(damaged, good, 0.5), nullptr);
  EXPECT_EQ(Interpolate(good, damaged, 0.5), nullptr);
  EXPECT_EQ(Interpolate(empty, good, 0.5), nullptr);
  EXPECT_EQ(Interpolate(good, nullptr, 0.5), nullptr);
}

TEST_F(ArbitraryDataTest, CompareAndLaterRequestsDoNothing) {
  int32_t result = 77;
  FxArbExtra extra{};
  extra.which = FxArb_Compare;
  extra.u.compare_args = {HandleOf(Square(0)), HandleOf(Square(1)), &result};
  EXPECT_EQ(Call(extra), FxErr_None);
  EXPECT_EQ(result, 77);
  extra.which = static_cast<FxArbSelector>(42);
  EXPECT_EQ(Call(extra), FxErr_None);
}

}  // namespace
}  // namespace mask_effect
