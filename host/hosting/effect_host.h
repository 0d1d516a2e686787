// The host's side of the effect interface: it owns the records and callback tables handed to
// the module, offers its suites, and runs commands the way an editor would.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/hosting/module_loader.h"
#include "host/media/media_engine.h"
#include "host/suites/effect_instance.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/events.h"
#include "platform/sdk/params.h"

namespace host {

struct HostOptions {
  bool offer_basic_suite = true;
  int refuse_add_param_call = 0;  // 1-based add-parameter call the host refuses; 0: none
  // Suites ("name/version") this host pretends not to have, to exercise effects' failure paths.
  std::set<std::string> refused_suites;
};

// What one command came back with, as a user would be told.
struct CommandResult {
  FxErr err = FxErr_None;
  bool display_error = false;
  std::string message;  // the effect's message buffer, when it asked for it to be shown
};

// The parameter array of one command, with the value handles the host made for it.
class ParamFrame {
 public:
  ParamFrame() = default;
  ~ParamFrame();
  ParamFrame(const ParamFrame&) = delete;
  ParamFrame& operator=(const ParamFrame&) = delete;
  FxParamDef** data() { return pointers_.data(); }
  FxParamDef& operator[](size_t index) { return defs_.at(index); }
  size_t size() const { return defs_.size(); }

 private:
  friend class EffectHost;
  std::vector<FxParamDef> defs_;
  std::vector<FxParamDef*> pointers_;
  std::vector<FxHandle> owned_;
};

class EffectHost {
 public:
  EffectHost(LoadedModule module, HostOptions options = {});
  ~EffectHost();  // sets the module down if it is still set up
  EffectHost(const EffectHost&) = delete;
  EffectHost& operator=(const EffectHost&) = delete;

  CommandResult GlobalSetup();
  CommandResult GlobalSetdown();
  bool set_up() const { return set_up_; }

  // Declares the host's input layer, then asks the effect for its parameters.
  CommandResult ParamsSetup();
  ParamStore& params() { return instance_.params; }
  const ParamStore& params() const { return instance_.params; }

  // The layer the effect works on, in full-resolution pixels.
  void SetLayerSize(int32_t width, int32_t height);
  // Frames rendered at a reduced size (a proxy or a preview): each frame pixel is 1/x full-size
  // pixels across and 1/y down. 1/1 (the default) for full-size frames.
  void SetDownsample(FxRational x, FxRational y);

  // Puts the instance on `clip` in the media engine, so that its background analyses can render
  // frames of it; the layer takes the clip's size and command times its frame rate. Replaces a
  // clip attached before.
  void AttachClip(std::shared_ptr<ClipSource> clip, const ClipOptions& options = {});
  FxSequenceId sequence() const { return sequence_; }
  int64_t clip_frames() const { return clip_frames_; }
  // Waits, at most `timeout_ms`, until background analyses started by the module have ended
  // and their threads are gone. The destructor waits too before it unloads anything.
  bool WaitForAnalyses(int64_t timeout_ms);

  // Values of every parameter at `frame`, as the effect is handed them with a command.
  // Arbitrary data between keyframes comes from the effect's interpolation; when it cannot make
  // one, the left keyframe's value holds.
  std::unique_ptr<ParamFrame> ParamsAt(int64_t frame);
  // ParamsAt under the instance's parameter lock, for threads other than the command's.
  std::unique_ptr<ParamFrame> LockedParamsAt(int64_t frame);

  // The per-instance record around an instance's life: create, save (flatten; the saved bytes
  // come back), load saved bytes (resetup), and release.
  CommandResult SequenceSetup();
  CommandResult SequenceFlatten(std::vector<uint8_t>* saved);
  CommandResult SequenceResetup(const std::vector<uint8_t>& saved);
  CommandResult SequenceSetdown();
  bool has_sequence_data() const { return in_data_.sequence_data != nullptr; }

  // Renders frame `frame` into `output`, which holds the input picture in its pixel format; the
  // effect writes the alpha. Safe to call from several threads at once: each call gets its own
  // records, and only the parameter evaluation is serialised.
  CommandResult RenderFrame(int64_t frame, FxWorld& output);

  // An event at `frame` (command 15) with the parameters at that frame.
  // Values the effect changes (and masking requests it makes) are stored at that frame.
  CommandResult RunEvent(int64_t frame, FxEventExtra& extra);
  int redraw_requests() const { return instance_.redraw_requests; }

  // One press of ">>" (forward) or "<<" at `frame`: the command, then the wait (at most
  // `timeout_ms`) for the analysis it started. `finished` is false when it did not end in time.
  // `errors` and `warnings` are what the module reported meanwhile, as text for people.
  struct TrackPress {
    CommandResult command;
    bool finished = true;
    bool keyframes = false;  // a keyframe pair was stored
    std::vector<std::string> errors, warnings;
    std::optional<PressReport> report;  // what the press did, where the effect said
  };
  TrackPress PressTrack(int64_t frame, bool forward, int64_t timeout_ms);

  // Any command, for callers that build their own arguments.
  CommandResult Run(int32_t command, FxParamDef* params[] = nullptr, FxWorld* output = nullptr, void* extra = nullptr);

  const LoadedModule& module() const { return module_; }
  const EffectInstance& instance() const { return instance_; }
  const FxOutData& out_data() const { return out_data_; }
  const FxInData& in_data() const { return in_data_; }

 private:
  void OfferSuites();
  void WithdrawSuites();
  void WriteBackChanged(int64_t frame, ParamFrame& params);
  FxHandle InterpolateValue(size_t index, const std::vector<uint8_t>& left, const std::vector<uint8_t>& right, double t,
                            ParamFrame& frame);

  LoadedModule module_;
  HostOptions options_;
  EffectInstance instance_;
  FxInData in_data_{};
  FxOutData out_data_{};
  bool set_up_ = false;
  FxSequenceId sequence_ = 0;
  int64_t clip_frames_ = 0;
  std::vector<std::pair<std::string, int32_t>> offered_;  // withdrawn again when this host goes
};

// "PF Pixel Format Suite/1" — how HostOptions names a suite.
std::string SuiteKey(const std::string& name, int32_t version);

// The host's text for a four-character code ("bgra").
std::string FourCCText(uint32_t code);

}  // namespace host
