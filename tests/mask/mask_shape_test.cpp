#include "mask/mask_shape.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace Mask {
namespace {

std::vector<uint8_t> Header(uint32_t tag, std::vector<uint32_t> words) {
  std::vector<uint8_t> bytes(4 + 4 * words.size());
  std::memcpy(bytes.data(), &tag, 4);
  std::memcpy(bytes.data() + 4, words.data(), 4 * words.size());
  return bytes;
}

void AppendFloats(std::vector<uint8_t>& bytes, std::vector<float> values) {
  const size_t at = bytes.size();
  bytes.resize(at + 4 * values.size());
  std::memcpy(bytes.data() + at, values.data(), 4 * values.size());
}

void AppendU32(std::vector<uint8_t>& bytes, uint32_t v) {
  const size_t at = bytes.size();
  bytes.resize(at + 4);
  std::memcpy(bytes.data() + at, &v, 4);
}

MaskShape SentinelShape() {
  MaskShape shape;
  shape.mode = kMaskModeEllipse;
  AppendCornerVertex(shape, 0.25f, 0.75f);
  return shape;
}

void ExpectUntouched(const MaskShape& shape) {
  ASSERT_EQ(shape.mode, kMaskModeEllipse);
  ASSERT_EQ(shape.vertices.size(), 1u);
  EXPECT_EQ(shape.vertices[0].anchor_x, 0.25f);
}

TEST(MaskShapeBytes, EmptyOpenShapeIsTheParameterDefault) {
  MaskShape shape;
  shape.mode = kMaskModeOpen;
  std::vector<uint8_t> bytes;
  FlattenMaskShape(shape, bytes);
  const std::vector<uint8_t> expected = {0x32, 0x63, 0x69, 0x6E, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bytes, expected);

  MaskShape read = SentinelShape();
  ASSERT_TRUE(UnflattenMaskShape(bytes.data(), bytes.size(), read));
  EXPECT_EQ(read.mode, kMaskModeOpen);
  EXPECT_TRUE(read.vertices.empty());
}

TEST(MaskShapeBytes, RoundTripKeepsEveryField) {
  MaskShape shape;
  shape.mode = kMaskModeClosed;
  AppendCornerVertex(shape, 0.1f, 0.2f);
  AppendCurveVertex(shape, {0.5f, 0.5f}, {0.4f, 0.45f}, {0.6f, 0.55f});
  shape.vertices.push_back(MaskVertex{kVertexSeparator, 0.9f, 0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0});
  ClearVertexLinked(shape, 1);

  std::vector<uint8_t> bytes;
  FlattenMaskShape(shape, bytes);
  ASSERT_EQ(bytes.size(), 16u + 32u * 3);
  MaskShape read;
  ASSERT_TRUE(UnflattenMaskShape(bytes.data(), bytes.size(), read));
  ASSERT_EQ(read.vertices.size(), 3u);
  EXPECT_EQ(0, std::memcmp(read.vertices.data(), shape.vertices.data(), 3 * sizeof(MaskVertex)));
}

TEST(MaskShapeBytes, CornerTangentsAreIgnoredCurveTangentsKept) {
  std::vector<uint8_t> bytes = Header(kMaskShapeTag, {2, 0, 2});
  AppendU32(bytes, kVertexCorner);
  AppendFloats(bytes, {0.5f, 0.5f, 0.1f, 0.1f, 0.9f, 0.9f});
  AppendU32(bytes, 1);
  AppendU32(bytes, kVertexCurve);
  AppendFloats(bytes, {0.2f, 0.3f, 0.1f, 0.1f, 0.9f, 0.9f});
  AppendU32(bytes, 0);

  MaskShape shape;
  ASSERT_TRUE(UnflattenMaskShape(bytes.data(), bytes.size(), shape));
  const MaskVertex& corner = shape.vertices[0];
  EXPECT_EQ(corner.in_x, 0.5f);
  EXPECT_EQ(corner.out_y, 0.5f);
  const MaskVertex& curve = shape.vertices[1];
  EXPECT_EQ(curve.in_x, 0.1f);
  EXPECT_EQ(curve.out_y, 0.9f);
  EXPECT_EQ(curve.linked, 0u);
}

TEST(MaskShapeBytes, TrailingBytesAreIgnoredOneShortIsRejected) {
  MaskShape shape;
  AppendCornerVertex(shape, 0.3f, 0.3f);
  std::vector<uint8_t> bytes;
  FlattenMaskShape(shape, bytes);

  std::vector<uint8_t> longer = bytes;
  longer.resize(bytes.size() + 7, 0xEE);
  MaskShape read;
  EXPECT_TRUE(UnflattenMaskShape(longer.data(), longer.size(), read));
  EXPECT_EQ(read.vertices.size(), 1u);

  MaskShape untouched = SentinelShape();
  EXPECT_FALSE(UnflattenMaskShape(bytes.data(), bytes.size() - 1, untouched));
  ExpectUntouched(untouched);
}

TEST(MaskShapeBytes, OldFormReadsWithLinkedTangents) {
  std::vector<uint8_t> bytes = Header(kMaskShapeOldTag, {0, 2});
  for (int i = 0; i < 2; ++i) {
    AppendU32(bytes, kVertexCurve);
    AppendFloats(bytes, {0.1f * i, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f});
  }
  ASSERT_EQ(bytes.size(), 12u + 28 * 2);

  MaskShape shape;
  ASSERT_TRUE(UnflattenMaskShape(bytes.data(), bytes.size(), shape));
  ASSERT_EQ(shape.vertices.size(), 2u);
  EXPECT_EQ(shape.vertices[1].anchor_x, 0.1f);
  EXPECT_EQ(shape.vertices[1].out_y, 0.6f);
  EXPECT_EQ(shape.vertices[0].linked, 1u);
  EXPECT_EQ(shape.vertices[1].linked, 1u);

  // The old form must match its count exactly, in both directions.
  MaskShape untouched = SentinelShape();
  std::vector<uint8_t> more = bytes;
  more.push_back(0);
  EXPECT_FALSE(UnflattenMaskShape(more.data(), more.size(), untouched));
  EXPECT_FALSE(UnflattenMaskShape(bytes.data(), bytes.size() - 1, untouched));
  ExpectUntouched(untouched);
}

// Old files stored corners with whatever tangents they had, and an outline draws a corner's
// outgoing tangent on its way to a curve vertex. Those corners read as curve vertices whose
// incoming tangent sits on the anchor, so the outline stays and the current form can hold it;
// stray tangents no outline draws are dropped.
TEST(MaskShapeBytes, OldFormKeepsTheCornerTangentsItDrawsAndWritesBackExactly) {
  std::vector<uint8_t> bytes = Header(kMaskShapeOldTag, {kMaskModeClosed, 4});
  const auto vertex = [&](uint32_t kind, std::vector<float> points) {
    AppendU32(bytes, kind);
    AppendFloats(bytes, points);
  };
  vertex(kVertexCorner, {0.2f, 0.2f, 0.1f, 0.1f, 0.4f, 0.1f});  // next is a curve: its out is drawn
  vertex(kVertexCurve, {0.6f, 0.3f, 0.5f, 0.2f, 0.7f, 0.4f});
  vertex(kVertexCorner, {0.6f, 0.7f, 0.9f, 0.9f, 0.5f, 0.9f});   // next is a corner: never drawn
  vertex(kVertexCorner, {0.2f, 0.7f, 0.1f, 0.8f, 0.2f, 0.75f});  // wraps to a corner: never drawn
  MaskShape shape;
  ASSERT_TRUE(UnflattenMaskShape(bytes.data(), bytes.size(), shape));
  ASSERT_EQ(shape.vertices.size(), 4u);
  const MaskVertex& kept = shape.vertices[0];
  EXPECT_EQ(kept.kind, kVertexCurve);
  EXPECT_EQ(kept.in_x, 0.2f);
  EXPECT_EQ(kept.in_y, 0.2f);
  EXPECT_EQ(kept.out_x, 0.4f);
  EXPECT_EQ(kept.out_y, 0.1f);
  EXPECT_EQ(shape.vertices[1].in_x, 0.5f);
  for (size_t i : {2u, 3u}) {
    EXPECT_EQ(shape.vertices[i].kind, kVertexCorner);
    EXPECT_EQ(shape.vertices[i].out_x, shape.vertices[i].anchor_x);
    EXPECT_EQ(shape.vertices[i].in_y, shape.vertices[i].anchor_y);
  }

  std::vector<uint8_t> written, again;
  FlattenMaskShape(shape, written);
  MaskShape reread;
  ASSERT_TRUE(UnflattenMaskShape(written.data(), written.size(), reread));
  FlattenMaskShape(reread, again);
  EXPECT_EQ(again, written);

  // The last vertex of a closed path curves back to a curve at the start; of an open one, not.
  for (const uint32_t mode : {kMaskModeClosed, kMaskModeOpen}) {
    std::vector<uint8_t> wrap = Header(kMaskShapeOldTag, {mode, 2});
    AppendU32(wrap, kVertexCurve);
    AppendFloats(wrap, {0.2f, 0.2f, 0.1f, 0.3f, 0.3f, 0.1f});
    AppendU32(wrap, kVertexCorner);
    AppendFloats(wrap, {0.8f, 0.8f, 0.9f, 0.7f, 0.7f, 0.9f});
    MaskShape read;
    ASSERT_TRUE(UnflattenMaskShape(wrap.data(), wrap.size(), read));
    EXPECT_EQ(read.vertices[1].kind, mode == kMaskModeClosed ? kVertexCurve : kVertexCorner) << mode;
  }
}

TEST(MaskShapeBytes, OldFormWithoutVerticesSetsOnlyTheMode) {
  const std::vector<uint8_t> bytes = Header(kMaskShapeOldTag, {kMaskModeEllipse, 0});
  MaskShape shape;
  AppendCornerVertex(shape, 0.5f, 0.5f);
  ASSERT_TRUE(UnflattenMaskShape(bytes.data(), bytes.size(), shape));
  EXPECT_EQ(shape.mode, kMaskModeEllipse);
  EXPECT_TRUE(shape.vertices.empty());
}

// Every damaged blob is refused without touching the shape and without reading past its end
// (the sanitizer build sees any stray read: each blob is copied into a buffer of exact size).
TEST(MaskShapeBytes, DamagedBlobsAreRefused) {
  const std::vector<std::vector<uint8_t>> blobs = {
      {},
      {0x32, 0x63, 0x69},                          // shorter than the tag
      {0x32, 0x63, 0x69, 0x6E},                    // tag only
      Header(kMaskShapeTag, {2, 0}),               // header cut short
      Header(0x12345678, {2, 0, 0}),               // unknown tag
      Header(kMaskShapeTag, {2, 0, 1}),            // one vertex promised, none there
      Header(kMaskShapeTag, {2, 0, 0xFFFFFFFFu}),  // negative count
      Header(kMaskShapeTag, {2, 0, 0x80000000u}),  // most negative count
      Header(kMaskShapeTag, {2, 0, 0x7FFFFFFFu}),  // count whose size wraps 32 bits
      Header(kMaskShapeTag, {2, 0, 0x08000000u}),  // 32 * count wraps to 0 in 32 bits
      Header(kMaskShapeOldTag, {0}),               // old header cut short
      Header(kMaskShapeOldTag, {0, 0xFFFFFFFFu}),  // old form, negative count
      Header(kMaskShapeOldTag, {0, 0x7FFFFFFFu}),  // old form, huge count
  };
  for (size_t i = 0; i < blobs.size(); ++i) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[blobs[i].size() + (blobs[i].empty() ? 1 : 0)]);
    if (!blobs[i].empty()) std::memcpy(exact.get(), blobs[i].data(), blobs[i].size());
    MaskShape shape = SentinelShape();
    EXPECT_FALSE(UnflattenMaskShape(exact.get(), blobs[i].size(), shape)) << "blob " << i;
    ExpectUntouched(shape);
  }
  MaskShape shape = SentinelShape();
  EXPECT_FALSE(UnflattenMaskShape(nullptr, 16, shape));
  ExpectUntouched(shape);
}

