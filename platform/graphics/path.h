// The graphics component's path object ("ZPRNewPathInterface", "ZPRPathInterface"): an outline
// of move-to, line-to, cubic and close entries (path_data.h).
#pragma once

#include <cstdint>

#include "platform/graphics/component_object.h"
#include "platform/graphics/path_data.h"

extern "C" {

// A new path holding a copy of the entries. reserved, flags, capacity and context are accepted
// for compatibility and do not change the result. Returns 0 or a negative error.
int32_t ZPRNewPathNewPathV4(QuillObject** out_path, int32_t count, const quill::PathPoint* points,
                            const uint32_t* codes, int32_t reserved, int32_t flags, int32_t capacity, void* context);
// The path's entries; the arrays stay valid while the path lives. `unused` may be null.
int32_t ZPRPathGetPathDataProc(QuillObject* path, int32_t* count, const void** points, const void** codes,
                               intptr_t* unused);
// A new path: every point mapped through the 2x3 matrix (m00, m01, m10, m11, m20, m21).
int32_t ZPRPathTransformProc(QuillObject** out_path, QuillObject* path, const float* matrix, int32_t reserved1,
                             int32_t reserved2);

using ZPRNewPathProc = decltype(&ZPRNewPathNewPathV4);
using ZPRGetPathDataProc = decltype(&ZPRPathGetPathDataProc);
using ZPRTransformProc = decltype(&ZPRPathTransformProc);

inline constexpr int32_t kZPRErrBadArgument = -1;
inline constexpr int32_t kZPRErrNoMemory = -4;

}  // extern "C"
