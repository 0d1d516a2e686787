#include "render/mask_gpu_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "analysis/input_node.h"
#include "platform/gpu/frame_mapping.h"
#include "platform/gpu/gpu_foundation.h"
#include "platform/graphics/image_renderer.h"
#include "platform/runtime/host_memory.h"
#include "render/rasterize_mask.h"
#include "render/render_frame.h"

namespace mask_render {
namespace {

int64_t PropertyOr(const FxVideoSegmentSuite* segments, FxNodeId node, const char* name, bool& found) {
  std::string text;
  int64_t value = 0;
  found = segments && vsa::ReadNodeProperty(segments, node, name, text) && vsa::ParseDecimal(text, value);
  return value;
}

VXMaskGPU* FilterOf(FxGPUFilterInstance* instance) {
  return instance ? static_cast<VXMaskGPU*>(instance->filter) : nullptr;
}

// Nothing may be thrown across the host's C interface: a failure inside is a failed call.
template <typename Call>
FxGPUResult Guarded(Call call) {
  try {
    return call();
  } catch (...) {
    return kFxGPU_Failed;
  }
}

FxGPUResult CreateInstance(FxGPUFilterInstance* instance) {
  if (instance == nullptr) return kFxGPU_Failed;
  return Guarded([&] {
    auto filter = std::make_unique<VXMaskGPU>();
    const FxGPUResult result = filter->Initialize(instance->creation);
    if (static_cast<int32_t>(result) < 0) return result;
    instance->filter = filter.release();
    return result;
  });
}

FxGPUResult DisposeInstance(FxGPUFilterInstance* instance) {
  if (instance == nullptr) return kFxGPU_OK;
  delete FilterOf(instance);
  instance->filter = nullptr;
  return kFxGPU_OK;
}

FxGPUResult FrameDependencies(FxGPUFilterInstance* instance, const FxGPURenderParams* params, int32_t index,
                              FxGPUFrameDependency* out) {
  VXMaskGPU* filter = FilterOf(instance);
  if (filter == nullptr || params == nullptr) return kFxGPU_Failed;
  return Guarded([&] { return filter->GetFrameDependencies(*params, index, out); });
}

FxGPUResult Precompute(FxGPUFilterInstance* instance, const FxGPURenderParams* params, int32_t index,
                       FxPixHandle frame) {
  VXMaskGPU* filter = FilterOf(instance);
  if (filter == nullptr || params == nullptr) return kFxGPU_Failed;
  return Guarded([&] { return filter->Precompute(*params, index, frame); });
}

FxGPUResult Render(FxGPUFilterInstance* instance, const FxGPURenderParams* params, const FxPixHandle* inputs,
                   int64_t count, FxPixHandle* out_frame) {
  VXMaskGPU* filter = FilterOf(instance);
  if (filter == nullptr || params == nullptr) return kFxGPU_Failed;
  return Guarded([&] { return filter->Render(*params, inputs, count, out_frame); });
}

float Reciprocal(float scale) { return scale > 0 && std::isfinite(scale) ? 1.0f / scale : 1.0f; }

}  // namespace

FxGPUResult MapHostResult(uint32_t host_result) {
  if (host_result == 0) return kFxGPU_OK;
  return host_result == kFxHostGPU_DeviceLost ? kFxGPU_DeviceLost : kFxGPU_Failed;
}

void PackedFrameSize(int32_t frame_width, int32_t frame_height, float sx, float sy, int32_t& width, int32_t& height) {
  const double w = std::trunc(double(frame_width) / (sx > 0 ? sx : 1.0f));
  const double h = std::trunc(double(frame_height) / (sy > 0 ? sy : 1.0f));
  // Rounded up, not down: a width that is not a multiple of four keeps its last columns.
  width = int32_t(std::clamp(std::ceil(w / 4), 0.0, double(1 << 28)));
  height = int32_t(std::clamp(h, 0.0, double(1 << 30)));
}

VXMaskGPU::~VXMaskGPU() {
  for (int i = held_count_ - 1; i >= 0; --i)
    if (suites_ && suites_->ReleaseSuite) suites_->ReleaseSuite(held_[i].name, held_[i].version);
}

const void* VXMaskGPU::Acquire(const char* name, int32_t version) {
  const void* suite = nullptr;
  if (suites_ == nullptr || suites_->AcquireSuite == nullptr) return nullptr;
  if (suites_->AcquireSuite(name, version, &suite) != FxErr_None || suite == nullptr) return nullptr;
  held_[held_count_++] = {name, version};
  return suite;
}

FxGPUResult VXMaskGPU::Initialize(const FxGPUCreationRecord& creation) {
  node_ = creation.node;
  sequence_ = creation.sequence;
  host_refcon_ = creation.host_refcon;
  suites_ = creation.suites;
  utility_ = creation.utility;
  segments_ = static_cast<const FxVideoSegmentSuite*>(Acquire(kFxVideoSegmentSuiteName, kFxVideoSegmentSuiteVersion));
  pix_ = static_cast<const FxPixSuite*>(Acquire(kFxPixSuiteName, kFxPixSuiteVersion));
  pix2_ = Acquire(kFxPix2SuiteName, kFxPix2SuiteVersion);
  segments_again_ =
      static_cast<const FxVideoSegmentSuite*>(Acquire(kFxVideoSegmentSuiteName, kFxVideoSegmentSuiteVersion));
  sequence_info_ =
      static_cast<const FxSequenceInfoSuite*>(Acquire(kFxSequenceInfoSuiteName, kFxSequenceInfoSuiteVersion));
  // Without its frames' suites the filter could do nothing but fail later.
  return segments_ && pix_ && sequence_info_ ? kFxGPU_OK : kFxGPU_Failed;
}

GPUMaskParams VXMaskGPU::ReadParams(int64_t clip_time) const {
  GPUMaskParams p;
  if (utility_ == nullptr || utility_->GetParam == nullptr) return p;
  const auto read = [&](int32_t index) {
    FxGPUParamValue v{};
    utility_->GetParam(node_, index, clip_time, &v);
    return v;
  };
  FxGPUParamValue path = read(kGPUParamMaskPath);
  if (path.kind == FxGPUParam_Data && path.data != nullptr) {
    Mask::UnflattenMaskShape(path.data, HvGetPtrSize(path.data), p.shape);
    HvDisposePtr(path.data);
  }
  p.feather = static_cast<float>(read(kGPUParamFeather).number);
  p.opacity = static_cast<float>(read(kGPUParamOpacity).number);
  p.expansion = static_cast<float>(read(kGPUParamExpansion).number);
  p.inverted = read(kGPUParamInverted).flag != 0;
  p.mode = quill::AlphaBlendFromValue(read(kGPUParamMaskMode).number);
  // Values no slider can hold, as on the CPU: no feather, and full opacity for NaN.
  if (!(p.feather > 0)) p.feather = 0;
  if (std::isnan(p.opacity)) p.opacity = 100;
  p.opacity = std::clamp(p.opacity, 0.0f, 100.0f);
  return p;
}

FrameGeometry VXMaskGPU::Geometry() const {
  FrameGeometry g;
  bool has_w = false, has_h = false, has_num = false, has_den = false, has_policy = false;
  const int64_t w = PropertyOr(segments_, node_, "MediaNode::StreamFrameWidth", has_w);
  const int64_t h = PropertyOr(segments_, node_, "MediaNode::StreamFrameHeight", has_h);
  const int64_t num = PropertyOr(segments_, node_, "MediaNode::StreamPixelAspectRatioNum", has_num);
  const int64_t den = PropertyOr(segments_, node_, "MediaNode::StreamPixelAspectRatioDen", has_den);
  const int64_t policy = PropertyOr(segments_, node_, "MediaNode::ClipScaleToFramePolicy", has_policy);
  if (has_num && has_den && num > 0 && den > 0) g.par_num = int32_t(num), g.par_den = int32_t(den);
  FxFrameRect rect{};
  if (sequence_info_) sequence_info_->GetFrameRect(sequence_, &rect);
  const int32_t seq_w = rect.right - rect.left, seq_h = rect.bottom - rect.top;
  if (!has_w || !has_h || w <= 0 || h <= 0 || policy == 3) {
    g.width = seq_w, g.height = seq_h;
    return g;
  }
  g.width = int32_t(std::min<int64_t>(w, 1 << 30));
  g.height = int32_t(std::min<int64_t>(h, 1 << 30));
  if ((policy == 1 || policy == 2) && seq_w > 0 && seq_h > 0) {
    // Scale to fit the sequence frame (1) or to fill it (2).
    const float fx = float(seq_w) / float(g.width), fy = float(seq_h) / float(g.height);
    g.scale = policy == 1 ? std::min(fx, fy) : std::max(fx, fy);
  }
  return g;
}

FxGPUResult VXMaskGPU::GetFrameDependencies(const FxGPURenderParams& params, int32_t index, FxGPUFrameDependency* out) {
  if (index != 0 || out == nullptr) return kFxGPU_Failed;
  const FrameGeometry g = Geometry();
  *out = {};
  out->kind = 2;
  out->time = params.clip_time;
  out->pixel_format = FxPixelFormat_bgra;
  PackedFrameSize(g.width, g.height, params.scale_x, params.scale_y, out->width, out->height);
  out->par_num = g.par_num;
  out->par_den = g.par_den;
  out->required = 1;
  return kFxGPU_OK;
}

FxGPUResult VXMaskGPU::Precompute(const FxGPURenderParams& params, int32_t, FxPixHandle frame) {
  if (pix_ == nullptr || frame == nullptr) return kFxGPU_Failed;
  FxFrameRect bounds{};
  int32_t par_num = 1, par_den = 1, rowbytes = 0;
  uint32_t format = kBadFormat;
  void* pixels = nullptr;
  size_t bytes = 0;
  if (const FxErr err = pix_->GetBounds(frame, &bounds); err != FxErr_None) return MapHostResult(uint32_t(err));
  pix_->GetPixelAspectRatio(frame, &par_num, &par_den);
  pix_->GetPixelFormat(frame, &format);
  pix_->GetRowBytes(frame, &rowbytes);
  if (const FxErr err = pix_->GetPixels(frame, &pixels, &bytes); err != FxErr_None) return MapHostResult(uint32_t(err));
  const GPUMaskParams p = ReadParams(params.clip_time);
  const int32_t width = bounds.right - bounds.left, height = bounds.bottom - bounds.top;
  // An empty frame has nothing to hold; a frame too small for its own size would be written past.
  if (width <= 0 || height <= 0 || pixels == nullptr) return kFxGPU_OK;
  if (int64_t(rowbytes) < int64_t(width) * 4 || uint64_t(rowbytes) * uint64_t(height) > bytes) return kFxGPU_Failed;

  const FrameGeometry g = Geometry();
  uint8_t* first = static_cast<uint8_t*>(pixels);
  int64_t stride = rowbytes;
  if (IR_IsOriginBottomLeft()) {
    first += int64_t(height - 1) * rowbytes;
    stride = -stride;
  }
  const float par = par_den != 0 ? float(par_num) / float(par_den) : 1.0f;
  // The raster is as wide as the frame, not as the packed pixels: a wider one would centre the
  // mask half a packed pixel off. The packed row's spare bytes stay clear.
  int32_t columns = 4 * width;
  if (g.width > 0) {
    const int32_t frame_width = int32_t(std::trunc(double(g.width) / (params.scale_x > 0 ? params.scale_x : 1.0f)));
    columns = std::clamp(frame_width, 1, 4 * width);
  }
  for (int32_t y = 0; y < height; ++y) std::memset(first + stride * y + columns, 0, size_t(4 * width - columns));
  RasterizeMask(first, stride, p.shape, columns, height, g.width, g.height, Reciprocal(params.scale_x),
                Reciprocal(params.scale_y), par > 0 ? par : 1.0f, p.inverted, p.opacity / 100.0f, p.expansion, g.scale);
  return kFxGPU_OK;
}

FxGPUResult VXMaskGPU::Render(const FxGPURenderParams& params, const FxPixHandle* inputs, int64_t count,
                              FxPixHandle* out_frame) {
  // The packed frame comes from this filter's precompute; without it there is no matte to copy.
  if (inputs == nullptr || count < 1 || inputs[0] == nullptr || out_frame == nullptr || *out_frame == nullptr)
    return kFxGPU_Failed;
  const std::shared_ptr<GF::Device> device = GF::GetDevice(params.device_index);
  const std::shared_ptr<VF::FrameMapping> destination_map = VF::GetHvPixHandFrameMapping(pix_, *out_frame);
  const std::shared_ptr<VF::FrameMapping> packed_map = VF::GetHvPixHandFrameMapping(pix_, inputs[0]);
  const VF::GPUFrame& destination = KSL::Require(destination_map->gpu_frame);
  const VF::GPUFrame& packed = KSL::Require(packed_map->gpu_frame);
  const GPUMaskParams p = ReadParams(params.clip_time);

  const int32_t mask_width = int32_t(std::min<int64_t>(int64_t(packed.width) * 4, destination.width));
  const int32_t mask_height = std::min(packed.height, destination.height);
  const float clear[4] = {0, 0, 0, 0};
  if (mask_width < destination.width)
    GF::FillWithColor(device, destination.data, destination.rowbytes, destination.pixel_format, mask_width, 0,
                      destination.width - mask_width, mask_height, clear, destination.width, destination.height);
  if (mask_height < destination.height)
    GF::FillWithColor(device, destination.data, destination.rowbytes, destination.pixel_format, 0, mask_height,
                      destination.width, destination.height - mask_height, clear, destination.width,
                      destination.height);

  const void* matte = packed.data;
  std::shared_ptr<uint8_t[]> blurred;
  if (p.feather > 0 && mask_height > 0) {
    blurred = GF::AllocateDeviceMemory(device, size_t(packed.rowbytes) * size_t(mask_height));
    const float horizontal = float(double(p.feather) * Reciprocal(params.scale_x) / kFeatherDivisor);
    const float vertical = float(double(p.feather) * Reciprocal(params.scale_y) / kFeatherDivisor);
    // Only the columns the destination has: spare packed bytes must not bleed into the edge.
    if (!GF::SingleChannelBlur(device, packed.data, packed.rowbytes, packed.pixel_format, mask_width, mask_height,
                               horizontal, vertical, true, blurred.get()))
      return kFxGPU_Failed;  // never an unfeathered frame passed off as feathered
    matte = blurred.get();
  }
  if (p.mode == quill::AlphaBlend::kReplace) {
    GF::CopyPackedAlpha(device, matte, packed.rowbytes, packed.pixel_format, packed.width, mask_height,
                        destination.data, destination.rowbytes, destination.pixel_format, destination.width,
                        destination.height);
  } else {
    GF::BlendPackedAlpha(device, matte, packed.rowbytes, packed.pixel_format, packed.width, mask_height,
                         destination.data, destination.rowbytes, destination.pixel_format, destination.width,
                         destination.height, p.mode);
  }
  return kFxGPU_OK;
}

FxGPUResult GPUFilterEntry(uint64_t, int32_t* version, int32_t index, int32_t, FxGPUFilterEntryTable* table,
                           FxGPUFilterInfo* info) {
  if (index == 0) return kFxGPU_OK;
  if (table == nullptr || version == nullptr || info == nullptr) return kFxGPU_Failed;
  table->create_instance = &CreateInstance;
  table->dispose_instance = &DisposeInstance;
  table->get_frame_dependencies = &FrameDependencies;
  table->precompute = &Precompute;
  table->render = &Render;
  // In 64 bits: the host's version plus one must not overflow.
  const int64_t next = int64_t(*version) + 1;
  if (next > 1) return kFxGPU_VersionMismatch;
  if (next < 1) *version = int32_t(next);
  info->interface_version = 2;
  std::memset(info->reserved, 0, sizeof info->reserved);
  return kFxGPU_OK;
}

}  // namespace mask_render
