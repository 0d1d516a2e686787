// The host's overlay drawing suites: a drawing reference leads to a supplier, which makes pens,
// brushes and paths, and to a surface, which paints them. These tables are numbered from 1:
// reservedN is the Nth function of its suite.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sdk/effect_interface.h"
#include "platform/sdk/pf_suites.h"

extern "C" {

// Opaque objects of the drawing host. Pens, brushes and paths are all drawing objects and are
// released through the supplier; FxAsDrawObject (below) names one as such.
using FxDrawRef = struct FxOpaqueDrawRef*;
using FxSupplierRef = struct FxOpaqueSupplier*;
using FxSurfaceRef = struct FxOpaqueSurface*;
using FxDrawObjectRef = struct FxOpaqueDrawObject*;
using FxPenRef = struct FxOpaquePen*;
using FxBrushRef = struct FxOpaqueBrush*;
using FxPathRef = struct FxOpaquePath*;

struct FxDrawColor {
  float red;
  float green;
  float blue;
  float alpha;
};

struct FxDrawPoint {
  float x;
  float y;
};

struct FxDrawRect {
  float left;
  float top;
  float width;
  float height;
};

inline constexpr const char* kFxDrawSuiteName = "DRAWBOT Draw Suite";
inline constexpr int32_t kFxDrawSuiteVersion = 1;
struct FxDrawSuite {
  FxErr (*GetSupplier)(FxDrawRef draw_ref, FxSupplierRef* supplier);
  FxErr (*GetSurface)(FxDrawRef draw_ref, FxSurfaceRef* surface);
};

inline constexpr const char* kFxSupplierSuiteName = "DRAWBOT Supplier Suite";
inline constexpr int32_t kFxSupplierSuiteVersion = 1;
struct FxSupplierSuite {
  // A solid pen of the given stroke width in screen pixels.
  FxErr (*NewPen)(FxSupplierRef supplier, const FxDrawColor* color, float width, FxPenRef* pen);
  FxErr (*NewBrush)(FxSupplierRef supplier, const FxDrawColor* color, FxBrushRef* brush);
  FxReservedSlot reserved3;
  FxReservedSlot reserved4;
  FxReservedSlot reserved5;
  FxReservedSlot reserved6;
  // An empty path.
  FxErr (*NewPath)(FxSupplierRef supplier, FxPathRef* path);
  FxReservedSlot reserved8;
  FxReservedSlot reserved9;
  FxReservedSlot reserved10;
  FxReservedSlot reserved11;
  FxReservedSlot reserved12;
  // Frees a pen, brush or path made by a supplier.
  FxErr (*ReleaseObject)(FxDrawObjectRef object);
};

inline constexpr const char* kFxSurfaceSuiteName = "DRAWBOT Surface Suite";
inline constexpr int32_t kFxSurfaceSuiteVersion = 2;
struct FxSurfaceSuite {
  // Saves the surface's drawing state; every push is matched by a pop.
  FxErr (*PushState)(FxSurfaceRef surface);
  FxErr (*PopState)(FxSurfaceRef surface);
  FxErr (*PaintRect)(FxSurfaceRef surface, const FxDrawColor* color, const FxDrawRect* rect);
  // fill_type is the host's fill rule; 0 is its default.
  FxErr (*FillPath)(FxSurfaceRef surface, FxBrushRef brush, FxPathRef path, int32_t fill_type);
  FxErr (*StrokePath)(FxSurfaceRef surface, FxPenRef pen, FxPathRef path);
  FxReservedSlot reserved6;
  FxReservedSlot reserved7;
  FxReservedSlot reserved8;
  FxReservedSlot reserved9;
  FxReservedSlot reserved10;
  FxReservedSlot reserved11;
  // policy is one of the host's image interpolation settings.
  FxErr (*SetInterpolationPolicy)(FxSurfaceRef surface, int32_t policy);
  FxReservedSlot reserved13;
  // policy is one of the host's anti-aliasing settings.
  FxErr (*SetAntiAliasPolicy)(FxSurfaceRef surface, int32_t policy);
};

inline constexpr const char* kFxPathSuiteName = "DRAWBOT Path Suite";
inline constexpr int32_t kFxPathSuiteVersion = 1;
struct FxPathSuite {
  // Starts a new figure at (x, y).
  FxErr (*MoveTo)(FxPathRef path, float x, float y);
  FxErr (*LineTo)(FxPathRef path, float x, float y);
  // A cubic segment from the current point to end, shaped by the two control points.
  FxErr (*BezierTo)(FxPathRef path, const FxDrawPoint* control1, const FxDrawPoint* control2, const FxDrawPoint* end);
  FxReservedSlot reserved4;
  // An arc of a circle as a figure of its own; angles in degrees, sweep 360 gives the circle.
  FxErr (*AddArc)(FxPathRef path, const FxDrawPoint* center, float radius, float start_angle, float sweep_angle);
};

inline constexpr const char* kFxPenSuiteName = "DRAWBOT Pen Suite";
inline constexpr int32_t kFxPenSuiteVersion = 1;
struct FxPenSuite {
  // Alternating dash and gap lengths in screen pixels; the host reads exactly count of them.
  FxErr (*SetDashPattern)(FxPenRef pen, const float* lengths, int32_t count);
};

}  // extern "C"

// Pens, brushes and paths as the drawing objects the supplier releases.
inline FxDrawObjectRef FxAsDrawObject(FxPenRef pen) { return reinterpret_cast<FxDrawObjectRef>(pen); }
inline FxDrawObjectRef FxAsDrawObject(FxBrushRef brush) { return reinterpret_cast<FxDrawObjectRef>(brush); }
inline FxDrawObjectRef FxAsDrawObject(FxPathRef path) { return reinterpret_cast<FxDrawObjectRef>(path); }

// The table positions the module relies on.
static_assert(sizeof(FxDrawSuite) == 2 * sizeof(void (*)()));
static_assert(offsetof(FxSupplierSuite, NewPath) == 6 * sizeof(void (*)()));
static_assert(offsetof(FxSupplierSuite, ReleaseObject) == 12 * sizeof(void (*)()));
static_assert(sizeof(FxSupplierSuite) == 13 * sizeof(void (*)()));
static_assert(offsetof(FxSurfaceSuite, StrokePath) == 4 * sizeof(void (*)()));
static_assert(offsetof(FxSurfaceSuite, SetInterpolationPolicy) == 11 * sizeof(void (*)()));
static_assert(offsetof(FxSurfaceSuite, SetAntiAliasPolicy) == 13 * sizeof(void (*)()));
static_assert(sizeof(FxSurfaceSuite) == 14 * sizeof(void (*)()));
static_assert(offsetof(FxPathSuite, AddArc) == 4 * sizeof(void (*)()));
static_assert(sizeof(FxPathSuite) == 5 * sizeof(void (*)()));
static_assert(sizeof(FxPenSuite) == 1 * sizeof(void (*)()));
