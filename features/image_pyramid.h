// A colour image pyramid: a full-resolution float copy of a frame (level 0) and successively
// halved levels, all in one allocation made once per frame step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantor::tracking {

class image_pyramid {
 public:
  image_pyramid() = default;
  image_pyramid(uint64_t width, uint64_t height, uint64_t channels, uint64_t levels);

  uint64_t width() const { return width_; }
  uint64_t height() const { return height_; }
  uint64_t channels() const { return channels_; }
  uint64_t levels() const { return levels_; }

  // Level l is ceil(width / 2^l) x ceil(height / 2^l) pixels; rows of level_width(l) · channels
  // floats follow each other without gaps, samples of a pixel interleaved.
  uint64_t level_width(uint64_t l) const;
  uint64_t level_height(uint64_t l) const;
  uint64_t level_stride(uint64_t l) const { return level_width(l) * channels_; }
  float* level(uint64_t l);
  const float* level(uint64_t l) const;

  // Builds levels 1 .. levels-1 from level 0 (already filled). Each level has a one-pixel
  // frame of zeros; pixel (j, i) is the [1, 2, 1] / 4 horizontal filter of level l-1 at
  // (2j, 2i), rows point-sampled. A level whose source is under 3 pixels wide or high gets only
  // its first row cleared. Allocates nothing.
  void build();
  // The same; `scratch` is accepted for callers that share one buffer between pyramids, but
  // the filter writes straight into the levels and does not touch it.
  void build(std::vector<float>& scratch);

  std::vector<float>& data() { return data_; }
  const std::vector<float>& data() const { return data_; }

 private:
  uint64_t width_ = 0, height_ = 0, channels_ = 0, levels_ = 0;
  std::vector<size_t> offsets_;  // of each level in data_
  std::vector<float> data_;
};

}  // namespace vantor::tracking
