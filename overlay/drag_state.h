// One mouse gesture in progress: made by the click that starts it, handed back by the host with
// every drag event of the gesture (the event's continuation slot), freed when the gesture ends.
#pragma once

#include <cstdint>
#include <memory>

#include "instance/sequence_data.h"
#include "mask/mask_shape.h"

namespace mask_overlay {

enum DragMode : int64_t {
  kDragMoveMask = 1,
  kDragVertex = 3,
  kDragRotate = 5,
  kDragScale = 6,
  kDragMarquee = 7,
  kDragPullTangents = 9,
  kDragHandle = 11,
};

// Interaction states kept in the per-instance record while a gesture runs.
enum InteractionState : uint32_t {
  kStateIdle = 0,
  kStateRotate = 1,
  kStateScale = 2,
  kStateVertex = 3,
  kStateMoveMask = 4,
  kStateMarquee = 5,
  kStatePullTangents = 6,
  kStateHandlePa = 7,
  kStateHandlePb = 8,
  kStateHandlePc = 9,
};

struct MaskDragState {
  int64_t mode = 0;
  int64_t target = 0;                               // vertex index
  int32_t part = 0;                                 // 0 anchor, 1 incoming, 2 outgoing tangent
  int64_t start_x = 0, start_y = 0;                 // screen point of the press, 16.16
  int64_t last_x = 0, last_y = 0;                   // screen point of the latest event, 16.16
  bool moved = false;                               // the pointer left the press point
  bool delete_on_release = false;                   // the press asked to delete its vertex
  bool break_tangents = false;                      // a tangent drag that unlinks the pair
  std::shared_ptr<const Mask::MaskShape> snapshot;  // the shape as it was at the press
  float reference = 0;                              // rotation: the pointer's angle at the press
  mask_effect::SelectionSet earlier_selection;      // marquee: the selection before it began
  bool toggle = false;                              // marquee: toggles the earlier selection
};

}  // namespace mask_overlay
