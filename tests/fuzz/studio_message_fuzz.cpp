// The studio's WebSocket messages, one per line of the input, sent to a session on a small
// generated clip: every reply is a JSON state that says whether the message was taken, and the
// session can still draw its overlay and matte afterwards.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/media/card_clip.h"
#include "host/media/media.h"
#include "studio/studio_session.h"
#include "tests/fuzz/linked_module.h"

namespace {

namespace fs = std::filesystem;

// A three-frame clip and where save and render write, made once a process and removed at exit.
struct ClipFolder {
  fs::path dir;
  studio::StudioOptions options;
  ClipFolder() {
    std::string templ = (fs::temp_directory_path() / "studio_fuzz_XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) std::abort();
    dir = templ;
    host::CardClipSpec spec;
    spec.width = 128, spec.height = 96, spec.frames = 3, spec.motion = host::CardMotion::kTranslation;
    spec.card_left = 24, spec.card_top = 20, spec.card_width = 72, spec.card_height = 52;
    std::string error;
    const std::string clip = (dir / "in_%02d.png").string();
    auto writer = host::MediaWriter::Create(clip, 128, 96, {25, 1}, 0, error);
    if (!writer) std::abort();
    for (const host::RgbaFrame& f :
         host::MakeCardClip(spec, host::ProceduralTexture(32, 32, 5), host::ProceduralTexture(32, 32, 6)))
      if (!writer->WriteFrame(f, error)) std::abort();
    if (!writer->Finish(error)) std::abort();
    options = studio::StudioOptions{clip, "", (dir / "out.json").string(), (dir / "render_%02d.png").string(), ""};
  }
  ~ClipFolder() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

const studio::StudioOptions& Options() {
  static const ClipFolder folder;
  return folder.options;
}

void CheckReply(const std::string& reply) {
  const nlohmann::json state = nlohmann::json::parse(reply, nullptr, false);
  if (state.is_discarded() || !state.is_object() || !state.contains("ok") || !state["ok"].is_boolean()) std::abort();
  if (!state["ok"].get<bool>() && !(state.contains("error") && state["error"].is_string())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const studio::StudioOptions& options = Options();
  std::string error;
  static const host::LoadedModule module = LinkedModule();
  std::unique_ptr<studio::StudioSession> session = studio::StudioSession::Open(module, options, error);
  if (!session) std::abort();
  const std::string text(reinterpret_cast<const char*>(data), size);
  static const bool verbose = std::getenv("STUDIO_FUZZ_VERBOSE") != nullptr;  // to read a saved input's replies
  size_t start = 0;
  for (int sent = 0; start <= text.size() && sent < 16; ++sent) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string reply = session->Handle(text.substr(start, end - start));
    if (verbose) std::fprintf(stderr, "%s\n", reply.c_str());
    CheckReply(reply);
    start = end + 1;
  }
  std::vector<uint8_t> png;
  if (!session->OverlayPng(png, error) || !session->MattePng(png, error)) std::abort();
  return 0;
}
