#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"
#include "host/edit_session.h"
#include "host/module_loader.h"
#include "host/output_paths.h"
#include "host/param_listing.h"

namespace maskfx {
namespace {

bool ParseSize(const std::string& text, int32_t& w, int32_t& h) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  char* end = nullptr;
  const long a = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + x) return false;
  const long b = std::strtol(text.c_str() + x + 1, &end, 10);
  if (*end != '\0' || a <= 0 || b <= 0 || a > 65535 || b > 65535) return false;
  w = int32_t(a);
  h = int32_t(b);
  return true;
}

}  // namespace

int RunEdit(const CommonOptions& common, const EditCommandOptions& o) {
  host::EditOptions options;
  options.mask_path = o.mask_path;
  options.events_path = o.events_path;
  options.output = o.output;
  options.frame = o.frame;
  if (!o.size.empty() && !ParseSize(o.size, options.width, options.height))
    return Fail(kExitBadInput, "--size: expected WxH, such as 1280x720");
  if (o.frame < 0) return Fail(kExitBadInput, "--frame: expected a frame index from 0");
  std::string error;
  if (!host::CheckOutput(o.output, {o.events_path}, error)) return Fail(kExitBadInput, error);
  if (!o.mask_path.empty() && !o.overwrite && !host::CheckOutput(o.output, {o.mask_path}, error))
    return Fail(kExitBadInput, error + " (or --overwrite to replace the document)");

  host::LoadedModule module;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  const host::EditResult result = host::RunEditSession(
      module, options, o.trace ? host::EditTrace([](const std::string& line) { std::printf("%s\n", line.c_str()); }) : nullptr);
  if (!result.module_message.empty())
    std::fprintf(stderr, "maskfx: %s says: %s\n", module.path.c_str(), result.module_message.c_str());
  if (result.exit_status != 0) return Fail(result.exit_status, result.error);
  const auto& keys = result.document.keyframes;
  std::printf("edited mask written to %s: %s\n", o.output.c_str(),
              keys.empty() ? "no mask drawn" : host::DescribeShape(keys.front().shape).c_str());
  return kExitOk;
}

}  // namespace maskfx
