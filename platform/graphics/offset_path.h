// The graphics component's offset-path service ("ZPROffsetPathInterface").
#pragma once

#include <cstdint>

extern "C" {

// Receives the offset outline one segment at a time. type: 0 move-to (x1, y1), 1 line-to
// (x1, y1), 2 cubic (x1, y1) (x2, y2) (x3, y3), 3 close. Returns 0 to go on.
using ZPROffsetSegmentCallback = int32_t (*)(float x1, float y1, float x2, float y2, float x3, float y3, int32_t type,
                                             void* user);

// Streams the outline of a path offset by a signed distance to the callback.
using ZPRGetOffsetPathProc = int32_t (*)(ZPROffsetSegmentCallback callback, void* reserved, void* user,
                                         int32_t segment_count, const void* points, const void* codes, int32_t flags,
                                         float distance, int32_t join, int32_t cap, float miter_limit, int32_t closed,
                                         float dash_offset, float dash_phase, int32_t smooth, float tolerance,
                                         int32_t options, void* progress, float precision);
using ZPRGetStrokePathProc = int32_t (*)(ZPROffsetSegmentCallback callback, void* user, int32_t segment_count,
                                         const void* points, const void* codes, float width);
using ZPRGetDashPathProc = int32_t (*)(ZPROffsetSegmentCallback callback, void* user, int32_t segment_count,
                                       const void* points, const void* codes, const float* dashes, int32_t dash_count);

int32_t ZPROffsetPathGetOffsetPathV4(ZPROffsetSegmentCallback callback, void* reserved, void* user,
                                     int32_t segment_count, const void* points, const void* codes, int32_t flags,
                                     float distance, int32_t join, int32_t cap, float miter_limit, int32_t closed,
                                     float dash_offset, float dash_phase, int32_t smooth, float tolerance,
                                     int32_t options, void* progress, float precision);
int32_t ZPROffsetPathGetStrokePathV3(ZPROffsetSegmentCallback callback, void* user, int32_t segment_count,
                                     const void* points, const void* codes, float width);
int32_t ZPROffsetPathGetDashPathProcV1(ZPROffsetSegmentCallback callback, void* user, int32_t segment_count,
                                       const void* points, const void* codes, const float* dashes, int32_t dash_count);

// Results of the offset services besides 0.
inline constexpr int32_t kZPRErrUnsupported = -2;
inline constexpr int32_t kZPRErrBadPath = -3;  // malformed codes or non-finite coordinates
// The outline is sound but too intricate to offset in reasonable time (kMaxOffsetWork).
inline constexpr int32_t kZPRErrTooComplex = -4;

}  // extern "C"

#include "platform/graphics/path_data.h"

namespace quill {

// Largest distance, in pixels, between a curve and the lines that stand for it: the input's
// cubics are flattened to it and the round joins' arcs drawn to it, so a curved stretch of the
// offset outline lies within twice this of the true offset. Outlines of more than a few hundred
// vertices are offset piecewise: they may lose vertices that move them by less than 1/64 pixel,
// and the result may reach up to 1/16 pixel beyond the true offset, still within that band.
inline constexpr float kOffsetTolerance = 1.0f / 8;

// Streams the outline of `path` grown (distance > 0) or shrunk (distance < 0) by |distance|
// pixels, with round joins, to `sink` as move-to / line-to / close segments. Overlapping and
// self-intersecting input is first resolved with non-zero winding, so the result is the set of
// points within |distance| of the filled region (growing) or of points at least |distance|
// inside it (shrinking); a region that shrinks away streams nothing. Returns 0, or
// kZPRErrBadPath for malformed input or kZPRErrTooComplex for an outline beyond kMaxOffsetWork
// (nothing streamed either way), or the sink's first non-zero result.
int32_t OffsetOutline(const PathView& path, float distance, ZPROffsetSegmentCallback sink, void* user);

// Largest |coordinate| OffsetOutline accepts, in pixels (2^18, over thirty times an 8K frame);
// a path reaching beyond it is refused as damaged.
inline constexpr double kMaxOffsetCoordinate = 262144;

// Largest sweep work OffsetOutline takes on, beyond which it answers kZPRErrTooComplex: the sum,
// over the distinct heights of the flattened outline's vertices, of the edges spanning each
// height, which the polygon library's time follows (about 0.1 us a unit). A smooth outline costs
// a few units a vertex, so a million vertices are far within; outlines with thousands of edges
// across every horizontal line are not (a frame-sized star of 10,000 spikes is 8 million, of
// 30,000 spikes 73 million).
inline constexpr double kMaxOffsetWork = 2e7;

}  // namespace quill
