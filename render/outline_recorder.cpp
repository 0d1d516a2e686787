#include "render/outline_recorder.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "services/component_broker.h"

namespace mask_render {

OutlineRecorder::~OutlineRecorder() {
  if (on_heap()) {
    std::free(points_);
    std::free(codes_);
  }
}

void OutlineRecorder::Reserve(size_t needed) {
  if (count_ + needed < capacity_) return;
  const size_t capacity = 2 * (count_ + needed);
  size_t point_bytes = 0, code_bytes = 0;
  if (__builtin_mul_overflow(capacity, sizeof(quill::PathPoint), &point_bytes) ||
      __builtin_mul_overflow(capacity, sizeof(uint32_t), &code_bytes))
    throw QLLException("Math overflow exception");
  if (!on_heap()) {
    auto* points = static_cast<quill::PathPoint*>(std::malloc(point_bytes));
    auto* codes = static_cast<uint32_t*>(std::malloc(code_bytes));
    if (!points || !codes) {
      std::free(points);
      std::free(codes);
      throw std::bad_alloc();
    }
    std::memcpy(points, points_, count_ * sizeof(quill::PathPoint));
    std::memcpy(codes, codes_, count_ * sizeof(uint32_t));
    points_ = points;
    codes_ = codes;
  } else {
    auto* points = static_cast<quill::PathPoint*>(std::realloc(points_, point_bytes));
    if (!points) throw std::bad_alloc();
    points_ = points;
    auto* codes = static_cast<uint32_t*>(std::realloc(codes_, code_bytes));
    if (!codes) throw std::bad_alloc();
    codes_ = codes;
  }
  capacity_ = capacity;
}

void OutlineRecorder::Append(uint32_t code, float x, float y) {
  points_[count_] = {x, y};
  codes_[count_] = code;
  ++count_;
}

void OutlineRecorder::RequireCurrentPoint() const {
  if (count_ == 0) throw QIB_T_MT::CQIBError("no current point");
}

void OutlineRecorder::MoveTo(float x, float y) {
  Reserve(1);
  subpath_start_ = static_cast<int64_t>(count_);
  Append(quill::kPathMoveTo, x, y);
}

void OutlineRecorder::LineTo(float x, float y) {
  RequireCurrentPoint();
  Reserve(1);
  Append(quill::kPathLineTo, x, y);
}

void OutlineRecorder::CurveTo(float x1, float y1, float x2, float y2, float x3, float y3) {
  RequireCurrentPoint();
  Reserve(3);
  Append(quill::kPathCurvePoint, x1, y1);
  Append(quill::kPathCurvePoint, x2, y2);
  Append(quill::kPathCurvePoint, x3, y3);
}

void OutlineRecorder::ClosePath() {
  if (count_ == 0 || codes_[count_ - 1] == quill::kPathClose) return;
  Reserve(1);
  const quill::PathPoint start = subpath_start_ >= 0 ? points_[subpath_start_] : points_[0];
  Append(quill::kPathClose, start.x, start.y);
}

void OutlineRecorder::Clear() {
  count_ = 0;
  subpath_start_ = -1;
}

void OutlineRecorder::Play(COR_OutlinePlayer& player) const {
  for (size_t i = 0; i < count_; ++i) {
    const quill::PathPoint p = points_[i];
    switch (codes_[i]) {
      case quill::kPathMoveTo: player.MoveTo(p.x, p.y); break;
      case quill::kPathLineTo: player.LineTo(p.x, p.y); break;
      case quill::kPathClose: player.ClosePath(); break;
      case quill::kPathCurvePoint:
        if (i + 2 < count_) {
          player.CurveTo(p.x, p.y, points_[i + 1].x, points_[i + 1].y, points_[i + 2].x, points_[i + 2].y);
          i += 2;
        } else {
          i = count_;  // a curve cut short is not played
        }
        break;
      default: break;
    }
  }
}

}  // namespace mask_render
