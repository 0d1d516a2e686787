#include "host/suites/drawing_suites.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace {

const FxSupplierSuite& kSupplier = *host::SupplierSuite();
const FxSurfaceSuite& kSurface = *host::SurfaceSuite();
const FxPathSuite& kPath = *host::PathSuite();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr FxDrawColor kRed{1, 0, 0, 1};

// One canvas with its supplier and surface, and the pixel readers the tests look through.
struct Canvas {
  host::OverlayCanvas canvas;
  FxSupplierRef supplier = nullptr;
  FxSurfaceRef surface = nullptr;

  template <typename... Args>
  explicit Canvas(const Args&... args) : canvas(args...) {
    EXPECT_EQ(host::DrawSuite()->GetSupplier(canvas.draw_ref(), &supplier), FxErr_None);
    EXPECT_EQ(host::DrawSuite()->GetSurface(canvas.draw_ref(), &surface), FxErr_None);
  }
  FxPenRef Pen(float width, FxDrawColor color = kRed) {
    FxPenRef pen = nullptr;
    EXPECT_EQ(kSupplier.NewPen(supplier, &color, width, &pen), FxErr_None);
    return pen;
  }
  FxBrushRef Brush(FxDrawColor color = kRed) {
    FxBrushRef brush = nullptr;
    EXPECT_EQ(kSupplier.NewBrush(supplier, &color, &brush), FxErr_None);
    return brush;
  }
  FxPathRef Line(float x0, float y0, float x1, float y1) {
    FxPathRef path = nullptr;
    EXPECT_EQ(kSupplier.NewPath(supplier, &path), FxErr_None);
    EXPECT_EQ(kPath.MoveTo(path, x0, y0), FxErr_None);
    EXPECT_EQ(kPath.LineTo(path, x1, y1), FxErr_None);
    return path;
  }
  FxPathRef Circle(float cx, float cy, float r, float start = 0, float sweep = 360) {
    FxPathRef path = nullptr;
    EXPECT_EQ(kSupplier.NewPath(supplier, &path), FxErr_None);
    FxDrawPoint centre{cx, cy};
    EXPECT_EQ(kPath.AddArc(path, &centre, r, start, sweep), FxErr_None);
    return path;
  }
  int Alpha(int x, int y) const {
    host::RgbaFrame f = Picture();
    return f.pixels[(y * f.width + x) * 4 + 3];
  }
  std::vector<uint8_t> Pixels() const { return canvas.Picture().pixels; }
  host::RgbaFrame Picture() const { return canvas.Picture(); }
  double Coverage(int y0 = 0, int y1 = -1) const {  // summed alpha of rows [y0, y1), in pixels
    host::RgbaFrame f = Picture();
    if (y1 < 0) y1 = f.height;
    double sum = 0;
    for (int i = y0 * f.width; i < y1 * f.width; ++i) sum += f.pixels[i * 4 + 3] / 255.0;
    return sum;
  }
  void ReleaseAll(std::initializer_list<FxDrawObjectRef> objects) {
    for (FxDrawObjectRef o : objects) EXPECT_EQ(kSupplier.ReleaseObject(o), FxErr_None);
    EXPECT_EQ(canvas.live_objects(), 0);
  }
};

TEST(DrawSuites, StrokeCoversExactRowsAndDashesAlternate) {
  Canvas c(30, 12);
  FxPenRef pen = c.Pen(2);
  FxPathRef solid = c.Line(2, 3, 28, 3);  // y = 3 with width 2: rows 2 and 3 exactly
  EXPECT_EQ(kSurface.StrokePath(c.surface, pen, solid), FxErr_None);
  const float dashes[] = {3, 6};
  ASSERT_EQ(host::PenSuite()->SetDashPattern(pen, dashes, 2), FxErr_None);
  FxPathRef dashed = c.Line(0, 9, 30, 9);
  EXPECT_EQ(kSurface.StrokePath(c.surface, pen, dashed), FxErr_None);

  std::vector<uint8_t> px = c.Pixels();
  for (int y = 0; y < 12; ++y) {
    for (int x = 0; x < 30; ++x) {
      bool on = (y == 2 || y == 3) ? x >= 2 && x < 28 : (y == 8 || y == 9) ? x % 9 < 3 : false;
      ASSERT_EQ(px[(y * 30 + x) * 4 + 3], on ? 255 : 0) << x << "," << y;
      ASSERT_EQ(px[(y * 30 + x) * 4 + 0], on ? 255 : 0);
    }
  }
  c.ReleaseAll({FxAsDrawObject(pen), FxAsDrawObject(solid), FxAsDrawObject(dashed)});
}

