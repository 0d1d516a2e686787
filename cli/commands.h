// maskfx's commands: each takes its parsed options, delegates to the host and prints the result.
// They return the process exit status: 0 success, 1 failure while running, 2 bad usage or input.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/effect_host.h"

namespace maskfx {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadInput = 2;

struct CommonOptions {
  std::string module_path;  // empty: $MASK_MODULE, then Mask.so beside maskfx
};

struct DemoOptions {
  std::string output_dir = "maskfx-demo";
};

struct RenderCommandOptions {
  std::string input, mask_path, output;
  std::optional<double> feather, opacity, expansion;
  bool invert = false;
  std::string format = "bgra8";
  bool gpu = false;
  std::string frames;  // "A:B", "A:" or ":B"
  int threads = 0;
};

int RunRender(const CommonOptions& common, const RenderCommandOptions& options);

struct TrackCommandOptions {
  std::string input, mask_path, output;
  std::optional<int64_t> from, to;
  std::string motion;  // empty: the document's
  bool overwrite = false;  // -o may name the -m document
  bool verbose = false;    // one line per press: the model, the features, the reference
};

int RunTrack(const CommonOptions& common, const TrackCommandOptions& options);

struct StudioCommandOptions {
  std::string input, mask_path, output, render_to;
  std::string listen = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  bool overwrite = false;
};

int RunStudio(const CommonOptions& common, const StudioCommandOptions& options);

struct OverlayCommandOptions {
  std::string input, mask_path, output;
  int64_t frame = 0;
  double zoom = 1.0;
  std::string selected;  // "i,j,..."
  std::string events_path;
};

struct EditCommandOptions {
  std::string mask_path, events_path, output, size;
  int64_t frame = 0;
  bool trace = false;
  bool overwrite = false;  // -o may be the -m document
};

int RunEdit(const CommonOptions& common, const EditCommandOptions& options);

int RunOverlay(const CommonOptions& common, const OverlayCommandOptions& options);

int RunDemo(const CommonOptions& common, const DemoOptions& options);

struct InfoOptions {
  std::string input;                 // a clip; empty: the effect alone
  std::string mask_path;             // a mask document to show
  std::optional<int64_t> frame;      // also show the mask at this frame
};

int RunInfo(const CommonOptions& common, const InfoOptions& options);

// Loads the module, sets it up and declares its parameters; prints what went wrong and
// answers the exit status when it cannot (0 when `effect` is ready).
int OpenEffect(const CommonOptions& common, std::unique_ptr<host::EffectHost>& effect);

// Prints "maskfx: error: <message>" and returns `status`.
int Fail(int status, const std::string& message);

}  // namespace maskfx
