// Test material with a known answer: a textured card moving over a still textured background
// under a chosen plane motion, with sensor noise and a slow change of brightness. The card's
// map from frame 0 to every frame is known exactly, so a tracked mask can be scored.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "host/media/media.h"

namespace host {

// (x, y) -> ((m0 x + m1 y + m2) / w, (m3 x + m4 y + m5) / w), w = m6 x + m7 y + m8.
struct PlaneMap {
  double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  void Apply(double x, double y, double& out_x, double& out_y) const;
  PlaneMap Inverse() const;
};

enum class CardMotion { kTranslation, kSimilarity, kAffine, kPerspective };
const char* CardMotionName(CardMotion motion);

// A hand-sized blob passing in front of everything for a few frames: a lumpy disc whose centre
// moves in a straight line from `from` on `first_frame` to `to` on `last_frame`.
struct CardOccluder {
  int32_t first_frame = 0, last_frame = -1;  // none while last_frame < first_frame
  double from_x = 0, from_y = 0, to_x = 0, to_y = 0;
  double radius = 70;     // pixels
  bool textured = false;  // the background's texture, shifted (else a flat skin-like colour)
};

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

  // What real footage adds. The defaults leave every clip as it was, bit for bit.
  // The fraction of a frame interval the shutter is open: the card is averaged over that part
  // of its motion, so it blurs along the way it moves (the background is still).
  double shutter = 0;
  double contrast_drift = 0;     // contrast about mid grey changes by this fraction over the clip
  double speed = 1;              // translation, similarity, affine: the motion runs this much faster
  double tilt_degrees = 30;      // perspective: the tilt reached on the last frame
  double tilt_axis_degrees = 0;  // perspective: the tilt axis turned from the horizontal
  // Where the card's top-left corner falls in its texture, in texture pixels: picks which part of
  // a photograph the card shows (say, only sky).
  double card_texture_x = 0, card_texture_y = 0;
  CardOccluder occluder;
};

// Frame 0 pixels of the card to frame f pixels.
PlaneMap CardMapAt(const CardClipSpec& spec, int32_t frame);
// The same at any time, in frames (the shutter samples between frames).
PlaneMap CardMapAtTime(const CardClipSpec& spec, double time);

// Whether the occluder covers the pixel whose centre is (x, y) on `frame`, before the optics blur.
bool OccluderCovers(const CardClipSpec& spec, int32_t frame, double x, double y);

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