TEST(DrawSuites, DashPatternsWithoutLengthAreRefusedAndKeepThePattern) {
  Canvas c(30, 4);
  FxPenRef pen = c.Pen(2);
  const float dashes[] = {3, 6}, zero[] = {0, 0}, negative[] = {6, -3}, nan[] = {3, kNaN};
  const FxPenSuite& suite = *host::PenSuite();
  ASSERT_EQ(suite.SetDashPattern(pen, dashes, 2), FxErr_None);
  EXPECT_EQ(suite.SetDashPattern(pen, zero, 2), FxErr_BadCallbackParam);
  EXPECT_EQ(suite.SetDashPattern(pen, negative, 2), FxErr_BadCallbackParam);
  EXPECT_EQ(suite.SetDashPattern(pen, nan, 2), FxErr_BadCallbackParam);
  EXPECT_EQ(suite.SetDashPattern(pen, dashes, -1), FxErr_BadCallbackParam);
  EXPECT_EQ(suite.SetDashPattern(pen, nullptr, 2), FxErr_BadCallbackParam);
  FxPathRef line = c.Line(0, 2, 30, 2);
  EXPECT_EQ(kSurface.StrokePath(c.surface, pen, line), FxErr_None);
  EXPECT_EQ(c.Coverage(), 4 * 2 * 3);                            // still 3 on, 6 off
  EXPECT_EQ(suite.SetDashPattern(pen, nullptr, 0), FxErr_None);  // back to solid
  EXPECT_EQ(kSurface.StrokePath(c.surface, pen, line), FxErr_None);
  EXPECT_EQ(c.Coverage(), 30 * 2);
  c.ReleaseAll({FxAsDrawObject(pen), FxAsDrawObject(line)});
}

TEST(DrawSuites, ArcsFillAsClosedFiguresByFillRule) {
  constexpr double kPi = std::numbers::pi;
  Canvas full(32, 32), lower(32, 32), upper(32, 32), ring(32, 32);
  FxBrushRef brushes[] = {full.Brush(), lower.Brush(), upper.Brush(), ring.Brush()};
  FxPathRef circle = full.Circle(16, 16, 10);
  FxPathRef down = lower.Circle(16, 16, 10, 0, 180);  // from +x towards +y: the lower half
  FxPathRef up = upper.Circle(16, 16, 10, 0, -180);
  FxPathRef rings = ring.Circle(16, 16, 10);
  FxDrawPoint centre{16, 16};
  ASSERT_EQ(kPath.AddArc(rings, &centre, 5, 0, 360), FxErr_None);

  EXPECT_EQ(kSurface.FillPath(full.surface, brushes[0], circle, 0), FxErr_None);
  EXPECT_NEAR(full.Coverage(), kPi * 100, 3.0);  // curves are flattened to within 0.1 px
  EXPECT_EQ(kSurface.FillPath(lower.surface, brushes[1], down, 0), FxErr_None);
  EXPECT_NEAR(lower.Coverage(16, 32), kPi * 50, 2.0);
  EXPECT_EQ(lower.Coverage(0, 16), 0);
  EXPECT_EQ(kSurface.FillPath(upper.surface, brushes[2], up, 0), FxErr_None);
  EXPECT_NEAR(upper.Coverage(0, 16), kPi * 50, 2.0);
  EXPECT_EQ(upper.Coverage(16, 32), 0);
  EXPECT_EQ(kSurface.StrokePath(upper.surface, upper.Pen(2), up), FxErr_None);
  EXPECT_EQ(upper.Alpha(16, 16), 255);  // the closing chord, below the filled half

  EXPECT_EQ(kSurface.FillPath(ring.surface, brushes[3], rings, 2), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.FillPath(ring.surface, brushes[3], rings, 1), FxErr_None);  // even-odd
  EXPECT_NEAR(ring.Coverage(), kPi * 75, 4.0);
  EXPECT_EQ(ring.Alpha(16, 16), 0);
  EXPECT_EQ(kSurface.FillPath(ring.surface, brushes[3], rings, 0), FxErr_None);  // winding
  EXPECT_EQ(ring.Alpha(16, 16), 255);
}

