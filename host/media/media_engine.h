// The host's media engine: the clip an effect instance sits on, as a one-clip sequence with a
// small render graph (compositor -> clip, whose operator is the effect and whose input is the
// media), renders of that graph on a host render thread into a frame cache, and the suites
// through which effects reach all of it. Safe to use from any thread.
//
// Its parts share one state (media_engine_state.h): the clips (clip_sources.h), the render graph
// (render_graph.cpp), the render queue on the render thread (render_queue.cpp) and the frame
// cache with the pixel buffers it hands out (frame_cache.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/media/clip_sources.h"
#include "host/media/media.h"
#include "platform/sdk/media_suites.h"
#include "platform/sdk/utility_suite.h"

namespace host {

struct ClipOptions {
  // The media node does not tell its stream size, as some media does not; effects then fall
  // back on the sequence's frame.
  bool hide_stream_properties = false;
};

// What the engine has done, for tests and for a host checking that effects clean up.
struct MediaEngineStats {
  int64_t renders_started = 0;
  int64_t renders_completed = 0;  // with a frame
  int64_t renders_failed = 0;     // cancelled, or the frame could not be read
  int64_t frames_decoded = 0;
  int64_t cache_hits = 0;
  int64_t cached_frames = 0;
  int64_t outstanding_nodes = 0;     // acquired and not released
  int64_t outstanding_buffers = 0;   // handed out and not disposed
  int64_t outstanding_segments = 0;  // acquired and not released
  int64_t analysis_notifications = 0;
};

// Ticks of one frame at `frame_rate`, rounded to the nearest tick.
int64_t FrameTicks(Rational frame_rate);

// Places `clip` in a new sequence under the effect instance `effect_ref`, whose runtime id is
// `runtime_id`. Returns the sequence id (never 0).
FxSequenceId AttachClip(FxEffectRef effect_ref, int64_t runtime_id, std::shared_ptr<ClipSource> clip,
                        const ClipOptions& options = {});
// Cancels the sequence's renders, waits until their completions have returned, and drops its
// frames from the cache. Unknown ids are ignored.
void DetachClip(FxSequenceId sequence);

// Holds renders that have not started yet (queued ones wait) until ResumeRenders.
void PauseRenders();
void ResumeRenders();

MediaEngineStats EngineStats();

// Why the latest frame of the sequence's clip that could not be read failed ("PATH: cannot
// decode frame N: ..."), or empty when none failed since the last call; the effect itself only
// learns that the frame did not come.
std::string TakeReadFailure(FxSequenceId sequence);

// The id and timing of the clip an effect instance sits on; false when it has none.
struct ClipTiming {
  FxSequenceId sequence = 0;
  int64_t frame_ticks = 0;
  int64_t duration_ticks = 0;
};
bool ClipTimingOf(FxEffectRef effect_ref, ClipTiming& timing);

// A pixel buffer of the host's own, as GPU frames are: width x height pixels of `format`
// ('bgra' 8-bit: 4 bytes, 'BGra' float: 16 bytes), zeroed, rows packed. Null for absurd sizes.
// Disposed like any buffer, through the pixel-buffer suite or DisposePixelBuffer.
FxPixHandle NewPixelBuffer(int32_t width, int32_t height, uint32_t format, int32_t par_num = 1, int32_t par_den = 1);
uint8_t* PixelBufferData(FxPixHandle buffer, int64_t* rowbytes);
void DisposePixelBuffer(FxPixHandle buffer);

// The media node of a sequence's clip (valid while the clip is attached), and back.
FxNodeId MediaNodeOf(FxSequenceId sequence);
FxSequenceId SequenceOfMediaNode(FxNodeId node);

const FxPixSuite* PixSuite();
const FxPixCacheSuite* PixCacheSuite();
const FxSequenceInfoSuite* SequenceInfoSuite();
const FxVideoSegmentSuite* VideoSegmentSuite();
const FxVideoSegmentRenderSuite* VideoSegmentRenderSuite();
const FxPrivateEffectSuite* PrivateEffectSuite();

// The node type names and properties the graph answers with.
inline constexpr const char* kCompositorNodeType = "RenderableNodeCompositorImpl";
inline constexpr const char* kClipNodeType = "RenderableNodeClipImpl";
inline constexpr const char* kEffectNodeType = "EffectNodeImpl";
inline constexpr const char* kMediaNodeType = "MediaNodeImpl";

}  // namespace host
