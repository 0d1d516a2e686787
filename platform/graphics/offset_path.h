// The graphics component's offset-path service ("ZPROffsetPathInterface").
#pragma once

#include <cstdint>

extern "C" {

// Receives the offset outline one segment at a time. type: 0 move-to (x1, y1), 1 line-to
// (x1, y1), 2 cubic (x1, y1) (x2, y2) (x3, y3), 3 close. Returns 0 to go on.
using ZPROffsetSegmentCallback = int32_t (*)(float x1, float y1, float x2, float y2, float x3,
                                             float y3, int32_t type, void* user);

// Streams the outline of a path offset by a signed distance to the callback.
using ZPRGetOffsetPathProc = int32_t (*)(ZPROffsetSegmentCallback callback, void* reserved,
                                         void* user, int32_t segment_count, const void* points,
                                         const void* codes, int32_t flags, float distance,
                                         int32_t join, int32_t cap, float miter_limit,
                                         int32_t closed, float dash_offset, float dash_phase,
                                         int32_t smooth, float tolerance, int32_t options,
                                         void* progress, float precision);
using ZPRGetStrokePathProc = int32_t (*)(ZPROffsetSegmentCallback callback, void* user,
                                         int32_t segment_count, const void* points,
                                         const void* codes, float width);
using ZPRGetDashPathProc = int32_t (*)(ZPROffsetSegmentCallback callback, void* user,
                                       int32_t segment_count, const void* points,
                                       const void* codes, const float* dashes,
                                       int32_t dash_count);

int32_t ZPROffsetPathGetOffsetPathV4(ZPROffsetSegmentCallback callback, void* reserved, void* user,
                                     int32_t segment_count, const void* points, const void* codes,
                                     int32_t flags, float distance, int32_t join, int32_t cap,
                                     float miter_limit, int32_t closed, float dash_offset,
                                     float dash_phase, int32_t smooth, float tolerance,
                                     int32_t options, void* progress, float precision);
int32_t ZPROffsetPathGetStrokePathV3(ZPROffsetSegmentCallback callback, void* user,
                                     int32_t segment_count, const void* points, const void* codes,
                                     float width);
int32_t ZPROffsetPathGetDashPathProcV1(ZPROffsetSegmentCallback callback, void* user,
                                       int32_t segment_count, const void* points,
                                       const void* codes, const float* dashes, int32_t dash_count);

// Result of a service that this build does not provide yet.
inline constexpr int32_t kZPRErrUnsupported = -2;

}  // extern "C"
