// The photographs the benches read (tests/data/photos), decoded to RGBA; a bench without them
// cannot say anything, so a missing one ends the program with the reader's error.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/media/media.h"

#ifndef MASK_PHOTOS_DIR
#define MASK_PHOTOS_DIR "tests/data/photos"
#endif

inline host::RgbaFrame Photo(const char* name) {
  std::string error;
  auto reader = host::MediaReader::Open(std::string(MASK_PHOTOS_DIR) + "/" + name, error);
  host::RgbaFrame frame;
  if (!reader || !reader->ReadFrame(0, frame, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  return frame;
}
