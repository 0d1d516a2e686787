#include "host/documents/mask_edits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using Mask::MaskShape;
using Mask::MaskVertex;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

MaskVertex Corner(float x, float y) { return {Mask::kVertexCorner, x, y, x, y, x, y, 1}; }
MaskVertex Curve(float x, float y, float ix, float iy, float ox, float oy) {
  return {Mask::kVertexCurve, x, y, ix, iy, ox, oy, 0};
}
MaskVertex Separator() { return {Mask::kVertexSeparator, 0, 0, 0, 0, 0, 0, 1}; }

MaskShape Shape(uint32_t mode, std::vector<MaskVertex> vertices) { return {mode, std::move(vertices)}; }

MaskShape Square(uint32_t mode) {
  return Shape(mode, {Corner(0.1f, 0.1f), Corner(0.9f, 0.1f), Corner(0.9f, 0.9f), Corner(0.1f, 0.9f)});
}

std::vector<uint8_t> Bytes(const MaskShape& shape) {
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(shape, bytes);
  return bytes;
}

struct Xy {
  double x, y;
};

// The cubic the outline draws from vertex i to vertex j: a corner lends its anchor as control.
struct Cubic {
  Xy p[4];
  Xy At(double t) const {
    const double u = 1 - t;
    const double w[4] = {u * u * u, 3 * u * u * t, 3 * u * t * t, t * t * t};
    Xy r{0, 0};
    for (int k = 0; k < 4; ++k) r = {r.x + w[k] * p[k].x, r.y + w[k] * p[k].y};
    return r;
  }
};

Cubic SegmentOf(const MaskShape& shape, size_t i, size_t j) {
  const MaskVertex& a = shape.vertices[i];
  const MaskVertex& b = shape.vertices[j];
  const bool ca = a.kind == Mask::kVertexCurve, cb = b.kind == Mask::kVertexCurve;
  return {{{a.anchor_x, a.anchor_y},
           {ca ? a.out_x : a.anchor_x, ca ? a.out_y : a.anchor_y},
           {cb ? b.in_x : b.anchor_x, cb ? b.in_y : b.anchor_y},
           {b.anchor_x, b.anchor_y}}};
}

// The two halves trace the original: the first over [0, t], the second over [t, 1].
void ExpectSplitTraces(const Cubic& original, const Cubic& first, const Cubic& second, double t) {
  for (int k = 0; k <= 10; ++k) {
    const double u = k / 10.0;
    const Xy a = first.At(u), b = original.At(u * t);
    const Xy c = second.At(u), d = original.At(t + u * (1 - t));
    EXPECT_NEAR(a.x, b.x, 1e-5) << "first half at " << u;
    EXPECT_NEAR(a.y, b.y, 1e-5) << "first half at " << u;
    EXPECT_NEAR(c.x, d.x, 1e-5) << "second half at " << u;
    EXPECT_NEAR(c.y, d.y, 1e-5) << "second half at " << u;
  }
}

void ExpectTangentsOnAnchor(const MaskVertex& v) {
  EXPECT_EQ(v.kind, Mask::kVertexCorner);
  EXPECT_EQ(v.in_x, v.anchor_x);
  EXPECT_EQ(v.in_y, v.anchor_y);
  EXPECT_EQ(v.out_x, v.anchor_x);
  EXPECT_EQ(v.out_y, v.anchor_y);
}

TEST(MaskEditsInsert, StraightEdgeGetsACornerAQuarterAlong) {
  MaskShape shape = Square(Mask::kMaskModeClosed);
  const MaskShape before = shape;
  ASSERT_TRUE(host::InsertVertex(shape, 0, 0.25f));
  ASSERT_EQ(shape.vertices.size(), 5u);
  const MaskVertex& added = shape.vertices[1];
  ExpectTangentsOnAnchor(added);
  EXPECT_FLOAT_EQ(added.anchor_x, 0.3f);
  EXPECT_FLOAT_EQ(added.anchor_y, 0.1f);
  EXPECT_EQ(added.linked, 1u);
  EXPECT_EQ(shape.mode, Mask::kMaskModeClosed);
  shape.vertices.erase(shape.vertices.begin() + 1);
  EXPECT_EQ(Bytes(shape), Bytes(before));
}

