#include "platform/runtime/ui_theme.h"
#include "platform/runtime/never_destroyed.h"

namespace qrsui {
namespace {

constexpr int32_t kInteractiveControlColor = 1;

// One dark theme; its control colour is a clear cyan that reads well over most footage.
class DarkTheme final : public ui::Theme {
 public:
  const char* Name() const override { return "dark"; }
  bool IsDark() const override { return true; }
  Color GetColor(int32_t color_id) const override {
    if (color_id == kInteractiveControlColor) return {0.25f, 0.80f, 0.95f, 1.0f};
    return {0.5f, 0.5f, 0.5f, 1.0f};
  }
};

}  // namespace

ui::Theme* ui::Theme::Get() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<DarkTheme> theme;
  return &theme.get();
}

int32_t skins::core::utilities::GetInteractiveControlColorID(const void*) { return kInteractiveControlColor; }

}  // namespace qrsui
