// A growable list of outline entries (points with segment codes, the graphics components'
// format), the segment sink interface of the outline code, and the sink that appends to a
// recorder. Typical mask outlines fit the 64 entries kept inside the recorder itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "platform/graphics/path_data.h"

struct QLLException : std::runtime_error {
  using std::runtime_error::runtime_error;
};

namespace mask_render {

class COR_OutlinePlayer {
 public:
  virtual ~COR_OutlinePlayer() = default;
  virtual void MoveTo(float x, float y) = 0;
  virtual void LineTo(float x, float y) = 0;
  virtual void CurveTo(float x1, float y1, float x2, float y2, float x3, float y3) = 0;
  virtual void ClosePath() = 0;
};

class OutlineRecorder {
 public:
  static constexpr size_t kInlineEntries = 64;

  OutlineRecorder() = default;
  ~OutlineRecorder();
  OutlineRecorder(const OutlineRecorder&) = delete;
  OutlineRecorder& operator=(const OutlineRecorder&) = delete;

  void MoveTo(float x, float y);
  // Both throw the broker's error "no current point" on an empty recorder.
  void LineTo(float x, float y);
  void CurveTo(float x1, float y1, float x2, float y2, float x3, float y3);
  // Closes the current sub-outline; nothing when empty or already closed.
  void ClosePath();
  // Forgets the entries, keeping the storage.
  void Clear();
  // Replays the entries through a player: one CurveTo per three curve points.
  void Play(COR_OutlinePlayer& player) const;

  size_t count() const { return count_; }
  size_t capacity() const { return capacity_; }
  const quill::PathPoint* points() const { return points_; }
  const uint32_t* codes() const { return codes_; }
  bool on_heap() const { return points_ != inline_points_; }

 private:
  void Append(uint32_t code, float x, float y);
  void Reserve(size_t needed);
  void RequireCurrentPoint() const;

  quill::PathPoint inline_points_[kInlineEntries];
  uint32_t inline_codes_[kInlineEntries];
  quill::PathPoint* points_ = inline_points_;
  uint32_t* codes_ = inline_codes_;
  size_t count_ = 0;
  size_t capacity_ = kInlineEntries;
  int64_t subpath_start_ = -1;  // index of the current sub-outline's move-to
};

class COR_AppendPathFunctor : public COR_OutlinePlayer {
 public:
  explicit COR_AppendPathFunctor(OutlineRecorder* target) : target_(target) {}
  void MoveTo(float x, float y) override { target_->MoveTo(x, y); }
  void LineTo(float x, float y) override { target_->LineTo(x, y); }
  void CurveTo(float x1, float y1, float x2, float y2, float x3, float y3) override {
    target_->CurveTo(x1, y1, x2, y2, x3, y3);
  }
  void ClosePath() override { target_->ClosePath(); }

 private:
  OutlineRecorder* target_;
};

}  // namespace mask_render
