// The per-instance record as a project file brings it back (resetup): any bytes are taken as a
// record or replaced by a fresh one, never read beyond their length; the record then saves
// (flatten) to bytes that load again to the same record, and sets down cleanly.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "host/hosting/effect_host.h"
#include "instance/sequence_data.h"
#include "tests/fuzz/linked_module.h"

namespace {

std::vector<uint8_t> Saved(host::EffectHost& effect) {
  std::vector<uint8_t> saved;
  if (effect.SequenceFlatten(&saved).err != FxErr_None) std::abort();
  return saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::EffectHost& effect = LinkedEffectHost();
  const host::CommandResult loaded = effect.SequenceResetup(std::vector<uint8_t>(data, data + size));
  if (loaded.err != FxErr_None || !effect.has_sequence_data()) std::abort();
  const std::vector<uint8_t> saved = Saved(effect);
  if (saved.size() < mask_effect::kSequenceRecordBytes) std::abort();
  if (effect.SequenceResetup(saved).err != FxErr_None) std::abort();
  if (Saved(effect) != saved) std::abort();
  effect.SequenceSetdown();
  return 0;
}
