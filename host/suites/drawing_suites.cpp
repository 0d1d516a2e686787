#include "host/suites/drawing_suites.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>
#include <stdexcept>
#include <unordered_map>
#include <variant>
#include <vector>

namespace host {
namespace {

// Beyond this cairo's 24.8 fixed point wraps coordinates around, which would put shapes far off
// screen back onto it; no overlay needs anything near it.
constexpr double kMaxCoordinate = 1e6;
// A longer "pattern" is a garbage count, and reading it would run past the caller's array.
constexpr int32_t kMaxDashCount = 1024;
// Finer dashes cannot be seen, and cairo would emit one per sub-pixel step.
constexpr double kMinDashPeriod = 0.1;
// cairo's image surfaces are limited to this many pixels a side.
constexpr int32_t kMaxSide = 32767;

struct Rgba {
  double r, g, b, a;
};

struct Pen {
  Rgba color;
  double width;
  std::vector<double> dashes;  // empty: solid
};

struct Brush {
  Rgba color;
};

struct Segment {
  enum class Op { kMove, kLine, kCurve, kArc } op;
  double v[6];  // points in order; an arc holds centre x, y, radius, start and sweep in degrees
};

struct Path {
  std::vector<Segment> segments;
};

using DrawObject = std::variant<Pen, Brush, Path>;

enum class Kind { kDrawRef, kSupplier, kSurface, kPen, kBrush, kPath };

}  // namespace

struct OverlayCanvas::Impl {
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
  uintptr_t draw_ref = 0, supplier = 0, surface_ref = 0;
  std::unordered_map<uintptr_t, DrawObject> objects;
  int32_t interpolation = 2;
  // Interpolation policies saved by the pushes not yet popped; cairo keeps the rest of the state.
  std::vector<int32_t> saved_interpolation;
};

namespace {

// Every handle given out is a token that is never reused, looked up here before anything is
// touched, so a foreign, stale or double-released handle is refused instead of dereferenced.
// One lock serialises all drawing calls: overlays are small and this keeps a release on one
// thread from freeing an object another is drawing with.
struct Registry {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::pair<OverlayCanvas::Impl*, Kind>> handles;
  uintptr_t next = 0x10000;

