#include "cli/interrupts.h"

#include <unistd.h>

#include <cstdio>

#include "host/media/output_paths.h"

namespace maskfx {

sigset_t BlockEndingSignals(sigset_t* previous) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, previous);
  return signals;
}

InterruptWatch::InterruptWatch() : signals_(BlockEndingSignals(&old_mask_)) {
  watcher_ = std::thread([this] { Watch(); });
}

InterruptWatch::~InterruptWatch() {
  done_ = true;
  watcher_.join();
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

void InterruptWatch::Watch() {
  // Short waits so that the destructor need not signal the watcher to end it.
  const timespec wait{0, 20 * 1000 * 1000};
  while (!done_) {
    const int s = sigtimedwait(&signals_, nullptr, &wait);
    if (s < 0) continue;
    if (!stop_.exchange(true)) {
      std::fprintf(stderr, "\nmaskfx: stopping after the frame in progress (interrupt again to stop at once)\n");
      continue;
    }
    host::RemoveAllTempsForExit();
    std::fprintf(stderr, "\nmaskfx: stopped at once; nothing written\n");
    std::fflush(stderr);
    _exit(128 + s);
  }
}

}  // namespace maskfx