TEST(MaskShapeVertices, OutOfRangeIndicesDoNothing) {
  MaskShape shape;
  AppendCornerVertex(shape, 0.5f, 0.5f);
  const MaskShape before = shape;

  SetVertexKind(shape, 1, kVertexCurve);
  SetVertexPoint(shape, 1, kPointAnchor, 0.9f, 0.9f);
  OffsetVertexPoint(shape, 5, kPointOut, 1, 1);
  SetVertexPoint(shape, 0, 3, 0.9f, 0.9f);  // no such point
  SetVertexLinked(shape, 1);
  ClearVertexLinked(shape, 99);
  EXPECT_EQ(0, std::memcmp(shape.vertices.data(), before.vertices.data(), sizeof(MaskVertex)));
  EXPECT_EQ(shape.vertices.size(), 1u);

  EXPECT_EQ(VertexKindAt(shape, 7), 0u);
  EXPECT_FALSE(IsVertexLinked(shape, 7));
  EXPECT_EQ(VertexPoint(shape, 7, kPointAnchor).x, 0.0f);
}

TEST(MaskShapeVertices, EditsAndPixelConversions) {
  MaskShape shape;
  AppendCurveVertex(shape, {0.5f, 0.5f}, {0.4f, 0.4f}, {0.6f, 0.6f});
  OffsetVertexPoint(shape, 0, kPointOut, 0.1f, -0.1f);
  EXPECT_FLOAT_EQ(VertexPoint(shape, 0, kPointOut).x, 0.7f);
  EXPECT_FLOAT_EQ(VertexPoint(shape, 0, kPointOut).y, 0.5f);

  SetVertexPointFromPixels(shape, 0, kPointIn, 320.0f, 90.0f, 1280, 720);
  const NormPoint px = VertexPointInPixels(shape, 0, kPointIn, 1280, 720);
  EXPECT_FLOAT_EQ(px.x, 320.0f);
  EXPECT_FLOAT_EQ(px.y, 90.0f);

  ClearVertexLinked(shape, 0);
  EXPECT_FALSE(IsVertexLinked(shape, 0));
  SetVertexLinked(shape, 0);
  EXPECT_TRUE(IsVertexLinked(shape, 0));

  // Turning a vertex into a corner drops its tangents onto the anchor.
  SetVertexKind(shape, 0, kVertexCorner);
  EXPECT_EQ(VertexPoint(shape, 0, kPointIn).x, 0.5f);
  EXPECT_EQ(VertexPoint(shape, 0, kPointOut).y, 0.5f);
}

}  // namespace
}  // namespace Mask
