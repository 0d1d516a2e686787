#include "overlay/overlay_draw.h"

#include <optional>

#include <cmath>

#include "instance/mask_param.h"
#include "instance/param_values.h"
#include "instance/sequence_data.h"
#include "mask/mask_geometry.h"
#include "overlay/feather_handle.h"
#include "platform/runtime/ui_theme.h"
#include "platform/sdk/basic_suite.h"
#include "render/mask_outline.h"
#include "render/render_frame.h"

namespace mask_overlay {
namespace {

using Mask::MaskVertex;
using mask_render::OutlineRecorder;

constexpr FxDrawColor kShadowColor = {0.5f, 0.5f, 0.5f, 0.8f};
constexpr uint32_t kMarqueeState = 5;
constexpr float kDash[2] = {3.0f, 6.0f};

FxDrawColor ControlColor() {
  const qrsui::Color c =
      qrsui::ui::Theme::Get()->GetColor(qrsui::skins::core::utilities::GetInteractiveControlColorID(nullptr));
  return {c.red, c.green, c.blue, c.alpha};
}

template <typename Suite>
const Suite* Acquire(const FxInData* in_data, const char* name, int32_t version) {
  const void* suite = nullptr;
  const FxBasicSuite* basic = in_data->basic_suite;
  if (basic && basic->AcquireSuite && basic->AcquireSuite(name, version, &suite) != FxErr_None) suite = nullptr;
  return static_cast<const Suite*>(suite);
}

// One drawing object (pen, brush, path), released when it goes out of scope.
template <typename Ref>
class Object {
 public:
  Object(const Canvas& canvas, Ref ref) : canvas_(canvas), ref_(ref) {}
  ~Object() {
    if (ref_) canvas_.suites.supplier->ReleaseObject(FxAsDrawObject(ref_));
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  Ref get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  const Canvas& canvas_;
  Ref ref_;
};

Object<FxPenRef> NewPen(const Canvas& c, float width) {
  FxPenRef pen = nullptr;
  if (c.suites.supplier->NewPen(c.supplier, &c.color, width, &pen) != FxErr_None) pen = nullptr;
  return {c, pen};
}

Object<FxPathRef> NewPath(const Canvas& c) {
  FxPathRef path = nullptr;
  if (c.suites.supplier->NewPath(c.supplier, &path) != FxErr_None) path = nullptr;
  return {c, path};
}

void StrokeLine(const Canvas& c, FxPenRef pen, Point from, Point to) {
  Object<FxPathRef> path = NewPath(c);
  if (!path) return;
  c.suites.path->MoveTo(path.get(), from.x, from.y);
  c.suites.path->LineTo(path.get(), to.x, to.y);
  c.suites.surface->StrokePath(c.surface, pen, path.get());
}

// Plays recorded outline entries into a drawing path. There is no close command there: a close
// becomes the straight edge back to its sub-outline's start.
void PlayIntoPath(const Canvas& c, FxPathRef path, const quill::PathPoint* points, const uint32_t* codes,
                  size_t count) {
  Point start{0, 0};
  for (size_t i = 0; i < count; ++i) {
    const quill::PathPoint p = points[i];
    switch (codes[i]) {
      case quill::kPathMoveTo:
        c.suites.path->MoveTo(path, p.x, p.y);
        start = {p.x, p.y};
        break;
      case quill::kPathLineTo: c.suites.path->LineTo(path, p.x, p.y); break;
      case quill::kPathClose: c.suites.path->LineTo(path, start.x, start.y); break;
      case quill::kPathCurvePoint:
        if (i + 2 < count) {
          const FxDrawPoint c1{p.x, p.y}, c2{points[i + 1].x, points[i + 1].y}, end{points[i + 2].x, points[i + 2].y};
          c.suites.path->BezierTo(path, &c1, &c2, &end);
        }
        i += 2;
        break;
      default: break;
    }
  }
}

void StrokeOutline(const Canvas& c, FxPenRef pen, const std::vector<MaskVertex>& screen_vertices, bool open) {
  OutlineRecorder recorder;
  mask_render::BuildMaskOutline(recorder, screen_vertices, open);
  Object<FxPathRef> path = NewPath(c);
  if (!path) return;
  PlayIntoPath(c, path.get(), recorder.points(), recorder.codes(), recorder.count());
  c.suites.surface->StrokePath(c.surface, pen, path.get());
}

// The layer outline offset by `distance`, in layer coordinates. Offsets that fail (a damaged
// shape, or one too intricate to grow) leave it empty, so nothing is drawn rather than something
// wrong.
LayerOutline OffsetLayerOutline(const FxInData* in_data, const std::vector<MaskVertex>& layer_vertices,
                                double distance) {
  LayerOutline outline;
  try {
    OutlineRecorder recorder;
    mask_render::BuildMaskOutline(recorder, layer_vertices);
    mask_render::ComponentRef path = mask_render::NewPathFromRecorder(recorder);
    mask_render::OffsetMaskPath(path, distance, mask_render::RationalValue(in_data->downsample_x),
                                mask_render::RationalValue(in_data->downsample_y),
                                mask_render::RationalValue(in_data->pixel_aspect_ratio));
    int32_t count = 0;
    const void* points = nullptr;
    const void* codes = nullptr;
    mask_render::CheckComponent(mask_render::Paths().get_path_data(path.get(), &count, &points, &codes, nullptr),
                                "GetPathData");
    const auto* p = static_cast<const quill::PathPoint*>(points);
    const auto* c = static_cast<const uint32_t*>(codes);
    outline.points.assign(p, p + count);
    outline.codes.assign(c, c + count);
  } catch (const std::exception&) {
    outline = {};
  }
  return outline;
}

OffsetOutlines OffsetOutlinesOf(const FxInData* in_data, const std::vector<MaskVertex>& layer, float expansion,
                                double feather) {
  OffsetOutlines out;
  if (expansion != 0.0f) out.expansion = OffsetLayerOutline(in_data, layer, expansion);
  if (feather != 0.0) {
    out.feather_outer = OffsetLayerOutline(in_data, layer, expansion + feather * 0.5);
    out.feather_inner = OffsetLayerOutline(in_data, layer, expansion - feather * 0.5);
  }
  return out;
}

// An offset outline moved right and down by `shift` layer units, drawn on screen.
void StrokeOffsetOutline(const Canvas& c, FxPenRef pen, const FxEventExtra& extra, const LayerOutline& outline,
                         float shift) {
  if (outline.points.empty()) return;
  std::vector<quill::PathPoint> screen = outline.points;
  for (quill::PathPoint& p : screen) {
    Point s{p.x + shift, p.y + shift};
    LayerToScreen(extra, s);
    p = {s.x, s.y};
  }
  Object<FxPathRef> path = NewPath(c);
  if (!path) return;
  PlayIntoPath(c, path.get(), screen.data(), outline.codes.data(), screen.size());
  c.suites.surface->StrokePath(c.surface, pen, path.get());
}

void FillCircle(const Canvas& c, Point centre, float radius) {
  FxBrushRef brush_ref = nullptr;
  if (c.suites.supplier->NewBrush(c.supplier, &c.color, &brush_ref) != FxErr_None) return;
  Object<FxBrushRef> brush(c, brush_ref);
  Object<FxPathRef> path = NewPath(c);
  if (!path) return;
  const FxDrawPoint at{centre.x, centre.y};
  c.suites.path->AddArc(path.get(), &at, radius, 0.0f, 360.0f);
  c.suites.surface->FillPath(c.surface, brush.get(), path.get(), 0);
}

bool IsSelected(mask_effect::SequenceRecord* record, size_t index) {
  return record != nullptr && mask_effect::IsSelected(*record, index);
}

void DrawTangentHandles(const Canvas& c, FxPenRef pen, const std::vector<MaskVertex>& v, size_t i,
                        mask_effect::SequenceRecord* record) {
  const size_t n = v.size();
  const bool self = IsSelected(record, i);
  const Point anchor{v[i].anchor_x, v[i].anchor_y};
  if (self || IsSelected(record, (i + n - 1) % n)) {
    const Point in{v[i].in_x, v[i].in_y};
    FillCircle(c, in, 3.0f);
    StrokeLine(c, pen, in, anchor);
  }
  if (self || IsSelected(record, (i + 1) % n)) {
    const Point out{v[i].out_x, v[i].out_y};
    FillCircle(c, out, 3.0f);
    StrokeLine(c, pen, out, anchor);
  }
}

bool AllFinite(Point p) { return std::isfinite(p.x) && std::isfinite(p.y); }

void DrawFeatherHandle(const Canvas& c, const FxInData* in_data, FxParamDef* params[], const FxEventExtra& extra,
                       const PassInput& input) {
  const FeatherHandle h = ComputeFeatherHandle(
      *input.vertices, mask_effect::ReadOverlayIndex(params), mask_effect::ReadOverlayScale(params), input.expansion,
      input.feather, mask_render::RationalValue(in_data->downsample_x),
      mask_render::RationalValue(in_data->downsample_y), mask_render::RationalValue(in_data->pixel_aspect_ratio),
      input.screen_scale);
  Point pa = h.pa, pb = h.pb, pc = h.pc, pd = h.pd;
  for (Point* p : {&pa, &pb, &pc, &pd}) LayerToScreen(extra, *p);
  if (!AllFinite(pa) || !AllFinite(pb) || !AllFinite(pc) || !AllFinite(pd)) return;
  if (Object<FxPenRef> thick = NewPen(c, 2.0f)) StrokeLine(c, thick.get(), pa, pb);
  if (Object<FxPenRef> thin = NewPen(c, 1.0f)) StrokeLine(c, thin.get(), pb, pd);
  const FxDrawRect square{pb.x - 4.0f, pb.y - 4.0f, 8.0f, 8.0f};
  c.suites.surface->PaintRect(c.surface, &c.color, &square);
  DrawCircleHandle(c, pc, 4.0f, false);
  FillCircle(c, pa, 5.0f);
}

// The event window's drawing surface, or nothing when the host gives none.
std::optional<Canvas> CanvasOf(const DrawingSuites& suites, const FxEventExtra& extra, const FxDrawColor& color) {
  FxSupplierRef supplier = nullptr;
  FxSurfaceRef surface = nullptr;
  if (suites.draw->GetSupplier(extra.context->draw_ref, &supplier) != FxErr_None ||
      suites.draw->GetSurface(extra.context->draw_ref, &surface) != FxErr_None)
    return std::nullopt;
  return Canvas{suites, supplier, surface, color};
}

void DrawMarquee(const FxInData* in_data, const FxEventExtra& extra, const mask_effect::SequenceRecord& record,
                 const FxDrawColor& color) {
  DrawingSuites suites(in_data);
  if (!suites.draw || !suites.supplier || !suites.surface || !suites.path) return;  // the pen suite is not needed
  const std::optional<Canvas> canvas = CanvasOf(suites, extra, color);
  if (!canvas) return;
  const Canvas& c = *canvas;
  const mask_effect::Marquee m = mask_effect::MarqueeOf(record);
  // Corners go to the screen as whole layer pixels and come back as whole screen pixels.
  const auto corner = [&](float x, float y) {
    FxFixedPoint f{ToFixed(std::trunc(x)), ToFixed(std::trunc(y))};
    const FxEventCallbacks& cb = extra.callbacks;
    if (cb.layer_to_comp) cb.layer_to_comp(cb.refcon, extra.context, &f);
    if (cb.comp_to_screen) cb.comp_to_screen(cb.refcon, extra.context, &f);
    return Point{std::trunc(FromFixed(f.x)), std::trunc(FromFixed(f.y))};
  };
  const Point a = corner(m.start_x, m.start_y), b = corner(m.end_x, m.end_y);
  Object<FxPenRef> pen = NewPen(c, 1.0f);
  Object<FxPathRef> path = NewPath(c);
  if (!pen || !path) return;
  suites.path->MoveTo(path.get(), a.x, a.y);
  suites.path->LineTo(path.get(), b.x, a.y);
  suites.path->LineTo(path.get(), b.x, b.y);
  suites.path->LineTo(path.get(), a.x, b.y);
  suites.path->LineTo(path.get(), a.x, a.y);
  suites.surface->PushState(c.surface);
  suites.surface->StrokePath(c.surface, pen.get(), path.get());
  suites.surface->PopState(c.surface);
}

}  // namespace

DrawingSuites::DrawingSuites(const FxInData* in_data) : in_data_(in_data) {
  draw = Acquire<FxDrawSuite>(in_data, kFxDrawSuiteName, kFxDrawSuiteVersion);
  supplier = Acquire<FxSupplierSuite>(in_data, kFxSupplierSuiteName, kFxSupplierSuiteVersion);
  surface = Acquire<FxSurfaceSuite>(in_data, kFxSurfaceSuiteName, kFxSurfaceSuiteVersion);
  path = Acquire<FxPathSuite>(in_data, kFxPathSuiteName, kFxPathSuiteVersion);
  pen = Acquire<FxPenSuite>(in_data, kFxPenSuiteName, kFxPenSuiteVersion);
}

DrawingSuites::~DrawingSuites() {
  const FxBasicSuite* basic = in_data_->basic_suite;
  if (!basic || !basic->ReleaseSuite) return;
  if (draw) basic->ReleaseSuite(kFxDrawSuiteName, kFxDrawSuiteVersion);
  if (supplier) basic->ReleaseSuite(kFxSupplierSuiteName, kFxSupplierSuiteVersion);
  if (surface) basic->ReleaseSuite(kFxSurfaceSuiteName, kFxSurfaceSuiteVersion);
  if (path) basic->ReleaseSuite(kFxPathSuiteName, kFxPathSuiteVersion);
  if (pen) basic->ReleaseSuite(kFxPenSuiteName, kFxPenSuiteVersion);
}

void DrawVertexMarker(const Canvas& c, const FxDrawRect& r, bool selected) {
  if (selected) {
    const FxDrawRect filled{r.left - 1.0f, r.top - 1.0f, r.width + 2.0f, r.height + 2.0f};
    c.suites.surface->PaintRect(c.surface, &c.color, &filled);
    return;
  }
  Object<FxPenRef> pen = NewPen(c, 2.0f);
  Object<FxPathRef> path = NewPath(c);
  if (!pen || !path) return;
  c.suites.path->MoveTo(path.get(), r.left, r.top);
  c.suites.path->LineTo(path.get(), r.left + r.width, r.top);
  c.suites.path->LineTo(path.get(), r.left + r.width, r.top + r.height);
  c.suites.path->LineTo(path.get(), r.left, r.top + r.height);
  c.suites.path->LineTo(path.get(), r.left, r.top - 1.0f);
  c.suites.surface->StrokePath(c.surface, pen.get(), path.get());
}

void DrawCircleHandle(const Canvas& c, Point centre, float radius, bool filled) {
  if (filled) {
    FillCircle(c, centre, radius + 1.0f);
    return;
  }
  Object<FxPenRef> pen = NewPen(c, 2.0f);
  Object<FxPathRef> path = NewPath(c);
  if (!pen || !path) return;
  const FxDrawPoint at{centre.x, centre.y};
  c.suites.path->AddArc(path.get(), &at, radius, 0.0f, 360.0f);
  c.suites.surface->StrokePath(c.surface, pen.get(), path.get());
}

void DrawMaskPass(const FxInData* in_data, FxParamDef* params[], const FxEventExtra& extra, const PassInput& input,
                  const FxDrawColor& color) {
  DrawingSuites suites(in_data);
  if (!suites.complete()) return;
  const std::optional<Canvas> canvas = CanvasOf(suites, extra, color);
  if (!canvas) return;
  const Canvas& c = *canvas;
  suites.surface->PushState(c.surface);
  suites.surface->SetAntiAliasPolicy(c.surface, 2);
  suites.surface->SetInterpolationPolicy(c.surface, 2);

  const std::vector<MaskVertex>& layer = *input.vertices;
  std::vector<MaskVertex> screen = layer;
  VerticesToScreen(extra, screen);
  const bool open = input.shape->mode == Mask::kMaskModeOpen;
  if (Object<FxPenRef> pen = NewPen(c, 2.0f)) StrokeOutline(c, pen.get(), screen, open);

  mask_effect::SequenceRecord* record = mask_effect::RecordOf(in_data);
  if (Object<FxPenRef> pen = NewPen(c, 1.5f)) {
    for (size_t i = 0; i < screen.size(); ++i) {
      const MaskVertex& v = screen[i];
      DrawVertexMarker(c, {v.anchor_x - 3.0f, v.anchor_y - 3.0f, 6.0f, 6.0f}, IsSelected(record, i));
      if (input.show_handles && v.kind == Mask::kVertexCurve) DrawTangentHandles(c, pen.get(), screen, i, record);
    }
  }
  if (!open) {
    const OffsetOutlines& offsets = *input.offsets;
    const float shift = input.offsets_shift;
    if (input.expansion != 0.0f) {
      if (Object<FxPenRef> pen = NewPen(c, 1.0f)) StrokeOffsetOutline(c, pen.get(), extra, offsets.expansion, shift);
    }
    if (input.feather != 0.0) {
      if (Object<FxPenRef> dashed = NewPen(c, 1.0f)) {
        suites.pen->SetDashPattern(dashed.get(), kDash, 2);
        for (const LayerOutline* outline : {&offsets.feather_outer, &offsets.feather_inner})
          StrokeOffsetOutline(c, dashed.get(), extra, *outline, shift);
      }
    }
    DrawFeatherHandle(c, in_data, params, extra, input);
  }
  suites.surface->PopState(c.surface);
}

FxErr DrawMaskOverlay(FxInData* in_data, FxOutData*, FxParamDef* params[], FxEventExtra* extra) {
  if (extra == nullptr || extra->context == nullptr || extra->context->window_type != FxWindow_Composition)
    return FxErr_None;
  Mask::MaskShape shape;
  Mask::ReadMaskShape(in_data, params, shape);
  mask_effect::SequenceRecord* record = mask_effect::RecordOf(in_data);
  const bool marquee = record != nullptr && mask_effect::InteractionStateIs(*record, kMarqueeState);
  const FxDrawColor control = ControlColor();
  if (!shape.vertices.empty()) {
    std::vector<MaskVertex> placed;
    Mask::PlaceInPixels(shape, float(in_data->width), float(in_data->height), placed);
    PassInput input{&placed,
                    (shape.mode == Mask::kMaskModeClosed || shape.mode == Mask::kMaskModeOpen) && !marquee,
                    &shape,
                    mask_effect::ReadFeather(params),
                    mask_effect::ReadExpansion(params),
                    ScreenScale(*extra, in_data->width, in_data->height)};
    // The shadow: the same drawing one screen pixel right and down, in grey.
    std::vector<MaskVertex> shadow = placed;
    for (MaskVertex& v : shadow) {
      v.anchor_x += input.screen_scale, v.in_x += input.screen_scale, v.out_x += input.screen_scale;
      v.anchor_y += input.screen_scale, v.in_y += input.screen_scale, v.out_y += input.screen_scale;
    }
    // Both passes draw the same offset outlines, the shadow's moved with its vertices.
    const OffsetOutlines offsets = shape.mode == Mask::kMaskModeOpen
                                       ? OffsetOutlines{}
                                       : OffsetOutlinesOf(in_data, placed, input.expansion, input.feather);
    input.offsets = &offsets;
    PassInput shadow_input = input;
    shadow_input.vertices = &shadow;
    shadow_input.offsets_shift = input.screen_scale;
    DrawMaskPass(in_data, params, *extra, shadow_input, kShadowColor);
    DrawMaskPass(in_data, params, *extra, input, control);
  }
  if (marquee) DrawMarquee(in_data, *extra, *record, control);
  extra->out_flags = FxEventOut_Handled;
  return FxErr_None;
}

}  // namespace mask_overlay