TEST(DrawSuites, BezierBendsTheStroke) {
  Canvas c(20, 12);
  FxPenRef pen = c.Pen(2);
  FxPathRef path = c.Line(2, 10, 2, 10);
  FxDrawPoint c1{2, 2}, c2{18, 2}, end{18, 10};
  ASSERT_EQ(kPath.BezierTo(path, &c1, &c2, &end), FxErr_None);
  EXPECT_EQ(kSurface.StrokePath(c.surface, pen, path), FxErr_None);
  EXPECT_GT(c.Alpha(10, 4), 250);  // the apex, y 4: three quarters of the way to the controls
  EXPECT_EQ(c.Alpha(10, 9), 0);
}

TEST(DrawSuites, PaintRectCoversItsRectAndCompositesOverThePicture) {
  host::RgbaFrame blue{12, 10, {}};
  for (int i = 0; i < 12 * 10; ++i) blue.pixels.insert(blue.pixels.end(), {0, 0, 255, 255});
  Canvas c(blue);
  const FxDrawRect rect{3, 2, 5, 4};
  const FxDrawColor half_red{1, 0, 0, 0.5f}, too_bright{2, -1, 0, 1};
  EXPECT_EQ(kSurface.PaintRect(c.surface, &half_red, &rect), FxErr_None);
  std::vector<uint8_t> px = c.Pixels();
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 12; ++x) {
      bool in = x >= 3 && x < 8 && y >= 2 && y < 6;
      const uint8_t* p = &px[(y * 12 + x) * 4];
      ASSERT_NEAR(p[0], in ? 128 : 0, 1) << x << "," << y;
      ASSERT_NEAR(p[2], in ? 127 : 255, 1) << x << "," << y;
      ASSERT_EQ(p[3], 255);
    }
  }
  const FxDrawRect opaque_rect{0, 0, 1, 1};
  EXPECT_EQ(kSurface.PaintRect(c.surface, &too_bright, &opaque_rect), FxErr_None);  // clamped
  EXPECT_EQ(c.Pixels()[0], 255);
  EXPECT_EQ(c.Pixels()[2], 0);
}

TEST(DrawSuites, PushPopRestoresAntiAliasingAndRefusesAnExtraPop) {
  Canvas c(40, 20);
  FxBrushRef brush = c.Brush();
  FxPathRef left = c.Circle(10, 10, 7.3f), right = c.Circle(30, 10, 7.3f);
  auto partial_pixels = [&](int x0, int x1) {
    int n = 0;
    std::vector<uint8_t> px = c.Pixels();
    for (int y = 0; y < 20; ++y)
      for (int x = x0; x < x1; ++x) n += px[(y * 40 + x) * 4 + 3] % 255 != 0;
    return n;
  };
  ASSERT_EQ(kSurface.PushState(c.surface), FxErr_None);
  EXPECT_EQ(c.canvas.state_depth(), 1);
  ASSERT_EQ(kSurface.SetAntiAliasPolicy(c.surface, 0), FxErr_None);
  ASSERT_EQ(kSurface.SetInterpolationPolicy(c.surface, 0), FxErr_None);
  EXPECT_EQ(kSurface.FillPath(c.surface, brush, left, 0), FxErr_None);
  EXPECT_EQ(partial_pixels(0, 20), 0);
  ASSERT_EQ(kSurface.PopState(c.surface), FxErr_None);
  EXPECT_EQ(kSurface.FillPath(c.surface, brush, right, 0), FxErr_None);
  EXPECT_GT(partial_pixels(20, 40), 8);

  EXPECT_EQ(c.canvas.state_depth(), 0);
  EXPECT_EQ(kSurface.PopState(c.surface), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.SetAntiAliasPolicy(c.surface, 3), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.SetInterpolationPolicy(c.surface, -1), FxErr_BadCallbackParam);
}

