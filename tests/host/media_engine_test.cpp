#include "host/media/media_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/host_memory.h"
#include "platform/runtime/media_time.h"

namespace host {
namespace {

using namespace std::chrono_literals;

// Frame i: pixel (x, y) = (10 i + x, y, 200, 255 - i).
std::shared_ptr<ClipSource> SmallClip(int frames = 3, int32_t w = 8, int32_t h = 6) {
  std::vector<RgbaFrame> clip;
  for (int i = 0; i < frames; ++i) {
    RgbaFrame f{w, h, std::vector<uint8_t>(size_t(w) * h * 4)};
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        uint8_t* p = &f.pixels[(size_t(y) * w + x) * 4];
        p[0] = uint8_t(10 * i + x), p[1] = uint8_t(y), p[2] = 200, p[3] = uint8_t(255 - i);
      }
    clip.push_back(std::move(f));
  }
  return ClipFromFrames(std::move(clip), {25, 1});
}

const int64_t kFrame = FrameTicks({25, 1});
const uint32_t kArgb[] = {kFxRenderPixelFormat_argb};

FxRenderDescription Description(int32_t w = 8, int32_t h = 6) { return {1, w, h, 1, 1, 3, 1, 0, 3, 1, kArgb}; }

// What the completion callbacks saw.
struct Completions {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::vector<uint8_t>> frames;  // empty: delivered without a buffer
  std::vector<std::thread::id> threads;

  static void Done(FxPixHandle buffer, void* self) {
    auto* c = static_cast<Completions*>(self);
    std::vector<uint8_t> bytes;
    if (buffer) {
      void* pixels = nullptr;
      size_t count = 0;
      PixSuite()->GetPixels(buffer, &pixels, &count);
      bytes.assign(static_cast<uint8_t*>(pixels), static_cast<uint8_t*>(pixels) + count);
      PixSuite()->DisposeBuffer(buffer);
    }
    std::lock_guard lock(c->mutex);
    c->frames.push_back(std::move(bytes));
    c->threads.push_back(std::this_thread::get_id());
    c->arrived.notify_all();
  }
  bool WaitFor(size_t n) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, 20s, [&] { return frames.size() >= n; });
  }
};

class MediaEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    effect_ref = reinterpret_cast<FxEffectRef>(&anchor);
    sequence = AttachClip(effect_ref, 4711, SmallClip());
  }
  void TearDown() override {
    DetachClip(sequence);
    const MediaEngineStats s = EngineStats();
    EXPECT_EQ(s.outstanding_nodes, 0);
    EXPECT_EQ(s.outstanding_buffers, 0);
    EXPECT_EQ(s.outstanding_segments, 0);
  }
  FxNodeId MediaNode() {
    const FxVideoSegmentSuite* vs = VideoSegmentSuite();
    FxSegmentsRef segs = nullptr;
    FxNodeId top = 0, clip = 0, media = 0;
    EXPECT_EQ(vs->AcquireSegments(sequence, &segs), FxErr_None);
    EXPECT_EQ(vs->AcquireNodeAtTime(segs, 0, &top), FxErr_None);
    EXPECT_EQ(vs->AcquireInputNode(top, 0, &clip), FxErr_None);
    EXPECT_EQ(vs->AcquireInputNode(clip, 0, &media), FxErr_None);
    vs->ReleaseNode(clip);
    vs->ReleaseNode(top);
    vs->ReleaseSegments(segs);
    return media;
  }
  std::string Identifier(FxNodeId node, int64_t ticks) {
    char id[kFxFrameIdentifierSize];
    const FxRenderDescription d = Description();
    EXPECT_EQ(VideoSegmentRenderSuite()->GetFrameIdentifier(node, ticks, kFrame, &d, id, sizeof id), FxErr_None);
    return id;
  }
  bool Cached(const std::string& id) {
    FxPixHandle buffer = nullptr;
    PixCacheSuite()->FindFrame(id.c_str(), &buffer);
    if (buffer) PixSuite()->DisposeBuffer(buffer);
    return buffer != nullptr;
  }

  int anchor = 0;
  FxEffectRef effect_ref = nullptr;
  FxSequenceId sequence = 0;
};

