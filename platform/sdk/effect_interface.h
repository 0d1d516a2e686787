// The effect plug-in interface: what a host hands an effect with every command and what the
// effect hands back. Plain C layout so a host and a module built apart agree on every byte.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// ---- Results ---------------------------------------------------------------------------------

using FxErr = int32_t;
enum : FxErr {
  FxErr_None = 0,
  FxErr_OutOfMemory = 4,
  FxErr_InternalError = 5,  // a fault inside the effect that it could not report otherwise
  FxErr_InvalidArbitraryData = 512,
  FxErr_UnrecognizedPixelFormat = 514,
  FxErr_BadCallbackParam = 516,
};

// ---- Commands --------------------------------------------------------------------------------

enum FxCommand : int32_t {
  FxCmd_GlobalSetup = 1,
  FxCmd_GlobalSetdown = 3,
  FxCmd_ParamsSetup = 4,
  FxCmd_SequenceSetup = 5,
  FxCmd_SequenceResetup = 6,
  FxCmd_SequenceFlatten = 7,
  FxCmd_SequenceSetdown = 8,
  FxCmd_Render = 11,
  FxCmd_UserChangedParam = 13,
  FxCmd_Event = 15,
  FxCmd_ArbitraryCallback = 22,
};

// ---- Basic types -----------------------------------------------------------------------------

// A movable block: the handle points at the host's pointer to the bytes, so the data is the
// handle dereferenced once. Its size is known only to the host (utility callbacks).
using FxHandle = void**;

// Opaque identity of one effect instance, passed back to every suite function.
using FxEffectRef = struct FxOpaqueEffectRef*;

struct FxRational {
  int32_t num;
  uint32_t den;
};

// Four-character pixel format codes, first character in the lowest byte.
constexpr uint32_t FxFourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}
enum : uint32_t {
  FxPixelFormat_vuya = FxFourCC('v', 'u', 'y', 'a'),  // 8-bit
  FxPixelFormat_VUYA = FxFourCC('V', 'U', 'Y', 'A'),  // 8-bit
  FxPixelFormat_bgra = FxFourCC('b', 'g', 'r', 'a'),  // 8-bit
  FxPixelFormat_VUya = FxFourCC('V', 'U', 'y', 'a'),  // 32-bit float
  FxPixelFormat_vUYa = FxFourCC('v', 'U', 'Y', 'a'),  // 32-bit float
  FxPixelFormat_BGra = FxFourCC('B', 'G', 'r', 'a'),  // 32-bit float
};

// ---- Out flags -------------------------------------------------------------------------------

enum : int32_t {
  FxOutFlag_SequenceDataNeedsFlattening = 1 << 4,
  FxOutFlag_UseOutputExtent = 1 << 6,
  FxOutFlag_DisplayErrorMessage = 1 << 8,
  FxOutFlag_CustomUI = 1 << 15,
  FxOutFlag_Obsolete = 1 << 21,
  FxOutFlag_SendUpdateParamsUI = 1 << 26,
};
enum : int32_t {
  FxOutFlag2_CanCombineWithDestination = 1 << 5,
};

// The effect version as the host packs it.
constexpr uint32_t FxVersion(uint32_t major, uint32_t minor, uint32_t bugfix, uint32_t stage, uint32_t build) {
  return major << 19 | minor << 15 | bugfix << 11 | stage << 9 | build;
}

// Size of out_data's message buffer, terminating NUL included. The host's string copy and
// formatting callbacks never write more than this into it.
inline constexpr size_t kFxMessageSize = 256;

// ---- Callback tables -------------------------------------------------------------------------

struct FxParamDef;

struct FxUtilityCallbacks {
  // Handles. new_handle answers null when the host cannot allocate.
  FxHandle (*new_handle)(uint64_t size);
  void (*dispose_handle)(FxHandle handle);
  uint64_t (*get_handle_size)(FxHandle handle);
  FxErr (*resize_handle)(uint64_t new_size, FxHandle* handle);
  // Strings for the message buffer: both write at most kFxMessageSize bytes, NUL included.
  FxErr (*copy_string)(char* dest, const char* src);
  int32_t (*format_message)(char* dest, const char* format, ...);
};

// String table service. load: *table holds the descriptor's address on entry and the table
// handle on return; key is kFxStringTableKey. text: the text of one index, NUL-terminated, owned
// by the host. release: frees the table and clears *table.
using FxLoadStringTable = FxErr (*)(void** table, int32_t key);
using FxGetTableString = const char* (*)(void* table, int32_t index, int32_t reserved1, int32_t reserved2);
using FxReleaseStringTable = FxErr (*)(void** table);
inline constexpr int32_t kFxStringTableKey = 4321;

struct FxCustomUIInfo;

// What an effect hands the string table service to load: its table name and "key=default"
// texts. Each entry's three trailing slots belong to the host, which may write them.
struct FxStringTableEntry {
  const char* key;
  intptr_t host_slots[3];
};
struct FxStringTableDescriptor {
  const char* name;
  intptr_t entry_count;  // including the terminator: null key, -1, -1, 0
  FxStringTableEntry* entries;
};

struct FxInteractCallbacks {
  // Appends (index -1) or inserts a parameter definition; the host copies the record.
  FxErr (*add_param)(FxEffectRef effect_ref, int32_t index, const FxParamDef* def);
  FxErr (*register_ui)(FxEffectRef effect_ref, const FxCustomUIInfo* info);
  // The reserved entries, of which the first three are the string table service.
  FxLoadStringTable string_table_load;
  FxGetTableString string_table_text;
  FxReleaseStringTable string_table_release;
  void* reserved[5];
};

struct FxBasicSuite;

// ---- The two records of every command ---------------------------------------------------------

struct FxInData {
  FxInteractCallbacks inter;
  const FxUtilityCallbacks* utils;
  FxEffectRef effect_ref;
  const FxBasicSuite* basic_suite;  // the plug-in services; null when the host offers none

  // Time of this command, in time_scale units per second.
  int32_t current_time;
  int32_t time_step;
  int32_t total_time;
  uint32_t time_scale;

  // Layer size in full-resolution pixels, and how the frames of this command relate to it.
  int32_t width;
  int32_t height;
  FxRational downsample_x;
  FxRational downsample_y;
  FxRational pixel_aspect_ratio;

  FxHandle global_data;
  FxHandle sequence_data;
};

struct FxOutData {
  uint32_t my_version;
  int32_t num_params;
  int32_t out_flags;
  int32_t out_flags2;
  FxHandle global_data;
  FxHandle sequence_data;
  char return_msg[kFxMessageSize];
};

struct FxWorld;

// The module's one command entry.
using FxEffectMain = FxErr (*)(int32_t command, FxInData* in_data, FxOutData* out_data, FxParamDef* params[],
                               FxWorld* output, void* extra);
inline constexpr const char* kFxEffectMainName = "EffectMain";

}  // extern "C"