TEST(DrawSuites, PictureComesBackWhereNothingWasDrawn) {
  host::RgbaFrame picture{
      3, 2, {10, 20, 30, 255, 200, 100, 50, 128, 7, 8, 9, 0, 0, 0, 0, 255, 255, 255, 255, 255, 90, 180, 250, 200}};
  Canvas c(picture);
  FxPenRef pen = c.Pen(1);
  FxPathRef path = c.Line(0, 1.5f, 1, 1.5f);  // covers pixel (0, 1) only
  EXPECT_EQ(kSurface.StrokePath(c.surface, pen, path), FxErr_None);
  host::RgbaFrame back = c.Picture();
  ASSERT_EQ(back.width, 3);
  ASSERT_EQ(back.height, 2);
  picture.pixels[8] = picture.pixels[9] = picture.pixels[10] = 0;  // no colour without alpha
  for (size_t i = 0; i < picture.pixels.size(); ++i) {
    if (i / 4 == 3) continue;  // the drawn pixel
    EXPECT_NEAR(back.pixels[i], picture.pixels[i], picture.pixels[i / 4 * 4 + 3] == 255 ? 0 : 1) << i;
  }
  EXPECT_EQ(back.pixels[12], 255);
  EXPECT_THROW(host::OverlayCanvas(host::RgbaFrame{2, 2, {1, 2, 3}}), std::invalid_argument);
  EXPECT_THROW(host::OverlayCanvas(-1, 4), std::invalid_argument);
}

TEST(DrawSuites, ForeignAndReleasedHandlesAreRefusedAndDrawNothing) {
  Canvas c(16, 16), other(16, 16);
  FxPenRef pen = c.Pen(2), foreign_pen = other.Pen(2);
  FxBrushRef brush = c.Brush();
  FxPathRef path = c.Circle(8, 8, 5), foreign_path = other.Circle(8, 8, 5);
  int local = 0;
  auto* junk = reinterpret_cast<FxOpaqueSurface*>(&local);
  EXPECT_EQ(kSurface.StrokePath(c.surface, foreign_pen, path), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.FillPath(c.surface, brush, foreign_path, 0), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.StrokePath(c.surface, reinterpret_cast<FxPenRef>(brush), path), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.FillPath(junk, brush, path, 0), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.PushState(reinterpret_cast<FxSurfaceRef>(c.supplier)), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.FillPath(nullptr, brush, path, 0), FxErr_BadCallbackParam);
  FxSupplierRef no_supplier = nullptr;
  EXPECT_EQ(host::DrawSuite()->GetSupplier(nullptr, &no_supplier), FxErr_BadCallbackParam);
  EXPECT_EQ(host::DrawSuite()->GetSurface(c.canvas.draw_ref(), nullptr), FxErr_BadCallbackParam);
  FxBrushRef no_brush = nullptr;
  EXPECT_EQ(kSupplier.NewBrush(reinterpret_cast<FxSupplierRef>(c.surface), &kRed, &no_brush), FxErr_BadCallbackParam);
  EXPECT_EQ(no_brush, nullptr);

  EXPECT_EQ(c.canvas.live_objects(), 3);
  c.ReleaseAll({FxAsDrawObject(pen), FxAsDrawObject(brush), FxAsDrawObject(path)});
  EXPECT_EQ(kSupplier.ReleaseObject(FxAsDrawObject(pen)), FxErr_BadCallbackParam);
  EXPECT_EQ(kSupplier.ReleaseObject(reinterpret_cast<FxDrawObjectRef>(c.surface)), FxErr_BadCallbackParam);
  EXPECT_EQ(kSupplier.ReleaseObject(nullptr), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.FillPath(c.surface, brush, path, 0), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.LineTo(path, 1, 1), FxErr_BadCallbackParam);
  EXPECT_EQ(c.Coverage(), 0);
  EXPECT_EQ(other.canvas.live_objects(), 2);  // left for the canvas to free
}

