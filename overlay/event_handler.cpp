#include "overlay/event_handler.h"

#include "overlay/overlay_draw.h"
#include "platform/sdk/events.h"

namespace mask_overlay {

FxErr HandleMaskEvent(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld*, void* extra_ptr) {
  auto* extra = static_cast<FxEventExtra*>(extra_ptr);
  if (extra == nullptr || params == nullptr) return FxErr_None;
  switch (extra->type) {
    case FxEvent_Draw: return DrawMaskOverlay(in_data, out_data, params, extra);
    default: return FxErr_None;  // other events are left unhandled
  }
}

}  // namespace mask_overlay
