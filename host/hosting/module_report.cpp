#include "host/hosting/module_report.h"

#include "host/suites/handles.h"
#include "host/suites/string_table.h"
#include "host/suites/suite_registry.h"

namespace host {

ModuleReport InspectModule(const LoadedModule& module, const HostOptions& options) {
  ModuleReport report;
  report.path = module.path;
  const int64_t handles_before = LiveHandleCount();
  {
    EffectHost effect(module, options);
    report.setup = effect.GlobalSetup();
    report.version = effect.out_data().my_version;
    report.out_flags = effect.out_data().out_flags;
    report.out_flags2 = effect.out_data().out_flags2;
    report.pixel_formats = effect.instance().pixel_formats;
    report.background_formats = effect.instance().background_formats;
    StringTableView table;
    if (LastLoadedStringTable(table)) {
      report.string_table_name = table.name;
      report.strings = table.texts;
    }
    report.suites_left = Suites().TotalOutstanding();
    if (effect.set_up()) report.setdown = effect.GlobalSetdown();
  }
  report.handles_left = LiveHandleCount() - handles_before;
  return report;
}

std::string VersionText(uint32_t v) {
  return std::to_string(v >> 19 & 0xf) + "." + std::to_string(v >> 15 & 0xf) + "." + std::to_string(v >> 11 & 0xf) +
         " (stage " + std::to_string(v >> 9 & 0x3) + ", build " + std::to_string(v & 0x1ff) + ")";
}

}  // namespace host
