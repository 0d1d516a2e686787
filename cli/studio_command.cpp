#include <signal.h>
#include <time.h>
#include <CLI/CLI.hpp>
#include <memory>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "host/hosting/module_loader.h"
#include "host/media/media.h"
#include "host/media/output_paths.h"
#include "studio/request_guard.h"
#include "studio/save_targets.h"
#include "studio/studio_server.h"
#include "studio/studio_session.h"

namespace maskfx {
namespace {

struct StudioCommandOptions {
  std::string input, mask_path, output, render_to;
  std::string listen = "127.0.0.1";
  uint16_t port = 0;  // 0: any free port
  bool overwrite = false;
};

}  // namespace

namespace {

namespace fs = std::filesystem;

// What the page's render will write, checked before anything is loaded: its folder is there,
// it is none of the studio's inputs nor where save writes, and it replaces nothing unless
// --overwrite says so. Errors name what the user gave.
bool CheckRenderTarget(const StudioCommandOptions& o, std::string& error) {
  const std::string& to = o.render_to;
  host::FramePattern pattern;
  const bool sequence = host::ParseFramePattern(to, pattern);
  const std::string folder = host::FolderOf(sequence ? pattern.prefix : to);
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    error = to + ": the folder " + folder + " does not exist";
    return false;
  }
  std::vector<std::string> inputs{o.input};
  if (!o.mask_path.empty()) inputs.push_back(o.mask_path);
  if (!host::CheckOutput(to, inputs, error)) return false;
  if (!o.output.empty() && fs::equivalent(to, o.output, ec)) {
    error = to + ": is where save writes (-o); choose another --render-to";
    return false;
  }
  if (!o.overwrite && host::OutputExists(to)) {
    error = to + (sequence ? ": frames of it exist" : ": exists") +
            "; choose another --render-to, or --overwrite to replace it";
    return false;
  }
  return true;
}

// The second ending signal while the first is being served: the frame in flight is abandoned,
// and what the render and the session wrote for themselves is removed before the exit, with the
// status a shell gives a process the signal ended, as render and track do.
[[noreturn]] void EndAtOnce(studio::StudioSession& session, const std::string& recovery, int signal) {
  session.RemoveTemporaryFiles();
  host::RemoveAllTempsForExit();
  std::fprintf(stderr, "maskfx: studio stopped at once; changes since the last autosave (to %s) are lost\n",
               recovery.c_str());
  std::_Exit(128 + signal);
}

}  // namespace

int RunStudio(const CommonOptions& common, const StudioCommandOptions& o) {
  // Before the module is loaded or any thread starts: every thread inherits the block, and the
  // signals come only to this thread's sigwait.
  sigset_t signals = BlockEndingSignals();
  std::error_code ec;
  if (!o.output.empty() && !o.mask_path.empty() && !o.overwrite &&
      std::filesystem::equivalent(o.output, o.mask_path, ec))
    return Fail(kExitBadInput, o.output + ": is the input document; give another -o, or --overwrite");
  std::string error;
  if (!o.render_to.empty() && !CheckRenderTarget(o, error)) return Fail(kExitBadInput, error);
  if (studio::UrlHost(o.listen).empty()) return Fail(kExitBadInput, o.listen + ": --listen takes an IP address");
  host::LoadedModule module;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  const std::string recovery = studio::RecoveryPathFor(o.output, o.input);
  std::unique_ptr<studio::StudioSession> session =
      studio::StudioSession::Open(module, {o.input, o.mask_path, o.output, o.render_to, recovery}, error);
  if (!session) return Fail(kExitBadInput, error);

  studio::StudioServer server(*session, {o.listen, o.port}, studio::NewToken());
  if (!server.Start(error)) return Fail(kExitFailure, error);
  if (!studio::IsLoopback(o.listen))
    std::fprintf(stderr,
                 "maskfx: warning: listening on %s: whoever can reach port %u can try the studio; the token in its "
                 "address is the only guard%s\n",
                 o.listen.c_str(), unsigned(server.port()),
                 studio::IsEveryAddress(o.listen) ? " (from elsewhere, put this machine's address in the URL)" : "");
  std::printf("studio: %s\n", server.Address().c_str());
  std::printf("open it in a browser; Ctrl-C ends the studio%s\n",
              o.output.empty() ? " (no -o given: the page asks where to save)" : "");
  if (std::filesystem::exists(recovery, ec))
    std::printf("changes an earlier studio did not save are in %s: the page offers them\n", recovery.c_str());
  std::printf("changes not saved are autosaved to %s\n", recovery.c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  std::printf("studio: ending (Ctrl-C again to stop at once)\n");
  std::fflush(stdout);
  // The pages' work in flight and a render's frame end on a thread of their own, so a second
  // signal is still heard here.
  std::atomic<bool> ended{false};
  std::thread ending([&] {
    session->StopRender();
    server.Stop();
    ended = true;
  });
  const timespec tick{0, 50 * 1000 * 1000};
  while (!ended) {
    if (const int again = sigtimedwait(&signals, nullptr, &tick); again > 0) EndAtOnce(*session, recovery, again);
  }
  ending.join();
  const std::string kept = session->EndAutosave();
  if (!kept.empty())
    std::printf("studio ended; changes not saved are in %s: the next studio started on this %s offers them\n",
                kept.c_str(), o.output.empty() ? "clip" : "output");
  else if (session->unsaved_changes())
    std::printf(
        "studio ended; changes not saved were kept nowhere (an earlier studio's recovery file is still on offer "
        "at %s)\n",
        recovery.c_str());
  else std::printf("studio ended\n");
  return kExitOk;
}

Subcommand AddStudioCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<StudioCommandOptions>();
  CLI::App* command = app.add_subcommand("studio", "draw, edit, track and render the mask in a browser");
  command->add_option("input", o->input, "the clip")->required();
  command->add_option("-m,--mask", o->mask_path, "mask document to start from (default: nothing drawn)");
  command->add_option("-o,--output", o->output, "where save writes the mask document");
  command->add_option("--render-to", o->render_to, "where the page's render goes (as render's OUTPUT)");
  command->add_option("--port", o->port, "port to listen on (default: any free one)");
  command->add_option("--listen", o->listen,
                      "IP address to listen on (default 127.0.0.1: this machine only; others warn)");
  command->add_flag("--overwrite", o->overwrite, "let save write over the -m document, and render replace --render-to");
  return {command, [&common, o] { return RunStudio(common, *o); }};
}

}  // namespace maskfx
