// Start-up and shut-down of the raster engine (TQE). The engine registers its painter
// interfaces with the broker through the getter it is handed.
#pragma once

#include <cstdint>

#include "platform/graphics/component_framework.h"

extern "C" {

int32_t TQE_Initialize(QuillProcGetter getter);  // the library's ordinal 3
void TQE_Terminate();                            // its ordinal 4

}  // extern "C"

namespace quill {
bool RasterEngineRunning();
}
