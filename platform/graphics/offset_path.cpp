#include "platform/graphics/offset_path.h"

// The offset algorithm arrives with the outline code; until then every request is answered
// with an error so that callers take their failure paths instead of masking with nothing.

extern "C" int32_t ZPROffsetPathGetOffsetPathV4(ZPROffsetSegmentCallback, void*, void*, int32_t,
                                                const void*, const void*, int32_t, float, int32_t,
                                                int32_t, float, int32_t, float, float, int32_t,
                                                float, int32_t, void*, float) {
  return kZPRErrUnsupported;
}

extern "C" int32_t ZPROffsetPathGetStrokePathV3(ZPROffsetSegmentCallback, void*, int32_t,
                                                const void*, const void*, float) {
  return kZPRErrUnsupported;
}

extern "C" int32_t ZPROffsetPathGetDashPathProcV1(ZPROffsetSegmentCallback, void*, int32_t,
                                                  const void*, const void*, const float*, int32_t) {
  return kZPRErrUnsupported;
}
