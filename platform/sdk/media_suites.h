// The host media engine's suites: pixel buffers and their cache, the sequence an effect's clip
// sits in, the render graph of that sequence and asynchronous renders of its nodes. All these
// tables are numbered from 0: reservedN and the "// N" notes give each member's entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/pf_suites.h"

extern "C" {

// A pixel buffer owned by whoever received it; disposed through the pixel buffer suite.
using FxPixHandle = struct FxOpaquePixBuffer*;

// A node of the render graph. Nodes handed out by "Acquire" functions are released one by one.
using FxNodeId = int32_t;
inline constexpr FxNodeId kFxNoNode = 0;

using FxSequenceId = int32_t;

// The segments of one sequence, held between acquire and release.
using FxSegmentsRef = struct FxOpaqueSegments*;

// Whole-pixel bounds, right and bottom exclusive: width = right - left, height = bottom - top.
struct FxFrameRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

// ---- Pixel buffers ---------------------------------------------------------------------------

inline constexpr const char* kFxPixSuiteName = "Halvorne HvPix Suite";
inline constexpr int32_t kFxPixSuiteVersion = 1;
struct FxPixSuite {
  // 0
  FxErr (*DisposeBuffer)(FxPixHandle buffer);
  // 1: the lowest address of the buffer's rows, writable, and how many bytes may be read or
  // written from there, so a caller can check rows times row bytes against it.
  FxErr (*GetPixels)(FxPixHandle buffer, void** pixels, size_t* byte_count);
  // 2
  FxErr (*GetBounds)(FxPixHandle buffer, FxFrameRect* bounds);
  // 3: the byte stride between rows.
  FxErr (*GetRowBytes)(FxPixHandle buffer, int32_t* rowbytes);
  // 4
  FxErr (*GetPixelAspectRatio)(FxPixHandle buffer, int32_t* num, int32_t* den);
  // 5: the four-character code of the buffer's pixel format.
  FxErr (*GetPixelFormat)(FxPixHandle buffer, uint32_t* pixel_format);
};

// The GPU path holds this suite for the life of an instance but calls none of its functions; the
// slots only give the table a shape.
inline constexpr const char* kFxPix2SuiteName = "Halvorne HvPix 2 Suite";
inline constexpr int32_t kFxPix2SuiteVersion = 3;
struct FxPix2Suite {
  FxReservedSlot reserved0;
  FxReservedSlot reserved1;
  FxReservedSlot reserved2;
  FxReservedSlot reserved3;
};

// A rendered frame is named by its identifier: 36 characters of GUID text, then a NUL.
inline constexpr size_t kFxFrameIdentifierLength = 36;
inline constexpr size_t kFxFrameIdentifierSize = kFxFrameIdentifierLength + 1;

inline constexpr const char* kFxPixCacheSuiteName = "Halvorne HvPix Cache Suite";
inline constexpr int32_t kFxPixCacheSuiteVersion = 6;
struct FxPixCacheSuite {
  FxReservedSlot reserved0;
  FxReservedSlot reserved1;
  FxReservedSlot reserved2;
  FxReservedSlot reserved3;
  FxReservedSlot reserved4;
  // 5: the cached frame in a new buffer the caller disposes, or null when it is not cached.
  FxErr (*FindFrame)(const char* frame_id, FxPixHandle* buffer);
  // 6: tells the cache a render of this frame is about to be requested.
  FxErr (*AnnounceFrame)(const char* frame_id);
  // 7: drops the frame from the cache.
  FxErr (*RemoveFrame)(const char* frame_id);
};

// ---- The sequence and its render graph -------------------------------------------------------

inline constexpr const char* kFxSequenceInfoSuiteName = "Corvane Sequence Info Suite";
inline constexpr int32_t kFxSequenceInfoSuiteVersion = 4;
struct FxSequenceInfoSuite {
  // 0
  FxErr (*GetFrameRect)(FxSequenceId sequence, FxFrameRect* rect);
  // 1
  FxErr (*GetPixelAspectRatio)(FxSequenceId sequence, int32_t* num, int32_t* den);
  // 2: the duration of one sequence frame in host ticks.
  FxErr (*GetTimebase)(FxSequenceId sequence, int64_t* ticks_per_frame);
};

inline constexpr const char* kFxVideoSegmentSuiteName = "Corvane Video Segment Suite";
inline constexpr int32_t kFxVideoSegmentSuiteVersion = 6;
struct FxVideoSegmentSuite {
  // 0
  FxErr (*AcquireSegments)(FxSequenceId sequence, FxSegmentsRef* segments);
  FxReservedSlot reserved1;
  FxReservedSlot reserved2;
  // 3
  FxErr (*ReleaseSegments)(FxSegmentsRef segments);
  FxReservedSlot reserved4;
  FxReservedSlot reserved5;
  FxReservedSlot reserved6;
  FxReservedSlot reserved7;
  // 8: releases a node from any of the Acquire functions.
  FxErr (*ReleaseNode)(FxNodeId node);
  // 9: the node's type name, NUL-terminated, in name[0..name_size); fails without writing a
  // partial name when it does not fit.
  FxErr (*GetNodeType)(FxNodeId node, char* name, size_t name_size);
  // 10
  FxErr (*GetInputCount)(FxNodeId node, int32_t* count);
  // 11
  FxErr (*AcquireInputNode)(FxNodeId node, int32_t index, FxNodeId* input);
  // 12
  FxErr (*GetOperatorCount)(FxNodeId node, int32_t* count);
  // 13
  FxErr (*AcquireOperatorNode)(FxNodeId node, int32_t index, FxNodeId* op);
  FxReservedSlot reserved14;
  // 15: a property as NUL-terminated text of *length characters, allocated by the host and freed
  // by the caller with the host's pointer disposer (HvDisposePtr). A missing property fails and
  // leaves *value null.
  FxErr (*GetNodeProperty)(FxNodeId node, const char* property, char** value, size_t* length);
  FxReservedSlot reserved16;
  FxReservedSlot reserved17;
  FxReservedSlot reserved18;
  FxReservedSlot reserved19;
  FxReservedSlot reserved20;
  // 21: the node at a sequence time; kFxNoNode with a non-zero result when there is none.
  FxErr (*AcquireNodeAtTime)(FxSegmentsRef segments, int64_t sequence_ticks, FxNodeId* node);
  FxReservedSlot reserved22;
  FxReservedSlot reserved23;
  FxReservedSlot reserved24;
  // 25: the node covering a time range; kFxNoNode with a non-zero result when there is none.
  FxErr (*AcquireNodeForRange)(FxSegmentsRef segments, int64_t start_ticks, int64_t duration_ticks, FxNodeId* node);
};

// ---- Renders ---------------------------------------------------------------------------------

inline constexpr uint32_t kFxRenderPixelFormat_argb = FxFourCC('a', 'r', 'g', 'b');

// What to render. request_kind, quality and precision are the host's settings; the module
// passes 1, 3 and 3.
struct FxRenderDescription {
  int32_t request_kind;
  int32_t width;
  int32_t height;
  int32_t par_num;
  int32_t par_den;
  int32_t quality;
  int32_t field_type;   // the host's numbering
  int32_t both_fields;  // 1: both fields of an interlaced frame
  int32_t precision;
  int32_t pixel_format_count;     // entries in pixel_formats; 0 when no list is given
  const uint32_t* pixel_formats;  // four-character codes, most wanted first
};

// Called once per started render, on a host thread, possibly before StartAsyncRender has
// returned. buffer is null when the render failed or was cancelled; otherwise the callback owns
// it and disposes it.
using FxRenderCompletion = void (*)(FxPixHandle buffer, void* user_data);

inline constexpr const char* kFxVideoSegmentRenderSuiteName = "Corvane Video Segment Render Suite";
inline constexpr int32_t kFxVideoSegmentRenderSuiteVersion = 5;
struct FxVideoSegmentRenderSuite {
  FxReservedSlot reserved0;
  // 1: the identifier of the frame a render of node at time_ticks would produce, written with
  // its NUL into identifier, which holds identifier_size (at least kFxFrameIdentifierSize) bytes.
  FxErr (*GetFrameIdentifier)(FxNodeId node, int64_t time_ticks, int64_t frame_duration_ticks,
                              const FxRenderDescription* description, char* identifier, size_t identifier_size);
  FxReservedSlot reserved2;
  FxReservedSlot reserved3;
  FxReservedSlot reserved4;
  FxReservedSlot reserved5;
  FxReservedSlot reserved6;
  FxReservedSlot reserved7;
  FxReservedSlot reserved8;
  // 9: cancels a render in flight; its completion still arrives, without a buffer.
  FxErr (*CancelRender)(int32_t request_id);
  FxReservedSlot reserved10;
  // 11: starts rendering node at time_ticks into the cache. Returns the request id (0 or more),
  // or a negative value when no render was started and on_done will not be called.
  int32_t (*StartAsyncRender)(FxNodeId node, int64_t time_ticks, int64_t frame_duration_ticks,
                              const FxRenderDescription* description, FxRenderCompletion on_done, void* user_data);
};

}  // extern "C"

