// The host's user-interface theme: the colours interactive controls are drawn in.
#pragma once

#include <cstdint>

namespace qrsui {

struct Color {
  float red, green, blue, alpha;
};

namespace ui {

class Theme {
 public:
  static Theme* Get();
  virtual ~Theme() = default;
  virtual const char* Name() const = 0;
  virtual bool IsDark() const = 0;
  // The colour of a theme colour identifier; unknown identifiers give opaque grey.
  virtual Color GetColor(int32_t color_id) const = 0;
};

}  // namespace ui

namespace skins::core::utilities {
// The identifier of the colour interactive controls use; `skin_set` may be null.
int32_t GetInteractiveControlColorID(const void* skin_set);
}  // namespace skins::core::utilities

}  // namespace qrsui
