#include "instance/mask_param.h"

#include <cstring>
#include <vector>

#include "instance/param_ids.h"

namespace Mask {

bool ReadMaskShape(const FxInData* in_data, FxParamDef* params[], MaskShape& shape) {
  const FxParamDef* param = params ? params[mask_effect::kParamMaskPath] : nullptr;
  if (param == nullptr) return false;
  const FxHandle handle = param->u.arb.value;
  if (handle == nullptr || *handle == nullptr) return false;
  const uint64_t size = in_data->utils->get_handle_size(handle);
  return UnflattenMaskShape(*handle, size, shape);
}

FxErr WriteMaskShapeToParam(const FxInData* in_data, FxParamDef* params[], const MaskShape& shape) {
  FxParamDef* param = params ? params[mask_effect::kParamMaskPath] : nullptr;
  if (param == nullptr || param->u.arb.value == nullptr) return FxErr_BadCallbackParam;
  std::vector<uint8_t> bytes;
  FlattenMaskShape(shape, bytes);

  const FxUtilityCallbacks* utils = in_data->utils;
  if (utils->get_handle_size(param->u.arb.value) != bytes.size()) {
    const FxErr err = utils->resize_handle(bytes.size(), &param->u.arb.value);
    if (err != FxErr_None) return err;
  }
  // Trust the handle only as far as the host says it reaches.
  const FxHandle handle = param->u.arb.value;
  if (handle == nullptr || *handle == nullptr || utils->get_handle_size(handle) < bytes.size())
    return FxErr_OutOfMemory;
  std::memcpy(*handle, bytes.data(), bytes.size());
  param->change_flags |= FxChangeFlag_ChangedValue;
  return FxErr_None;
}

}  // namespace Mask
