#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/commands.h"
#include "host/module_loader.h"
#include "host/module_report.h"

namespace maskfx {
namespace {

std::string FormatList(const std::vector<uint32_t>& codes) {
  std::string text;
  for (uint32_t code : codes) text += (text.empty() ? "" : " ") + host::FourCCText(code);
  return text.empty() ? "(none)" : text;
}

std::string Describe(const host::ModuleReport& r) {
  std::ostringstream out;
  out << "module: " << r.path << "\n";
  out << "version: " << host::VersionText(r.version) << "\n";
  char flags[64];
  std::snprintf(flags, sizeof flags, "0x%08x, 0x%08x", static_cast<unsigned>(r.out_flags),
                static_cast<unsigned>(r.out_flags2));
  out << "out flags: " << flags << "\n";
  out << "renders: " << FormatList(r.pixel_formats) << "\n";
  std::vector<uint32_t> background;
  for (const auto& [kind, code] : r.background_formats) background.push_back(code);
  out << "background frames: " << FormatList(background) << "\n";
  out << "strings (" << (r.string_table_name.empty() ? "none" : r.string_table_name) << "):\n";
  for (size_t i = 0; i < r.strings.size(); ++i) {
    std::string text = r.strings[i];
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) text.replace(at, 1, " / ");
    out << "  " << i << " " << text << "\n";
  }
  out << "set down: " << (r.setdown.err == 0 ? "ok" : "error " + std::to_string(r.setdown.err))
      << ", " << r.handles_left << " handles and " << r.suites_left << " suites left held\n";
  return out.str();
}

}  // namespace

int RunDemo(const CommonOptions& common, const DemoOptions& options) {
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error))
    return Fail(kExitBadInput, error);

  const host::ModuleReport report = host::InspectModule(module);
  if (report.setup.display_error)
    std::fprintf(stderr, "maskfx: %s says: %s\n", module.path.c_str(), report.setup.message.c_str());
  if (report.setup.err != 0)
    return Fail(kExitFailure, module.path + ": module setup failed with error " + std::to_string(report.setup.err));

  const std::string text = Describe(report);
  std::fputs(text.c_str(), stdout);
  if (!options.output_dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options.output_dir, ec);
    const std::string path = (std::filesystem::path(options.output_dir) / "module.txt").string();
    std::ofstream file(path);
    if (ec || !(file << text)) return Fail(kExitFailure, path + ": cannot write");
  }
  return kExitOk;
}

}  // namespace maskfx