std::string Property(FxNodeId node, const char* name) {
  char* value = nullptr;
  size_t length = 0;
  if (VideoSegmentSuite()->GetNodeProperty(node, name, &value, &length) != FxErr_None) return "<none>";
  std::string text(value, length);
  HvDisposePtr(value);
  return text;
}

std::string Type(FxNodeId node) {
  char name[64] = {};
  VideoSegmentSuite()->GetNodeType(node, name, sizeof name);
  return name;
}

TEST_F(MediaEngineTest, GraphLeadsFromTheSequenceThroughTheEffectToTheMedia) {
  const FxVideoSegmentSuite* vs = VideoSegmentSuite();
  FxSegmentsRef segs = nullptr;
  ASSERT_EQ(vs->AcquireSegments(sequence, &segs), FxErr_None);
  FxNodeId top = 0, clip = 0, effect = 0, media = 0, none = 0;
  ASSERT_EQ(vs->AcquireNodeAtTime(segs, 2 * kFrame, &top), FxErr_None);
  EXPECT_NE(vs->AcquireNodeAtTime(segs, 3 * kFrame, &none), FxErr_None);  // past the clip
  EXPECT_EQ(none, kFxNoNode);
  EXPECT_EQ(Type(top), kCompositorNodeType);
  int32_t count = -1;
  vs->GetOperatorCount(top, &count);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(vs->AcquireInputNode(top, 0, &clip), FxErr_None);
  EXPECT_EQ(Type(clip), kClipNodeType);
  ASSERT_EQ(vs->AcquireOperatorNode(clip, 0, &effect), FxErr_None);
  EXPECT_EQ(Property(effect, "EffectNode::RuntimeInstanceID"), "4711");
  ASSERT_EQ(vs->AcquireInputNode(clip, 0, &media), FxErr_None);
  EXPECT_EQ(Property(media, "MediaNode::StreamFrameWidth"), "8");
  EXPECT_EQ(Property(media, "MediaNode::StreamFrameHeight"), "6");
  EXPECT_EQ(Property(media, "MediaNode::NoSuchThing"), "<none>");
  EXPECT_EQ(EngineStats().outstanding_nodes, 4);
  for (FxNodeId n : {top, clip, effect, media}) EXPECT_EQ(vs->ReleaseNode(n), FxErr_None);
  EXPECT_NE(vs->ReleaseNode(media), FxErr_None);  // released twice
  // The range fallback finds the clip from any overlapping range.
  ASSERT_EQ(vs->AcquireNodeForRange(segs, 0, 3 * kFrame, &top), FxErr_None);
  vs->ReleaseNode(top);
  vs->ReleaseSegments(segs);
  FxFrameRect rect{};
  int64_t timebase = 0;
  SequenceInfoSuite()->GetFrameRect(sequence, &rect);
  SequenceInfoSuite()->GetTimebase(sequence, &timebase);
  EXPECT_EQ(rect.right - rect.left, 8);
  EXPECT_EQ(rect.bottom - rect.top, 6);
  EXPECT_EQ(timebase, qrs::kTicksPerSecond / 25);
}

TEST_F(MediaEngineTest, RenderRunsOnTheRenderThreadAndFillsTheCache) {
  const FxNodeId media = MediaNode();
  const std::string id1 = Identifier(media, kFrame);
  EXPECT_EQ(id1.size(), kFxFrameIdentifierLength);
  EXPECT_EQ(id1, Identifier(media, kFrame));
  EXPECT_NE(id1, Identifier(media, 2 * kFrame));
  EXPECT_FALSE(Cached(id1));

  Completions done;
  const FxRenderDescription d = Description();
  const int32_t request =
      VideoSegmentRenderSuite()->StartAsyncRender(media, kFrame, kFrame, &d, &Completions::Done, &done);
  ASSERT_GE(request, 0);
  ASSERT_TRUE(done.WaitFor(1));
  EXPECT_NE(done.threads[0], std::this_thread::get_id());
  // A, R, G, B of frame 1's pixel (3, 2), rows padded to 64 bytes.
  ASSERT_EQ(done.frames[0].size(), 64u * 6);
  const uint8_t* p = &done.frames[0][2 * 64 + 3 * 4];
  EXPECT_EQ(p[0], 254);
  EXPECT_EQ(p[1], 13);
  EXPECT_EQ(p[2], 2);
  EXPECT_EQ(p[3], 200);

  EXPECT_TRUE(Cached(id1));
  FxPixHandle buffer = nullptr;
  PixCacheSuite()->FindFrame(id1.c_str(), &buffer);
  int32_t rowbytes = 0;
  uint32_t format = 0;
  PixSuite()->GetRowBytes(buffer, &rowbytes);
  PixSuite()->GetPixelFormat(buffer, &format);
  PixSuite()->DisposeBuffer(buffer);
  EXPECT_EQ(rowbytes, 64);
  EXPECT_EQ(format, kFxRenderPixelFormat_argb);
  PixCacheSuite()->RemoveFrame(id1.c_str());
  EXPECT_FALSE(Cached(id1));
  VideoSegmentSuite()->ReleaseNode(media);
}

