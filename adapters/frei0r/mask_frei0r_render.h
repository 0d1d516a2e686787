// Between the frei0r filter (mask.so) and the library that renders for it (libmaskfrei0r.so).
// The filter itself needs nothing but the C and C++ runtimes, so that a host can always load it
// and it can say why the rest cannot be had; this library carries the host library and needs
// libmaskruntime.so beside it. Plain C types only: the two are built together but loaded apart.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct MaskFrei0rSettings {
  const char* document;    // the mask document's path
  const char* filter_dir;  // the folder mask.so was loaded from, where Mask.so is looked for
  int32_t width, height;   // the frames the host gives
  // NaN for each the document's own value: feather and expansion in the document's pixels,
  // opacity in percent.
  double feather, opacity, expansion;
  int32_t inverted;  // 1: mask everything but the shape; 0: the document's
  const char* mode;  // a mask mode's name; empty: the document's
  const char* mask;  // the name of the mask to render from a document of several; empty: its only one
};

struct MaskFrei0rRenderer;

struct MaskFrei0rApi {
  int32_t version;  // kMaskFrei0rApiVersion
  // A renderer for frames of the settings' size, or null with one line in `problem`.
  MaskFrei0rRenderer* (*open)(const MaskFrei0rSettings* settings, char* problem, size_t problem_size);
  // Writes the matte of `frame` into the alpha of `pixels` (width x height, four bytes each, alpha
  // at byte 3). False with one line in `problem`.
  int32_t (*render)(MaskFrei0rRenderer* renderer, int64_t frame, uint32_t* pixels, char* problem, size_t problem_size);
  void (*close)(MaskFrei0rRenderer* renderer);
  // The host is done with the filter: the module goes with the last renderer.
  void (*release)();
};

inline constexpr int32_t kMaskFrei0rApiVersion = 3;
inline constexpr const char* kMaskFrei0rApiName = "mask_frei0r_api";
inline constexpr const char* kMaskFrei0rLibrary = "libmaskfrei0r.so";

typedef const MaskFrei0rApi* (*MaskFrei0rApiFn)();
}
