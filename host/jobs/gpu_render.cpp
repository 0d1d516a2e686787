#include "host/jobs/gpu_render.h"

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <mutex>

#include "host/media/media_engine.h"
#include "host/suites/handles.h"
#include "host/suites/suite_registry.h"
#include "platform/runtime/host_memory.h"
#include "platform/runtime/never_destroyed.h"

namespace host {
namespace {

// Which effect a filter's node belongs to: the parameter getter is told only the node.
struct Filters {
  std::mutex mutex;
  std::map<FxSequenceId, EffectHost*> by_sequence;
};
Filters& TheFilters() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<Filters> filters;
  return filters.get();
}

// The 18th utility entry: the effect's parameter `index + 1` at the clip time's frame.
FxErr GetParam(FxNodeId node, int32_t index, int64_t clip_time, FxGPUParamValue* value) {
  if (value == nullptr) return FxErr_BadCallbackParam;
  *value = {};
  EffectHost* effect = nullptr;
  {
    Filters& f = TheFilters();
    std::lock_guard lock(f.mutex);
    const auto it = f.by_sequence.find(SequenceOfMediaNode(node));
    if (it != f.by_sequence.end()) effect = it->second;
  }
  const size_t cpu_index = size_t(index) + 1;
  if (effect == nullptr || index < 0 || cpu_index >= effect->params().size()) return FxErr_BadCallbackParam;
  ClipTiming timing;
  const int64_t frame_ticks = ClipTimingOf(effect->in_data().effect_ref, timing) ? timing.frame_ticks : 1;
  const int64_t frame = clip_time / frame_ticks;
  const std::unique_ptr<ParamFrame> params = effect->LockedParamsAt(frame);
  const FxParamDef& def = (*params)[cpu_index];
  switch (def.param_type) {
    case FxParam_FloatSlider:
      value->kind = FxGPUParam_Number;
      value->number = def.u.slider.value;
      break;
    case FxParam_Checkbox:
      value->kind = FxGPUParam_Bool;
      value->flag = def.u.checkbox.value;
      break;
    case FxParam_ArbitraryData: {
      value->kind = FxGPUParam_Data;
      const FxHandle handle = def.u.arb.value;
      const size_t size = handle && *handle ? size_t(HandleSize(handle)) : 0;
      value->data = HvNewPtr(size);
      if (value->data && size) std::memcpy(value->data, *handle, size);
      break;
    }
    default: return FxErr_BadCallbackParam;
  }
  return FxErr_None;
}

const FxGPUFilterUtility kUtility = [] {
  FxGPUFilterUtility u{};
  u.GetParam = &GetParam;
  return u;
}();

int32_t PixelBytes(uint32_t format) { return format == FxPixelFormat_BGra ? 16 : 4; }

// Copies `rows` rows of `row_bytes` between two strided buffers.
void CopyRows(const uint8_t* from, int64_t from_stride, uint8_t* to, int64_t to_stride, int32_t rows,
              size_t row_bytes) {
  for (int32_t y = 0; y < rows; ++y) std::memcpy(to + to_stride * y, from + from_stride * y, row_bytes);
}

}  // namespace

