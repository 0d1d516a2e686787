// A frei0r host that closes its filter from an exit handler, after the process has begun
// destroying its statics: the filter renders a grown, feathered mask first, so the module's
// process-wide tables are in use when it goes.
//
//   frei0r_late_close FILTER_DIR DOCUMENT
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <frei0r.h>
}

namespace {

decltype(&f0r_destruct) g_destruct = nullptr;
decltype(&f0r_deinit) g_deinit = nullptr;
f0r_instance_t g_instance = nullptr;

void CloseFilter() {
  g_destruct(g_instance);
  g_deinit();
  std::fputs("closed\n", stderr);
}

template <typename Fn>
Fn Symbol(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: frei0r_late_close FILTER_DIR DOCUMENT\n", stderr);
    return 2;
  }
  void* library = dlopen((std::string(argv[1]) + "/mask.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "frei0r_late_close: %s\n", dlerror());
    return 1;
  }
  const auto init = Symbol<decltype(&f0r_init)>(library, "f0r_init");
  const auto construct = Symbol<decltype(&f0r_construct)>(library, "f0r_construct");
  const auto set = Symbol<decltype(&f0r_set_param_value)>(library, "f0r_set_param_value");
  const auto update = Symbol<decltype(&f0r_update)>(library, "f0r_update");
  g_destruct = Symbol<decltype(&f0r_destruct)>(library, "f0r_destruct");
  g_deinit = Symbol<decltype(&f0r_deinit)>(library, "f0r_deinit");
  constexpr unsigned kW = 160, kH = 96;
  init();
  g_instance = construct(kW, kH);
  char* document = argv[2];
  double feather = 0.003, grow = 0.501;  // 3 px of feather, 2 px of growth
  set(g_instance, &document, 0);
  set(g_instance, &feather, 1);
  set(g_instance, &grow, 3);
  const std::vector<uint32_t> frame(size_t(kW) * kH, 0x11223344u);
  std::vector<uint32_t> result(frame.size());
  update(g_instance, 0.0, frame.data(), result.data());
  if ((result[size_t(kH / 2) * kW + 30] >> 24) != 0xff) {
    std::fputs("frei0r_late_close: the filter did not mask\n", stderr);
    return 1;
  }
  std::atexit(CloseFilter);
  return 0;
}
