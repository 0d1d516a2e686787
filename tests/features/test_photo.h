// The shared test photographs, read through the host's media reader.
#pragma once

#include <string>

#include "host/media/media.h"

namespace vantor::tracking::testing {

inline std::string PhotoPath(const std::string& name) { return std::string(MASK_PHOTOS_DIR) + "/" + name; }

// The first frame of `path`, or false with the reader's reason.
inline bool LoadPhoto(const std::string& path, host::RgbaFrame& frame, std::string& error) {
  auto reader = host::MediaReader::Open(path, error);
  return reader && reader->ReadFrame(0, frame, error);
}

}  // namespace vantor::tracking::testing
