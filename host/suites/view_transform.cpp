#include "host/suites/view_transform.h"

#include <cmath>
#include <limits>

namespace host {
namespace {

int32_t Fixed(double v) {
  const double f = std::round(v * 65536.0);
  if (!(f == f)) return 0;
  if (f >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (f <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(f);
}

double Value(int32_t fixed) { return fixed / 65536.0; }

FxErr Identity(void*, const FxEventContext*, FxFixedPoint* p) { return p ? FxErr_None : FxErr_BadCallbackParam; }

FxErr CompToScreen(void* refcon, const FxEventContext*, FxFixedPoint* p) {
  const auto* view = static_cast<const ViewTransform*>(refcon);
  if (!view || !p) return FxErr_BadCallbackParam;
  p->x = Fixed(Value(p->x) * view->zoom + view->offset_x);
  p->y = Fixed(Value(p->y) * view->zoom + view->offset_y);
  return FxErr_None;
}

FxErr ScreenToComp(void* refcon, const FxEventContext*, FxFixedPoint* p) {
  const auto* view = static_cast<const ViewTransform*>(refcon);
  if (!view || !p || !(view->zoom != 0)) return FxErr_BadCallbackParam;
  p->x = Fixed((Value(p->x) - view->offset_x) / view->zoom);
  p->y = Fixed((Value(p->y) - view->offset_y) / view->zoom);
  return FxErr_None;
}

}  // namespace

FxEventCallbacks ViewCallbacks(const ViewTransform* view) {
  return {const_cast<ViewTransform*>(view), &Identity, &Identity, &CompToScreen, &ScreenToComp};
}

}  // namespace host
