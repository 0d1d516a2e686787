// How the filter's doubles become the values they stand for. frei0r hosts keep doubles in 0..1
// (MLT's listings clamp them there), so each is scaled: value x scale + offset. The listing's
// explanations, the renderer's settings and the frame timing all scale through this one table.
// Header only: mask.so needs nothing but the C and C++ runtimes.
#pragma once

#include <cstdio>
#include <string>

namespace mask_frei0r {

struct Scaling {
  const char* name;  // the filter's parameter
  double scale, offset;
  const char* unit;  // of the value it stands for

  double ToValue(double frei0r_value) const { return frei0r_value * scale + offset; }
  double ToFrei0r(double value) const { return (value - offset) / scale; }
  // "value x 2000 - 1000 pixels"
  std::string Text() const {
    char text[96];
    if (offset == 0) std::snprintf(text, sizeof text, "value x %g %s", scale, unit);
    else
      std::snprintf(text, sizeof text, "value x %g %s %g %s", scale, offset < 0 ? "-" : "+",
                    offset < 0 ? -offset : offset, unit);
    return text;
  }
};

// 0..1 spans each matte value's whole range (feather 0 to 1000 pixels, opacity 0 to 100 percent,
// expansion -1000 to 1000 pixels: 0.5 is none).
inline constexpr Scaling kScalings[] = {
    {"feather", 1000, 0, "pixels"},
    {"opacity", 100, 0, "percent"},
    {"expansion", 2000, -1000, "pixels"},
    {"frame rate", 1000, 0, "frames per second"},  // 0.025: 25 fps
};
inline constexpr const Scaling& kFeatherScaling = kScalings[0];
inline constexpr const Scaling& kOpacityScaling = kScalings[1];
inline constexpr const Scaling& kExpansionScaling = kScalings[2];
inline constexpr const Scaling& kFrameRateScaling = kScalings[3];

}  // namespace mask_frei0r
