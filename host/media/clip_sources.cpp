#include "host/media/clip_sources.h"

#include <algorithm>
#include <utility>

namespace host {
namespace {

class FramesClip : public ClipSource {
 public:
  FramesClip(std::vector<RgbaFrame> frames, Rational rate) : frames_(std::move(frames)), rate_(rate) {}
  int32_t width() const override { return frames_.empty() ? 0 : frames_[0].width; }
  int32_t height() const override { return frames_.empty() ? 0 : frames_[0].height; }
  Rational frame_rate() const override { return rate_; }
  int64_t frame_count() const override { return int64_t(frames_.size()); }
  bool ReadFrame(int64_t index, RgbaFrame& frame, std::string& error) override {
    const RgbaFrame* held = FrameAt(index, error);
    if (held != nullptr) frame = *held;
    return held != nullptr;
  }
  const RgbaFrame* FrameAt(int64_t index, std::string& error) override {
    if (index < 0 || index >= frame_count()) {
      error = "frame " + std::to_string(index) + " is outside the clip";
      return nullptr;
    }
    return &frames_[size_t(index)];
  }

 private:
  std::vector<RgbaFrame> frames_;
  Rational rate_;
};

// Keeps the frames it decoded last. A tracking press asks for frame i and i + 1, and the next
// press for i + 1 again (the effect releases its frames after each press): read again from the
// decoder, that frame is behind the decoder's place, a seek and a decode from the group's key
// frame, longer the further into the group (1280x720, 250-frame groups: 16 frames a second at a
// group's start, 4.5 near frame 130). Tracking backwards asks for the frame before the
// decoder's place every press: there one run of frames ending at it is decoded and kept, so
// that one seek serves the presses of the whole run.
class ReaderClip : public ClipSource {
 public:
  explicit ReaderClip(std::unique_ptr<MediaReader> reader) : reader_(std::move(reader)) {
    const int64_t frame_bytes = std::max<int64_t>(1, int64_t(width()) * height() * 4);
    run_ = std::clamp<int64_t>(kRunBytes / frame_bytes, 2, 16);
    recent_.resize(size_t(run_));
  }
  int32_t width() const override { return reader_->info().width; }
  int32_t height() const override { return reader_->info().height; }
  Rational frame_rate() const override { return reader_->info().frame_rate; }
  int64_t frame_count() const override { return reader_->info().frame_count; }
  bool ReadFrame(int64_t index, RgbaFrame& frame, std::string& error) override {
    const RgbaFrame* held = FrameAt(index, error);
    if (held != nullptr) frame = *held;
    return held != nullptr;
  }
  const RgbaFrame* FrameAt(int64_t index, std::string& error) override {
    if (const RgbaFrame* kept = Kept(index)) return kept;
    if (last_read_ >= 0 && index < last_read_ && index >= last_read_ - 2) {
      // Failures here are not final: the plain read below reports them.
      std::string ignored;
      for (int64_t k = std::max<int64_t>(0, index - run_ + 1); k <= index; ++k) {
        Recent& slot = Slot(run_);
        slot.index = -1;
        if (!reader_->ReadFrame(k, slot.frame, ignored)) break;
        slot.index = last_read_ = k;
        slot.age = ++age_;
      }
      if (const RgbaFrame* kept = Kept(index)) return kept;
    }
    // Reading on uses two of the slots, so that a clip only read forwards holds two frames. The
    // decoder writes into the slot's own pixels: no fresh frame-sized block a read.
    Recent& slot = Slot(2);
    slot.index = -1;
    if (!reader_->ReadFrame(index, slot.frame, error)) {
      if (error.empty()) error = "frame " + std::to_string(index) + " is past the end of the clip";
      return nullptr;
    }
    slot.index = last_read_ = index;
    slot.age = ++age_;
    return &slot.frame;
  }

 private:
  static constexpr int64_t kRunBytes = 64 << 20;
  struct Recent {
    int64_t index = -1;
    uint64_t age = 0;
    RgbaFrame frame;
  };
  const RgbaFrame* Kept(int64_t index) const {
    for (const Recent& r : recent_)
      if (r.index == index) return &r.frame;
    return nullptr;
  }
  // The empty or oldest of the first `count` slots.
  Recent& Slot(int64_t count) {
    Recent* oldest = &recent_[0];
    for (int64_t k = 0; k < count && k < int64_t(recent_.size()); ++k) {
      Recent& r = recent_[size_t(k)];
      if (r.index == -1) return r;
      if (r.age < oldest->age) oldest = &r;
    }
    return *oldest;
  }

  std::unique_ptr<MediaReader> reader_;
  int64_t run_ = 2;
  std::vector<Recent> recent_;
  uint64_t age_ = 0;
  int64_t last_read_ = -1;  // the decoder's place: the last frame it gave
};

}  // namespace

std::shared_ptr<ClipSource> ClipOfSize(int32_t width, int32_t height, Rational frame_rate, int64_t frame_count) {
  class SizeOnly : public ClipSource {
   public:
    SizeOnly(int32_t w, int32_t h, Rational r, int64_t n) : w_(w), h_(h), r_(r), n_(n) {}
    int32_t width() const override { return w_; }
    int32_t height() const override { return h_; }
    Rational frame_rate() const override { return r_; }
    int64_t frame_count() const override { return n_; }
    bool ReadFrame(int64_t, RgbaFrame&, std::string& error) override {
      error = "this clip has no pictures";
      return false;
    }

   private:
    int32_t w_, h_;
    Rational r_;
    int64_t n_;
  };
  return std::make_shared<SizeOnly>(width, height, frame_rate, frame_count);
}

std::shared_ptr<ClipSource> ClipFromFrames(std::vector<RgbaFrame> frames, Rational frame_rate) {
  return std::make_shared<FramesClip>(std::move(frames), frame_rate);
}

std::shared_ptr<ClipSource> ClipFromReader(std::unique_ptr<MediaReader> reader) {
  return std::make_shared<ReaderClip>(std::move(reader));
}

}  // namespace host
