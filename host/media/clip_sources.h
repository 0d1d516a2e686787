// The clips the media engine plays: frames in memory, a decoder (keeping the frames a tracking
// press asks for again), and a clip with a size but no pictures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/media/media.h"

namespace host {

// The frames of a clip, all width() x height(). ReadFrame and FrameAt are only ever called from
// the render thread, one call at a time.
class ClipSource {
 public:
  virtual ~ClipSource() = default;
  virtual int32_t width() const = 0;
  virtual int32_t height() const = 0;
  virtual Rational frame_rate() const = 0;
  virtual int64_t frame_count() const = 0;
  virtual bool ReadFrame(int64_t index, RgbaFrame& frame, std::string& error) = 0;
  // Frame `index` where the clip holds it, valid until the next call; null, with `error` set, where
  // it cannot be read. Clips that keep their frames override it to spare the render a copy.
  virtual const RgbaFrame* FrameAt(int64_t index, std::string& error) {
    return ReadFrame(index, read_, error) ? &read_ : nullptr;
  }

 private:
  RgbaFrame read_;
};

// Frames already in memory; they must all have the first frame's size.
std::shared_ptr<ClipSource> ClipFromFrames(std::vector<RgbaFrame> frames, Rational frame_rate);
// A decoder; the clip is as long as the reader says (a render past the real end fails).
std::shared_ptr<ClipSource> ClipFromReader(std::unique_ptr<MediaReader> reader);

// A clip that has a size, a rate and a length but no pictures (reading a frame fails): what the
// GPU path needs of a clip whose frames the caller decodes itself.
std::shared_ptr<ClipSource> ClipOfSize(int32_t width, int32_t height, Rational frame_rate,
                                       int64_t frame_count = 1 << 30);

}  // namespace host
