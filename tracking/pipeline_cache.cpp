#include "tracking/pipeline_cache.h"
#include "platform/runtime/never_destroyed.h"

#include <mutex>
#include <utility>

namespace mask {
namespace {

using vantor::tracking::two_frame_pipeline;

struct KeptPipeline {
  std::mutex mutex;
  std::unique_ptr<two_frame_pipeline> pipeline;
};

KeptPipeline& Kept() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<KeptPipeline> kept;
  return kept.get();
}

// Puts `pipeline` in the slot and hands back what was there, so that it is freed, if at all,
// outside the lock.
std::unique_ptr<two_frame_pipeline> Exchange(std::unique_ptr<two_frame_pipeline> pipeline) {
  KeptPipeline& k = Kept();
  std::lock_guard lock(k.mutex);
  return std::exchange(k.pipeline, std::move(pipeline));
}

}  // namespace

std::unique_ptr<two_frame_pipeline> TakePipeline(uint64_t width, uint64_t height,
                                                 const vantor::tracking::selection_parameters& selection,
                                                 const vantor::tracking::lk_parameters& lk) {
  std::unique_ptr<two_frame_pipeline> taken = Exchange(nullptr);
  if (taken && taken->serves(width, height, selection, lk)) {
    taken->set_min_distance(selection.min_distance);
    return taken;
  }
  taken.reset();  // another size's memory goes before this size's is made
  return std::make_unique<two_frame_pipeline>(width, height, selection, lk);
}

void KeepPipeline(std::unique_ptr<two_frame_pipeline> pipeline) { Exchange(std::move(pipeline)); }

void DropKeptPipeline() { Exchange(nullptr); }

bool HasKeptPipeline() {
  KeptPipeline& k = Kept();
  std::lock_guard lock(k.mutex);
  return k.pipeline != nullptr;
}

}  // namespace mask