TEST(DrawSuites, NonFiniteAndNegativeGeometryIsRefusedAndLeavesThePath) {
  Canvas c(20, 8), reference(20, 8);
  FxPathRef path = c.Line(2, 4, 18, 4);
  const FxDrawPoint bad{kNaN, 1}, good{5, 5};
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(kPath.LineTo(path, kNaN, 3), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.MoveTo(path, 3, inf), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.LineTo(path, 1e30f, 3), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.BezierTo(path, &good, &bad, &good), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.BezierTo(path, &good, nullptr, &good), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.AddArc(path, &bad, 3, 0, 360), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.AddArc(path, &good, -3, 0, 360), FxErr_BadCallbackParam);
  EXPECT_EQ(kPath.AddArc(path, &good, 3, 0, kNaN), FxErr_BadCallbackParam);

  FxPenRef pen = nullptr;
  const FxDrawColor nan_color{kNaN, 0, 0, 1};
  EXPECT_EQ(kSupplier.NewPen(c.supplier, &kRed, kNaN, &pen), FxErr_BadCallbackParam);
  EXPECT_EQ(kSupplier.NewPen(c.supplier, &kRed, -2, &pen), FxErr_BadCallbackParam);
  EXPECT_EQ(kSupplier.NewPen(c.supplier, &nan_color, 2, &pen), FxErr_BadCallbackParam);
  EXPECT_EQ(kSupplier.NewPen(c.supplier, nullptr, 2, &pen), FxErr_BadCallbackParam);
  EXPECT_EQ(pen, nullptr);
  const FxDrawRect nan_rect{0, 0, kNaN, 4}, negative{4, 4, -2, 2};
  EXPECT_EQ(kSurface.PaintRect(c.surface, &kRed, &nan_rect), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.PaintRect(c.surface, &kRed, &negative), FxErr_BadCallbackParam);
  EXPECT_EQ(kSurface.PaintRect(c.surface, &nan_color, &negative), FxErr_BadCallbackParam);
  EXPECT_EQ(c.Coverage(), 0);

  EXPECT_EQ(kSurface.StrokePath(c.surface, c.Pen(2), path), FxErr_None);
  EXPECT_EQ(kSurface.StrokePath(reference.surface, reference.Pen(2), reference.Line(2, 4, 18, 4)), FxErr_None);
  EXPECT_EQ(c.Pixels(), reference.Pixels());
}

// Paths longer than any ordinary drawing are stroked piece by piece; they must look as they would
// stroked whole. A zigzag from x = 2 rightwards, its teeth `pitch` apart, each edge cut into
// `cuts` collinear parts (which draw the same).
std::vector<FxDrawPoint> Zigzag(int teeth, float pitch, int cuts, float top, float bottom) {
  std::vector<FxDrawPoint> points{{2, bottom}};
  for (int t = 0; t < 2 * teeth; ++t) {
    const FxDrawPoint from = points.back(), to{2 + (t + 1) * pitch / 2, t % 2 ? bottom : top};
    for (int c = 1; c <= cuts; ++c)
      points.push_back({from.x + (to.x - from.x) * c / cuts, from.y + (to.y - from.y) * c / cuts});
  }
  return points;
}

FxPathRef Polyline(Canvas& c, const std::vector<FxDrawPoint>& points) {
  FxPathRef path = nullptr;
  EXPECT_EQ(kSupplier.NewPath(c.supplier, &path), FxErr_None);
  EXPECT_EQ(kPath.MoveTo(path, points[0].x, points[0].y), FxErr_None);
  for (size_t i = 1; i < points.size(); ++i) EXPECT_EQ(kPath.LineTo(path, points[i].x, points[i].y), FxErr_None);
  return path;
}

int LargestAlphaDifference(const Canvas& a, const Canvas& b) {
  const std::vector<uint8_t> pa = a.Pixels(), pb = b.Pixels();
  int largest = 0;
  for (size_t i = 3; i < pa.size(); i += 4) largest = std::max(largest, std::abs(int(pa[i]) - int(pb[i])));
  return largest;
}

TEST(LongStrokes, JoinsAndDashesCarryAcrossPieces) {
  // 128 segments stroke whole; cut into 63 parts each, the same zigzag of sharp and shallow teeth
  // goes in pieces, many of them ending on a tooth's tip. The cuts lie on whole 1/16 pixels, so
  // that the dashes' lengths add up exactly.
  const float dashes[] = {3, 6};
  for (const bool dashed : {false, true}) {
    for (const float height : {63.0f, 63.0f / 16}) {
      SCOPED_TRACE(testing::Message() << "dashed " << dashed << ", height " << height);
      Canvas whole(520, 80), pieces(520, 80);
      FxPenRef pens[] = {whole.Pen(2), pieces.Pen(2)};
      if (dashed) {
        for (FxPenRef pen : pens) ASSERT_EQ(host::PenSuite()->SetDashPattern(pen, dashes, 2), FxErr_None);
      }
      const float bottom = 70, top = bottom - height;
      EXPECT_EQ(kSurface.StrokePath(whole.surface, pens[0], Polyline(whole, Zigzag(64, 63.0f / 8, 1, top, bottom))),
                FxErr_None);
      EXPECT_EQ(kSurface.StrokePath(pieces.surface, pens[1], Polyline(pieces, Zigzag(64, 63.0f / 8, 63, top, bottom))),
                FxErr_None);
      // Where pieces meet, pixels both cover partly are covered a little more (a missing join or
      // a dash out of step differs by half or all of a pixel).
      EXPECT_LE(LargestAlphaDifference(whole, pieces), 64);
      EXPECT_NEAR(pieces.Coverage(), whole.Coverage(), whole.Coverage() * 0.01);
    }
  }
}

