#include <cstdio>

#include "cli/commands.h"
#include "host/hosting/module_loader.h"

namespace maskfx {
namespace {

// A message the module leaves for the user is shown as it would be in an editor.
void ShowModuleMessage(const host::EffectHost& effect, const host::CommandResult& result) {
  if (result.display_error)
    std::fprintf(stderr, "maskfx: %s says: %s\n", effect.module().path.c_str(), result.message.c_str());
}

}  // namespace

int OpenEffect(const CommonOptions& common, std::unique_ptr<host::EffectHost>& effect) {
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  effect = std::make_unique<host::EffectHost>(module);
  const host::CommandResult setup = effect->GlobalSetup();
  ShowModuleMessage(*effect, setup);
  if (setup.err != FxErr_None)
    return Fail(kExitFailure, module.path + ": module setup failed with error " + std::to_string(setup.err));
  const host::CommandResult params = effect->ParamsSetup();
  ShowModuleMessage(*effect, params);
  if (params.err != FxErr_None)
    return Fail(kExitFailure, module.path + ": parameter setup failed with error " + std::to_string(params.err));
  return kExitOk;
}

}  // namespace maskfx
