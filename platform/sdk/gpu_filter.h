// The host's GPU filter interface: a second entry of the module, through which the host renders
// an effect instance on its GPU frames. The host asks the entry for a table of five functions,
// creates one filter instance per effect instance, and for every frame asks for the frames the
// filter needs computed first (its precompute frames), has it fill them, then has it render.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sdk/basic_suite.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/media_suites.h"

extern "C" {

// Results on this interface.
using FxGPUResult = uint32_t;
inline constexpr FxGPUResult kFxGPU_OK = 0;
inline constexpr FxGPUResult kFxGPU_Failed = 0x80000000u;
inline constexpr FxGPUResult kFxGPU_VersionMismatch = 0x80000001u;
inline constexpr FxGPUResult kFxGPU_DeviceLost = 0x80000002u;
inline constexpr FxGPUResult kFxGPU_NotSupported = 0x80000004u;
// What the host's own calls may answer when the device went away.
inline constexpr FxGPUResult kFxHostGPU_DeviceLost = 0xA00F0006u;

// A parameter value as the host's parameter getter delivers it.
enum FxGPUParamKind : int32_t {
  FxGPUParam_Number = 1,  // sliders
  FxGPUParam_Bool = 2,    // checkboxes
  FxGPUParam_Data = 3,    // arbitrary data: a host pointer (HvNewPtr) the caller frees
};
struct FxGPUParamValue {
  int32_t kind;
  double number;
  int32_t flag;
  void* data;
};

// The host's services for filters. Entries are counted from 1 in their order here; the 18th is
// the parameter getter, the only one this module calls.
struct FxGPUFilterUtility {
  void (*reserved[17])();
  // 18: the value of parameter `index` (the effect's indices less one: the input layer has none)
  // of the effect on `node` at `clip_time` (host ticks). Always answers with a value.
  FxErr (*GetParam)(FxNodeId node, int32_t index, int64_t clip_time, FxGPUParamValue* value);
};

// What the host hands a new filter instance.
struct FxGPUCreationRecord {
  FxNodeId node;               // the clip's media node, whose frames the filter renders
  FxSequenceId sequence;       // the sequence the clip sits in
  void* host_refcon;           // the host's own
  const FxBasicSuite* suites;  // the suite getter
  const FxGPUFilterUtility* utility;
};

struct FxGPUFilterInstance {
  FxGPUCreationRecord creation;
  void* filter;  // the module's object, set by create and cleared by dispose
};

// One frame to render: the clip time and the scale of this render (0.5: half resolution).
struct FxGPURenderParams {
  int64_t clip_time;
  int64_t sequence_time;
  float scale_x;
  float scale_y;
  int32_t device_index;
};

// A frame the filter needs computed before it renders.
struct FxGPUFrameDependency {
  int32_t kind;  // 2: a precompute frame of this filter
  int64_t time;
  uint32_t pixel_format;
  int32_t width;
  int32_t height;
  int32_t par_num;
  int32_t par_den;
  int32_t reserved[4];
  int32_t required;  // 1
};

struct FxGPUFilterEntryTable {
  FxGPUResult (*create_instance)(FxGPUFilterInstance* instance);
  FxGPUResult (*dispose_instance)(FxGPUFilterInstance* instance);
  FxGPUResult (*get_frame_dependencies)(FxGPUFilterInstance* instance, const FxGPURenderParams* params, int32_t index,
                                        FxGPUFrameDependency* out);
  FxGPUResult (*precompute)(FxGPUFilterInstance* instance, const FxGPURenderParams* params, int32_t index,
                            FxPixHandle frame);
  FxGPUResult (*render)(FxGPUFilterInstance* instance, const FxGPURenderParams* params, const FxPixHandle* inputs,
                        int64_t input_count, FxPixHandle* out_frame);
};

struct FxGPUFilterInfo {
  int32_t interface_version;  // the entry writes 2
  uint8_t reserved[16];
};

// The module's export. index 0 asks nothing; index 1 asks for the filter. *version carries the
// host's interface version in and the module's answer out.
using FxGPUFilterEntryFunc = FxGPUResult (*)(uint64_t host_interface, int32_t* version, int32_t index, int32_t reserved,
                                             FxGPUFilterEntryTable* table, FxGPUFilterInfo* info);

}  // extern "C"

static_assert(offsetof(FxGPUFilterUtility, GetParam) == 17 * sizeof(void (*)()));
