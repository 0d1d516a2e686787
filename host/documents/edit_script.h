// The recorded user actions `maskfx edit` replays against an effect's overlay: presses, drags
// and releases of the mouse button and arrow keys, in screen pixels of a view onto the layer.
//
//   {"format": "mask-edit-events", "version": 1,
//    "zoom": 1.0, "offset": [0, 0],
//    "events": [
//      {"press": [x, y], "modifiers": ["shift", "option", "command", "control"]},
//      {"drag": [x, y]},
//      {"release": [x, y]},
//      {"click": [x, y], "modifiers": ["shift"]},
//      {"key": "left", "modifiers": ["option"]}
//    ]}
//
// Each event holds exactly one action: "press", "drag", "release" or "click" with a screen
// position from -32768 to 32767 (the host hands positions on as 16.16 fixed point), or "key"
// with one of "left", "right", "up", "down". "modifiers" is optional on any event and lists
// the keys held. A "click" is a press and a release at the same place. Gestures must nest: a
// drag or release only while the button is down, a press, click or key only while it is up,
// and the button up again by the end.
//
// The view: screen = layer × zoom + offset, with "zoom" from 1/16 to 16 (default 1) and
// "offset" within ±1000000 (default [0, 0]). Any other field is refused, so a misspelt one
// cannot silently fall back to its default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class EditAction { kPress, kDrag, kRelease, kKey };

struct EditEvent {
  EditAction action;
  double x = 0, y = 0;    // screen pixels; press, drag and release
  int32_t modifiers = 0;  // FxModifier_* bits
  int32_t key_code = 0;   // FxKey_*; key only
};

struct EditScript {
  double zoom = 1, offset_x = 0, offset_y = 0;
  std::vector<EditEvent> events;  // clicks already expanded to a press and a release
};

// Replaces `script` with the one in `text` and returns true. On any fault returns false with
// one line in `error` naming the field ("events[3].drag: expected two numbers", or
// "line L, column C: ..." for broken JSON) and leaves `script` as it was.
bool ParseEditScript(const std::string& text, EditScript& script, std::string& error);
// One event object of the same grammar, on its own (a click gives a press and a release). No
// gesture order is checked: a live view delivers events one at a time.
bool ParseEditEvent(const std::string& text, std::vector<EditEvent>& events, std::string& error);
// As ParseEditScript, from a file; errors start with "PATH: ".
bool ReadEditScript(const std::string& path, EditScript& script, std::string& error);

}  // namespace host
