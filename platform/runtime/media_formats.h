// The media layer keeps field types and pixel formats in its own numbering; effects and media
// suites use the plug-in numbering. These convert between the two.
#pragma once

#include <cstdint>

namespace qrs {

// Plug-in field types: 1 progressive, 2 upper field first, 3 lower field first.
inline constexpr int32_t kSDKFieldProgressive = 1;
inline constexpr int32_t kSDKFieldUpperFirst = 2;
inline constexpr int32_t kSDKFieldLowerFirst = 3;

// Media layer field types: 0 whole frame, 1 upper field, 2 lower field, -1 not known.
inline constexpr int32_t kBEFieldNone = 0;
inline constexpr int32_t kBEFieldUpper = 1;
inline constexpr int32_t kBEFieldLower = 2;
inline constexpr int32_t kBEFieldUnknown = -1;

int32_t SDKToBEFieldType(int32_t sdk_field);
// A whole frame, and anything not known, is progressive.
int32_t BEToSDKFieldType(int32_t be_field);

// The media layer's 64-bit pixel format: the four-character code in the low word, the memory
// layout in the high word. Layout bits: 0x40000 packed pixels in host memory, 0x80 rows stored
// last row first.
inline constexpr uint32_t kBELayoutHostPacked = 0x40000;
inline constexpr uint32_t kBELayoutBottomUp = 0x80;
uint64_t SDKToBEPixelFormat(uint32_t four_cc, bool bottom_up = false);
// Whether a media layer pixel format describes packed host-memory rows stored bottom-up.
bool BEPixelFormatIsBottomUp(uint64_t be_format);

}  // namespace qrs
