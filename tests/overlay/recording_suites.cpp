#include "tests/overlay/recording_suites.h"

#include <cstdio>

namespace recording {
namespace {

Log g_log;
int g_ref_token = 0;

std::string Fmt(const char* format, double a = 0, double b = 0, double c = 0, double d = 0, double e = 0,
                double f = 0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b, c, d, e, f);
  return text;
}

// Objects are small records so that a stroke can say which pen it used.
struct Object {
  std::string what;
};

FxDrawObjectRef New(const std::string& what) {
  ++g_log.live_objects;
  return reinterpret_cast<FxDrawObjectRef>(new Object{what});
}
const std::string& What(const void* ref) { return reinterpret_cast<const Object*>(ref)->what; }

FxErr GetSupplier(FxDrawRef, FxSupplierRef* s) {
  *s = reinterpret_cast<FxSupplierRef>(&g_ref_token);
  return FxErr_None;
}
FxErr GetSurface(FxDrawRef, FxSurfaceRef* s) {
  *s = reinterpret_cast<FxSurfaceRef>(&g_ref_token);
  return FxErr_None;
}
FxErr NewPen(FxSupplierRef, const FxDrawColor* c, float width, FxPenRef* pen) {
  *pen = reinterpret_cast<FxPenRef>(
      New(Fmt("pen %.1f (%.2f %.2f %.2f %.2f)", width, c->red, c->green, c->blue, c->alpha)));
  return FxErr_None;
}
FxErr NewBrush(FxSupplierRef, const FxDrawColor* c, FxBrushRef* brush) {
  *brush = reinterpret_cast<FxBrushRef>(New(Fmt("brush (%.2f %.2f %.2f %.2f)", c->red, c->green, c->blue, c->alpha)));
  return FxErr_None;
}
FxErr NewPath(FxSupplierRef, FxPathRef* path) {
  *path = reinterpret_cast<FxPathRef>(New("path:"));
  return FxErr_None;
}
FxErr Release(FxDrawObjectRef object) {
  --g_log.live_objects;
  delete reinterpret_cast<Object*>(object);
  return FxErr_None;
}
FxErr Push(FxSurfaceRef) {
  ++g_log.depth;
  g_log.calls.push_back("push");
  return FxErr_None;
}
FxErr Pop(FxSurfaceRef) {
  --g_log.depth;
  g_log.calls.push_back("pop");
  return FxErr_None;
}
FxErr PaintRect(FxSurfaceRef, const FxDrawColor* c, const FxDrawRect* r) {
  g_log.calls.push_back(Fmt("rect %.2f %.2f %.2f %.2f alpha %.2f", r->left, r->top, r->width, r->height, c->alpha));
  return FxErr_None;
}
FxErr Fill(FxSurfaceRef, FxBrushRef brush, FxPathRef path, int32_t type) {
  g_log.calls.push_back("fill " + What(brush) + " " + What(path) + Fmt(" type %.0f", type));
  return FxErr_None;
}
FxErr Stroke(FxSurfaceRef, FxPenRef pen, FxPathRef path) {
  g_log.calls.push_back("stroke " + What(pen) + " " + What(path));
  return FxErr_None;
}
FxErr Interpolation(FxSurfaceRef, int32_t policy) {
  g_log.calls.push_back(Fmt("interpolation %.0f", policy));
  return FxErr_None;
}
FxErr AntiAlias(FxSurfaceRef, int32_t policy) {
  g_log.calls.push_back(Fmt("antialias %.0f", policy));
  return FxErr_None;
}
std::string& PathText(FxPathRef path) { return reinterpret_cast<Object*>(path)->what; }
FxErr MoveTo(FxPathRef path, float x, float y) {
  PathText(path) += Fmt(" M %.1f %.1f", x, y);
  return FxErr_None;
}
FxErr LineTo(FxPathRef path, float x, float y) {
  PathText(path) += Fmt(" L %.1f %.1f", x, y);
  return FxErr_None;
}
FxErr BezierTo(FxPathRef path, const FxDrawPoint* a, const FxDrawPoint* b, const FxDrawPoint* e) {
  PathText(path) += Fmt(" C %.1f %.1f %.1f %.1f %.1f %.1f", a->x, a->y, b->x, b->y, e->x, e->y);
  return FxErr_None;
}
FxErr AddArc(FxPathRef path, const FxDrawPoint* c, float radius, float start, float sweep) {
  PathText(path) += Fmt(" A %.1f %.1f r %.1f %.0f %.0f", c->x, c->y, radius, start, sweep);
  return FxErr_None;
}
FxErr Dash(FxPenRef pen, const float* lengths, int32_t count) {
  reinterpret_cast<Object*>(pen)->what += Fmt(" dash %.1f %.1f", lengths[0], count > 1 ? lengths[1] : 0);
  return FxErr_None;
}

const FxDrawSuite kDraw = {&GetSupplier, &GetSurface};
const FxSupplierSuite kSupplier = {&NewPen, &NewBrush, nullptr, nullptr, nullptr, nullptr, &NewPath,
                                   nullptr, nullptr,   nullptr, nullptr, nullptr, &Release};
const FxSurfaceSuite kSurface = {&Push,   &Pop,    &PaintRect, &Fill,   &Stroke,        nullptr, nullptr,
                                 nullptr, nullptr, nullptr,    nullptr, &Interpolation, nullptr, &AntiAlias};
const FxPathSuite kPath = {&MoveTo, &LineTo, &BezierTo, nullptr, &AddArc};
const FxPenSuite kPen = {&Dash};

}  // namespace

std::vector<std::string> Log::Matching(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& c : calls)
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  return out;
}

Log& Current() { return g_log; }
void Reset() { g_log = Log{}; }

std::map<std::string, const void*> Suites() {
  return {{kFxDrawSuiteName, &kDraw},
          {kFxSupplierSuiteName, &kSupplier},
          {kFxSurfaceSuiteName, &kSurface},
          {kFxPathSuiteName, &kPath},
          {kFxPenSuiteName, &kPen}};
}

FxDrawRef DrawRef() { return reinterpret_cast<FxDrawRef>(&g_ref_token); }

}  // namespace recording
