// A person editing the mask in a view, one action at a time, as an editor's composition view
// delivers them: a press is a click event, moves while the button is down are drag events
// carrying the effect's gesture, the release is the gesture's last drag event, keys are key
// events, and the view is redrawn after each. The overlay can be drawn on its own at any time
// (for a view that shows it over the frame).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/documents/edit_script.h"
#include "host/hosting/effect_host.h"
#include "host/suites/drawing_suites.h"
#include "host/suites/view_transform.h"

namespace host {

class LiveEditor {
 public:
  // A view of view_width x view_height screen pixels onto the effect's layer.
  LiveEditor(EffectHost& effect, const ViewTransform& view, int32_t view_width, int32_t view_height);
  // A gesture still in progress is released where the pointer was last, so the effect can end it.
  ~LiveEditor();
  LiveEditor(const LiveEditor&) = delete;
  LiveEditor& operator=(const LiveEditor&) = delete;

  // Zoom and pan. The effect measures a gesture in the screen pixels of the view it began in,
  // so a change asked for while the button is down takes effect at the release.
  void SetView(const ViewTransform& view);
  const ViewTransform& view() const { return view_; }
  // The size of the overlay pictures DrawOverlay makes (the view on the screen), at least 1 x 1.
  void SetViewSize(int32_t width, int32_t height);
  int32_t view_width() const { return width_; }
  int32_t view_height() const { return height_; }
  EffectHost& effect() const { return effect_; }

  // Delivers one action at `frame` and redraws. A drag or release with no gesture in progress
  // (the effect took none) is ignored; a press while one is in progress first releases it where
  // the pointer was last (a button cannot go down twice). False, with the effect's failure in
  // `error`, when it fails.
  bool Apply(const EditEvent& event, int64_t frame, std::string& error);
  bool gesture_in_progress() const { return gesture_ != nullptr; }

  // The cursor the effect asks for over screen point (x, y) at `frame` (0 when it asks none).
  int32_t Cursor(int64_t frame, double x, double y, int32_t modifiers);

  // The overlay the effect draws at `frame`, alone on a transparent view-sized picture.
  RgbaFrame DrawOverlay(int64_t frame);

 private:
  void Redraw(int64_t frame, OverlayCanvas& canvas);
  void ReleaseGesture();

  EffectHost& effect_;
  ViewTransform view_;
  int32_t width_, height_;
  OverlayCanvas canvas_;                          // the view the events happen in
  void* gesture_ = nullptr;                       // the effect's continuation while the button is down
  EditEvent last_pointer_{EditAction::kRelease};  // the gesture's latest press or drag
  int64_t gesture_frame_ = 0;
  bool view_pending_ = false;
  ViewTransform pending_view_;
};

}  // namespace host
