// The mask shape: a mode and an ordered list of Bezier vertices normalised to the layer,
// with its tagged byte form and the per-vertex accessors the editing code uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Mask {

enum MaskMode : uint32_t {
  kMaskModeClosed = 0,
  kMaskModeEllipse = 1,
  kMaskModeOpen = 2,  // still being drawn; masks nothing. The parameter's default.
};

enum VertexKind : uint32_t {
  kVertexCorner = 0,
  kVertexCurve = 1,
  kVertexSeparator = 2,  // ends one sub-outline
};

enum PointSelector : int {
  kPointAnchor = 0,
  kPointIn = 1,
  kPointOut = 2,
};

// Exactly the 32 bytes of one vertex in the byte form.
struct MaskVertex {
  uint32_t kind = kVertexCorner;
  float anchor_x = 0, anchor_y = 0;
  float in_x = 0, in_y = 0;    // incoming tangent point (absolute, not an offset)
  float out_x = 0, out_y = 0;  // outgoing tangent point
  uint32_t linked = 1;
};
static_assert(sizeof(MaskVertex) == 32, "MaskVertex is copied verbatim into the byte form");

struct MaskShape {
  uint32_t mode = kMaskModeClosed;
  std::vector<MaskVertex> vertices;
};

struct NormPoint {
  float x = 0, y = 0;
};

// Byte form tags, as the 32-bit little-endian value of their four characters.
inline constexpr uint32_t kMaskShapeTag = 0x6e696332;     // "2cin", version 2
inline constexpr uint32_t kMaskShapeOldTag = 0x6e69636b;  // "kcin", read only
inline constexpr uint32_t kMaskShapeVersion = 2;
inline constexpr size_t kMaskShapeHeaderBytes = 16;
inline constexpr size_t kMaskShapeOldHeaderBytes = 12;
inline constexpr size_t kMaskShapeOldVertexBytes = 28;

// Replaces the shape's mode and vertices from a byte form and returns true; on any damage
// (short, unknown tag, a count the bytes do not hold) returns false and leaves it untouched.
bool UnflattenMaskShape(const void* bytes, size_t size, MaskShape& shape);

// Writes the current byte form ("2cin", version 2): 16 + 32 * count bytes.
void FlattenMaskShape(const MaskShape& shape, std::vector<uint8_t>& bytes);

// Vertex accessors. An index at or past the vertex count makes each of them do nothing
// (getters answer 0 / false / the origin).
size_t VertexCount(const MaskShape& shape);
uint32_t VertexKindAt(const MaskShape& shape, size_t i);
void SetVertexKind(MaskShape& shape, size_t i, uint32_t kind);  // a corner's tangents snap to its anchor
NormPoint VertexPoint(const MaskShape& shape, size_t i, int selector);
NormPoint VertexPointInPixels(const MaskShape& shape, size_t i, int selector, uint64_t width, uint64_t height);
void SetVertexPoint(MaskShape& shape, size_t i, int selector, float x, float y);
void OffsetVertexPoint(MaskShape& shape, size_t i, int selector, float dx, float dy);
void SetVertexPointFromPixels(MaskShape& shape, size_t i, int selector, float x, float y, uint64_t width,
                              uint64_t height);
void SetVertexLinked(MaskShape& shape, size_t i);
void ClearVertexLinked(MaskShape& shape, size_t i);
bool IsVertexLinked(const MaskShape& shape, size_t i);
void AppendCornerVertex(MaskShape& shape, float x, float y);
void AppendCurveVertex(MaskShape& shape, NormPoint anchor, NormPoint in, NormPoint out);

}  // namespace Mask
