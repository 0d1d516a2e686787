#include "platform/runtime/media_formats.h"

namespace qrs {

int32_t SDKToBEFieldType(int32_t sdk_field) {
  switch (sdk_field) {
    case kSDKFieldProgressive: return kBEFieldNone;
    case kSDKFieldUpperFirst: return kBEFieldUpper;
    case kSDKFieldLowerFirst: return kBEFieldLower;
    default: return kBEFieldUnknown;
  }
}

int32_t BEToSDKFieldType(int32_t be_field) {
  switch (be_field) {
    case kBEFieldUpper: return kSDKFieldUpperFirst;
    case kBEFieldLower: return kSDKFieldLowerFirst;
    default: return kSDKFieldProgressive;
  }
}

uint64_t SDKToBEPixelFormat(uint32_t four_cc, bool bottom_up) {
  const uint64_t layout = kBELayoutHostPacked | (bottom_up ? kBELayoutBottomUp : 0u);
  return (layout << 32) | four_cc;
}

bool BEPixelFormatIsBottomUp(uint64_t be_format) {
  const uint32_t layout = static_cast<uint32_t>(be_format >> 32);
  return (layout & 0xc0000) == 0x40000 && (layout & 0xc00) == 0 && (layout & 0x380) != 0;
}

}  // namespace qrs
