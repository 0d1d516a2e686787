// Rendering a clip through the effect: decode, hand each frame to the module (several frames at
// once on the runtime's CPU pool while the next decode), and encode the masked frames in order as
// they come back.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/hosting/module_loader.h"
#include "host/jobs/job_outcome.h"

namespace host {

struct RenderOptions {
  std::string input;
  std::string mask_path;
  std::string output;
  std::optional<double> feather, opacity, expansion;  // override the document's values
  bool invert = false;
  std::optional<std::string> mode;                 // a mask mode's name, overriding the document's
  uint32_t pixel_format = 0;                       // four-character code; 0: 'bgra'
  std::optional<int64_t> first_frame, last_frame;  // inclusive; default the whole clip
  // Frames rendered at once, and the most threads the decoder and encoder each use; 0: every
  // core (fewer frames at once where memory would not hold them).
  int threads = 0;
  bool gpu = false;                              // through the GPU filter interface (bgra8 and bgra32f frames)
  std::function<void(const std::string&)> note;  // a line for the user, such as fewer threads; may be empty
};

struct RenderProgress {
  int64_t done = 0, total = 0;
  double frames_per_second = 0, seconds_left = 0;
};

struct RenderResult {
  JobOutcome outcome;
  std::string module_message;  // what the module asked to show the user, if anything
  int64_t frames = 0;
  double seconds = 0;
  std::vector<std::string> written;
};

// `stop` (may be null) asks the job to end after the frames in flight; nothing is kept then.
// OUTPUT must not be one of the inputs or a write-protected file (output_paths.h); a clip that
// cannot be decoded to its end, or ends well before the frames it claims, fails the render.
RenderResult RenderClip(const LoadedModule& module, const RenderOptions& options,
                        const std::function<void(const RenderProgress&)>& progress, const std::atomic<bool>* stop);

// What one frame in flight holds: the decoded picture, its copy in the render format and the
// effect's matte buffers for it.
uint64_t RenderBytesPerThread(int32_t width, int32_t height, uint32_t pixel_format);
// Frames rendered at once: `requested` (0: `cores`), but no more than three quarters of
// `available_bytes` holds at `bytes_per_thread` each, and at least one.
int RenderThreads(int requested, unsigned cores, uint64_t bytes_per_thread, uint64_t available_bytes);
// The memory this machine can give without swapping: MemAvailable, else free pages.
uint64_t AvailableMemory();

// "bgra8" -> 'bgra', "VUya32f" -> 'VUya', ...; 0 when unknown.
uint32_t PixelFormatByName(const std::string& name);

}  // namespace host
