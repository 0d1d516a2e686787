// The command entry: routes each host command to its handler, and keeps exceptions from
// crossing into the host.
#pragma once

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"
#include "platform/sdk/world.h"

namespace mask_effect {

using SetupHandler = FxErr (*)(FxInData*, FxOutData*, FxParamDef*[], FxWorld*);
using SequenceHandler = FxErr (*)(FxInData*, FxOutData*);
using TrackHandler = FxErr (*)(FxInData*, FxOutData*, FxParamDef*[], bool forward);
using ExtraHandler = FxErr (*)(FxInData*, FxOutData*, FxParamDef*[], FxWorld*, void* extra);

// One handler per command the module answers. A null handler answers 0 for its command.
struct CommandHandlers {
  SetupHandler global_setup = nullptr;
  SequenceHandler global_setdown = nullptr;
  SetupHandler params_setup = nullptr;
  SequenceHandler sequence_setup = nullptr;
  SequenceHandler sequence_resetup = nullptr;
  SequenceHandler sequence_flatten = nullptr;
  SequenceHandler sequence_setdown = nullptr;
  SetupHandler render = nullptr;
  TrackHandler track = nullptr;
  ExtraHandler event = nullptr;
  ExtraHandler arbitrary_data = nullptr;
};

// The module's own handlers.
const CommandHandlers& ModuleHandlers();

FxErr DispatchEffectCommand(const CommandHandlers& handlers, int32_t command, FxInData* in_data, FxOutData* out_data,
                            FxParamDef* params[], FxWorld* output, void* extra);

// DispatchEffectCommand behind a wall: an exception from a handler becomes an error code, with
// a message for the user unless the handler already left one.
FxErr RunEffectCommand(const CommandHandlers& handlers, int32_t command, FxInData* in_data, FxOutData* out_data,
                       FxParamDef* params[], FxWorld* output, void* extra);

}  // namespace mask_effect
