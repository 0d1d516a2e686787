// The host's pixel format, background frame and parameter group suites.
#pragma once

#include "platform/sdk/pf_suites.h"

namespace host {

const FxPixelFormatSuite* PixelFormatSuite();
const FxBackgroundFrameSuite* BackgroundFrameSuite();
const FxGroupParamSuite* GroupParamSuite();

}  // namespace host
