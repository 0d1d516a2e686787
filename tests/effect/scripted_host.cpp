#include "tests/effect/scripted_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace scripted {

Host* Host::current = nullptr;

namespace {

Host& H() { return *Host::current; }

struct Block {
  void* data;
  uint64_t size;
};

FxHandle NewHandle(uint64_t size) {
  H().calls.push_back("new-handle " + std::to_string(size));
  if (H().allocation_fails) return nullptr;
  auto* block = new Block{std::calloc(size ? size : 1, 1), size};
  ++H().live_handles;
  return &block->data;
}
void DisposeHandle(FxHandle h) {
  H().calls.push_back("dispose-handle");
  auto* block = reinterpret_cast<Block*>(h);
  std::free(block->data);
  delete block;
  --H().live_handles;
}
uint64_t HandleSize(FxHandle h) { return reinterpret_cast<Block*>(h)->size; }
FxErr CopyString(char* dest, const char* src) {
  std::snprintf(dest, kFxMessageSize, "%s", src);
  return FxErr_None;
}
int32_t Format(char* dest, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(dest, kFxMessageSize, format, args);
  va_end(args);
  return n;
}

FxErr Load(void** slot, int32_t key) {
  H().calls.push_back("load " + std::to_string(key));
  if (H().load_result != FxErr_None) return H().load_result;
  const auto* descriptor = static_cast<const FxStringTableDescriptor*>(*slot);
  if (descriptor == nullptr || std::string(descriptor->name) != "FX") return FxErr_BadCallbackParam;
  if (H().load_writes_table) *slot = &H().table_token;
  return FxErr_None;
}
// Index n answers "text n", so a test can see which string named what.
const char* Text(void*, int32_t index, int32_t, int32_t) {
  static const char* const kTexts[] = {"text 0", "text 1", "text 2", "text 3", "text 4", "text 5", "text 6"};
  return index >= 0 && index < 7 ? kTexts[index] : "";
}
FxErr ReleaseTable(void** table) {
  H().calls.push_back("release-table");
  H().released_tables.push_back(*table);
  *table = nullptr;
  return FxErr_None;
}

FxErr AddFormat(FxEffectRef, uint32_t format) {
  H().formats.push_back(format);
  return FxErr_None;
}
FxErr ClearFormats(FxEffectRef) {
  H().calls.push_back("clear-formats");
  H().formats.clear();
  return FxErr_None;
}
FxErr AddBackground(FxEffectRef, int32_t kind, uint32_t format) {
  H().background.emplace_back(kind, format);
  return FxErr_None;
}
FxErr ResizeHandle(uint64_t size, FxHandle* h) {
  if (H().resize_fails) return FxErr_OutOfMemory;
  auto* block = reinterpret_cast<Block*>(*h);
  block->data = std::realloc(block->data, size ? size : 1);
  block->size = size;
  return FxErr_None;
}
FxErr AddParam(FxEffectRef, int32_t index, const FxParamDef* def) {
  if (static_cast<int>(H().added.size()) + 1 == H().refuse_add_call) return 1234;
  H().added.push_back(*def);
  H().added_at.push_back(index);
  return FxErr_None;
}
FxErr RegisterUI(FxEffectRef, const FxCustomUIInfo* info) {
  H().registered_ui.push_back(*info);
  return FxErr_None;
}
FxErr SetGroupState(FxEffectRef, int32_t index, int32_t state) {
  H().group_states.emplace_back(index, state);
  return FxErr_None;
}
const FxGroupParamSuite kGroupParams = {&SetGroupState};

FxErr WorldFormat(const FxWorld* world, uint32_t* format) {
  *format = world->pixel_format;
  return FxErr_None;
}
const FxPixelFormatSuite kPixelFormats = {&AddFormat, &ClearFormats, nullptr, nullptr, &WorldFormat};
const FxBackgroundFrameSuite kBackground = {&AddBackground};

FxErr Acquire(const char* name, int32_t version, const void** suite) {
  const std::string n = name, versioned = n + "@" + std::to_string(version);
  H().calls.push_back("acquire " + n);
  *suite = nullptr;
  for (const std::string& key : {n, versioned})
    if (std::count(H().refused.begin(), H().refused.end(), key)) return H().acquire_result_when_refused;
  if (const auto it = H().suites.find(versioned); it != H().suites.end()) *suite = it->second;
  else if (const auto it = H().suites.find(n); it != H().suites.end()) *suite = it->second;
  else if (n == kFxPixelFormatSuiteName) *suite = &kPixelFormats;
  else if (n == kFxBackgroundFrameSuiteName) *suite = &kBackground;
  else if (n == kFxGroupParamSuiteName) *suite = &kGroupParams;
  else *suite = &kPixelFormats;  // any other name gets some table
  return FxErr_None;
}
FxErr Release(const char* name, int32_t) {
  H().calls.push_back(std::string("release ") + name);
  return FxErr_None;
}

}  // namespace

Host::Host() {
  current = this;
  utils = {&NewHandle, &DisposeHandle, &HandleSize, &ResizeHandle, &CopyString, &Format};
  basic = {&Acquire, &Release};
  in_data.utils = &utils;
  in_data.basic_suite = &basic;
  in_data.effect_ref = reinterpret_cast<FxEffectRef>(this);
  in_data.inter.string_table_load = &Load;
  in_data.inter.string_table_text = &Text;
  in_data.inter.string_table_release = &ReleaseTable;
  in_data.inter.add_param = &AddParam;
  in_data.inter.register_ui = &RegisterUI;
}

Host::~Host() { current = nullptr; }

}  // namespace scripted
