#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace maskfx {

ProgressLine::ProgressLine(std::string what) : what_(std::move(what)), terminal_(isatty(STDERR_FILENO) == 1) {}

void ProgressLine::Update(int64_t done, int64_t total, double fps, double seconds_left, const std::string& note) {
  const auto now = std::chrono::steady_clock::now();
  // Off a terminal, a line every few seconds is enough for a log.
  const auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(3000);
  if (shown_ && now - last_ < interval && done != total) return;
  last_ = now;
  char line[160];
  if (total > 0)
    std::snprintf(line, sizeof line, "%s frame %lld/%lld, %.1f fps, %.0f s left", what_.c_str(),
                  static_cast<long long>(done), static_cast<long long>(total), fps, seconds_left);
  else std::snprintf(line, sizeof line, "%s frame %lld, %.1f fps", what_.c_str(), static_cast<long long>(done), fps);
  const std::string text = note.empty() ? std::string(line) : line + (", " + note);
  std::fprintf(stderr, terminal_ ? "\r%s\033[K" : "%s\n", text.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void ProgressLine::Say(const std::string& text) {
  std::fprintf(stderr, terminal_ ? "\r%s\033[K\n" : "%s\n", text.c_str());
  std::fflush(stderr);
  shown_ = false;  // the progress line is drawn again at the next update, whenever it comes
}

void ProgressLine::Finish() {
  if (terminal_ && shown_) std::fputc('\n', stderr);
  shown_ = false;
}

}  // namespace maskfx