TEST(LongStrokes, SeparateFiguresAreEachDrawnOnceWithTheirOwnDashes) {
  // 2,800 circles and dashed lines, 4,200 segments: stroked in pieces, as the two halves stroked
  // whole draw them (a figure drawn twice would be darker, a dash carried over out of step).
  Canvas pieces(700, 400), halves(700, 400);
  const FxDrawColor half_red{1, 0, 0, 0.5f};
  const float dashes[] = {2, 1};
  FxPenRef pens[] = {pieces.Pen(1.5f, half_red), halves.Pen(1.5f, half_red)};
  for (FxPenRef pen : pens) ASSERT_EQ(host::PenSuite()->SetDashPattern(pen, dashes, 2), FxErr_None);
  auto figures = [](Canvas& c, int from, int to) {
    FxPathRef path = nullptr;
    EXPECT_EQ(kSupplier.NewPath(c.supplier, &path), FxErr_None);
    for (int i = from; i < to; ++i) {
      const FxDrawPoint centre{float(i % 70 * 10 + 5), float(i / 70 * 10 + 5)};
      if (i % 2) {
        EXPECT_EQ(kPath.MoveTo(path, centre.x - 3.5f, centre.y), FxErr_None);
        EXPECT_EQ(kPath.LineTo(path, centre.x + 3.5f, centre.y + 0.5f), FxErr_None);
      } else {
        EXPECT_EQ(kPath.AddArc(path, &centre, 3, 0, 360), FxErr_None);
      }
    }
    return path;
  };
  EXPECT_EQ(kSurface.StrokePath(pieces.surface, pens[0], figures(pieces, 0, 2800)), FxErr_None);
  EXPECT_EQ(kSurface.StrokePath(halves.surface, pens[1], figures(halves, 0, 1400)), FxErr_None);
  EXPECT_EQ(kSurface.StrokePath(halves.surface, pens[1], figures(halves, 1400, 2800)), FxErr_None);
  EXPECT_LE(LargestAlphaDifference(pieces, halves), 1);
}

TEST(LongStrokes, TranslucentPiecesOverlappingAreLaidOnOnce) {
  // Along a line and back over it: stroked whole the overlap is covered once.
  Canvas c(420, 20);
  std::vector<FxDrawPoint> there_and_back;
  for (int i = 0; i <= 10000; ++i) there_and_back.push_back({10 + 0.08f * float(i < 5000 ? i : 10000 - i), 10});
  FxPenRef pen = c.Pen(4, {1, 0, 0, 0.5f});
  EXPECT_EQ(kSurface.StrokePath(c.surface, pen, Polyline(c, there_and_back)), FxErr_None);
  EXPECT_EQ(c.Alpha(100, 10), 128);
  EXPECT_EQ(c.Alpha(100, 11), 128);
  EXPECT_EQ(c.Alpha(100, 13), 0);
}

TEST(LongStrokes, SelfCrossingStarOfAHundredThousandSpikesIsDrawn) {
  // Every spike crosses thousands of others: stroked whole, this took a minute.
  Canvas c(400, 400);
  std::vector<FxDrawPoint> star;
  for (int i = 0; i <= 100000; ++i) {
    const double a = 2 * std::numbers::pi * 7 * i / 100000, r = i % 2 ? 20 : 190;
    star.push_back({float(200 + r * std::cos(a)), float(200 + r * std::sin(a))});
  }
  EXPECT_EQ(kSurface.StrokePath(c.surface, c.Pen(2), Polyline(c, star)), FxErr_None);
  EXPECT_EQ(c.Alpha(200, 200), 0);  // inside the innermost tips
  EXPECT_EQ(c.Alpha(200 + 100, 200), 255);
  EXPECT_EQ(c.Alpha(200, 200 - 189), 255);
  EXPECT_EQ(c.Alpha(3, 3), 0);
}

}  // namespace
