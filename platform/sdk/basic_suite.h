// The basic suite: every other host suite is acquired through it by name and version, and
// released with the same name and version.
#pragma once

#include "platform/sdk/effect_interface.h"

extern "C" {

struct FxBasicSuite {
  // Delivers the suite's function table in *suite, or null with a non-zero result.
  FxErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
  FxErr (*ReleaseSuite)(const char* name, int32_t version);
};

}  // extern "C"