TEST_F(MediaEngineTest, CancelledAndImpossibleRendersDeliverNothing) {
  const FxNodeId media = MediaNode();
  const FxRenderDescription d = Description();
  const int64_t decoded = EngineStats().frames_decoded;
  Completions done;
  PauseRenders();
  const int32_t request = VideoSegmentRenderSuite()->StartAsyncRender(media, 0, kFrame, &d, &Completions::Done, &done);
  ASSERT_GE(request, 0);
  EXPECT_EQ(VideoSegmentRenderSuite()->CancelRender(request), FxErr_None);
  ResumeRenders();
  ASSERT_TRUE(done.WaitFor(1));
  EXPECT_TRUE(done.frames[0].empty());
  EXPECT_EQ(EngineStats().frames_decoded, decoded);  // cancelled before it was read
  EXPECT_FALSE(Cached(Identifier(media, 0)));

  // Nothing is started for a time outside the clip, another size or without ARGB; no callback.
  const FxRenderDescription wrong_size = Description(9, 6);
  FxRenderDescription no_argb = Description();
  no_argb.pixel_format_count = 0;
  auto* render = VideoSegmentRenderSuite();
  EXPECT_LT(render->StartAsyncRender(media, 3 * kFrame, kFrame, &d, &Completions::Done, &done), 0);
  EXPECT_LT(render->StartAsyncRender(media, -1, kFrame, &d, &Completions::Done, &done), 0);
  EXPECT_LT(render->StartAsyncRender(media, 0, kFrame, &wrong_size, &Completions::Done, &done), 0);
  EXPECT_LT(render->StartAsyncRender(media, 0, kFrame, &no_argb, &Completions::Done, &done), 0);
  EXPECT_LT(render->StartAsyncRender(media - 1, 0, kFrame, &d, &Completions::Done, &done), 0);  // not media
  EXPECT_NE(render->CancelRender(1 << 30), FxErr_None);                                         // no such render
  std::this_thread::sleep_for(50ms);
  std::lock_guard lock(done.mutex);
  EXPECT_EQ(done.frames.size(), 1u);
  VideoSegmentSuite()->ReleaseNode(media);
}

TEST_F(MediaEngineTest, DetachWaitsForCompletionsAndDropsTheFrames) {
  const FxNodeId media = MediaNode();
  const FxRenderDescription d = Description();
  Completions done;
  ASSERT_GE(VideoSegmentRenderSuite()->StartAsyncRender(media, 0, kFrame, &d, &Completions::Done, &done), 0);
  ASSERT_TRUE(done.WaitFor(1));
  EXPECT_TRUE(Cached(Identifier(media, 0)));
  PauseRenders();
  ASSERT_GE(VideoSegmentRenderSuite()->StartAsyncRender(media, kFrame, kFrame, &d, &Completions::Done, &done), 0);
  const std::string id0 = Identifier(media, 0);
  VideoSegmentSuite()->ReleaseNode(media);
  DetachClip(sequence);  // resumes the held render thread, which delivers the cancelled render
  {
    std::lock_guard lock(done.mutex);
    ASSERT_EQ(done.frames.size(), 2u);
    EXPECT_TRUE(done.frames[1].empty());
  }
  EXPECT_FALSE(Cached(id0));
  EXPECT_EQ(EngineStats().cached_frames, 0);
}

}  // namespace
}  // namespace host
