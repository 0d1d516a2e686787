// How the host's composition view shows a layer: scaled by a zoom and shifted by an offset
// (screen = layer × zoom + offset; the composition is the layer here), and the event callbacks
// that convert points between the three spaces as 16.16 fixed point.
#pragma once

#include "platform/sdk/events.h"

namespace host {

struct ViewTransform {
  double zoom = 1.0;
  double offset_x = 0, offset_y = 0;
};

// Callbacks whose refcon is `view`, which must outlive them.
FxEventCallbacks ViewCallbacks(const ViewTransform* view);

}  // namespace host