std::unique_ptr<GPUFilterHost> GPUFilterHost::Open(EffectHost& effect, std::string& error) {
  const auto entry = reinterpret_cast<FxGPUFilterEntryFunc>(dlsym(effect.module().library.get(), "xGPUFilterEntry"));
  if (entry == nullptr) {
    error = effect.module().path + ": the module has no GPU entry";
    return nullptr;
  }
  std::unique_ptr<GPUFilterHost> host(new GPUFilterHost(effect));
  int32_t version = 0;
  FxGPUFilterInfo info{};
  if (entry(1, &version, 1, 0, &host->table_, &info) != kFxGPU_OK || host->table_.create_instance == nullptr) {
    error = effect.module().path + ": the GPU entry refused the interface";
    return nullptr;
  }
  if (effect.sequence() == 0) {
    const FxInData& in = effect.in_data();
    effect.AttachClip(ClipOfSize(in.width, in.height, {int64_t(in.time_scale), int64_t(std::max(1, in.time_step))}));
  }
  ClipTiming timing;
  ClipTimingOf(effect.in_data().effect_ref, timing);
  host->frame_ticks_ = timing.frame_ticks;
  {
    Filters& f = TheFilters();
    std::lock_guard lock(f.mutex);
    f.by_sequence[effect.sequence()] = &effect;
  }
  host->instance_.creation = {MediaNodeOf(effect.sequence()), effect.sequence(), host.get(), HostBasicSuite(),
                              &kUtility};
  const FxGPUResult created = host->table_.create_instance(&host->instance_);
  if (created != kFxGPU_OK || host->instance_.filter == nullptr) {
    error = effect.module().path + ": the GPU filter could not be created (result " + std::to_string(created) + ")";
    return nullptr;  // the destructor forgets the effect again
  }
  return host;
}

GPUFilterHost::~GPUFilterHost() {
  if (instance_.filter && table_.dispose_instance) table_.dispose_instance(&instance_);
  Filters& f = TheFilters();
  std::lock_guard lock(f.mutex);
  f.by_sequence.erase(effect_.sequence());
}

FxGPURenderParams GPUFilterHost::ParamsForFrame(int64_t frame) const {
  FxGPURenderParams p{};
  p.clip_time = frame * frame_ticks_;
  p.sequence_time = p.clip_time;
  const FxInData& in = effect_.in_data();
  p.scale_x = in.downsample_x.den ? float(in.downsample_x.num) / float(in.downsample_x.den) : 1.0f;
  p.scale_y = in.downsample_y.den ? float(in.downsample_y.num) / float(in.downsample_y.den) : 1.0f;
  p.device_index = 0;
  return p;
}

bool GPUFilterHost::RenderFrame(int64_t frame, FxWorld& output, uint32_t format, std::string& error) {
  if (format != FxPixelFormat_bgra && format != FxPixelFormat_BGra) {
    error = "the GPU path renders bgra8 and bgra32f frames only";
    return false;
  }
  const FxGPURenderParams params = ParamsForFrame(frame);
  FxGPUFrameDependency dependency{};
  if (const FxGPUResult r = table_.get_frame_dependencies(&instance_, &params, 0, &dependency); r != kFxGPU_OK) {
    error = "frame " + std::to_string(frame) + ": the GPU filter declared no precompute frame (result " +
            std::to_string(r) + ")";
    return false;
  }
  const FxRational par = effect_.in_data().pixel_aspect_ratio;
  FxPixHandle packed =
      NewPixelBuffer(dependency.width, dependency.height, dependency.pixel_format, par.num, int32_t(par.den));
  FxPixHandle destination = NewPixelBuffer(output.width, output.height, format, par.num, int32_t(par.den));
  const auto release = [&] {
    DisposePixelBuffer(packed);
    DisposePixelBuffer(destination);
  };
  if (packed == nullptr || destination == nullptr) {
    release();
    error = "frame " + std::to_string(frame) + ": no memory for the GPU frames";
    return false;
  }
  int64_t dst_stride = 0;
  uint8_t* dst = PixelBufferData(destination, &dst_stride);
  const size_t row_bytes = size_t(output.width) * size_t(PixelBytes(format));
  CopyRows(static_cast<const uint8_t*>(output.data), output.rowbytes, dst, dst_stride, output.height, row_bytes);
  FxGPUResult r = table_.precompute(&instance_, &params, 0, packed);
  if (r == kFxGPU_OK) r = table_.render(&instance_, &params, &packed, 1, &destination);
  if (r == kFxGPU_OK)
    CopyRows(dst, dst_stride, static_cast<uint8_t*>(output.data), output.rowbytes, output.height, row_bytes);
  release();
  if (r != kFxGPU_OK) {
    error = "frame " + std::to_string(frame) + ": the GPU filter failed with result " + std::to_string(r);
    return false;
  }
  return true;
}

}  // namespace host
