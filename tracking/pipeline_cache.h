// The tracking step's working memory kept from one press to the next. A track is one press per
// frame on frames of one size, and making the pyramids and planes afresh for every press costs
// about a tenth of the press; the one pipeline kept is the last press's, so what is held stays
// bounded by one step's memory (about 50 bytes a frame pixel).
#pragma once

#include <cstdint>
#include <memory>

#include "features/two_frame_pipeline.h"

namespace mask {

// The kept pipeline when it fits the step (set to the step's minimum distance), else a new one.
std::unique_ptr<vantor::tracking::two_frame_pipeline> TakePipeline(
    uint64_t width, uint64_t height, const vantor::tracking::selection_parameters& selection,
    const vantor::tracking::lk_parameters& lk);
// Keeps a pipeline after a finished step, in place of any kept before.
void KeepPipeline(std::unique_ptr<vantor::tracking::two_frame_pipeline> pipeline);
// Frees the kept pipeline (an instance closed, or the module is being shut down).
void DropKeptPipeline();
// Whether a pipeline is kept, for tests.
bool HasKeptPipeline();

}  // namespace mask
