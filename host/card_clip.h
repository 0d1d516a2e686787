// Test material with a known answer: a textured card moving over a still textured background
// under a chosen plane motion, with sensor noise and a slow change of brightness. The card's
// map from frame 0 to every frame is known exactly, so a tracked mask can be scored.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "host/media.h"

namespace host {

// (x, y) -> ((m0 x + m1 y + m2) / w, (m3 x + m4 y + m5) / w), w = m6 x + m7 y + m8.
struct PlaneMap {
  double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  void Apply(double x, double y, double& out_x, double& out_y) const;
  PlaneMap Inverse() const;
};

enum class CardMotion { kTranslation, kSimilarity, kAffine, kPerspective };
const char* CardMotionName(CardMotion motion);

struct CardClipSpec {
  int32_t width = 1280, height = 720, frames = 30;
  CardMotion motion = CardMotion::kTranslation;
  // The card on frame 0, in pixels.
  double card_left = 400, card_top = 200, card_width = 420, card_height = 300;
  // Like a camera's optics: the textures are shown enlarged and every frame is blurred a little,
  // so no frame carries detail finer than the sensor resolves (a picture sharp to the pixel and
  // resampled at another phase in every frame would change its look from frame to frame).
  double texture_scale = 1.5;
  double optics_sigma = 0.6;       // pixels; 0 leaves frames unblurred
  double noise_sigma = 2.0;        // grey levels, per channel and pixel
  double brightness_drift = 0.08;  // the whole picture's gain rises by this much over the clip
  uint32_t seed = 7;
};

// Frame 0 pixels of the card to frame f pixels.
PlaneMap CardMapAt(const CardClipSpec& spec, int32_t frame);

// Every frame of the clip; the card shows `card` and the background `background`, each read
// from its top-left corner and repeated where the picture is larger.
std::vector<RgbaFrame> MakeCardClip(const CardClipSpec& spec, const RgbaFrame& card, const RgbaFrame& background);
// The same frames handed over one at a time, for clips too long to hold.
void ForEachCardFrame(const CardClipSpec& spec, const RgbaFrame& card, const RgbaFrame& background,
                      const std::function<void(int32_t, RgbaFrame&)>& sink);

// Multi-scale value noise with edges and blobs at many sizes: good material to follow, drawn in
// code so no file is needed.
RgbaFrame ProceduralTexture(int32_t width, int32_t height, uint32_t seed);

}  // namespace host
