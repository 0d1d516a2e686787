#include "host/hosting/live_edit.h"

#include <algorithm>
#include <cmath>

namespace host {

LiveEditor::LiveEditor(EffectHost& effect, const ViewTransform& view, int32_t view_width, int32_t view_height)
    : effect_(effect), view_(view), width_(view_width), height_(view_height), canvas_(view_width, view_height) {}

LiveEditor::~LiveEditor() { ReleaseGesture(); }

// The effect owns a gesture's state until its last drag event; ending one the host abandons
// lets the effect free it.
void LiveEditor::ReleaseGesture() {
  if (gesture_ == nullptr) return;
  EditEvent release = last_pointer_;
  release.action = EditAction::kRelease;
  std::string ignored;  // the gesture ends either way: a failed event ends it too
  Apply(release, gesture_frame_, ignored);
}

void LiveEditor::SetView(const ViewTransform& view) {
  if (gesture_ == nullptr) {
    view_ = view;
    return;
  }
  pending_view_ = view;
  view_pending_ = true;
}

void LiveEditor::SetViewSize(int32_t width, int32_t height) {
  width_ = std::clamp(width, 1, 8192);
  height_ = std::clamp(height, 1, 8192);
}

void LiveEditor::Redraw(int64_t frame, OverlayCanvas& canvas) {
  FxEventContext context{FxWindow_Composition, canvas.draw_ref(), nullptr};
  FxEventExtra draw{};
  draw.context = &context;
  draw.type = FxEvent_Draw;
  draw.callbacks = ViewCallbacks(&view_);
  effect_.RunEvent(frame, draw);
}

bool LiveEditor::Apply(const EditEvent& e, int64_t frame, std::string& error) {
  if (e.action != EditAction::kKey && e.action != EditAction::kPress && gesture_ == nullptr) return true;
  if (e.action == EditAction::kPress) ReleaseGesture();
  FxEventContext context{FxWindow_Composition, canvas_.draw_ref(), nullptr};
  FxEventExtra extra{};
  extra.context = &context;
  extra.callbacks = ViewCallbacks(&view_);
  if (e.action == EditAction::kKey) {
    extra.type = FxEvent_KeyDown;
    extra.u.key = {e.key_code, e.modifiers};
  } else {
    extra.type = e.action == EditAction::kPress ? FxEvent_Click : FxEvent_Drag;
    extra.u.mouse.screen_x = int32_t(std::lround(e.x));
    extra.u.mouse.screen_y = int32_t(std::lround(e.y));
    extra.u.mouse.modifiers = e.modifiers;
    extra.u.mouse.continuation = e.action == EditAction::kPress ? nullptr : gesture_;
    extra.u.mouse.last = e.action == EditAction::kRelease;
  }
  const CommandResult result = effect_.RunEvent(frame, extra);
  if (result.err != FxErr_None) {
    error = "the effect failed with error " + std::to_string(result.err) +
            (result.message.empty() ? "" : ": " + result.message);
    gesture_ = nullptr;  // the gesture cannot go on after a failure
    if (view_pending_) view_ = pending_view_, view_pending_ = false;
    return false;
  }
  if (e.action != EditAction::kKey) gesture_ = extra.u.mouse.continuation;
  if (e.action == EditAction::kRelease) gesture_ = nullptr;
  if (gesture_ != nullptr) last_pointer_ = e, gesture_frame_ = frame;
  if (gesture_ == nullptr && view_pending_) {
    view_ = pending_view_;
    view_pending_ = false;
  }
  Redraw(frame, canvas_);
  return true;
}

int32_t LiveEditor::Cursor(int64_t frame, double x, double y, int32_t modifiers) {
  FxEventContext context{FxWindow_Composition, canvas_.draw_ref(), nullptr};
  FxEventExtra extra{};
  extra.context = &context;
  extra.type = FxEvent_AdjustCursor;
  extra.callbacks = ViewCallbacks(&view_);
  extra.u.cursor = {int32_t(std::lround(std::clamp(x, -32768.0, 32767.0))),
                    int32_t(std::lround(std::clamp(y, -32768.0, 32767.0))), modifiers, 0};
  if (effect_.RunEvent(frame, extra).err != FxErr_None) return 0;
  return extra.u.cursor.cursor;
}

RgbaFrame LiveEditor::DrawOverlay(int64_t frame) {
  OverlayCanvas canvas(width_, height_);
  Redraw(frame, canvas);
  return canvas.Picture();
}

}  // namespace host
