// The arbitrary-data request (command 22): the host asks the effect to create, copy, dispose,
// flatten, restore and interpolate values of its arbitrary-data parameters.
#pragma once

#include <cstdint>

#include "platform/sdk/effect_interface.h"

extern "C" {

enum FxArbSelector : int32_t {
  FxArb_New = 0,
  FxArb_Dispose = 1,
  FxArb_Copy = 2,
  FxArb_FlatSize = 3,
  FxArb_Flatten = 4,
  FxArb_Unflatten = 5,
  FxArb_Interpolate = 6,
  FxArb_Compare = 7,
  FxArb_Print = 8,
  FxArb_Scan = 9,
};

struct FxArbNewArgs {
  FxHandle* arb;  // receives the new value
};
struct FxArbDisposeArgs {
  FxHandle* arb;  // the value; cleared once disposed
};
struct FxArbCopyArgs {
  FxHandle src;
  FxHandle* dst;  // receives the copy
};
struct FxArbFlatSizeArgs {
  FxHandle arb;
  uint32_t* flat_size;
};
struct FxArbFlattenArgs {
  FxHandle arb;
  uint32_t buffer_size;
  void* buffer;
};
struct FxArbUnflattenArgs {
  uint32_t flat_size;
  const void* flat;
  FxHandle* arb;  // receives the restored value
};
struct FxArbInterpolateArgs {
  FxHandle left;
  FxHandle right;
  double t;       // 0 at left, 1 at right
  FxHandle* out;  // receives the value between them; left as it was when none can be made
};
struct FxArbCompareArgs {
  FxHandle a;
  FxHandle b;
  int32_t* result;
};

struct FxArbExtra {
  FxArbSelector which;
  void* refcon;  // the parameter's reference constant
  union {
    FxArbNewArgs new_args;
    FxArbDisposeArgs dispose_args;
    FxArbCopyArgs copy_args;
    FxArbFlatSizeArgs flat_size_args;
    FxArbFlattenArgs flatten_args;
    FxArbUnflattenArgs unflatten_args;
    FxArbInterpolateArgs interpolate_args;
    FxArbCompareArgs compare_args;
  } u;
};

}  // extern "C"
