// The event command (15): mouse clicks and drags, key presses, cursor updates and draw requests
// in one of the host's windows, with the callbacks that convert between screen, composition and
// layer coordinates.
#pragma once

#include <cstdint>

#include "platform/sdk/drawing_suites.h"
#include "platform/sdk/effect_interface.h"

extern "C" {

// 16.16 fixed point: value × 65536.
struct FxFixedPoint {
  int32_t x;
  int32_t y;
};

enum FxWindowType : int32_t {
  FxWindow_Composition = 0,
  FxWindow_Layer = 1,
  FxWindow_Effect = 2,
};

// The window an event happens in and what draws into it.
struct FxEventContext {
  FxWindowType window_type;
  FxDrawRef draw_ref;  // for draw events
  void* host_refcon;   // the host's own; passed back to its callbacks
};

enum FxEventType : int32_t {
  FxEvent_None = 0,
  FxEvent_Click = 2,
  FxEvent_Drag = 3,
  FxEvent_Draw = 4,
  FxEvent_AdjustCursor = 9,
  FxEvent_KeyDown = 10,
};

// The event's own out flags.
enum : int32_t {
  FxEventOut_Handled = 1 << 0,
  FxEventOut_UpdateNow = 1 << 3,
};

enum : int32_t {
  FxModifier_Command = 1 << 8,  // 0x100
  FxModifier_Shift = 1 << 9,    // 0x200
  FxModifier_Option = 1 << 10,  // 0x400
  FxModifier_Control = 1 << 12,
};

// Arrow keys.
enum : int32_t {
  FxKey_Down = 0xFFD8,
  FxKey_Right = 0xFFD9,
  FxKey_Up = 0xFFDA,
  FxKey_Left = 0xFFDB,
};

struct FxMouseEvent {
  int32_t screen_x, screen_y;  // screen pixels
  int32_t modifiers;
  void* continuation;  // the effect's own; handed back with every drag of the gesture
  int32_t send_drag;   // set by the effect to receive the gesture's drag events
  int32_t last;        // set by the host on the gesture's last drag event
};

struct FxKeyEvent {
  int32_t key_code;
  int32_t modifiers;
};

struct FxCursorEvent {
  int32_t screen_x, screen_y;
  int32_t modifiers;
  int32_t cursor;  // set by the effect
};

// Conversions in place; each answers 0 or an error.
struct FxEventCallbacks {
  void* refcon;
  FxErr (*layer_to_comp)(void* refcon, const FxEventContext* context, FxFixedPoint* point);
  FxErr (*comp_to_layer)(void* refcon, const FxEventContext* context, FxFixedPoint* point);
  FxErr (*comp_to_screen)(void* refcon, const FxEventContext* context, FxFixedPoint* point);
  FxErr (*screen_to_comp)(void* refcon, const FxEventContext* context, FxFixedPoint* point);
};

struct FxEventExtra {
  FxEventContext* context;
  FxEventType type;
  int32_t out_flags;  // FxEventOut_*
  FxEventCallbacks callbacks;
  union {
    FxMouseEvent mouse;  // click and drag
    FxKeyEvent key;
    FxCursorEvent cursor;
  } u;
};

}  // extern "C"
