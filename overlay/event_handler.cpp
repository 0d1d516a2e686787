#include "overlay/event_handler.h"

#include <cmath>
#include <memory>

#include "instance/mask_param.h"
#include "instance/param_ids.h"
#include "instance/param_values.h"
#include "instance/sequence_data.h"
#include "mask/mask_geometry.h"
#include "overlay/drag_state.h"
#include "overlay/feather_handle.h"
#include "overlay/hit_test.h"
#include "overlay/overlay_draw.h"
#include "platform/sdk/events.h"
#include "platform/sdk/private_suites.h"
#include "platform/sdk/utility_suite.h"
#include "render/render_frame.h"
#include "services/suite_access.h"

namespace mask_overlay {
namespace {

using Mask::MaskShape;
using Mask::MaskVertex;
using mask_effect::SequenceRecord;

constexpr float kRotationSnapDegrees = 15.0f;

// What every handler works from: the shape as the parameter holds it now, placed in layer pixels.
struct Scene {
  FxInData* in;
  FxOutData* out;
  FxParamDef** params;
  FxEventExtra& extra;
  SequenceRecord& record;
  MaskShape shape;
  std::vector<MaskVertex> placed;
  float width, height;  // the layer
  float s;              // layer units per screen pixel

  Scene(FxInData* in_data, FxOutData* out_data, FxParamDef** p, FxEventExtra& e, SequenceRecord& r)
      : in(in_data), out(out_data), params(p), extra(e), record(r), width(float(in_data->width)),
        height(float(in_data->height)) {
    Mask::ReadMaskShape(in, params, shape);
    Mask::PlaceInPixels(shape, width, height, placed);
    s = ScreenScale(extra, in->width, in->height);
  }
  void Commit(const MaskShape& edited) { Mask::WriteMaskShapeToParam(in, params, edited); }
  FeatherHandle Handle() const {
    return ComputeFeatherHandle(placed, mask_effect::ReadOverlayIndex(params), mask_effect::ReadOverlayScale(params),
                                mask_effect::ReadExpansion(params), mask_effect::ReadFeather(params),
                                mask_render::RationalValue(in->downsample_x),
                                mask_render::RationalValue(in->downsample_y),
                                mask_render::RationalValue(in->pixel_aspect_ratio), s);
  }
};

int64_t ToFixed16(double screen) { return std::llround(screen * 65536.0); }  // half away from zero

Point ScreenPointOf(const FxMouseEvent& m) { return {float(m.screen_x), float(m.screen_y)}; }

Point LayerOfScreen(const FxEventExtra& extra, Point screen) {
  ScreenToLayer(extra, screen);
  return screen;
}

Point LayerOfFixed(const FxEventExtra& extra, int64_t x, int64_t y) {
  return LayerOfScreen(extra, {float(x / 65536.0), float(y / 65536.0)});
}

// A redraw now, as the host draws its view; without the utility suite the event cannot go on.
void RequestRedraw(Scene& sc) {
  mask_effect::ScopedSuite utility(sc.in, kFxUtilitySuiteName, kFxUtilitySuiteVersion, sc.out);
  utility.get<FxUtilitySuite>()->RedrawEventContext(sc.extra.context, nullptr);
  sc.extra.out_flags |= FxEventOut_UpdateNow;
}

MaskDragState* StartDrag(Scene& sc, int64_t mode, Point screen_start) {
  auto state = std::make_unique<MaskDragState>();
  state->mode = mode;
  state->start_x = state->last_x = ToFixed16(screen_start.x);
  state->start_y = state->last_y = ToFixed16(screen_start.y);
  state->snapshot = std::make_shared<const MaskShape>(sc.shape);
  sc.extra.u.mouse.continuation = state.get();
  sc.extra.u.mouse.send_drag = 1;
  return state.release();
}

const FxMaskingSuite* Masking(mask_effect::ScopedSuite& suite) { return suite.get<FxMaskingSuite>(); }

// Widget, then vertices. True when the click is theirs.
bool HandleAndVertexRoutine(Scene& sc, ScreenPixel click) {
  const int32_t modifiers = sc.extra.u.mouse.modifiers;
  if (sc.shape.mode != Mask::kMaskModeOpen && !sc.placed.empty()) {
    const FeatherHandle handle = sc.Handle();
    if (const std::optional<int32_t> part = HitFeatherHandle(sc.extra, handle, click)) {
      const Point hit = (*part == 0) ? handle.pa : (*part == 1) ? handle.pb : handle.pc;
      Point screen = hit;
      LayerToScreen(sc.extra, screen);
      MaskDragState* state = StartDrag(sc, kDragHandle, screen);
      state->part = *part;
      mask_effect::SetInteractionState(sc.record, kStateHandlePa + uint32_t(*part));
      return true;
    }
  }
  const bool marquee = mask_effect::InteractionStateIs(sc.record, kStateMarquee);
  const bool show_handles =
      (sc.shape.mode == Mask::kMaskModeClosed || sc.shape.mode == Mask::kMaskModeOpen) && !marquee;
  const std::optional<VertexHit> hit = HitVertex(sc.extra, sc.placed, show_handles, &sc.record, click);
  if (!hit) return false;
  const MaskVertex& v = sc.placed[hit->index];

  // Clicking the first vertex of a path being drawn closes it; a drag from there pulls tangents.
  if (sc.shape.mode == Mask::kMaskModeOpen && hit->index == 0 && sc.placed.size() > 2 && hit->part == 0) {
    mask_effect::ScopedSuite masking(sc.in, kFxMaskingSuiteName, kFxMaskingSuiteVersion, sc.out);
    Masking(masking)->ClosePath(sc.in->effect_ref, mask_effect::kParamMaskPath);
    mask_effect::SetInteractionState(sc.record, kStatePullTangents);
    mask_effect::SelectOnly(sc.record, 0);
    Point screen{v.anchor_x, v.anchor_y};
    LayerToScreen(sc.extra, screen);
    StartDrag(sc, kDragPullTangents, screen)->target = 0;
    return true;
  }

  Point point{v.anchor_x, v.anchor_y};
  if (hit->part == 1) point = {v.in_x, v.in_y};
  if (hit->part == 2) point = {v.out_x, v.out_y};
  LayerToScreen(sc.extra, point);

  if (hit->part == 0 && (modifiers & (FxModifier_Option | FxModifier_Control))) {
    const bool rotate = modifiers & FxModifier_Option;
    MaskDragState* state = StartDrag(sc, rotate ? kDragRotate : kDragScale, ScreenPointOf(sc.extra.u.mouse));
    const Mask::PixelPoint c = Mask::CentreInPixels(sc.shape, sc.width, sc.height);
    const Point press = LayerOfScreen(sc.extra, ScreenPointOf(sc.extra.u.mouse));
    state->reference = float(std::atan2(press.y - c.y, press.x - c.x) * 180.0 / M_PI);
    mask_effect::SetInteractionState(sc.record, rotate ? kStateRotate : kStateScale);
    if (rotate) mask_effect::SetRotationReference(sc.record, state->reference);
    return true;
  }
  if (modifiers & FxModifier_Shift) {
    mask_effect::ToggleSelected(sc.record, hit->index);
    if (!mask_effect::IsSelected(sc.record, hit->index)) {
      mask_effect::SetInteractionState(sc.record, kStateIdle);
      return true;
    }
  } else if (!mask_effect::IsSelected(sc.record, hit->index)) {
    mask_effect::SelectOnly(sc.record, hit->index);
  }
  MaskDragState* state = StartDrag(sc, kDragVertex, point);
  state->target = int64_t(hit->index);
  state->part = hit->part;
  state->break_tangents = hit->part != 0 && (modifiers & FxModifier_Option);
  state->delete_on_release = hit->part == 0 && (modifiers & FxModifier_Command) &&
                             sc.shape.mode == Mask::kMaskModeClosed && sc.placed.size() >= 4;
  mask_effect::SetInteractionState(sc.record, kStateVertex);
  return true;
}

void InsertOnEdge(Scene& sc, const EdgeHit& edge) {
  mask_effect::ScopedSuite masking(sc.in, kFxMaskingSuiteName, kFxMaskingSuiteVersion, sc.out);
  if (Masking(masking)->InsertVertex(sc.in->effect_ref, mask_effect::kParamMaskPath, int32_t(edge.edge), edge.t) != 0)
    return;  // refused: nothing to drag
  MaskDragState* state = StartDrag(sc, kDragVertex, ScreenPointOf(sc.extra.u.mouse));
  state->target = int64_t(edge.edge) + 1;
  state->snapshot.reset();  // the host makes the vertex: the first drag reads the shape it made
  mask_effect::SelectOnly(sc.record, uint64_t(state->target));
  mask_effect::SetInteractionState(sc.record, kStateVertex);
}

void OutsideClick(Scene& sc, Point layer) {
  const Point screen = ScreenPointOf(sc.extra.u.mouse);
  if (sc.shape.mode == Mask::kMaskModeOpen) {
    // Drawing: each click outside adds the next vertex; a drag from it pulls its tangents.
    mask_effect::ScopedSuite masking(sc.in, kFxMaskingSuiteName, kFxMaskingSuiteVersion, sc.out);
    if (Masking(masking)->AppendVertex(sc.in->effect_ref, mask_effect::kParamMaskPath, layer.x / sc.width,
                                       layer.y / sc.height) != 0)
      return;
    MaskDragState* state = StartDrag(sc, kDragPullTangents, screen);
    state->target = int64_t(sc.placed.size());
    state->snapshot.reset();
    mask_effect::SelectOnly(sc.record, uint64_t(state->target));
    mask_effect::SetInteractionState(sc.record, kStatePullTangents);
    return;
  }
  MaskDragState* state = StartDrag(sc, kDragMarquee, screen);
  state->toggle = sc.extra.u.mouse.modifiers & FxModifier_Shift;
  state->earlier_selection = mask_effect::SelectionSnapshot(sc.record);
  if (!state->toggle) mask_effect::ClearSelection(sc.record);
  mask_effect::SetInteractionState(sc.record, kStateMarquee);
  mask_effect::SetMarqueeStart(sc.record, layer.x, layer.y);
  mask_effect::SetMarqueeEnd(sc.record, layer.x, layer.y);
}

FxErr HandleMaskClick(Scene& sc) {
  const Point screen = ScreenPointOf(sc.extra.u.mouse);
  const ScreenPixel click{sc.extra.u.mouse.screen_x, sc.extra.u.mouse.screen_y};
  const Point layer = LayerOfScreen(sc.extra, screen);
  const bool inside =
      sc.shape.mode != Mask::kMaskModeOpen && IsInsideMask(sc.shape, sc.placed, layer, sc.width, sc.height);
  sc.extra.out_flags = FxEventOut_Handled;
  if (HandleAndVertexRoutine(sc, click)) {
    RequestRedraw(sc);
    return FxErr_None;
  }
  if (sc.shape.mode != Mask::kMaskModeOpen) {
    if (const std::optional<EdgeHit> edge = HitEdge(sc.shape, sc.placed, layer, kEdgeTolerance, sc.s)) {
      InsertOnEdge(sc, *edge);
      return FxErr_None;
    }
  }
  if (inside) {
    StartDrag(sc, kDragMoveMask, screen);
    mask_effect::SetInteractionState(sc.record, kStateMoveMask);
    return FxErr_None;
  }
  OutsideClick(sc, layer);
  return FxErr_None;
}

MaskShape ShapeMovedBy(const MaskShape& from, float dx, float dy, float width, float height) {
  MaskShape moved = from;
  Mask::MoveAllByPixels(moved, width, height, dx, dy);
  return moved;
}

bool DragVertex(Scene& sc, MaskDragState& st, Point pointer, Point start) {
  if (size_t(st.target) >= sc.shape.vertices.size()) return false;  // the shape changed under the drag
  if (!st.snapshot || st.snapshot->vertices.size() != sc.shape.vertices.size())
    st.snapshot = std::make_shared<const MaskShape>(sc.shape);
  MaskShape edited = *st.snapshot;
  const size_t i = size_t(st.target);
  if (st.part == 0) {
    const float dx = (pointer.x - start.x) / sc.width, dy = (pointer.y - start.y) / sc.height;
    mask_effect::SelectionSet moving = mask_effect::SelectionSnapshot(sc.record);
    moving.insert(i);
    for (uint64_t k : moving) Mask::MoveVertex(edited, size_t(k), dx, dy);
  } else {
    const int own = st.part == 1 ? Mask::kPointIn : Mask::kPointOut;
    const int other = st.part == 1 ? Mask::kPointOut : Mask::kPointIn;
    Mask::SetVertexPointFromPixels(edited, i, own, pointer.x, pointer.y, uint64_t(sc.width), uint64_t(sc.height));
    if (st.break_tangents) {
      Mask::ClearVertexLinked(edited, i);
    } else if (Mask::IsVertexLinked(edited, i)) {
      // The other tangent turns to stay opposite, keeping its own length.
      const Mask::NormPoint a =
          Mask::VertexPointInPixels(edited, i, Mask::kPointAnchor, uint64_t(sc.width), uint64_t(sc.height));
      const Mask::NormPoint o =
          Mask::VertexPointInPixels(*st.snapshot, i, other, uint64_t(sc.width), uint64_t(sc.height));
      const float len = std::hypot(o.x - a.x, o.y - a.y);
      const float dx = pointer.x - a.x, dy = pointer.y - a.y, d = std::hypot(dx, dy);
      if (d > 0 && std::isfinite(len))
        Mask::SetVertexPointFromPixels(edited, i, other, a.x - dx / d * len, a.y - dy / d * len, uint64_t(sc.width),
                                       uint64_t(sc.height));
    }
  }
  sc.Commit(edited);
  return true;
}

bool PullTangents(Scene& sc, MaskDragState& st, Point pointer) {
  if (size_t(st.target) >= sc.shape.vertices.size()) return false;
  MaskShape edited = sc.shape;
  const size_t i = size_t(st.target);
  const Mask::NormPoint a =
      Mask::VertexPointInPixels(edited, i, Mask::kPointAnchor, uint64_t(sc.width), uint64_t(sc.height));
  if (std::hypot(pointer.x - a.x, pointer.y - a.y) < 1.0f) return true;  // not pulled yet
  Mask::SetVertexKind(edited, i, Mask::kVertexCurve);
  Mask::SetVertexPointFromPixels(edited, i, Mask::kPointOut, pointer.x, pointer.y, uint64_t(sc.width),
                                 uint64_t(sc.height));
  Mask::SetVertexPointFromPixels(edited, i, Mask::kPointIn, 2 * a.x - pointer.x, 2 * a.y - pointer.y,
                                 uint64_t(sc.width), uint64_t(sc.height));
  Mask::SetVertexLinked(edited, i);
  sc.Commit(edited);
  return true;
}

void MoveMask(Scene& sc, MaskDragState& st, Point pointer, Point start) {
  float dx = pointer.x - start.x, dy = pointer.y - start.y;
  if (sc.extra.u.mouse.modifiers & FxModifier_Shift) (std::fabs(dx) >= std::fabs(dy) ? dy : dx) = 0;  // along one axis
  sc.Commit(ShapeMovedBy(*st.snapshot, dx, dy, sc.width, sc.height));
}

void RotateMask(Scene& sc, MaskDragState& st, Point pointer) {
  const Mask::PixelPoint c = Mask::CentreInPixels(*st.snapshot, sc.width, sc.height);
  float angle = float(std::atan2(pointer.y - c.y, pointer.x - c.x) * 180.0 / M_PI) - st.reference;
  const bool constrain = sc.extra.u.mouse.modifiers & FxModifier_Shift;
  if (constrain) angle = std::round(angle / kRotationSnapDegrees) * kRotationSnapDegrees;
  if (constrain != mask_effect::RotationFlag(sc.record)) mask_effect::SetRotationReference(sc.record, angle);
  mask_effect::SetRotationFlag(sc.record, constrain);
  MaskShape edited = *st.snapshot;
  Mask::RotateShape(edited, sc.width, sc.height, c.x / sc.width, c.y / sc.height, angle);
  sc.Commit(edited);
}

void ScaleMask(Scene& sc, MaskDragState& st, Point pointer) {
  const Mask::PixelPoint c = Mask::CentreInPixels(*st.snapshot, sc.width, sc.height);
  const Point press = LayerOfFixed(sc.extra, st.start_x, st.start_y);
  const double d0 = std::hypot(double(press.x) - c.x, double(press.y) - c.y);
  const double d1 = std::hypot(double(pointer.x) - c.x, double(pointer.y) - c.y);
  const double factor = (d0 > 0 && d1 > 0) ? d1 / d0 : 1.0;
  MaskShape edited = *st.snapshot;
  Mask::ScaleShape(edited, sc.width, sc.height, c.x / sc.width, c.y / sc.height, factor, factor);
  sc.Commit(edited);
}

void DragHandle(Scene& sc, MaskDragState& st, Point pointer) {
  if (sc.placed.empty()) return;
  const FeatherHandle h = sc.Handle();
  const float dsx = mask_render::RationalValue(sc.in->downsample_x),
              dsy = mask_render::RationalValue(sc.in->downsample_y);
  const float k = (dsx / dsy) / mask_render::RationalValue(sc.in->pixel_aspect_ratio);
  const Point axis{k * h.normal.x, h.normal.y};
  const float axis_length = std::hypot(axis.x, axis.y);
  const auto project = [&](Point base, float& t) {
    const float a2 = axis.x * axis.x + axis.y * axis.y;
    t = a2 > 0 ? ((pointer.x - base.x) * axis.x + (pointer.y - base.y) * axis.y) / a2 : 0;
    return std::fabs(t) * std::sqrt(a2);
  };
  if (mask_effect::InteractionStateIs(sc.record, kStateHandlePa)) {
    uint32_t best_edge = 0;
    float best_t = 0, best_d = INFINITY;
    const size_t edges = sc.placed.size();
    for (uint32_t e = 0; e < edges; ++e) {
      const float t = NearestOnEdge(sc.placed, e, pointer);
      const Point q = EvaluateOutline(sc.placed, e, t).point;
      const float d = std::hypot(q.x - pointer.x, q.y - pointer.y);
      if (d < best_d) best_d = d, best_edge = e, best_t = t;
    }
    mask_effect::WriteOverlayPair(sc.params, best_edge, best_t);
  } else if (mask_effect::InteractionStateIs(sc.record, kStateHandlePb)) {
    float t = 0;
    const float dist = project(h.pa, t);
    float value = std::fabs(HandleValue(dist, sc.s)) * axis_length;
    if ((t < 0) != (mask_effect::ReadExpansion(sc.params) < 0)) value = -value;
    mask_effect::WriteExpansion(sc.params, value);
  } else if (mask_effect::InteractionStateIs(sc.record, kStateHandlePc)) {
    float t = 0;
    const float dist = project(h.pb, t) + h.overshoot;
    // The circle stands beyond the square, on the side the expansion points to; dragging it back
    // past the square means no feather.
    const bool outward = mask_effect::ReadExpansion(sc.params) < 0 ? t <= 0 : t >= 0;
    mask_effect::WriteFeather(sc.params, outward ? 2.0 * HandleValue(dist, sc.s) * axis_length : 0.0);
  }
  (void)st;
}

void DragMarquee(Scene& sc, MaskDragState& st, Point pointer) {
  mask_effect::SetMarqueeEnd(sc.record, pointer.x, pointer.y);
  std::vector<mask_effect::MarqueePoint> anchors;
  for (const MaskVertex& v : sc.placed) anchors.push_back({v.anchor_x, v.anchor_y});
  if (st.toggle) {
    mask_effect::SelectMarqueeToggled(sc.record, anchors, st.earlier_selection);
  } else {
    mask_effect::ClearSelection(sc.record);
    mask_effect::SelectInsideMarquee(sc.record, anchors);
  }
}

void EndGesture(Scene& sc, MaskDragState* st) {
  if (st->delete_on_release && !st->moved && size_t(st->target) < sc.shape.vertices.size()) {
    mask_effect::ScopedSuite masking(sc.in, kFxMaskingSuiteName, kFxMaskingSuiteVersion, sc.out);
    Masking(masking)->DeleteVertex(sc.in->effect_ref, mask_effect::kParamMaskPath, int32_t(st->target));
    mask_effect::ClearSelection(sc.record);
  }
  mask_effect::SetInteractionState(sc.record, kStateIdle);
  delete st;
  sc.extra.u.mouse.continuation = nullptr;
}

FxErr HandleMaskDrag(Scene& sc) {
  auto* st = static_cast<MaskDragState*>(sc.extra.u.mouse.continuation);
  const Point screen = ScreenPointOf(sc.extra.u.mouse);
  const Point pointer = LayerOfScreen(sc.extra, screen);
  const Point start = LayerOfFixed(sc.extra, st->start_x, st->start_y);
  if (ToFixed16(screen.x) != st->start_x || ToFixed16(screen.y) != st->start_y) st->moved = true;
  bool alive = true;
  sc.extra.out_flags = FxEventOut_Handled;
  if (st->moved || st->mode == kDragMarquee) {
    switch (st->mode) {
      case kDragVertex: alive = DragVertex(sc, *st, pointer, start); break;
      case kDragPullTangents: alive = PullTangents(sc, *st, pointer); break;
      case kDragMoveMask: MoveMask(sc, *st, pointer, start); break;
      case kDragRotate: RotateMask(sc, *st, pointer); break;
      case kDragScale: ScaleMask(sc, *st, pointer); break;
      case kDragHandle: DragHandle(sc, *st, pointer); break;
      default:
        DragMarquee(sc, *st, pointer);
        RequestRedraw(sc);
        sc.extra.out_flags = FxEventOut_Handled | FxEventOut_UpdateNow;
        break;
    }
  }
  if (st->mode != kDragScale) {  // a scale always measures from the press
    st->last_x = ToFixed16(screen.x);
    st->last_y = ToFixed16(screen.y);
  }
  if (!alive || sc.extra.u.mouse.last) EndGesture(sc, st);
  return FxErr_None;
}

FxErr HandleMaskKey(Scene& sc) {
  const FxKeyEvent& key = sc.extra.u.key;
  if (key.modifiers & FxModifier_Command) return FxErr_None;
  const float step = (key.modifiers & FxModifier_Shift) ? 10.0f : 1.0f;
  float dx = 0, dy = 0;
  switch (key.key_code) {
    case FxKey_Down: dy = step; break;
    case FxKey_Right: dx = step; break;
    case FxKey_Up: dy = -step; break;
    case FxKey_Left: dx = -step; break;
    default: return FxErr_None;
  }
  MaskShape edited = sc.shape;
  const mask_effect::SelectionSet selected = mask_effect::SelectionSnapshot(sc.record);
  if (sc.shape.mode == Mask::kMaskModeEllipse || selected.empty())
    Mask::MoveAllByPixels(edited, sc.width, sc.height, dx, dy);
  else Mask::MoveSelected(edited, selected, sc.width, sc.height, dx, dy);
  sc.Commit(edited);
  sc.extra.out_flags = FxEventOut_Handled;
  return FxErr_None;
}

// What the pointer would do here: 1 over a vertex, 2 over an edge, 3 inside, 0 elsewhere.
FxErr HandleMaskCursor(Scene& sc) {
  FxCursorEvent& c = sc.extra.u.cursor;
  const Point layer = LayerOfScreen(sc.extra, {float(c.screen_x), float(c.screen_y)});
  if (HitVertex(sc.extra, sc.placed, false, &sc.record, {c.screen_x, c.screen_y})) c.cursor = 1;
  else if (sc.shape.mode != Mask::kMaskModeOpen && HitEdge(sc.shape, sc.placed, layer, kEdgeTolerance, sc.s))
    c.cursor = 2;
  else if (sc.shape.mode != Mask::kMaskModeOpen && IsInsideMask(sc.shape, sc.placed, layer, sc.width, sc.height))
    c.cursor = 3;
  else c.cursor = 0;
  sc.extra.out_flags = FxEventOut_Handled;
  return FxErr_None;
}

}  // namespace

FxErr HandleMaskEvent(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld*, void* extra_ptr) {
  auto* extra = static_cast<FxEventExtra*>(extra_ptr);
  if (extra == nullptr || params == nullptr) return FxErr_None;
  if (extra->type == FxEvent_Draw) return DrawMaskOverlay(in_data, out_data, params, extra);
  if (extra->context == nullptr || extra->context->window_type != FxWindow_Composition) return FxErr_None;
  // Editing needs the per-instance record; before the host made one there is nothing to edit with.
  SequenceRecord* record = mask_effect::RecordOf(in_data);
  if (record == nullptr) return FxErr_None;
  switch (extra->type) {
    case FxEvent_Click:
    case FxEvent_Drag: {
      Scene sc(in_data, out_data, params, *extra, *record);
      if (extra->type == FxEvent_Drag && extra->u.mouse.continuation == nullptr) return FxErr_None;  // not our gesture
      try {
        return extra->u.mouse.continuation != nullptr ? HandleMaskDrag(sc) : HandleMaskClick(sc);
      } catch (...) {
        // An event that cannot finish (a missing suite) ends its gesture rather than leave it
        // with the host.
        delete static_cast<MaskDragState*>(extra->u.mouse.continuation);
        extra->u.mouse.continuation = nullptr;
        mask_effect::SetInteractionState(*record, kStateIdle);
        throw;
      }
    }
    case FxEvent_KeyDown: {
      Scene sc(in_data, out_data, params, *extra, *record);
      return HandleMaskKey(sc);
    }
    case FxEvent_AdjustCursor: {
      Scene sc(in_data, out_data, params, *extra, *record);
      return HandleMaskCursor(sc);
    }
    default: return FxErr_None;
  }
}

}  // namespace mask_overlay
