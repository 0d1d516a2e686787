#include "platform/graphics/path.h"

#include <new>
#include <string_view>
#include <vector>

namespace {

struct ZPRPath : QuillObject {
  std::vector<quill::PathPoint> points;
  std::vector<uint32_t> codes;
};

void DestroyPath(QuillObject* object) { delete static_cast<ZPRPath*>(object); }

int32_t PathHasInterface(const QuillObject*, const char* name) { return std::string_view(name) == "ZPRPathInterface"; }

const QuillObjectClass kPathClass = {"ZPRPath", &DestroyPath, &PathHasInterface};

ZPRPath* AsPath(QuillObject* object) {
  return object && object->cls == &kPathClass ? static_cast<ZPRPath*>(object) : nullptr;
}

ZPRPath* NewPath() {
  auto* path = new (std::nothrow) ZPRPath;
  if (path) {
    path->cls = &kPathClass;
    path->refs.store(1);
  }
  return path;
}

}  // namespace

extern "C" int32_t ZPRNewPathNewPathV4(QuillObject** out_path, int32_t count, const quill::PathPoint* points,
                                       const uint32_t* codes, int32_t, int32_t, int32_t, void*) {
  if (out_path == nullptr || count < 0 || (count > 0 && (points == nullptr || codes == nullptr)))
    return kZPRErrBadArgument;
  ZPRPath* path = NewPath();
  if (path == nullptr) return kZPRErrNoMemory;
  try {
    path->points.assign(points, points + count);
    path->codes.assign(codes, codes + count);
  } catch (const std::bad_alloc&) {
    DestroyPath(path);
    return kZPRErrNoMemory;
  }
  *out_path = path;
  return 0;
}

extern "C" int32_t ZPRPathGetPathDataProc(QuillObject* object, int32_t* count, const void** points, const void** codes,
                                          intptr_t* unused) {
  ZPRPath* path = AsPath(object);
  if (path == nullptr || count == nullptr || points == nullptr || codes == nullptr) return kZPRErrBadArgument;
  *count = static_cast<int32_t>(path->codes.size());
  *points = path->points.data();
  *codes = path->codes.data();
  if (unused) *unused = 0;
  return 0;
}

extern "C" int32_t ZPRPathTransformProc(QuillObject** out_path, QuillObject* object, const float* matrix, int32_t,
                                        int32_t) {
  ZPRPath* source = AsPath(object);
  if (out_path == nullptr || source == nullptr || matrix == nullptr) return kZPRErrBadArgument;
  quill::Affine m;
  for (int i = 0; i < 6; ++i) m.m[i] = matrix[i];
  ZPRPath* path = NewPath();
  if (path == nullptr) return kZPRErrNoMemory;
  try {
    path->codes = source->codes;
    path->points.reserve(source->points.size());
    for (const quill::PathPoint& p : source->points) path->points.push_back(m.Apply(p));
  } catch (const std::bad_alloc&) {
    DestroyPath(path);
    return kZPRErrNoMemory;
  }
  *out_path = path;
  return 0;
}
