#include "render/mask_outline.h"

#include <gtest/gtest.h>

#include <vector>

#include "render/outline_recorder.h"
#include "services/component_broker.h"

namespace mask_render {
namespace {

using Mask::MaskVertex;

std::vector<uint32_t> Codes(const OutlineRecorder& r) { return {r.codes(), r.codes() + r.count()}; }

MaskVertex Corner(float x, float y) { return {Mask::kVertexCorner, x, y, x, y, x, y, 1}; }
MaskVertex Curve(float x, float y, float ix, float iy, float ox, float oy) {
  return {Mask::kVertexCurve, x, y, ix, iy, ox, oy, 1};
}
MaskVertex Separator() { return {Mask::kVertexSeparator, 0, 0, 0, 0, 0, 0, 1}; }

TEST(Outline, CodesForCornersCurvesAndSeparators) {
  struct Case {
    const char* name;
    std::vector<MaskVertex> vertices;
    std::vector<uint32_t> codes;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"three corners", {Corner(0, 0), Corner(10, 0), Corner(0, 10)}, {0, 1, 1, 3}},
      {"curve then corners", {Curve(0, 0, -1, 0, 1, 0), Corner(10, 0), Corner(0, 10)}, {0, 2, 2, 2, 1, 2, 2, 2, 3}},
      {"last curve into a first corner",
       {Corner(0, 0), Corner(10, 0), Curve(5, 10, 6, 10, 4, 10)},
       {0, 1, 2, 2, 2, 2, 2, 2, 3}},
      {"two sub-outlines",
       {Corner(0, 0), Corner(10, 0), Corner(0, 10), Separator(), Corner(20, 20), Corner(30, 20), Corner(20, 30)},
       {0, 1, 1, 3, 0, 1, 1, 3}},
      {"separator first", {Separator(), Corner(0, 0), Corner(10, 0)}, {0, 1, 1, 3}},
      {"separator last", {Corner(0, 0), Corner(10, 0), Separator()}, {0, 1, 3}},
      // A separator standing where a vertex should be starts a sub-outline of its own.
      {"two separators",
       {Corner(0, 0), Separator(), Separator(), Corner(5, 5), Corner(9, 9)},
       {0, 3, 0, 2, 2, 2, 1, 3}},
      {"one vertex", {Corner(3, 3)}, {0, 3}},
  };
  for (const Case& c : cases) {
    OutlineRecorder r;
    BuildMaskOutline(r, c.vertices);
    EXPECT_EQ(Codes(r), c.codes) << c.name;
  }
}

TEST(Outline, ClosingCurveEndsOnTheFirstAnchor) {
  OutlineRecorder r;
  BuildMaskOutline(r, {Corner(0, 0), Corner(10, 0), Curve(5, 10, 6, 10, 4, 10)});
  // The closing curve's second control point is the first anchor itself.
  EXPECT_EQ(r.points()[5].x, 4.0f);
  EXPECT_EQ(r.points()[6].x, 0.0f);
  EXPECT_EQ(r.points()[7].x, 0.0f);
}

TEST(OutlineRecorder, GrowsFromInlineStorageAndRefusesLinesWithoutAStart) {
  OutlineRecorder r;
  EXPECT_THROW(r.LineTo(1, 1), QIB_T_MT::CQIBError);
  EXPECT_THROW(r.CurveTo(1, 1, 2, 2, 3, 3), QIB_T_MT::CQIBError);
  r.ClosePath();  // nothing to close
  EXPECT_EQ(r.count(), 0u);
  r.MoveTo(0, 0);
  for (int i = 1; i < 62; ++i) r.LineTo(float(i), 0);
  EXPECT_FALSE(r.on_heap());
  r.LineTo(62, 0);  // the 64th entry would fill the inline storage
  r.LineTo(63, 0);
  EXPECT_TRUE(r.on_heap());
  EXPECT_EQ(r.capacity(), 2u * 64);
  EXPECT_EQ(r.points()[10].x, 10.0f);  // copied across
  r.ClosePath();
  r.ClosePath();  // a second close adds nothing
  EXPECT_EQ(r.codes()[r.count() - 1], 3u);
  EXPECT_EQ(r.codes()[r.count() - 2], 1u);
  EXPECT_EQ(r.points()[r.count() - 1].x, 0.0f);  // the close repeats the start
}

TEST(OffsetOutlineFilter, DropsSliversAndKeepsRealOutlines) {
  OutlineRecorder result;
  OffsetOutlineFilter filter(&result, 1.0);
  const auto cb = &OffsetOutlineFilter::Callback;
  // A sliver: legs adding up to exactly one squared pixel are dropped.
  cb(0, 0, 0, 0, 0, 0, 0, &filter);
  cb(0.5f, 0, 0, 0, 0, 0, 1, &filter);
  cb(0.5f, 0.5f, 0, 0, 0, 0, 1, &filter);
  cb(0, 0.5f, 0, 0, 0, 0, 1, &filter);
  cb(0, 0, 0, 0, 0, 0, 1, &filter);
  cb(0, 0, 0, 0, 0, 0, 3, &filter);
  EXPECT_EQ(result.count(), 0u);
  // A real outline with a curve is replayed whole.
  cb(10, 10, 0, 0, 0, 0, 0, &filter);
  cb(20, 10, 0, 0, 0, 0, 1, &filter);
  cb(20, 15, 15, 20, 10, 20, 2, &filter);
  cb(0, 0, 0, 0, 0, 0, 3, &filter);
  EXPECT_EQ(Codes(result), (std::vector<uint32_t>{0, 1, 2, 2, 2, 3}));
}

}  // namespace
}  // namespace mask_render
