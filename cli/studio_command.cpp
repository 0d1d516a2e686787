#include <signal.h>

#include <cstdio>
#include <filesystem>

#include "cli/commands.h"
#include "host/module_loader.h"
#include "studio/request_guard.h"
#include "studio/studio_server.h"
#include "studio/studio_session.h"

namespace maskfx {

int RunStudio(const CommonOptions& common, const StudioCommandOptions& o) {
  std::error_code ec;
  if (!o.output.empty() && !o.mask_path.empty() && !o.overwrite &&
      std::filesystem::equivalent(o.output, o.mask_path, ec))
    return Fail(kExitBadInput, o.output + ": is the input document; give another -o, or --overwrite");
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  std::unique_ptr<studio::StudioSession> session =
      studio::StudioSession::Open(module, {o.input, o.mask_path, o.output, o.render_to}, error);
  if (!session) return Fail(kExitBadInput, error);

  // Signals are taken by this thread alone, so the server's threads never see them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  studio::StudioServer server(*session, {o.listen, o.port}, studio::NewToken());
  if (!server.Start(error)) return Fail(kExitFailure, error);
  std::printf("studio: %s\n", server.Address().c_str());
  std::printf("open it in a browser on this machine; Ctrl-C ends the studio%s\n",
              o.output.empty() ? " (no -o given: saving is off)" : "");
  std::fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  std::printf("studio ended\n");
  return kExitOk;
}

}  // namespace maskfx