// The table positions the module relies on.
static_assert(offsetof(FxPixSuite, GetRowBytes) == 3 * sizeof(void (*)()));
static_assert(offsetof(FxPixSuite, GetPixelFormat) == 5 * sizeof(void (*)()));
static_assert(sizeof(FxPixSuite) == 6 * sizeof(void (*)()));
static_assert(offsetof(FxPixCacheSuite, FindFrame) == 5 * sizeof(void (*)()));
static_assert(sizeof(FxPixCacheSuite) == 8 * sizeof(void (*)()));
static_assert(sizeof(FxSequenceInfoSuite) == 3 * sizeof(void (*)()));
static_assert(offsetof(FxVideoSegmentSuite, ReleaseSegments) == 3 * sizeof(void (*)()));
static_assert(offsetof(FxVideoSegmentSuite, ReleaseNode) == 8 * sizeof(void (*)()));
static_assert(offsetof(FxVideoSegmentSuite, AcquireOperatorNode) == 13 * sizeof(void (*)()));
static_assert(offsetof(FxVideoSegmentSuite, GetNodeProperty) == 15 * sizeof(void (*)()));
static_assert(offsetof(FxVideoSegmentSuite, AcquireNodeAtTime) == 21 * sizeof(void (*)()));
static_assert(sizeof(FxVideoSegmentSuite) == 26 * sizeof(void (*)()));
static_assert(offsetof(FxVideoSegmentRenderSuite, GetFrameIdentifier) == 1 * sizeof(void (*)()));
static_assert(offsetof(FxVideoSegmentRenderSuite, CancelRender) == 9 * sizeof(void (*)()));
static_assert(sizeof(FxVideoSegmentRenderSuite) == 12 * sizeof(void (*)()));
