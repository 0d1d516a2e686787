// A host that closes its effect instance late: from an exit handler, or from the destructor of
// a static, after the process has begun tearing down its statics. The instance has rendered an
// expanded mask and tracked one frame first, so every process-wide cache the module keeps is in
// use when it is closed. Exits 0 when the close went through.
//
//   late_close_host atexit|static
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/documents/mask_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/media/card_clip.h"
#include "host/media/media_engine.h"
#include "mask/mask_shape.h"

namespace {

std::unique_ptr<host::EffectHost> g_effect;

void CloseInstance() {
  if (!g_effect) return;
  g_effect->SequenceSetdown();
  g_effect->GlobalSetdown();
  g_effect.reset();
  std::fputs("closed\n", stderr);
}

// Constructed before main runs, so destroyed after every static the module makes later.
struct CloseAtStaticTeardown {
  bool armed = false;
  ~CloseAtStaticTeardown() {
    if (armed) CloseInstance();
  }
} g_static_closer;

bool OpenAndUse(std::string& error) {
  host::LoadedModule module;
  if (!host::LoadModule(host::FindModulePath(""), module, error)) return false;
  g_effect = std::make_unique<host::EffectHost>(module);
  if (g_effect->GlobalSetup().err || g_effect->ParamsSetup().err || g_effect->SequenceSetup().err) {
    error = "set-up failed";
    return false;
  }
  host::CardClipSpec spec;
  spec.width = 320, spec.height = 240, spec.frames = 3;
  spec.card_left = 80, spec.card_top = 60, spec.card_width = 160, spec.card_height = 120;
  g_effect->AttachClip(host::ClipFromFrames(
      host::MakeCardClip(spec, host::ProceduralTexture(128, 128, 5), host::ProceduralTexture(200, 200, 9)), {25, 1}));
  Mask::MaskShape shape;
  shape.mode = Mask::kMaskModeClosed;
  for (const auto& [x, y] : {std::pair{0.3f, 0.3f}, {0.7f, 0.3f}, {0.7f, 0.7f}, {0.3f, 0.7f}})
    Mask::AppendCornerVertex(shape, x, y);
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(shape, bytes);
  g_effect->params().SetValueKeyframe(host::kMaskPathParam, 0, bytes);
  g_effect->params().SetConstant(host::kMaskExpansionParam, 6);  // the offset procedures
  g_effect->params().SetConstant(host::kMaskFeatherParam, 3);    // the blur

  std::vector<uint8_t> pixels(size_t(spec.width) * spec.height * 4, 128);
  FxWorld world{pixels.data(), spec.width * 4, spec.width, spec.height, FxPixelFormat_bgra};
  if (g_effect->RenderFrame(0, world).err) {
    error = "render failed";
    return false;
  }
  // A press keeps the tracker's working memory for the next one.
  const host::EffectHost::TrackPress press = g_effect->PressTrack(0, true, 30000);
  if (!press.finished || !press.keyframes) {
    error = "track press failed";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string when = argc > 1 ? argv[1] : "";
  if (when != "atexit" && when != "static") {
    std::fputs("usage: late_close_host atexit|static\n", stderr);
    return 2;
  }
  std::string error;
  if (!OpenAndUse(error)) {
    std::fprintf(stderr, "late_close_host: %s\n", error.c_str());
    return 1;
  }
  if (when == "atexit") std::atexit(CloseInstance);
  else g_static_closer.armed = true;
  return 0;
}
