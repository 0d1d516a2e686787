// Short damaged media files through the host's decoder: any bytes are refused with a one-line
// error naming the file, or opened and read frame by frame (forward, then back to the start)
// into pictures of the size the file declared, without faults, hangs or unbounded memory.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/media/media.h"

namespace {

// The file the bytes are written to; the first byte picks its extension, since the reader
// treats names differently from contents only by extension.
std::string PathFor(uint8_t pick) {
  static const char* kExtensions[] = {".mkv", ".mp4", ".mov", ".webm", ".png", ".jpg", ".avi", ".bin"};
  return (std::filesystem::temp_directory_path() / ("media_fuzz_" + std::to_string(getpid()) + kExtensions[pick % 8]))
      .string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string path = PathFor(data[0]);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  std::fwrite(data + 1, 1, size - 1, file);
  std::fclose(file);

  std::string error;
  std::unique_ptr<host::MediaReader> reader = host::MediaReader::Open(path, error);
  if (!reader) {
    if (error.rfind(path, 0) != 0 || error.find('\n') != std::string::npos) std::abort();
  } else {
    const host::MediaInfo& info = reader->info();
    if (info.width <= 0 || info.height <= 0) std::abort();
    host::RgbaFrame frame;
    const auto read = [&](int64_t index) {
      error.clear();
      if (!reader->ReadFrame(index, frame, error)) return false;
      if (frame.width != info.width || frame.height != info.height ||
          frame.pixels.size() != size_t(frame.width) * frame.height * 4)
        std::abort();
      return true;
    };
    int64_t index = 0;
    while (index < 8 && read(index)) ++index;
    read(0);
  }
  std::remove(path.c_str());
  return 0;
}
