#include "features/two_frame_pipeline.h"

namespace vantor::tracking {

namespace {
constexpr uint64_t kChannels = 3;
}

two_frame_pipeline::two_frame_pipeline(uint64_t width, uint64_t height, const selection_parameters& selection,
                                       const lk_parameters& lk)
    : selection_(selection), lk_(lk), selector_(width, height, selection),
      from_(width, height, kChannels, lk.pyramid_levels), to_(width, height, kChannels, lk.pyramid_levels),
      templates_(selection.max_features), states_(selection.max_features * affine_state::size(kChannels)) {
  // Every slot's template sized now, so that steps selecting more features than earlier ones
  // do not grow the pipeline.
  const lk_window window{lk.window_half_size, lk.window_half_size, kChannels};
  for (feature_template& t : templates_) t.data.reserve(lk.pyramid_levels * window.level_stride());
}

bool two_frame_pipeline::serves(uint64_t width, uint64_t height, const selection_parameters& selection,
                                const lk_parameters& lk) const {
  selection_parameters same_distance = selection;
  same_distance.min_distance = selection_.min_distance;
  return width == selector_.width() && height == selector_.height() && same_distance == selection_ && lk == lk_;
}

void two_frame_pipeline::set_min_distance(uint64_t d) {
  selection_.min_distance = d;
  selector_.set_min_distance(d);
}

two_frame_result two_frame_pipeline::run(frame_source& source, bool refine_now) {
  two_frame_result r;
  r.slots = selection_.max_features;
  r.table.assign(2 * r.slots, tracking_feature<float>{});
  const std::span<tracking_feature<float>> first(r.table.data(), r.slots);
  const std::span<tracking_feature<float>> second(r.table.data() + r.slots, r.slots);

  // Select in the first frame, inside the mask.
  source.mask(0, selector_.mask_plane());
  frame_region grey;
  selector_.grey_needed(grey.x0, grey.y0, grey.x1, grey.y1);
  source.grey_region(0, selector_.grey_plane(), grey);
  r.scores = selector_.select();
  selector_.thin();
  first_row_.resize(r.slots);
  selector_.write_features(first_row_);
  std::copy(first_row_.begin(), first_row_.end(), first.begin());
  for (const tracking_feature<float>& f : first) r.selected += f.state > 0;
  templates_current_ = false;

  // Pyramids of both frames: the first is the last run's second where the source names it so.
  frame_identity id;
  reused_ = second_identity_ && source.identity(0, id) && id == *second_identity_;
  second_identity_.reset();
  if (reused_) {
    std::swap(from_, to_);
  } else {
    source.colour(0, from_.level(0));
    from_.build(scratch_);
  }
  source.colour(1, to_.level(0));
  to_.build(scratch_);
  if (source.identity(1, id)) second_identity_ = id;

  r.tracking_histogram = make_level_histogram(lk_.pyramid_levels);
  track(from_, to_, first, second, tracking_options(lk_), r.tracking_histogram);

  r.refinement_histogram = make_level_histogram(lk_.pyramid_levels);
  if (refine_now) refine(r);
  return r;
}

const std::vector<feature_template>& two_frame_pipeline::first_templates() {
  make_templates();
  return templates_;
}

void two_frame_pipeline::make_templates() {
  if (templates_current_) return;
  create_templates(from_, first_row_, templates_, states_, lk_.window_half_size);
  templates_current_ = true;
}

void two_frame_pipeline::refine(two_frame_result& r) {
  if (!lk_.refinement_enabled || r.slots != selection_.max_features || r.table.size() != 2 * r.slots) return;
  make_templates();
  const std::span<tracking_feature<float>> second(r.table.data() + r.slots, r.slots);
  // The refinement starts from where the tracker put each feature: from its own stored warp
  // (the identity on a fresh template) motions of several pixels settle on near matches.
  const uint64_t state_size = affine_state::size(kChannels);
  for (uint64_t s = 0; s < r.slots; ++s) {
    if (second[s].state != kFeatureTracked) continue;
    float* state = states_.data() + s * state_size;
    state[affine_state::kDx] = second[s].x - state[affine_state::kX0];
    state[affine_state::kDy] = second[s].y - state[affine_state::kY0];
  }
  vantor::tracking::refine(to_, second, templates_, states_, refinement_options(lk_, kChannels),
                           r.refinement_histogram);
}

}  // namespace vantor::tracking