TEST(MaskEditsInsert, CurvedSegmentKeepsItsShape) {
  struct Case {
    const char* name;
    MaskVertex from, to;
  };
  const Case cases[] = {
      {"curve to curve", Curve(0.1f, 0.2f, 0.0f, 0.3f, 0.3f, -0.2f), Curve(0.8f, 0.6f, 1.1f, 0.1f, 0.5f, 0.9f)},
      {"corner to curve", Corner(0.1f, 0.2f), Curve(0.8f, 0.6f, 0.9f, 0.0f, 0.7f, 0.9f)},
      {"curve to corner", Curve(0.1f, 0.2f, 0.0f, 0.3f, 0.5f, -0.4f), Corner(0.8f, 0.6f)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MaskShape shape = Shape(Mask::kMaskModeOpen, {c.from, c.to, Corner(0.5f, 0.5f)});
    const Cubic original = SegmentOf(shape, 0, 1);
    const float t = 0.3f;
    ASSERT_TRUE(host::InsertVertex(shape, 0, t));
    ASSERT_EQ(shape.vertices.size(), 4u);
    const MaskVertex& added = shape.vertices[1];
    EXPECT_EQ(added.kind, Mask::kVertexCurve);
    EXPECT_EQ(added.linked, 1u);
    ExpectSplitTraces(original, SegmentOf(shape, 0, 1), SegmentOf(shape, 1, 2), t);
    // A corner end stays a corner; a curve end keeps its other tangent.
    if (c.from.kind == Mask::kVertexCorner) ExpectTangentsOnAnchor(shape.vertices[0]);
    if (c.to.kind == Mask::kVertexCorner) ExpectTangentsOnAnchor(shape.vertices[2]);
    EXPECT_EQ(shape.vertices[0].in_x, c.from.in_x);
    EXPECT_EQ(shape.vertices[2].out_x, c.to.out_x);
    EXPECT_EQ(shape.mode, Mask::kMaskModeOpen);
  }
}

TEST(MaskEditsInsert, ClosingSegmentWrapsToItsOwnSubOutline) {
  const MaskVertex a = Curve(0.5f, 0.1f, 0.3f, 0.1f, 0.7f, 0.1f);
  const MaskVertex b = Curve(0.9f, 0.5f, 0.9f, 0.3f, 0.9f, 0.7f);
  const MaskVertex c = Curve(0.1f, 0.5f, 0.1f, 0.7f, 0.1f, 0.3f);

  // One outline: the last vertex joins vertex 0. An ellipse edited this way is free-form.
  MaskShape single = Shape(Mask::kMaskModeEllipse, {a, b, c});
  const Cubic closing = SegmentOf(single, 2, 0);
  ASSERT_TRUE(host::InsertVertex(single, 2, 0.5f));
  ASSERT_EQ(single.vertices.size(), 4u);
  EXPECT_EQ(single.mode, Mask::kMaskModeClosed);
  ExpectSplitTraces(closing, SegmentOf(single, 2, 3), SegmentOf(single, 3, 0), 0.5);
  EXPECT_NE(single.vertices[0].in_x, a.in_x);

  // After a separator the last vertex joins the first vertex after it, not vertex 0.
  MaskShape two = Shape(Mask::kMaskModeClosed, {Corner(0, 0), Corner(1, 0), Corner(0, 1), Separator(), a, b, c});
  const Cubic second_closing = SegmentOf(two, 6, 4);
  ASSERT_TRUE(host::InsertVertex(two, 6, 0.5f));
  ASSERT_EQ(two.vertices.size(), 8u);
  ExpectSplitTraces(second_closing, SegmentOf(two, 6, 7), SegmentOf(two, 7, 4), 0.5);
  EXPECT_EQ(Bytes(Shape(0, {two.vertices[0]})), Bytes(Shape(0, {Corner(0, 0)})));
}

TEST(MaskEditsRefusal, RefusedEditsLeaveTheShapeByteIdentical) {
  using Edit = std::function<bool(MaskShape&)>;
  struct Case {
    const char* name;
    MaskShape shape;
    Edit edit;
  };
  const MaskShape square = Square(Mask::kMaskModeClosed);
  const MaskShape open = Square(Mask::kMaskModeOpen);
  const MaskShape ellipse = Shape(Mask::kMaskModeEllipse,
                                  {Curve(0.5f, 0.1f, 0.3f, 0.1f, 0.7f, 0.1f), Curve(0.9f, 0.5f, 0.9f, 0.3f, 0.9f, 0.7f),
                                   Curve(0.1f, 0.5f, 0.1f, 0.7f, 0.1f, 0.3f)});
  const MaskShape separated =
      Shape(Mask::kMaskModeClosed, {Corner(0, 0), Corner(1, 0), Corner(0, 1), Separator(), Corner(0.2f, 0.2f),
                                    Corner(0.4f, 0.2f), Corner(0.4f, 0.4f)});
  MaskShape damaged = square;
  damaged.vertices[1].anchor_x = kNaN;
  const Case cases[] = {
      {"insert, negative segment", square, [](MaskShape& s) { return host::InsertVertex(s, -1, 0.5f); }},
      {"insert, segment past the end", square, [](MaskShape& s) { return host::InsertVertex(s, 4, 0.5f); }},
      {"insert, t = 0", square, [](MaskShape& s) { return host::InsertVertex(s, 0, 0.0f); }},
      {"insert, NaN t", square, [](MaskShape& s) { return host::InsertVertex(s, 0, kNaN); }},
      {"insert, open shape's last vertex", open, [](MaskShape& s) { return host::InsertVertex(s, 3, 0.5f); }},
      {"insert, into a separator", separated, [](MaskShape& s) { return host::InsertVertex(s, 2, 0.5f); }},
      {"insert, from a separator", separated, [](MaskShape& s) { return host::InsertVertex(s, 3, 0.5f); }},
      {"insert, NaN anchor", damaged, [](MaskShape& s) { return host::InsertVertex(s, 0, 0.5f); }},
      {"insert, single vertex", Shape(0, {Corner(0, 0)}), [](MaskShape& s) { return host::InsertVertex(s, 0, 0.5f); }},
      {"insert, unknown mode", Shape(7, square.vertices), [](MaskShape& s) { return host::InsertVertex(s, 0, 0.5f); }},
      {"delete, past the end", square, [](MaskShape& s) { return host::DeleteVertex(s, 4); }},
      {"delete, closed down to 2", Shape(0, {Corner(0, 0), Corner(1, 0), Corner(0, 1)}),
       [](MaskShape& s) { return host::DeleteVertex(s, 0); }},
      {"delete, ellipse down to 2", ellipse, [](MaskShape& s) { return host::DeleteVertex(s, 1); }},
      {"delete, a sub-outline down to 2", separated, [](MaskShape& s) { return host::DeleteVertex(s, 5); }},
      {"append, to a closed shape", square, [](MaskShape& s) { return host::AppendVertex(s, 0.5f, 0.5f); }},
      {"append, NaN", open, [](MaskShape& s) { return host::AppendVertex(s, kNaN, 0.5f); }},
      {"append, infinite", open,
       [](MaskShape& s) { return host::AppendVertex(s, 0.5f, std::numeric_limits<float>::infinity()); }},
      {"close, 2 vertices", Shape(Mask::kMaskModeOpen, {Corner(0, 0), Corner(1, 1)}),
       [](MaskShape& s) { return host::CloseShape(s); }},
      {"close, already closed", square, [](MaskShape& s) { return host::CloseShape(s); }},
      {"convert, not an ellipse", square, [](MaskShape& s) { return host::ConvertEllipseVertex(s, 0); }},
      {"convert, past the end", ellipse, [](MaskShape& s) { return host::ConvertEllipseVertex(s, 3); }},
  };
  for (const Case& c : cases) {
    MaskShape shape = c.shape;
    EXPECT_FALSE(c.edit(shape)) << c.name;
    EXPECT_EQ(Bytes(shape), Bytes(c.shape)) << c.name;
  }
}

// A corner becomes a smooth curve along its neighbours and back, on a closed outline after it
// was closed as well as on an open one's ends; separators and ellipses are refused.
TEST(MaskEditsStructure, VerticesTurnBetweenCornerAndCurve) {
  MaskShape closed = Square(Mask::kMaskModeClosed);
  const std::vector<uint8_t> was = Bytes(closed);
  ASSERT_TRUE(host::ToggleVertexKind(closed, 0));
  const MaskVertex& v = closed.vertices[0];
  EXPECT_EQ(v.kind, Mask::kVertexCurve);
  EXPECT_TRUE(Mask::IsVertexLinked(closed, 0));
  // Its neighbours are (0.1, 0.9) before (wrapping) and (0.9, 0.1) after.
  EXPECT_NEAR(v.out_x - v.anchor_x, 0.8 / 6, 1e-6);
  EXPECT_NEAR(v.out_y - v.anchor_y, -0.8 / 6, 1e-6);
  EXPECT_NEAR(v.in_x - v.anchor_x, -0.8 / 6, 1e-6);
  ASSERT_TRUE(host::ToggleVertexKind(closed, 0));
  EXPECT_EQ(Bytes(closed), was);  // a corner again, its tangents on its anchor

  MaskShape open = Square(Mask::kMaskModeOpen);
  ASSERT_TRUE(host::ToggleVertexKind(open, 3));  // the last: along its one neighbour
  EXPECT_NEAR(open.vertices[3].out_y - open.vertices[3].anchor_y, 0, 1e-6);
  EXPECT_NEAR(open.vertices[3].out_x - open.vertices[3].anchor_x, -0.8 / 6, 1e-6);

  MaskShape split = Shape(Mask::kMaskModeClosed, {Corner(0.1f, 0.1f), Corner(0.2f, 0.1f), Corner(0.2f, 0.2f),
                                                  Separator(), Corner(0.5f, 0.5f)});
  const std::vector<uint8_t> split_bytes = Bytes(split);
  EXPECT_FALSE(host::ToggleVertexKind(split, 3));  // a separator
  EXPECT_FALSE(host::ToggleVertexKind(split, 4));  // alone in its sub-outline
  EXPECT_FALSE(host::ToggleVertexKind(split, 5));  // past the end
  EXPECT_FALSE(host::ToggleVertexKind(split, -1));
  EXPECT_EQ(Bytes(split), split_bytes);
  MaskShape ellipse = Square(Mask::kMaskModeEllipse);
  EXPECT_FALSE(host::ToggleVertexKind(ellipse, 0));
}

TEST(MaskEditsStructure, DeleteAppendCloseAndConvert) {
  // An ellipse losing a vertex becomes free-form; the others stay as they were.
  MaskShape ellipse = Shape(Mask::kMaskModeEllipse,
                            {Curve(0.5f, 0.1f, 0.3f, 0.1f, 0.7f, 0.1f), Curve(0.9f, 0.5f, 0.9f, 0.3f, 0.9f, 0.7f),
                             Curve(0.5f, 0.9f, 0.7f, 0.9f, 0.3f, 0.9f), Curve(0.1f, 0.5f, 0.1f, 0.7f, 0.1f, 0.3f)});
  MaskShape deleted = ellipse;
  ASSERT_TRUE(host::DeleteVertex(deleted, 1));
  EXPECT_EQ(deleted.mode, Mask::kMaskModeClosed);
  ASSERT_EQ(deleted.vertices.size(), 3u);
  EXPECT_EQ(deleted.vertices[1].anchor_y, 0.9f);

  // Removing a separator joins two short outlines into one that is long enough.
  MaskShape joined = Shape(Mask::kMaskModeClosed, {Corner(0, 0), Corner(1, 0), Separator(), Corner(0, 1)});
  EXPECT_TRUE(host::DeleteVertex(joined, 2));
  EXPECT_EQ(joined.vertices.size(), 3u);

  // An open shape may shrink to nothing while it is drawn, then grow and close.
  MaskShape drawn = Shape(Mask::kMaskModeOpen, {Corner(0, 0)});
  EXPECT_TRUE(host::DeleteVertex(drawn, 0));
  EXPECT_TRUE(drawn.vertices.empty());
  for (float x : {0.2f, 0.8f}) ASSERT_TRUE(host::AppendVertex(drawn, x, 0.3f));
  EXPECT_FALSE(host::CloseShape(drawn));
  ASSERT_TRUE(host::AppendVertex(drawn, 0.5f, 0.9f));
  ExpectTangentsOnAnchor(drawn.vertices[2]);
  EXPECT_EQ(drawn.vertices[2].linked, 1u);
  EXPECT_EQ(drawn.vertices[2].anchor_y, 0.9f);
  ASSERT_TRUE(host::CloseShape(drawn));
  EXPECT_EQ(drawn.mode, Mask::kMaskModeClosed);
  EXPECT_FALSE(host::AppendVertex(drawn, 0.1f, 0.1f));

  MaskShape converted = ellipse;
  ASSERT_TRUE(host::ConvertEllipseVertex(converted, 2));
  EXPECT_EQ(converted.mode, Mask::kMaskModeClosed);
  ExpectTangentsOnAnchor(converted.vertices[2]);
  EXPECT_EQ(converted.vertices[2].anchor_x, 0.5f);
  EXPECT_EQ(Bytes(Shape(0, {converted.vertices[1]})), Bytes(Shape(0, {ellipse.vertices[1]})));
}

}  // namespace
