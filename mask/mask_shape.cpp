#include "mask/mask_shape.h"

#include <bit>
#include <cstring>

namespace Mask {

static_assert(std::endian::native == std::endian::little, "the byte form is little-endian and is copied verbatim");

namespace {

uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

void StoreU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Corners carry no tangents of their own, whatever was stored.
void SnapTangentsToAnchor(MaskVertex& v) {
  v.in_x = v.out_x = v.anchor_x;
  v.in_y = v.out_y = v.anchor_y;
}

bool TangentsAtAnchor(const MaskVertex& v) {
  return v.in_x == v.anchor_x && v.in_y == v.anchor_y && v.out_x == v.anchor_x && v.out_y == v.anchor_y;
}

// The old form kept whatever tangents a corner was stored with, and an outline draws a corner's
// outgoing tangent on the way to a curve vertex. The current form drops a corner's tangents, so
// such a corner becomes a curve vertex whose incoming tangent sits on its anchor: it draws the
// same outline (the edge into it stays straight) and writes back and reads again unchanged. A
// corner's other stray tangents are never drawn and are snapped as the current form snaps them.
void KeepDrawnCornerTangents(std::vector<MaskVertex>& v, uint32_t mode) {
  const size_t n = v.size();
  const bool path = mode == kMaskModeClosed || mode == kMaskModeOpen;
  // Decided on the stored kinds: a corner turned into a curve here must not bend the edge from
  // the vertex before it.
  std::vector<uint32_t> kind(n);
  for (size_t i = 0; i < n; ++i) kind[i] = v[i].kind;
  size_t start = 0;  // first vertex of the current sub-outline
  for (size_t i = 0; i < n; ++i) {
    if (v[i].kind == kVertexSeparator) {
      start = i + 1;
      continue;
    }
    if (v[i].kind != kVertexCorner || TangentsAtAnchor(v[i])) continue;
    // The edge to a separator closes the sub-outline straight; the path's last vertex curves
    // back to its sub-outline's start unless the path is still open.
    const bool drawn =
        path && (i + 1 < n ? kind[i + 1] == kVertexCurve : mode != kMaskModeOpen && kind[start] == kVertexCurve);
    if (drawn && (v[i].out_x != v[i].anchor_x || v[i].out_y != v[i].anchor_y)) {
      v[i].kind = kVertexCurve;
      v[i].in_x = v[i].anchor_x;
      v[i].in_y = v[i].anchor_y;
    } else {
      SnapTangentsToAnchor(v[i]);
    }
  }
}

bool UnflattenOldForm(const uint8_t* bytes, size_t size, MaskShape& shape) {
  if (size < kMaskShapeOldHeaderBytes) return false;
  const uint32_t mode = LoadU32(bytes + 4);
  // Widen before multiplying so no count can wrap the expected size.
  const int64_t count = static_cast<int32_t>(LoadU32(bytes + 8));
  if (count < 0) return false;
  const uint64_t expected = kMaskShapeOldHeaderBytes + static_cast<uint64_t>(count) * kMaskShapeOldVertexBytes;
  if (expected != size) return false;

  std::vector<MaskVertex> vertices(static_cast<size_t>(count));
  const uint8_t* record = bytes + kMaskShapeOldHeaderBytes;
  for (MaskVertex& v : vertices) {
    std::memcpy(static_cast<void*>(&v), record, kMaskShapeOldVertexBytes);  // the first seven fields
    v.linked = 1;
    record += kMaskShapeOldVertexBytes;
  }
  KeepDrawnCornerTangents(vertices, mode);
  shape.mode = mode;
  shape.vertices = std::move(vertices);
  return true;
}

}  // namespace

bool UnflattenMaskShape(const void* data, size_t size, MaskShape& shape) {
  if (data == nullptr || size < 4) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const uint32_t tag = LoadU32(bytes);
  if (tag == kMaskShapeOldTag) return UnflattenOldForm(bytes, size, shape);
  if (size < kMaskShapeHeaderBytes || tag != kMaskShapeTag) return false;

  // The version field is not examined: later writers keep the same layout.
  const uint32_t mode = LoadU32(bytes + 8);
  const int64_t count = static_cast<int32_t>(LoadU32(bytes + 12));
  if (count < 0) return false;
  const uint64_t needed = kMaskShapeHeaderBytes + static_cast<uint64_t>(count) * sizeof(MaskVertex);
  if (needed > size) return false;  // trailing bytes beyond the vertices are ignored

  std::vector<MaskVertex> vertices(static_cast<size_t>(count));
  if (count > 0)
    std::memcpy(static_cast<void*>(vertices.data()), bytes + kMaskShapeHeaderBytes,
                vertices.size() * sizeof(MaskVertex));
  for (MaskVertex& v : vertices)
    if (v.kind == kVertexCorner) SnapTangentsToAnchor(v);
  shape.mode = mode;
  shape.vertices = std::move(vertices);
  return true;
}

void FlattenMaskShape(const MaskShape& shape, std::vector<uint8_t>& bytes) {
  const size_t count = shape.vertices.size();
  bytes.resize(kMaskShapeHeaderBytes + count * sizeof(MaskVertex));
  StoreU32(bytes.data(), kMaskShapeTag);
  StoreU32(bytes.data() + 4, kMaskShapeVersion);
  StoreU32(bytes.data() + 8, shape.mode);
  StoreU32(bytes.data() + 12, static_cast<uint32_t>(count));
  if (count > 0) std::memcpy(bytes.data() + kMaskShapeHeaderBytes, shape.vertices.data(), count * sizeof(MaskVertex));
}

namespace {

struct PointRef {
  float* x = nullptr;
  float* y = nullptr;
  explicit operator bool() const { return x != nullptr; }
};

PointRef PointField(MaskVertex& v, int selector) {
  switch (selector) {
    case kPointAnchor: return {&v.anchor_x, &v.anchor_y};
    case kPointIn: return {&v.in_x, &v.in_y};
    case kPointOut: return {&v.out_x, &v.out_y};
    default: return {};
  }
}

PointRef PointAt(MaskShape& shape, size_t i, int selector) {
  if (i >= shape.vertices.size()) return {};
  return PointField(shape.vertices[i], selector);
}

}  // namespace

size_t VertexCount(const MaskShape& shape) { return shape.vertices.size(); }

uint32_t VertexKindAt(const MaskShape& shape, size_t i) {
  return i < shape.vertices.size() ? shape.vertices[i].kind : 0;
}

void SetVertexKind(MaskShape& shape, size_t i, uint32_t kind) {
  if (i >= shape.vertices.size()) return;
  MaskVertex& v = shape.vertices[i];
  v.kind = kind;
  if (kind == kVertexCorner) SnapTangentsToAnchor(v);
}

NormPoint VertexPoint(const MaskShape& shape, size_t i, int selector) {
  const PointRef p = PointAt(const_cast<MaskShape&>(shape), i, selector);
  return p ? NormPoint{*p.x, *p.y} : NormPoint{};
}

NormPoint VertexPointInPixels(const MaskShape& shape, size_t i, int selector, uint64_t width, uint64_t height) {
  const NormPoint p = VertexPoint(shape, i, selector);
  return {p.x * static_cast<float>(width), p.y * static_cast<float>(height)};
}

void SetVertexPoint(MaskShape& shape, size_t i, int selector, float x, float y) {
  if (const PointRef p = PointAt(shape, i, selector)) {
    *p.x = x;
    *p.y = y;
  }
}

void OffsetVertexPoint(MaskShape& shape, size_t i, int selector, float dx, float dy) {
  if (const PointRef p = PointAt(shape, i, selector)) {
    *p.x += dx;
    *p.y += dy;
  }
}

void SetVertexPointFromPixels(MaskShape& shape, size_t i, int selector, float x, float y, uint64_t width,
                              uint64_t height) {
  SetVertexPoint(shape, i, selector, x / static_cast<float>(width), y / static_cast<float>(height));
}

// The linked accessors are called with indices from hit tests; an index past the end is ignored
// rather than written through.
void SetVertexLinked(MaskShape& shape, size_t i) {
  if (i < shape.vertices.size()) shape.vertices[i].linked = 1;
}

void ClearVertexLinked(MaskShape& shape, size_t i) {
  if (i < shape.vertices.size()) shape.vertices[i].linked = 0;
}

bool IsVertexLinked(const MaskShape& shape, size_t i) {
  return i < shape.vertices.size() && shape.vertices[i].linked != 0;
}

void AppendCornerVertex(MaskShape& shape, float x, float y) {
  shape.vertices.push_back(MaskVertex{kVertexCorner, x, y, x, y, x, y, 1});
}

void AppendCurveVertex(MaskShape& shape, NormPoint anchor, NormPoint in, NormPoint out) {
  shape.vertices.push_back(MaskVertex{kVertexCurve, anchor.x, anchor.y, in.x, in.y, out.x, out.y, 1});
}

}  // namespace Mask
