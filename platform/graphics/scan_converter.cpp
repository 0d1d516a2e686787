#include "platform/graphics/scan_converter.h"
