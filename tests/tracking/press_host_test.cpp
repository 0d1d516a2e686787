// A press through Mask.so and the host whose job cannot start: the host still hears of it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/documents/mask_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/media/card_clip.h"
#include "host/media/media_engine.h"
#include "mask/mask_shape.h"

namespace host {
namespace {

TEST(TrackPressOnTheHost, JobThatCannotStartSendsTheNoKeyframesCall) {
  LoadedModule module;
  std::string error;
  ASSERT_TRUE(LoadModule(FindModulePath(""), module, error)) << error;
  EffectHost effect(module);
  ASSERT_EQ(effect.GlobalSetup().err, FxErr_None);
  ASSERT_EQ(effect.ParamsSetup().err, FxErr_None);
  ASSERT_EQ(effect.SequenceSetup().err, FxErr_None);
  Mask::MaskShape shape;
  shape.mode = Mask::kMaskModeClosed;
  for (const auto& [x, y] : {std::pair{0.2f, 0.2f}, {0.8f, 0.2f}, {0.8f, 0.8f}, {0.2f, 0.8f}})
    Mask::AppendCornerVertex(shape, x, y);
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(shape, bytes);
  effect.params().SetValueConstant(kMaskPathParam, bytes);

  // No clip yet: the host has no input to render, so the job never starts.
  const EffectHost::TrackPress press = effect.PressTrack(1, true, 30000);
  EXPECT_TRUE(press.finished);
  EXPECT_FALSE(press.command.display_error);
  EXPECT_FALSE(press.keyframes);
  EXPECT_TRUE(press.errors.empty()) << press.errors.front();
  EXPECT_EQ(effect.instance().presses_without_keyframes, 1);

  // The press is over: with a clip the next one runs.
  std::vector<RgbaFrame> frames(4, ProceduralTexture(160, 120, 3));
  effect.AttachClip(ClipFromFrames(std::move(frames), {25, 1}));
  EXPECT_TRUE(effect.PressTrack(1, true, 30000).keyframes);
  EXPECT_EQ(effect.instance().presses_without_keyframes, 1);
}

}  // namespace
}  // namespace host