  uintptr_t Add(OverlayCanvas::Impl* owner, Kind kind) {
    next += 16;
    handles.emplace(next, std::make_pair(owner, kind));
    return next;
  }
  OverlayCanvas::Impl* Find(const void* handle, Kind kind) {
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end() || it->second.second != kind) return nullptr;
    return it->second.first;
  }
};

Registry& Reg() {
  static Registry* registry = new Registry;  // never destroyed: canvases may outlive statics
  return *registry;
}

template <typename Ref>
Ref AsRef(uintptr_t token) {
  return reinterpret_cast<Ref>(token);
}

bool Finite(std::initializer_list<double> values) {
  return std::all_of(values.begin(), values.end(),
                     [](double v) { return std::isfinite(v) && std::fabs(v) <= kMaxCoordinate; });
}

bool ToRgba(const FxDrawColor* color, Rgba& out) {
  if (color == nullptr) return false;
  const float c[4] = {color->red, color->green, color->blue, color->alpha};
  double clamped[4];
  for (int i = 0; i < 4; ++i) {
    if (!std::isfinite(c[i])) return false;
    clamped[i] = std::clamp(double(c[i]), 0.0, 1.0);
  }
  out = {clamped[0], clamped[1], clamped[2], clamped[3]};
  return true;
}

FxErr CairoResult(cairo_t* cr) {
  switch (cairo_status(cr)) {
    case CAIRO_STATUS_SUCCESS: return FxErr_None;
    case CAIRO_STATUS_NO_MEMORY: return FxErr_OutOfMemory;
    default: return FxErr_InternalError;
  }
}

template <typename T>
T* ObjectOf(const void* handle, Kind kind) {
  OverlayCanvas::Impl* owner = Reg().Find(handle, kind);
  if (owner == nullptr) return nullptr;
  auto it = owner->objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == owner->objects.end() ? nullptr : std::get_if<T>(&it->second);
}

// An object of the surface's own canvas; one made by another canvas is refused.
template <typename T>
T* OwnObjectOf(OverlayCanvas::Impl* canvas, const void* handle, Kind kind) {
  if (Reg().Find(handle, kind) != canvas) return nullptr;
  return ObjectOf<T>(handle, kind);
}

// ---- Draw suite -------------------------------------------------------------------------------

FxErr GetSupplier(FxDrawRef draw_ref, FxSupplierRef* supplier) {
  if (supplier == nullptr) return FxErr_BadCallbackParam;
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(draw_ref, Kind::kDrawRef);
  *supplier = canvas ? AsRef<FxSupplierRef>(canvas->supplier) : nullptr;
  return canvas ? FxErr_None : FxErr_BadCallbackParam;
}

FxErr GetSurface(FxDrawRef draw_ref, FxSurfaceRef* surface) {
  if (surface == nullptr) return FxErr_BadCallbackParam;
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(draw_ref, Kind::kDrawRef);
  *surface = canvas ? AsRef<FxSurfaceRef>(canvas->surface_ref) : nullptr;
  return canvas ? FxErr_None : FxErr_BadCallbackParam;
}

// ---- Supplier suite ---------------------------------------------------------------------------

template <typename Ref>
FxErr AddObject(FxSupplierRef supplier, DrawObject object, Kind kind, Ref* out) {
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(supplier, Kind::kSupplier);
  if (canvas == nullptr) return FxErr_BadCallbackParam;
  try {
    uintptr_t token = Reg().Add(canvas, kind);
    try {
      canvas->objects.emplace(token, std::move(object));
    } catch (...) {
      Reg().handles.erase(token);
      throw;
    }
    *out = AsRef<Ref>(token);
    return FxErr_None;
  } catch (const std::bad_alloc&) {
    return FxErr_OutOfMemory;
  }
}

FxErr NewPen(FxSupplierRef supplier, const FxDrawColor* color, float width, FxPenRef* pen) {
  if (pen == nullptr) return FxErr_BadCallbackParam;
  *pen = nullptr;
  Rgba rgba;
  if (!ToRgba(color, rgba) || !Finite({width}) || width < 0) return FxErr_BadCallbackParam;
  return AddObject(supplier, Pen{rgba, width, {}}, Kind::kPen, pen);
}

FxErr NewBrush(FxSupplierRef supplier, const FxDrawColor* color, FxBrushRef* brush) {
  if (brush == nullptr) return FxErr_BadCallbackParam;
  *brush = nullptr;
  Rgba rgba;
  if (!ToRgba(color, rgba)) return FxErr_BadCallbackParam;
  return AddObject(supplier, Brush{rgba}, Kind::kBrush, brush);
}

FxErr NewPath(FxSupplierRef supplier, FxPathRef* path) {
  if (path == nullptr) return FxErr_BadCallbackParam;
  *path = nullptr;
  return AddObject(supplier, Path{}, Kind::kPath, path);
}

FxErr ReleaseObject(FxDrawObjectRef object) {
  std::lock_guard lock(Reg().mutex);
  auto it = Reg().handles.find(reinterpret_cast<uintptr_t>(object));
  if (it == Reg().handles.end()) return FxErr_BadCallbackParam;
  Kind kind = it->second.second;
  if (kind != Kind::kPen && kind != Kind::kBrush && kind != Kind::kPath) return FxErr_BadCallbackParam;
  it->second.first->objects.erase(it->first);
  Reg().handles.erase(it);
  return FxErr_None;
}

// ---- Surface suite ----------------------------------------------------------------------------

FxErr PushState(FxSurfaceRef surface) {
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(surface, Kind::kSurface);
  if (canvas == nullptr) return FxErr_BadCallbackParam;
  try {
    canvas->saved_interpolation.push_back(canvas->interpolation);
  } catch (const std::bad_alloc&) {
    return FxErr_OutOfMemory;
  }
  cairo_save(canvas->cr);
  return CairoResult(canvas->cr);
}

FxErr PopState(FxSurfaceRef surface) {
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(surface, Kind::kSurface);
  if (canvas == nullptr || canvas->saved_interpolation.empty()) return FxErr_BadCallbackParam;
  canvas->interpolation = canvas->saved_interpolation.back();
  canvas->saved_interpolation.pop_back();
  cairo_restore(canvas->cr);
  return CairoResult(canvas->cr);
}

FxErr PaintRect(FxSurfaceRef surface, const FxDrawColor* color, const FxDrawRect* rect) {
  Rgba rgba;
  if (!ToRgba(color, rgba) || rect == nullptr) return FxErr_BadCallbackParam;
  if (!Finite({rect->left, rect->top, rect->width, rect->height}) || rect->width < 0 || rect->height < 0) {
    return FxErr_BadCallbackParam;
  }
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(surface, Kind::kSurface);
  if (canvas == nullptr) return FxErr_BadCallbackParam;
  cairo_t* cr = canvas->cr;
  cairo_save(cr);
  cairo_new_path(cr);
  cairo_rectangle(cr, rect->left, rect->top, rect->width, rect->height);
  cairo_set_source_rgba(cr, rgba.r, rgba.g, rgba.b, rgba.a);
  cairo_fill(cr);
  cairo_restore(cr);
  return CairoResult(cr);
}

void AppendSegment(cairo_t* cr, const Segment& s) {
  const double* v = s.v;
  switch (s.op) {
    case Segment::Op::kMove: cairo_move_to(cr, v[0], v[1]); break;
    case Segment::Op::kLine: cairo_line_to(cr, v[0], v[1]); break;
    case Segment::Op::kCurve: cairo_curve_to(cr, v[0], v[1], v[2], v[3], v[4], v[5]); break;
    case Segment::Op::kArc: {
      constexpr double kRadians = std::numbers::pi / 180;
      double start = v[3] * kRadians, end = (v[3] + v[4]) * kRadians;
      cairo_new_sub_path(cr);
      if (v[4] >= 0) {
        cairo_arc(cr, v[0], v[1], v[2], start, end);
      } else {
        cairo_arc_negative(cr, v[0], v[1], v[2], start, end);
      }
      cairo_close_path(cr);
      break;
    }
  }
}

void TracePath(cairo_t* cr, const Path& path) {
  cairo_new_path(cr);
  for (const Segment& s : path.segments) AppendSegment(cr, s);
}

// cairo strokes a path as one polygon and sorts out all its crossings at once, which for a
// self-crossing outline costs about the square of its size (a star of 100,000 spikes: most of a
// minute). Longer paths than any ordinary drawing are stroked as consecutive pieces instead.
constexpr size_t kMaxWholeStroke = 4096;  // segments
constexpr size_t kStrokePiece = 64;

void SetPen(cairo_t* cr, const Pen& pen, double dash_offset) {
  cairo_set_line_width(cr, pen.width);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
  cairo_set_dash(cr, pen.dashes.data(), int(pen.dashes.size()), dash_offset);
}

// A box holding everything a pen of `width` draws along the path, in whole pixels.
void ClipToStrokeBounds(cairo_t* cr, const Path& path, double width) {
  double x0 = HUGE_VAL, y0 = HUGE_VAL, x1 = -HUGE_VAL, y1 = -HUGE_VAL;
  auto add = [&](double x, double y, double r) {
    x0 = std::min(x0, x - r), y0 = std::min(y0, y - r), x1 = std::max(x1, x + r), y1 = std::max(y1, y + r);
  };
  for (const Segment& s : path.segments) {
    const double* v = s.v;
    switch (s.op) {
      case Segment::Op::kCurve: add(v[0], v[1], 0), add(v[2], v[3], 0), add(v[4], v[5], 0); break;
      case Segment::Op::kArc: add(v[0], v[1], v[2]); break;
      default: add(v[0], v[1], 0); break;
    }
  }
  const double margin = width / 2 + 1;
  x0 = std::floor(x0 - margin), y0 = std::floor(y0 - margin);
  cairo_rectangle(cr, x0, y0, std::ceil(x1 + margin) - x0, std::ceil(y1 + margin) - y0);
  cairo_clip(cr);
}

// How far the current sub-path has run, in the flattened lengths the dashes follow; `carried` is
// how far it had run where the path traced so far begins.
double RunSoFar(cairo_t* cr, double carried) {
  cairo_path_t* flat = cairo_copy_path_flat(cr);
  double run = carried, x = 0, y = 0, start_x = 0, start_y = 0;
  for (int i = 0; i < flat->num_data; i += flat->data[i].header.length) {
    const cairo_path_data_t* d = &flat->data[i];
    switch (d->header.type) {
      case CAIRO_PATH_MOVE_TO:
        if (i > 0) run = 0;  // the first is where this piece took up the sub-path
        x = start_x = d[1].point.x, y = start_y = d[1].point.y;
        break;
      case CAIRO_PATH_LINE_TO:
        run += std::hypot(d[1].point.x - x, d[1].point.y - y);
        x = d[1].point.x, y = d[1].point.y;
        break;
      case CAIRO_PATH_CLOSE_PATH:  // what follows starts a sub-path of its own
        run = 0, x = start_x, y = start_y;
        break;
      case CAIRO_PATH_CURVE_TO: break;  // a flat path has none
    }
  }
  cairo_path_destroy(flat);
  return run;
}

bool Continues(const Segment& s) { return s.op == Segment::Op::kLine || s.op == Segment::Op::kCurve; }

// Strokes the path as pieces of kStrokePiece segments. A piece that ends at a join is followed by
// one starting with its last segment again, so the join there is drawn whole, with
// the dashes taken up where that segment began. The pieces are drawn opaque into a group painted
// once in the pen's alpha, so that where they overlap the colour is not laid on twice.
void StrokeInPieces(cairo_t* cr, const Path& path, const Pen& pen) {
  ClipToStrokeBounds(cr, path, pen.width);
  cairo_push_group(cr);
  cairo_set_source_rgb(cr, pen.color.r, pen.color.g, pen.color.b);
  const std::vector<Segment>& segments = path.segments;
  size_t begin = 0;
  double dash_offset = 0;
  bool has_start = false;
  double start_x = 0, start_y = 0;  // where the piece's first segment begins
  for (;;) {
    const size_t end = std::min(segments.size(), begin + kStrokePiece);
    cairo_new_path(cr);
    if (has_start) cairo_move_to(cr, start_x, start_y);
    for (size_t i = begin; i + 1 < end; ++i) AppendSegment(cr, segments[i]);
    const Segment& last = segments[end - 1];
    const bool joined =
        end < segments.size() && Continues(last) && Continues(segments[end]) && cairo_has_current_point(cr);
    double next_start_x = 0, next_start_y = 0, next_offset = 0;
    if (joined) {
      cairo_get_current_point(cr, &next_start_x, &next_start_y);
      if (!pen.dashes.empty()) next_offset = RunSoFar(cr, dash_offset);
    }
    AppendSegment(cr, last);
    if (!joined) cairo_get_current_point(cr, &next_start_x, &next_start_y);  // a sub-path starts
    SetPen(cr, pen, dash_offset);
    cairo_stroke(cr);
    if (end == segments.size() || cairo_status(cr) != CAIRO_STATUS_SUCCESS) break;
    begin = joined ? end - 1 : end;
    has_start = true;
    start_x = next_start_x, start_y = next_start_y;
    dash_offset = next_offset;
  }
  cairo_pop_group_to_source(cr);
  cairo_paint_with_alpha(cr, pen.color.a);
}

FxErr FillPath(FxSurfaceRef surface, FxBrushRef brush, FxPathRef path, int32_t fill_type) {
  if (fill_type != 0 && fill_type != 1) return FxErr_BadCallbackParam;
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(surface, Kind::kSurface);
  if (canvas == nullptr) return FxErr_BadCallbackParam;
  const Brush* b = OwnObjectOf<Brush>(canvas, brush, Kind::kBrush);
  const Path* p = OwnObjectOf<Path>(canvas, path, Kind::kPath);
  if (b == nullptr || p == nullptr) return FxErr_BadCallbackParam;
  cairo_t* cr = canvas->cr;
  cairo_save(cr);
  TracePath(cr, *p);
  cairo_set_fill_rule(cr, fill_type == 0 ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
  cairo_set_source_rgba(cr, b->color.r, b->color.g, b->color.b, b->color.a);
  cairo_fill(cr);
  cairo_restore(cr);
  return CairoResult(cr);
}

FxErr StrokePath(FxSurfaceRef surface, FxPenRef pen, FxPathRef path) {
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(surface, Kind::kSurface);
  if (canvas == nullptr) return FxErr_BadCallbackParam;
  const Pen* n = OwnObjectOf<Pen>(canvas, pen, Kind::kPen);
  const Path* p = OwnObjectOf<Path>(canvas, path, Kind::kPath);
  if (n == nullptr || p == nullptr) return FxErr_BadCallbackParam;
  cairo_t* cr = canvas->cr;
  cairo_save(cr);
  if (p->segments.size() > kMaxWholeStroke) {
    StrokeInPieces(cr, *p, *n);
  } else {
    TracePath(cr, *p);
    SetPen(cr, *n, 0);
    cairo_set_source_rgba(cr, n->color.r, n->color.g, n->color.b, n->color.a);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
  return CairoResult(cr);
}

FxErr SetInterpolationPolicy(FxSurfaceRef surface, int32_t policy) {
  if (policy < 0 || policy > 2) return FxErr_BadCallbackParam;
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(surface, Kind::kSurface);
  if (canvas == nullptr) return FxErr_BadCallbackParam;
  canvas->interpolation = policy;  // only images are interpolated, and overlays draw none
  return FxErr_None;
}

FxErr SetAntiAliasPolicy(FxSurfaceRef surface, int32_t policy) {
  static constexpr cairo_antialias_t kModes[] = {CAIRO_ANTIALIAS_NONE, CAIRO_ANTIALIAS_FAST, CAIRO_ANTIALIAS_BEST};
  if (policy < 0 || policy > 2) return FxErr_BadCallbackParam;
  std::lock_guard lock(Reg().mutex);
  OverlayCanvas::Impl* canvas = Reg().Find(surface, Kind::kSurface);
  if (canvas == nullptr) return FxErr_BadCallbackParam;
  cairo_set_antialias(canvas->cr, kModes[policy]);
  return CairoResult(canvas->cr);
}

// ---- Path suite -------------------------------------------------------------------------------

FxErr AddSegment(FxPathRef path, const Segment& segment) {
  std::lock_guard lock(Reg().mutex);
  Path* p = ObjectOf<Path>(path, Kind::kPath);
  if (p == nullptr) return FxErr_BadCallbackParam;
  try {
    p->segments.push_back(segment);
  } catch (const std::bad_alloc&) {
    return FxErr_OutOfMemory;
  }
  return FxErr_None;
}

FxErr MoveTo(FxPathRef path, float x, float y) {
  if (!Finite({x, y})) return FxErr_BadCallbackParam;
  return AddSegment(path, {Segment::Op::kMove, {x, y}});
}

FxErr LineTo(FxPathRef path, float x, float y) {
  if (!Finite({x, y})) return FxErr_BadCallbackParam;
  return AddSegment(path, {Segment::Op::kLine, {x, y}});
}

FxErr BezierTo(FxPathRef path, const FxDrawPoint* control1, const FxDrawPoint* control2, const FxDrawPoint* end) {
  if (control1 == nullptr || control2 == nullptr || end == nullptr) return FxErr_BadCallbackParam;
  if (!Finite({control1->x, control1->y, control2->x, control2->y, end->x, end->y})) {
    return FxErr_BadCallbackParam;
  }
  return AddSegment(path, {Segment::Op::kCurve, {control1->x, control1->y, control2->x, control2->y, end->x, end->y}});
}

FxErr AddArc(FxPathRef path, const FxDrawPoint* center, float radius, float start_angle, float sweep_angle) {
  if (center == nullptr || !Finite({center->x, center->y, radius}) || radius < 0) {
    return FxErr_BadCallbackParam;
  }
  if (!std::isfinite(start_angle) || !std::isfinite(sweep_angle)) return FxErr_BadCallbackParam;
  // More than one turn traces the same circle again; folding the start keeps its precision.
  double sweep = std::clamp(double(sweep_angle), -360.0, 360.0);
  double start = std::fmod(double(start_angle), 360.0);
  return AddSegment(path, {Segment::Op::kArc, {center->x, center->y, radius, start, sweep}});
}

// ---- Pen suite --------------------------------------------------------------------------------

FxErr SetDashPattern(FxPenRef pen, const float* lengths, int32_t count) {
  if (count < 0 || count > kMaxDashCount || (count > 0 && lengths == nullptr)) {
    return FxErr_BadCallbackParam;
  }
  std::vector<double> dashes;
  try {
    dashes.assign(lengths, lengths + count);
  } catch (const std::bad_alloc&) {
    return FxErr_OutOfMemory;
  }
  double total = 0;
  for (double d : dashes) {
    if (!Finite({d}) || d < 0) return FxErr_BadCallbackParam;
    total += d;
  }
  if (count > 0 && total < kMinDashPeriod) return FxErr_BadCallbackParam;
  std::lock_guard lock(Reg().mutex);
  Pen* p = ObjectOf<Pen>(pen, Kind::kPen);
  if (p == nullptr) return FxErr_BadCallbackParam;
  p->dashes = std::move(dashes);
  return FxErr_None;
}

const FxDrawSuite kDrawSuite = {&GetSupplier, &GetSurface};
const FxSupplierSuite kSupplierSuite = {&NewPen, &NewBrush, nullptr, nullptr, nullptr, nullptr,       &NewPath,
                                        nullptr, nullptr,   nullptr, nullptr, nullptr, &ReleaseObject};
const FxSurfaceSuite kSurfaceSuite = {&PushState,  &PopState,
                                      &PaintRect,  &FillPath,
                                      &StrokePath, nullptr,
                                      nullptr,     nullptr,
                                      nullptr,     nullptr,
                                      nullptr,     &SetInterpolationPolicy,
                                      nullptr,     &SetAntiAliasPolicy};
const FxPathSuite kPathSuite = {&MoveTo, &LineTo, &BezierTo, nullptr, &AddArc};
const FxPenSuite kPenSuite = {&SetDashPattern};

// cairo's ARGB32: one native-endian word a pixel, colour premultiplied by alpha.
uint32_t Premultiplied(const uint8_t* rgba) {
  uint32_t a = rgba[3];
  auto scale = [a](uint32_t c) { return (c * a + 127) / 255; };
  return a << 24 | scale(rgba[0]) << 16 | scale(rgba[1]) << 8 | scale(rgba[2]);
}

void Straight(uint32_t pixel, uint8_t* rgba) {
  uint32_t a = pixel >> 24;
  auto unscale = [a](uint32_t c) {
    return a == 0 ? uint8_t(0) : uint8_t(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
  };
  rgba[0] = unscale(pixel >> 16 & 0xff);
  rgba[1] = unscale(pixel >> 8 & 0xff);
  rgba[2] = unscale(pixel & 0xff);
  rgba[3] = uint8_t(a);
}

}  // namespace

// ---- OverlayCanvas ----------------------------------------------------------------------------

OverlayCanvas::OverlayCanvas(int32_t width, int32_t height) : impl_(std::make_unique<Impl>()) {
  if (width < 0 || height < 0 || width > kMaxSide || height > kMaxSide) {
    throw std::invalid_argument("overlay canvas size out of range");
  }
  impl_->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  impl_->cr = cairo_create(impl_->surface);
  if (cairo_status(impl_->cr) != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(impl_->cr);
    cairo_surface_destroy(impl_->surface);
    throw std::bad_alloc();
  }
  cairo_set_antialias(impl_->cr, CAIRO_ANTIALIAS_BEST);  // policy 2, the default
  std::lock_guard lock(Reg().mutex);
  impl_->draw_ref = Reg().Add(impl_.get(), Kind::kDrawRef);
  impl_->supplier = Reg().Add(impl_.get(), Kind::kSupplier);
  impl_->surface_ref = Reg().Add(impl_.get(), Kind::kSurface);
}

OverlayCanvas::OverlayCanvas(const RgbaFrame& picture) : OverlayCanvas(picture.width, picture.height) {
  if (picture.pixels.size() != size_t(picture.width) * size_t(picture.height) * 4) {
    throw std::invalid_argument("picture pixels do not match its size");
  }
  cairo_surface_flush(impl_->surface);
  unsigned char* data = cairo_image_surface_get_data(impl_->surface);
  int stride = cairo_image_surface_get_stride(impl_->surface);
  for (int32_t y = 0; y < picture.height; ++y) {
    const uint8_t* src = picture.pixels.data() + size_t(y) * picture.width * 4;
    unsigned char* row = data + size_t(y) * stride;
    for (int32_t x = 0; x < picture.width; ++x) {
      uint32_t pixel = Premultiplied(src + size_t(x) * 4);
      std::memcpy(row + size_t(x) * 4, &pixel, 4);
    }
  }
  cairo_surface_mark_dirty(impl_->surface);
}

OverlayCanvas::~OverlayCanvas() {
  {
    std::lock_guard lock(Reg().mutex);
    auto& handles = Reg().handles;
    for (const auto& entry : impl_->objects) handles.erase(entry.first);
    handles.erase(impl_->draw_ref);
    handles.erase(impl_->supplier);
    handles.erase(impl_->surface_ref);
  }
  cairo_destroy(impl_->cr);
  cairo_surface_destroy(impl_->surface);
}

FxDrawRef OverlayCanvas::draw_ref() { return AsRef<FxDrawRef>(impl_->draw_ref); }

RgbaFrame OverlayCanvas::Picture() const {
  std::lock_guard lock(Reg().mutex);
  RgbaFrame frame;
  frame.width = cairo_image_surface_get_width(impl_->surface);
  frame.height = cairo_image_surface_get_height(impl_->surface);
  frame.pixels.resize(size_t(frame.width) * size_t(frame.height) * 4);
  cairo_surface_flush(impl_->surface);
  const unsigned char* data = cairo_image_surface_get_data(impl_->surface);
  int stride = cairo_image_surface_get_stride(impl_->surface);
  for (int32_t y = 0; y < frame.height; ++y) {
    const unsigned char* row = data + size_t(y) * stride;
    uint8_t* dst = frame.pixels.data() + size_t(y) * frame.width * 4;
    for (int32_t x = 0; x < frame.width; ++x) {
      uint32_t pixel;
      std::memcpy(&pixel, row + size_t(x) * 4, 4);
      Straight(pixel, dst + size_t(x) * 4);
    }
  }
  return frame;
}

int32_t OverlayCanvas::live_objects() const {
  std::lock_guard lock(Reg().mutex);
  return int32_t(impl_->objects.size());
}

int32_t OverlayCanvas::state_depth() const {
  std::lock_guard lock(Reg().mutex);
  return int32_t(impl_->saved_interpolation.size());
}

const FxDrawSuite* DrawSuite() { return &kDrawSuite; }
const FxSupplierSuite* SupplierSuite() { return &kSupplierSuite; }
const FxSurfaceSuite* SurfaceSuite() { return &kSurfaceSuite; }
const FxPathSuite* PathSuite() { return &kPathSuite; }
const FxPenSuite* PenSuite() { return &kPenSuite; }

}  // namespace host
