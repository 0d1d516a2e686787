#include "host/demo_clip.h"

#include <cmath>

namespace host {
namespace {

// The card's rectangle on frame f, in pixels: it slides right and a little down.
struct Card {
  double left, top, width, height;
};

Card CardAt(const DemoClipSpec& spec, int32_t f) {
  const double t = spec.frames > 1 ? double(f) / (spec.frames - 1) : 0;
  const double w = spec.width * 0.3, h = spec.height * 0.4;
  return {spec.width * (0.1 + 0.5 * t), spec.height * (0.25 + 0.1 * t), w, h};
}

uint8_t Clamp8(double v) { return static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v)))); }

}  // namespace

std::vector<RgbaFrame> MakeDemoClip(const DemoClipSpec& spec) {
  std::vector<RgbaFrame> clip;
  for (int32_t f = 0; f < spec.frames; ++f) {
    RgbaFrame frame;
    frame.width = spec.width;
    frame.height = spec.height;
    frame.pixels.resize(size_t(spec.width) * spec.height * 4);
    const Card card = CardAt(spec, f);
    for (int32_t y = 0; y < spec.height; ++y) {
      for (int32_t x = 0; x < spec.width; ++x) {
        uint8_t* p = &frame.pixels[(size_t(y) * spec.width + x) * 4];
        const double u = x - card.left, v = y - card.top;
        if (u >= 0 && v >= 0 && u < card.width && v < card.height) {
          // The card: warm stripes and dots that move with it, good corners to track.
          const double stripe = std::sin(u * 0.35) * 40 + ((int(u) / 12 + int(v) / 12) % 2 ? 30 : -30);
          p[0] = Clamp8(200 + stripe);
          p[1] = Clamp8(120 + stripe * 0.5);
          p[2] = Clamp8(60 - stripe * 0.3);
        } else {
          // The background: a cool, grainy texture that stays put.
          const double grain = std::sin(x * 0.11 + std::sin(y * 0.07) * 3) * 25 + std::cos(y * 0.13 + x * 0.02) * 20;
          p[0] = Clamp8(50 + grain);
          p[1] = Clamp8(90 + grain);
          p[2] = Clamp8(120 + grain * 0.8);
        }
        p[3] = 255;
      }
    }
    clip.push_back(std::move(frame));
  }
  return clip;
}

MaskDocument MakeDemoMask(const DemoClipSpec& spec) {
  MaskDocument doc;
  doc.width = spec.width;
  doc.height = spec.height;
  doc.feather = 6;
  doc.motion = "similarity";
  for (int32_t f : {0, spec.frames - 1}) {
    const Card c = CardAt(spec, f);
    Mask::MaskShape shape;
    shape.mode = Mask::kMaskModeClosed;
    const float l = float(c.left / spec.width), t = float(c.top / spec.height);
    const float r = float((c.left + c.width) / spec.width), b = float((c.top + c.height) / spec.height);
    Mask::AppendCornerVertex(shape, l, t);
    Mask::AppendCornerVertex(shape, r, t);
    Mask::AppendCornerVertex(shape, r, b);
    Mask::AppendCornerVertex(shape, l, b);
    doc.keyframes.push_back({f, shape});
  }
  return doc;
}

}  // namespace host
