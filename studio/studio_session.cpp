#include "studio/studio_session.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "host/documents/edit_script.h"
#include "host/documents/json_text.h"
#include "host/documents/mask_document.h"
#include "host/documents/mask_edits.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/jobs/edit_session.h"
#include "host/jobs/render_job.h"
#include "host/jobs/track_job.h"
#include "host/media/media_engine.h"
#include "host/media/output_paths.h"
#include "host/suites/host_suites.h"
#include "studio/save_targets.h"

namespace studio {
namespace {

using Json = nlohmann::json;

constexpr int64_t kPressTimeoutMs = 60000;

// A state (a JSON object) with the render's progress added as its last member.
std::string WithRender(std::string state, const std::string& render) {
  state.pop_back();
  return state + ",\"render\":" + render + "}";
}

// A fresh file in the system's temporary folder for the render's copy of the mask: nothing of
// ours is left beside the user's output, and two studios never share one.
bool MakeTemporaryDocument(std::string& path, std::string& error) {
  std::string name = (std::filesystem::temp_directory_path() / "maskfx-studio-XXXXXX.json").string();
  const int fd = mkstemps(name.data(), 5);
  if (fd < 0) {
    error = "cannot make a temporary file for the render's mask in " + std::filesystem::temp_directory_path().string();
    return false;
  }
  close(fd);
  path = name;
  return true;
}

}  // namespace

std::unique_ptr<StudioSession> StudioSession::Open(const host::LoadedModule& module, const StudioOptions& options,
                                                   std::string& error) {
  std::unique_ptr<StudioSession> s(new StudioSession);
  s->options_ = options;
  s->module_ = module;
  host::MaskDocument doc;
  if (!options.mask_path.empty() && !host::ReadMaskDocument(options.mask_path, doc, error)) return nullptr;
  s->pictures_ = host::MediaReader::Open(options.input, error);
  if (!s->pictures_) return nullptr;
  const host::MediaInfo info = s->pictures_->info();
  s->width_ = info.width;
  s->height_ = info.height;
  s->frames_ = std::max<int64_t>(1, info.frame_count);
  s->WorkOnProxyOf(doc);
  std::lock_guard lock(s->effect_mutex_);
  if (!s->TakeDocumentLocked(doc, error)) return nullptr;
  auto first = std::make_shared<Page>();
  first->editor = std::make_unique<host::LiveEditor>(*s->effect_, host::ViewTransform{}, s->width_, s->height_);
  s->pages_[kFirstPage] = first;
  s->saved_ = s->MaskStateLocked();
  std::error_code ec;
  if (!options.recovery.empty() && std::filesystem::exists(options.recovery, ec) &&
      !(!options.mask_path.empty() && std::filesystem::equivalent(options.recovery, options.mask_path, ec))) {
    host::MaskDocument found;
    std::string why;
    if (!host::ReadMaskDocument(options.recovery, found, why)) s->offered_error_ = why;
    s->offered_ = found;
  }
  s->RefreshStatesLocked();
  if (!options.recovery.empty()) s->autosave_ = std::thread([p = s.get()] { p->AutosaveLoop(); });
  return s;
}

void StudioSession::WorkOnProxyOf(const host::MaskDocument& doc) {
  // The same size, or another shape: the document's pixels are the frame's, as given.
  if (!host::IsRenditionOf(doc, width_, height_)) return;
  document_width_ = doc.width;
  document_height_ = doc.height;
  proxy_scale_ = double(width_) / doc.width;
}

std::unique_ptr<host::EffectHost> StudioSession::NewMaskEffect(const host::MaskDocument& mask, std::string& error) {
  auto effect = std::make_unique<host::EffectHost>(module_);
  std::string module_message;
  if (!host::SetUpEffect(*effect, module_message, error)) return nullptr;
  if (effect->SequenceSetup().err != FxErr_None) {
    error = module_.path + ": the effect made no per-instance record";
    return nullptr;
  }
  if (!host::ApplyMaskDocument(*effect, mask, error)) return nullptr;
  host::ParamStore& params = effect->params();
  // A mask that names no motion is tracked in perspective here: asked for the richest model, a
  // press fits only what its features carry, and on the tracking clip set that beat every model
  // asked for alone (the effect's own default, similarity, included).
  if (!mask.motion) params.SetConstant(host::kMotionLevelParam, host::MotionLevelOf(kDefaultMotion));
  if (mask.feather) params.SetConstant(host::kMaskFeatherParam, *mask.feather * proxy_scale_);
  if (mask.expansion) params.SetConstant(host::kMaskExpansionParam, *mask.expansion * proxy_scale_);
  effect->SetLayerSize(width_, height_);  // the clip's pixels, as the session works in
  std::unique_ptr<host::MediaReader> reader = host::MediaReader::Open(options_.input, error);
  if (!reader) return nullptr;
  effect->AttachClip(host::ClipFromReader(std::move(reader)));
  return effect;
}

bool StudioSession::TakeDocumentLocked(const host::MaskDocument& doc, std::string& error) {
  std::vector<Layer> layers(host::MaskCount(doc));
  for (size_t m = 0; m < layers.size(); ++m) {
    layers[m].id = next_layer_id_++;
    layers[m].name = host::MaskAt(doc, m).name;
    layers[m].effect = NewMaskEffect(host::MaskAt(doc, m), error);
    if (!layers[m].effect) return false;
  }
  layers_.swap(layers);
  SelectLayerLocked(0);
  for (Layer& gone : layers) gone.effect->WaitForAnalyses(kPressTimeoutMs);
  return true;
}

StudioSession::Layer* StudioSession::FindLayer(uint64_t id) {
  for (Layer& layer : layers_)
    if (layer.id == id) return &layer;
  return nullptr;
}

void StudioSession::SelectLayerLocked(size_t index) {
  selected_ = index;
  effect_ = layers_[index].effect.get();
  std::lock_guard pages(pages_mutex_);
  for (auto& [id, page] : pages_) {
    if (!page->editor || &page->editor->effect() == effect_) continue;
    const host::LiveEditor& was = *page->editor;
    page->editor = std::make_unique<host::LiveEditor>(*effect_, was.view(), was.view_width(), was.view_height());
  }
}

namespace {

// Feather and expansion are pixels; opacity and the checkbox are not.
bool InPixels(const host::MatteParam& p) { return &p == &host::kMatteFeather || &p == &host::kMatteExpansion; }

host::MatteRange Scaled(const host::MatteRange& range, double scale) { return {range.low * scale, range.high * scale}; }

host::MatteRange Within(const host::MatteRange& range, const host::MatteRange& bounds) {
  return {std::max(range.low, bounds.low), std::min(range.high, bounds.high)};
}

}  // namespace

// On a proxy the page's values are the proxy's pixels: what it may set must still save as a
// value the document accepts, and reach the effect as one it accepts.
host::MatteRange StudioSession::RangeOf(const host::MatteParam& p) const {
  if (!InPixels(p) || proxy_scale_ == 1.0) return p.range;
  return Within(Scaled(p.range, proxy_scale_), p.range);
}

host::MatteRange StudioSession::SliderOf(const host::MatteParam& p) const {
  if (!InPixels(p) || proxy_scale_ == 1.0) return p.slider;
  return Within(Scaled(p.slider, proxy_scale_), RangeOf(p));
}

host::MaskDocument StudioSession::Document() const {
  host::MaskDocument doc;
  for (size_t m = 0; m < layers_.size(); ++m) {
    host::MaskDocument mask = host::DocumentFromParams(*layers_[m].effect, width_, height_);
    mask.name = layers_[m].name;
    if (proxy_scale_ != 1.0) {
      // Back in the document's pixels, to a millionth of one, so an unchanged value reads as it was.
      const auto unscale = [&](std::optional<double>& v) {
        if (v) *v = std::round(*v / proxy_scale_ * 1e6) / 1e6;
      };
      unscale(mask.feather);
      unscale(mask.expansion);
      mask.width = document_width_;
      mask.height = document_height_;
    }
    if (m == 0) doc = std::move(mask);
    else doc.others.push_back(std::move(mask));
  }
  return doc;
}

StudioSession::~StudioSession() {
  {
    std::lock_guard lock(autosave_mutex_);
    autosave_ending_ = true;
  }
  autosave_wake_.notify_all();
  if (autosave_.joinable()) autosave_.join();
  StopRun();
  StopRender();
  std::lock_guard lock(effect_mutex_);
  pages_.clear();  // their editors release gestures left in progress
  for (Layer& layer : layers_) layer.effect->WaitForAnalyses(kPressTimeoutMs);
}

PageId StudioSession::OpenPage() {
  auto page = std::make_shared<Page>();
  std::lock_guard lock(effect_mutex_);
  page->editor = std::make_unique<host::LiveEditor>(*effect_, host::ViewTransform{}, width_, height_);
  std::string state = PageStateLocked(*page);
  std::lock_guard pages(pages_mutex_);
  const PageId id = next_page_++;
  pages_[id] = page;
  states_[id] = std::move(state);
  return id;
}

void StudioSession::ClosePage(PageId id) {
  if (id == kFirstPage) return;  // requests naming no page always have it
  std::shared_ptr<Page> page;
  {
    std::lock_guard pages(pages_mutex_);
    auto it = pages_.find(id);
    if (it == pages_.end()) return;
    page = it->second;
    pages_.erase(it);
    states_.erase(id);
  }
  std::lock_guard lock(effect_mutex_);
  const bool had_gesture = page->editor->gesture_in_progress();
  page->editor.reset();  // releases its own gesture where its pointer last was
  if (gesture_page_ == id) gesture_page_ = 0;
  if (had_gesture) {
    ++mask_version_, ++overlay_version_;
    MarkChangedElsewhereLocked(0);
    if (gesture_start_) {
      MaskState before = std::move(*gesture_start_);
      gesture_start_.reset();
      RecordChangeLocked(std::move(before), "");
    }
    RefreshStatesLocked();
  }
}

// Every page but `by` (0: every page) has now missed the mask as it stands.
void StudioSession::MarkChangedElsewhereLocked(PageId by) {
  std::lock_guard pages(pages_mutex_);
  for (auto& [id, page] : pages_)
    if (id != by) page->changed_elsewhere = mask_version_;
}

std::shared_ptr<StudioSession::Page> StudioSession::FindPage(PageId id) {
  std::lock_guard pages(pages_mutex_);
  auto it = pages_.find(id);
  return it == pages_.end() ? nullptr : it->second;
}

std::vector<uint8_t> StudioSession::MaskBytesOf(Layer& layer, int64_t frame) {
  Mask::MaskShape shape;
  std::vector<uint8_t> bytes;
  if (host::MaskShapeAt(*layer.effect, frame, shape)) Mask::FlattenMaskShape(shape, bytes);
  return bytes;
}

std::string StudioSession::PageStateLocked(Page& page) { return PageStateJsonLocked(page).dump(); }

nlohmann::json StudioSession::PageStateJsonLocked(Page& page) {
  Json state;
  state["ok"] = true;
  state["frame"] = page.frame;
  state["frames"] = frames_.load();
  state["width"] = width_;
  state["height"] = height_;
  state["overlay"] = overlay_version_;
  state["gesture"] = page.editor->gesture_in_progress();
  state["zoom"] = page.editor->view().zoom;
  state["offset"] = {page.editor->view().offset_x, page.editor->view().offset_y};
  Json keys = Json::array();
  for (const auto& [frame, bytes] : effect_->params().at(host::kMaskPathParam).values) keys.push_back(frame);
  state["keyframes"] = keys;
  // What the page builds its matte controls from: {"feather": {"min": 0, "max": 1000, "slider":
  // [0, 300]}, ...}.
  Json ranges = Json::object();
  for (const host::MatteParam& p : host::kMatteParams) {
    state[p.key] = effect_->params().NumberAt(p.index, page.frame);
    const host::MatteRange range = RangeOf(p), slider = SliderOf(p);
    ranges[p.key] = {{"min", range.low}, {"max", range.high}, {"slider", {slider.low, slider.high}}};
  }
  state["ranges"] = ranges;
  state["unsaved"] = UnsavedLocked();
  state["motion"] = host::MotionNameOf(int(effect_->params().NumberAt(host::kMotionLevelParam, 0)));
  const auto mark = Marks().find(page.frame);
  state["track"] = mark == Marks().end() ? "" : mark->second.text;
  // The keys the tracker set, each with how far its press can be trusted; the others are the user's.
  Json tracked = Json::array();
  for (const auto& [frame, m] : Marks()) tracked.push_back({frame, host::PressQualityName(m.quality)});
  state["tracked"] = std::move(tracked);
  state["mask"] = mask_version_;
  state["output"] = options_.output;
  Json recovery = {{"path", options_.recovery}, {"offered", offered_.has_value()}};
  if (!offered_error_.empty()) recovery["error"] = offered_error_;
  state["recovery"] = std::move(recovery);
  state["run"] = {{"running", run_.running}, {"presses", run_.presses}, {"ended", run_.ended}};
  state["undo"] = undo_.size();
  state["redo"] = redo_.size();
  // The list of masks, in the order they apply: [{"id": 1, "name": "outline", "mode": "replace",
  // "shown": true, "keyframes": 3}, ...].
  Json masks = Json::array();
  for (const Layer& layer : layers_) {
    const host::ParamStore& params = layer.effect->params();
    const int mode = int(params.NumberAt(host::kMaskModeParam, 0));
    masks.push_back({{"id", layer.id},
                     {"name", layer.name},
                     {"mode", host::kMaskModeNames[mode >= 0 && mode < host::kMaskModeCount ? mode : 0]},
                     {"shown", !page.hidden.count(layer.id)},
                     {"keyframes", params.at(host::kMaskPathParam).values.size()}});
  }
  state["masks"] = std::move(masks);
  state["selected"] = layers_[selected_].id;
  return state;
}

// Every page's copy, after an action that may have changed what all of them show.
void StudioSession::RefreshStatesLocked() {
  std::vector<std::pair<PageId, std::shared_ptr<Page>>> pages;
  {
    std::lock_guard lock(pages_mutex_);
    pages.assign(pages_.begin(), pages_.end());
  }
  for (auto& [id, page] : pages) {
    if (!page->editor) continue;
    std::string state = PageStateLocked(*page);
    std::lock_guard lock(pages_mutex_);
    if (pages_.count(id)) states_[id] = std::move(state);
  }
}

std::string StudioSession::RenderStateJson() {
  std::lock_guard lock(render_.mutex);
  return Json{{"running", render_.running}, {"done", render_.done},   {"frames", render_.frames},
              {"total", render_.total},     {"error", render_.error}, {"output", options_.render_to}}
      .dump();
}

std::string StudioSession::ReplyLocked(PageId id, Page& page, bool ok, const std::string& error,
                                       const nlohmann::json& fields) {
  Json state = PageStateJsonLocked(page);
  state["ok"] = ok;
  if (!ok) state["error"] = error;
  state["page"] = id;
  for (const auto& [key, value] : fields.items()) state[key] = value;
  return WithRender(state.dump(), RenderStateJson());
}

std::string StudioSession::State(PageId id) {
  std::string state;
  {
    std::lock_guard lock(pages_mutex_);
    auto it = states_.find(id);
    if (it == states_.end()) return Json{{"ok", false}, {"error", "no such page"}}.dump();
    state = it->second;
  }
  state.pop_back();
  state += ",\"page\":" + std::to_string(id) + "}";
  return WithRender(std::move(state), RenderStateJson());
}

void StudioSession::SetActionHookForTesting(std::function<void()> hook) {
  std::lock_guard lock(effect_mutex_);
  action_hook_ = std::move(hook);
}

void StudioSession::SetRenderHookForTesting(std::function<void(int64_t)> hook) {
  std::lock_guard lock(render_.mutex);
  render_.hook = std::move(hook);
}

bool StudioSession::unsaved_changes() {
  std::lock_guard lock(effect_mutex_);
  return UnsavedLocked();
}

namespace {

// The parameters' values over time, as `b` holds them now: the mask, its matte values, its motion,
// its mode.
bool SameValues(const std::vector<host::StoredParam>& a, const host::ParamStore& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].numbers != b.at(i).numbers || a[i].values != b.at(i).values) return false;
  return true;
}

}  // namespace

// Compared again only when the mask or its values may have changed: the state goes with every
// reply, hovers included.
bool StudioSession::UnsavedLocked() {
  if (unsaved_version_ != mask_version_) {
    unsaved_ = !SameMasksLocked(saved_);
    unsaved_version_ = mask_version_;
  }
  return unsaved_;
}

bool StudioSession::StartRender(std::string& error) {
  if (options_.render_to.empty()) {
    error = "no render output was given (start the studio with --render-to)";
    return false;
  }
  std::lock_guard lock(render_.mutex);
  if (render_.running) {
    error = "a render is already running";
    return false;
  }
  if (render_.thread.joinable()) render_.thread.join();
  // The render reads the mask as it stands now, from a document of its own.
  std::string document;
  if (!MakeTemporaryDocument(document, error)) return false;
  if (!host::WriteMaskDocument(document, Document(), error)) {
    std::remove(document.c_str());
    error = "cannot write the render's copy of the mask to the temporary folder";
    return false;
  }
  render_.document = document;
  render_.running = true;
  render_.done = false;
  render_.frames = render_.total = 0;
  render_.error.clear();
  render_.stop = false;
  host::RenderOptions options;
  options.input = options_.input;
  options.mask_path = document;
  options.output = options_.render_to;
  render_.thread = std::thread([this, options] {
    const host::RenderResult result = host::RenderClip(
        module_, options,
        [this](const host::RenderProgress& p) {
          std::function<void(int64_t)> hook;
          {
            std::lock_guard lock(render_.mutex);
            render_.frames = p.done;
            render_.total = p.total;
            hook = render_.hook;
          }
          if (hook) hook(p.done);
        },
        &render_.stop);
    std::lock_guard lock(render_.mutex);
    std::remove(options.mask_path.c_str());
    render_.document.clear();
    render_.running = false;
    // A stop that came after the last frame was written leaves a finished render, and says so.
    render_.done = result.outcome.done();
    render_.frames = result.frames;
    render_.error = render_.done ? "" : render_.stop ? "render stopped" : result.outcome.error;
  });
  return true;
}

void StudioSession::StopRender() {
  render_.stop = true;
  std::thread thread;
  {
    std::lock_guard lock(render_.mutex);
    thread.swap(render_.thread);
  }
  if (thread.joinable()) thread.join();
}

void StudioSession::RemoveTemporaryFiles() {
  std::lock_guard lock(render_.mutex);
  if (!render_.document.empty()) std::remove(render_.document.c_str());
}

bool StudioSession::Save(const std::string& path, std::string& error) {
  const host::MaskDocument doc = Document();
  if (!host::WriteMaskDocument(path, doc, error)) return false;
  saved_ = MaskStateLocked();
  options_.output = path;
  ++mask_version_;  // every page shows it saved
  return true;
}

// Every autosave_ms, the mask as it stands when it differs from what was saved.
void StudioSession::AutosaveLoop() {
  std::unique_lock wait(autosave_mutex_);
  while (!autosave_ending_) {
    autosave_wake_.wait_for(wait, std::chrono::milliseconds(options_.autosave_ms));
    if (autosave_ending_) break;
    wait.unlock();
    {
      std::lock_guard lock(effect_mutex_);
      AutosaveLocked();
    }
    wait.lock();
  }
}

void StudioSession::AutosaveLocked() {
  if (offered_ || autosaved_version_ == mask_version_) return;  // an offer waits for the user
  autosaved_version_ = mask_version_;
  std::string error;
  if (UnsavedLocked()) {
    if (host::WriteMaskDocument(options_.recovery, Document(), error)) recovery_written_ = true;
    else std::fprintf(stderr, "maskfx: autosave failed: %s\n", error.c_str());
  } else if (recovery_written_) {
    std::remove(options_.recovery.c_str());  // saved since: nothing left to recover
    recovery_written_ = false;
  }
}

std::string StudioSession::EndAutosave() {
  {
    std::lock_guard lock(autosave_mutex_);
    autosave_ending_ = true;
  }
  autosave_wake_.notify_all();
  if (autosave_.joinable()) autosave_.join();
  std::lock_guard lock(effect_mutex_);
  if (options_.recovery.empty() || offered_) return "";
  AutosaveLocked();
  return recovery_written_ ? options_.recovery : "";
}

std::string StudioSession::Handle(PageId id, const std::string& message) {
  const std::shared_ptr<Page> page = FindPage(id);
  if (!page) return Json{{"ok", false}, {"error", "no such page"}}.dump();
  ++waiting_;
  std::unique_lock lock(effect_mutex_);
  --waiting_;
  if (!page->editor) return Json{{"ok", false}, {"error", "no such page"}}.dump();  // closed meanwhile
  if (action_hook_) action_hook_();
  const uint64_t before = mask_version_;
  std::string reply = Act(id, *page, message);
  if (mask_version_ != before) {
    MarkChangedElsewhereLocked(id);
    RefreshStatesLocked();
  } else {
    std::string state = PageStateLocked(*page);
    std::lock_guard pages(pages_mutex_);
    if (pages_.count(id)) states_[id] = std::move(state);
  }
  return reply;
}

// One message from a page, as its handler sees it.
struct StudioSession::Request {
  PageId id;
  Page& page;
  const Json& message;
  Json reply_fields;  // what the reply carries beside the page's state

  // A finite number under `name`.
  bool Number(const char* name, double& out) const {
    if (!message.contains(name) || !message[name].is_number()) return false;
    out = message[name].get<double>();
    return std::isfinite(out);
  }
  std::string Text(const char* name) const {
    return message.contains(name) && message[name].is_string() ? message[name].get<std::string>() : "";
  }
};

namespace {

// What each message type does; `edits` types change the mask or its values, and wait for another
// page's gesture to be released; `undoable` ones are what undo takes back.
struct MessageType {
  const char* name;
  bool edits, undoable;
  std::string (StudioSession::*handle)(StudioSession::Request&);
};

}  // namespace

std::string StudioSession::Act(PageId id, Page& page, const std::string& message) {
  // clang-format off
  static const MessageType kTypes[] = {
      {"event",            true,  true,  &StudioSession::OnEvent},
      {"hover",            false, false, &StudioSession::OnHover},
      {"frame",            false, false, &StudioSession::OnFrame},
      {"view",             false, false, &StudioSession::OnView},
      {"param",            true,  true,  &StudioSession::OnParam},
      {"track",            true,  true,  &StudioSession::OnTrack},
      {"track-run",        true,  false, &StudioSession::OnTrackRun},
      {"stop-run",         false, false, &StudioSession::OnStopRun},
      {"motion",           true,  true,  &StudioSession::OnMotion},
      {"delete-keyframe",  true,  true,  &StudioSession::OnDeleteKeyframe},
      {"clear-keyframes",  true,  true,  &StudioSession::OnClearKeyframes},
      {"delete-mask",      true,  true,  &StudioSession::OnDeleteMask},
      {"vertex-kind",      true,  true,  &StudioSession::OnVertexKind},
      {"onion",            false, false, &StudioSession::OnOnion},
      {"mask-add",         true,  true,  &StudioSession::OnMaskAdd},
      {"mask-select",      true,  false, &StudioSession::OnMaskSelect},
      {"mask-rename",      true,  true,  &StudioSession::OnMaskRename},
      {"mask-remove",      true,  true,  &StudioSession::OnMaskRemove},
      {"mask-move",        true,  true,  &StudioSession::OnMaskMove},
      {"mask-mode",        true,  true,  &StudioSession::OnMaskMode},
      {"mask-show",        false, false, &StudioSession::OnMaskShow},
      {"recover",          true,  true,  &StudioSession::OnRecover},
      {"discard-recovery", true,  false, &StudioSession::OnDiscardRecovery},
      {"undo",             true,  false, &StudioSession::OnUndo},
      {"redo",             true,  false, &StudioSession::OnRedo},
      {"save",             false, false, &StudioSession::OnSave},
      {"render",           false, false, &StudioSession::OnRender},
      {"stop-render",      false, false, &StudioSession::OnStopRender},
      {"state",            false, false, &StudioSession::OnState},
  };
  // clang-format on
  const auto reply = [&](const std::string& error, const Json& fields = Json::object()) {
    return ReplyLocked(id, page, error.empty(), error, fields);
  };
  if (message.size() > kMaxMessageBytes) return reply("message too long");
  Json m;
  std::string error;
  if (!host::ParseJsonText(message, m, error)) return reply("bad message: " + error);
  if (!m.is_object() || !m.contains("type") || !m["type"].is_string()) return reply("bad message: no type");
  const std::string type = m["type"];
  const auto* t =
      std::find_if(std::begin(kTypes), std::end(kTypes), [&](const MessageType& k) { return type == k.name; });
  if (t == std::end(kTypes)) return reply("unknown message type " + type);
  // The effect keeps one gesture for the mask: another page's edit waits for its release.
  if (t->edits && gesture_page_ != 0 && gesture_page_ != id) return reply("another page is dragging the mask");
  Request request{id, page, m, Json::object()};
  std::optional<MaskState> before;
  if (t->undoable) {
    before = gesture_start_ ? std::move(gesture_start_) : MaskStateLocked();
    gesture_start_.reset();
  }
  error = (this->*t->handle)(request);
  if (before) RecordChangeLocked(std::move(*before), request.Text("group"));
  return reply(error, request.reply_fields);
}

std::string StudioSession::OnEvent(Request& r) {
  std::vector<host::EditEvent> events;
  std::string error;
  if (!r.message.contains("event") || !host::ParseEditEvent(r.message["event"].dump(), events, error))
    return "bad event: " + error;
  // A gesture begun on an outline another page has moved since would edit what is no longer there.
  double seen = 0;
  const bool begins =
      !r.page.editor->gesture_in_progress() && !events.empty() &&
      (events.front().action == host::EditAction::kPress || events.front().action == host::EditAction::kKey);
  if (begins && r.Number("seen", seen) && seen < double(r.page.changed_elsewhere))
    return "the mask was changed in another page: this page shows it now, try again";
  ++mask_version_, ++overlay_version_;
  const std::vector<uint8_t> before = MaskBytesOf(layers_[selected_], r.page.frame);
  for (const host::EditEvent& e : events) {
    const bool ok = r.page.editor->Apply(e, r.page.frame, error);
    gesture_page_ = r.page.editor->gesture_in_progress() ? r.id : 0;
    if (MaskBytesOf(layers_[selected_], r.page.frame) != before)
      Marks().erase(r.page.frame);  // the user's hand placed it now
    if (!ok) return error;
  }
  return "";
}

std::string StudioSession::OnHover(Request& r) {
  double x = 0, y = 0;
  if (!r.Number("x", x) || !r.Number("y", y)) return "bad hover";
  r.reply_fields["cursor"] = r.page.editor->Cursor(r.page.frame, x, y, 0);
  return "";
}

std::string StudioSession::OnFrame(Request& r) {
  double f = 0;
  if (!r.Number("frame", f) || f < 0 || f >= double(frames_.load())) return "bad frame";
  r.page.frame = int64_t(f);
  ++overlay_version_;
  return "";
}

std::string StudioSession::OnView(Request& r) {
  double zoom = 1;
  const Json& m = r.message;
  if (!r.Number("zoom", zoom) || zoom < 1.0 / 16 || zoom > 16 || !m.contains("offset") || !m["offset"].is_array() ||
      m["offset"].size() != 2 || !m["offset"][0].is_number() || !m["offset"][1].is_number())
    return "bad view";
  const double x = m["offset"][0].get<double>(), y = m["offset"][1].get<double>();
  if (!(std::fabs(x) <= 1e6 && std::fabs(y) <= 1e6)) return "bad view";
  r.page.editor->SetView({zoom, x, y});
  double w = 0, h = 0;
  if (r.Number("width", w) && r.Number("height", h) && w >= 1 && h >= 1 && w <= 8192 && h <= 8192)
    r.page.editor->SetViewSize(int32_t(w), int32_t(h));
  ++overlay_version_;
  return "";
}

std::string StudioSession::OnParam(Request& r) {
  double value = 0;
  const host::MatteParam* p = host::FindMatteParam(r.Text("name"));
  if (p == nullptr || !r.Number("value", value)) return "bad param";
  // A checkbox between on and off would read as off to the effect and as on in the document.
  if (p->checkbox && value != 0 && value != 1) return std::string("bad param: ") + p->key + ": expected 0 or 1";
  if (const host::MatteRange range = RangeOf(*p); !range.Contains(value))
    return std::string("bad param: ") + p->key + ": expected a number from " + range.Text();
  host::StoreNumberAtFrame(effect_->params(), p->index, r.page.frame, value);
  ++mask_version_, ++overlay_version_;
  return "";
}

namespace {

// "forward" or "backward" under "direction", or an error.
std::string DirectionOf(const std::string& direction, bool& forward) {
  if (direction != "forward" && direction != "backward") return "bad track direction";
  forward = direction == "forward";
  return "";
}

}  // namespace

// Why no press can go from the page's frame that way, or empty.
std::string StudioSession::AtClipEnd(const Page& page, bool forward) const {
  if ((forward && page.frame + 1 >= frames_) || (!forward && page.frame == 0))
    return forward ? "already at the last frame" : "already at the first frame";
  return "";
}

std::string StudioSession::PressMasksLocked(Page& page, const std::vector<uint64_t>& ids, bool forward, Json& out) {
  if (std::string end = AtClipEnd(page, forward); !end.empty()) return end;
  // Of several, only those with an outline: a mask not drawn yet has nothing to follow.
  std::vector<Layer*> pressed;
  for (uint64_t id : ids)
    if (Layer* layer = FindLayer(id); layer && (ids.size() == 1 || MaskBytesOf(*layer, page.frame).size() > 0))
      pressed.push_back(layer);
  if (pressed.empty()) return ids.size() > 1 ? "there is no mask to track" : "that mask was removed";
  Json each = Json::array();
  std::string warning;
  host::PressQuality worst = host::PressQuality::kGood;
  for (Layer* layer : pressed) {
    const host::EffectHost::TrackPress press = layer->effect->PressTrack(page.frame, forward, kPressTimeoutMs);
    ++mask_version_;
    const std::string who = pressed.size() > 1 ? layer->name + ": " : "";
    if (press.report) {
      const PressMark mark{host::PressReportText(*press.report), host::PressQualityOf(*press.report)};
      layer->marks[press.report->frame] = mark;
      each.push_back({{"mask", layer->name}, {"quality", host::PressQualityName(mark.quality)}, {"text", mark.text}});
      // The press to tell the page of: the least trustworthy, its mask named where there are several.
      if (out.is_null() || mark.quality > worst)
        out = {{"quality", host::PressQualityName(mark.quality)}, {"text", who + mark.text}}, worst = mark.quality;
    }
    if (const std::string why = host::PressFailure(press, kPressTimeoutMs); !why.empty()) return who + why;
    if (warning.empty() && !press.warnings.empty()) warning = who + press.warnings.front();
  }
  if (pressed.size() > 1) out["masks"] = std::move(each);
  page.frame += forward ? 1 : -1;
  ++overlay_version_;
  return warning;
}

// Every mask where the message says "all", else the one selected.
std::vector<uint64_t> StudioSession::MasksToTrack(const Request& r) {
  const bool all = r.message.contains("all") && r.message["all"] == true;
  if (!all) return {layers_[selected_].id};
  std::vector<uint64_t> ids;
  for (const Layer& layer : layers_) ids.push_back(layer.id);
  return ids;
}

std::string StudioSession::OnTrack(Request& r) {
  bool forward = true;
  if (std::string bad = DirectionOf(r.Text("direction"), forward); !bad.empty()) return bad;
  Json press;
  const std::string error = PressMasksLocked(r.page, MasksToTrack(r), forward, press);
  if (!press.is_null()) r.reply_fields["press"] = press;
  return error;
}

// Presses on to the clip's end (or start) on the studio's own thread, the page following in its
// state: no round trip to the page per press. "stop_weak" (default true) ends the run after a
// weak or lost press; "until_key" before a key the user set.
std::string StudioSession::OnTrackRun(Request& r) {
  bool forward = true;
  if (std::string bad = DirectionOf(r.Text("direction"), forward); !bad.empty()) return bad;
  const auto flag = [&](const char* name, bool otherwise) {
    return r.message.contains(name) && r.message[name].is_boolean() ? r.message[name].get<bool>() : otherwise;
  };
  if (run_.running) return "a track run is already going";
  if (std::string end = AtClipEnd(r.page, forward); !end.empty()) return end;
  if (run_.thread.joinable()) run_.thread.join();  // the last run's thread, already done
  std::shared_ptr<Page> page = FindPage(r.id);
  if (!page) return "no such page";
  run_.running = true;
  run_.presses = 0;
  run_.ended.clear();
  run_.stop = false;
  const std::string group = "run-" + std::to_string(++run_.runs);
  run_.thread = std::thread([this, page, ids = MasksToTrack(r), forward, stop_weak = flag("stop_weak", true),
                             until_key = flag("until_key", false),
                             group] { RunPresses(page, ids, forward, stop_weak, until_key, group); });
  return "";
}

std::string StudioSession::OnStopRun(Request&) {
  if (!run_.running) return "no track run is going";
  run_.stop = true;
  return "";
}

void StudioSession::RunPresses(std::shared_ptr<Page> page, std::vector<uint64_t> ids, bool forward, bool stop_weak,
                               bool until_key, std::string group) {
  std::set<int64_t> user_keys;  // of the masks tracked, as they stand at the start
  bool keys_read = false;
  std::string why;
  while (why.empty()) {
    // The pages' messages queued meanwhile go first (the lock is not fair).
    for (int spins = 0; waiting_ > 0 && spins < 1000; ++spins) std::this_thread::yield();
    std::lock_guard lock(effect_mutex_);
    for (uint64_t id : ids)
      if (const Layer* layer = FindLayer(id); layer && !keys_read)
        for (const auto& [frame, bytes] : layer->effect->params().at(host::kMaskPathParam).values)
          if (!layer->marks.count(frame)) user_keys.insert(frame);
    keys_read = true;
    const int64_t next = page->frame + (forward ? 1 : -1);
    if (run_.stop) why = "stopped";
    else if (!page->editor) why = "the page closed";
    else if (gesture_page_ != 0) why = "stopped: a page is dragging the mask";
    else if (next < 0 || next >= frames_) why = forward ? "reached the last frame" : "reached the first frame";
    else if (until_key && user_keys.count(next)) why = "reached your key on frame " + std::to_string(next);
    if (why.empty()) {
      MaskState before = MaskStateLocked();
      Json press;
      why = PressMasksLocked(*page, ids, forward, press);
      RecordChangeLocked(std::move(before), group);
      ++run_.presses;
      const std::string quality = press.is_null() ? "" : press["quality"].get<std::string>();
      if (why.empty() && stop_weak && (quality == "weak" || quality == "lost"))
        why = "stopped, a " + quality + " press: " + press["text"].get<std::string>();
    }
    if (!why.empty()) {
      run_.running = false;
      run_.ended = why;
    }
    MarkChangedElsewhereLocked(0);
    RefreshStatesLocked();
  }
}

void StudioSession::StopRun() {
  run_.stop = true;
  if (run_.thread.joinable()) run_.thread.join();
}

// The model every later press fits, saved with the document.
std::string StudioSession::OnMotion(Request& r) {
  const int level = host::MotionLevelOf(r.Text("name"));
  if (level < 0) return "bad motion: expected translation, rigid, similarity, affine or perspective";
  effect_->params().SetConstant(host::kMotionLevelParam, level);
  ++mask_version_;
  return "";
}

// To the output, or as the name the page gives (within the clip's or the output's folder); a
// file already there is replaced only when the page says so.
std::string StudioSession::OnSave(Request& r) {
  std::string error, path = options_.output;
  const std::string as = r.Text("as");
  if (as.empty() && path.empty()) {
    r.reply_fields["needs_name"] = true;
    return "no output document was given: save as a name";
  }
  if (!as.empty()) {
    if (!ResolveSaveAs(as, options_.output, options_.input, options_.mask_path, path, error)) return error;
    const bool replace = r.message.contains("replace") && r.message["replace"] == true;
    if (!replace && host::OutputExists(path)) {
      r.reply_fields["exists"] = path;
      return "save as " + as + ": " + path + " exists";
    }
  }
  return Save(path, error) ? "" : error;
}

// The recovery file found at the start, in place of the mask (one step undo takes back).
std::string StudioSession::OnRecover(Request&) {
  if (!offered_) return "nothing to recover";
  if (!offered_error_.empty()) return "cannot recover: " + offered_error_;
  if (gesture_page_ != 0) return "finish the drag first";
  std::string error;
  WorkOnProxyOf(*offered_);
  if (!TakeDocumentLocked(*offered_, error)) return error;
  offered_.reset();
  recovery_written_ = true;  // ours now: removed once what it holds is saved
  ++mask_version_, ++overlay_version_;
  return "";
}

std::string StudioSession::OnDiscardRecovery(Request&) {
  if (!offered_) return "nothing to discard";
  std::remove(options_.recovery.c_str());
  offered_.reset();
  offered_error_.clear();
  ++mask_version_;  // every page stops offering it
  return "";
}

std::string StudioSession::OnRender(Request&) {
  std::string error;
  return StartRender(error) ? "" : error;
}

std::string StudioSession::OnStopRender(Request&) {
  std::lock_guard lock(render_.mutex);
  if (!render_.running) return "no render is running";
  render_.stop = true;
  return "";
}

std::string StudioSession::OnState(Request&) { return ""; }

StudioSession::MaskState StudioSession::MaskStateLocked() const {
  MaskState state;
  for (const Layer& layer : layers_) {
    LayerState& kept = state.layers.emplace_back();
    kept.id = layer.id;
    kept.name = layer.name;
    const host::ParamStore& params = layer.effect->params();
    kept.params.reserve(params.size());
    for (size_t i = 0; i < params.size(); ++i) kept.params.push_back(params.at(i));
    kept.marks = layer.marks;
  }
  state.selected = layers_[selected_].id;
  return state;
}

bool StudioSession::SameMasksLocked(const MaskState& state) const {
  if (state.layers.size() != layers_.size()) return false;
  for (size_t m = 0; m < layers_.size(); ++m)
    if (state.layers[m].name != layers_[m].name || !SameValues(state.layers[m].params, layers_[m].effect->params()))
      return false;
  return true;
}

// Masks still in the list keep their effect (and what it keeps between presses); one removed since
// gets a new effect, given its values back.
bool StudioSession::RestoreMaskStateLocked(const MaskState& state, std::string& error) {
  std::map<uint64_t, std::unique_ptr<host::EffectHost>> made;
  for (const LayerState& kept : state.layers)
    if (!FindLayer(kept.id) && !(made[kept.id] = NewMaskEffect(host::MaskDocument{}, error))) return false;
  std::vector<Layer> layers(state.layers.size());
  size_t selected = 0;
  for (size_t m = 0; m < layers.size(); ++m) {
    const LayerState& kept = state.layers[m];
    Layer& layer = layers[m];
    layer.id = kept.id;
    layer.name = kept.name;
    layer.marks = kept.marks;
    Layer* now = FindLayer(kept.id);
    layer.effect = now ? std::move(now->effect) : std::move(made[kept.id]);
    host::ParamStore& params = layer.effect->params();
    for (size_t i = 0; i < kept.params.size() && i < params.size(); ++i) params.RestoreValues(i, kept.params[i]);
    if (kept.id == state.selected) selected = m;
  }
  layers_.swap(layers);
  SelectLayerLocked(selected);
  for (Layer& gone : layers)
    if (gone.effect) gone.effect->WaitForAnalyses(kPressTimeoutMs);
  ++mask_version_, ++overlay_version_;
  return true;
}

void StudioSession::RecordChangeLocked(MaskState before, const std::string& group) {
  if (gesture_page_ != 0) {  // the gesture's release decides
    gesture_start_ = std::move(before);
    return;
  }
  if (SameMasksLocked(before)) return;
  redo_.clear();
  if (!group.empty() && !undo_.empty() && undo_.back().group == group) return;  // the group's first change holds
  undo_.push_back({std::move(before), group});
  if (undo_.size() > kMaxUndoSteps) undo_.pop_front();
}

// Undo and redo alike: the mask as the last step of `from` found it, the mask now going on `to`.
std::string StudioSession::StepBackLocked(std::deque<UndoStep>& from, std::deque<UndoStep>& to, const char* none) {
  if (gesture_page_ != 0) return "finish the drag first";
  if (from.empty()) return none;
  MaskState now = MaskStateLocked();
  std::string error;
  if (!RestoreMaskStateLocked(from.back().before, error)) return error;
  to.push_back({std::move(now), from.back().group});
  from.pop_back();
  return "";
}

std::string StudioSession::OnUndo(Request&) { return StepBackLocked(undo_, redo_, "nothing to undo"); }

std::string StudioSession::OnRedo(Request&) { return StepBackLocked(redo_, undo_, "nothing to redo"); }

size_t StudioSession::EraseKeyframesLocked(int64_t first, int64_t last) {
  const size_t erased = effect_->params().EraseValueKeyframes(host::kMaskPathParam, first, last);
  Marks().erase(Marks().lower_bound(first), Marks().upper_bound(last));
  if (erased > 0) ++mask_version_, ++overlay_version_;
  return erased;
}

std::string StudioSession::OnDeleteKeyframe(Request& r) {
  if (EraseKeyframesLocked(r.page.frame, r.page.frame) == 0)
    return "no keyframe at frame " + std::to_string(r.page.frame);
  return "";
}

// The keys after (or before) the page's frame: a track gone wrong from here on, or up to here.
std::string StudioSession::OnClearKeyframes(Request& r) {
  const std::string which = r.Text("which");
  if (which != "after" && which != "before") return "bad clear: expected \"after\" or \"before\"";
  const int64_t f = r.page.frame;
  const size_t erased = which == "after" ? EraseKeyframesLocked(f + 1, INT64_MAX) : EraseKeyframesLocked(0, f - 1);
  if (erased == 0) return "no keyframes " + which + " frame " + std::to_string(f);
  r.reply_fields["cleared"] = erased;
  return "";
}

// Turns the vertex under a screen point of the page's view between corner and curve, at the
// page's frame (keyed there, as the effect's own edits are).
std::string StudioSession::OnVertexKind(Request& r) {
  constexpr double kReachPixels = 8;  // on the screen, as the effect's own vertex hits
  const Json& at = r.message.contains("at") ? r.message["at"] : Json();
  if (!at.is_array() || at.size() != 2 || !at[0].is_number() || !at[1].is_number()) return "bad vertex-kind";
  const host::ViewTransform& view = r.page.editor->view();
  const double x = (at[0].get<double>() - view.offset_x) / view.zoom;
  const double y = (at[1].get<double>() - view.offset_y) / view.zoom;
  Mask::MaskShape shape;
  if (!host::MaskShapeAt(*effect_, r.page.frame, shape) || shape.vertices.empty()) return "there is no mask here";
  if (shape.mode == Mask::kMaskModeEllipse) return "an ellipse's vertices cannot be turned";
  int32_t nearest = -1;
  double best = kReachPixels / view.zoom;
  for (size_t i = 0; i < shape.vertices.size(); ++i) {
    const Mask::MaskVertex& v = shape.vertices[i];
    if (v.kind == Mask::kVertexSeparator) continue;
    const double d = std::hypot(v.anchor_x * width_ - x, v.anchor_y * height_ - y);
    if (d <= best) best = d, nearest = int32_t(i);
  }
  if (nearest < 0) return "no vertex there";
  if (!host::ToggleVertexKind(shape, nearest)) return "this vertex cannot be turned";
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(shape, bytes);
  host::StoreValueAtFrame(effect_->params(), host::kMaskPathParam, r.page.frame, std::move(bytes));
  Marks().erase(r.page.frame);
  ++mask_version_, ++overlay_version_;
  r.reply_fields["kind"] = shape.vertices[size_t(nearest)].kind == Mask::kVertexCurve ? "curve" : "corner";
  return "";
}

std::string StudioSession::OnOnion(Request& r) {
  if (!r.message.contains("on") || !r.message["on"].is_boolean()) return "bad onion";
  r.page.onion = r.message["on"].get<bool>();
  ++overlay_version_;
  return "";
}

// Every keyframe: the page draws a new outline from the next click.
std::string StudioSession::OnDeleteMask(Request&) {
  if (EraseKeyframesLocked(INT64_MIN, INT64_MAX) == 0) return "there is no mask to delete";
  return "";
}

namespace {

constexpr size_t kMaxMasks = 64;
constexpr size_t kMaxNameBytes = 200;

// Why `name` cannot name a mask, or empty.
std::string BadName(const std::string& name) {
  if (name.empty()) return "a mask needs a name";
  if (name.size() > kMaxNameBytes) return "a mask's name is at most " + std::to_string(kMaxNameBytes) + " bytes";
  if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
    return "a mask's name cannot hold control characters";
  return "";
}

}  // namespace

StudioSession::Layer* StudioSession::NamedLayer(Request& r, std::string& error) {
  double id = 0;
  Layer* layer = r.Number("id", id) && id >= 1 && id == std::floor(id) ? FindLayer(uint64_t(id)) : nullptr;
  if (!layer) error = "no such mask";
  return layer;
}

// Why `name` cannot be given to `layer` (null: a new mask), or empty.
std::string StudioSession::NameTaken(const std::string& name, const Layer* layer) const {
  if (std::string bad = BadName(name); !bad.empty()) return bad;
  for (const Layer& other : layers_)
    if (&other != layer && other.name == name) return "a mask named " + name + " is already there";
  return "";
}

// "Mask N" for the first N from `from` that no mask is named.
std::string StudioSession::FreeName(size_t from) const {
  for (size_t n = from;; ++n)
    if (std::string name = "Mask " + std::to_string(n); NameTaken(name, nullptr).empty()) return name;
}

// A new mask at the end of the list, selected, with nothing drawn: a page's next clicks draw it.
// It adds to the ones before it unless the page names another mode.
std::string StudioSession::OnMaskAdd(Request& r) {
  if (gesture_page_ != 0) return "finish the drag first";
  if (layers_.size() >= kMaxMasks) return "a document holds at most " + std::to_string(kMaxMasks) + " masks";
  const std::string mode_name = r.message.contains("mode") ? r.Text("mode") : "add";
  const int mode = host::MaskModeOf(mode_name);
  if (mode < 0) return "bad mode: expected " + host::MaskModeList();
  // In a document of several, every mask has a name: the first, unnamed in a document of one,
  // gets one, and keeps it only if the new mask comes.
  const bool name_first = layers_.front().name.empty();
  if (name_first) layers_.front().name = FreeName(1);
  const auto refuse = [&](std::string why) {
    if (name_first) layers_.front().name.clear();
    return why;
  };
  const std::string name = r.message.contains("name") ? r.Text("name") : FreeName(layers_.size() + 1);
  if (std::string bad = NameTaken(name, nullptr); !bad.empty()) return refuse(bad);
  std::string error;
  std::unique_ptr<host::EffectHost> effect = NewMaskEffect(host::MaskDocument{}, error);
  if (!effect) return refuse(error);
  effect->params().SetConstant(host::kMaskModeParam, mode);
  Layer& layer = layers_.emplace_back();
  layer.id = next_layer_id_++;
  layer.name = name;
  layer.effect = std::move(effect);
  SelectLayerLocked(layers_.size() - 1);
  ++mask_version_, ++overlay_version_;
  return "";
}

// For every page: one mask is edited at a time, as one gesture is.
std::string StudioSession::OnMaskSelect(Request& r) {
  std::string error;
  Layer* layer = NamedLayer(r, error);
  if (!layer) return error;
  if (gesture_page_ != 0) return "finish the drag first";
  SelectLayerLocked(size_t(layer - layers_.data()));
  ++mask_version_, ++overlay_version_;
  return "";
}

std::string StudioSession::OnMaskRename(Request& r) {
  std::string error;
  Layer* layer = NamedLayer(r, error);
  if (!layer) return error;
  const std::string name = r.Text("name");
  if (name == layer->name) return "";
  if (std::string bad = NameTaken(name, layer); !bad.empty()) return bad;
  layer->name = name;
  ++mask_version_;
  return "";
}

// The mask and everything it holds (undo brings it back); the only one stays, its outline deleted
// with delete-mask instead.
std::string StudioSession::OnMaskRemove(Request& r) {
  std::string error;
  Layer* layer = NamedLayer(r, error);
  if (!layer) return error;
  if (layers_.size() == 1) return "the only mask cannot be removed: delete its outline instead";
  if (gesture_page_ != 0) return "finish the drag first";
  const size_t index = size_t(layer - layers_.data());
  std::unique_ptr<host::EffectHost> gone = std::move(layer->effect);
  const uint64_t selected_id = layers_[selected_].id;
  layers_.erase(layers_.begin() + ptrdiff_t(index));
  size_t selected = std::min(index, layers_.size() - 1);
  for (size_t m = 0; m < layers_.size(); ++m)
    if (layers_[m].id == selected_id) selected = m;
  SelectLayerLocked(selected);  // editors bound to the mask removed move off it first
  gone->WaitForAnalyses(kPressTimeoutMs);
  ++mask_version_, ++overlay_version_;
  return "";
}

// To place "to" in the list (0 first, applied first).
std::string StudioSession::OnMaskMove(Request& r) {
  std::string error;
  Layer* layer = NamedLayer(r, error);
  if (!layer) return error;
  double to = 0;
  if (!r.Number("to", to) || to < 0 || to >= double(layers_.size()) || to != std::floor(to))
    return "bad move: expected a place from 0 to " + std::to_string(layers_.size() - 1);
  const uint64_t selected_id = layers_[selected_].id;
  const size_t from = size_t(layer - layers_.data());
  Layer moved = std::move(layers_[from]);
  layers_.erase(layers_.begin() + ptrdiff_t(from));
  layers_.insert(layers_.begin() + ptrdiff_t(to), std::move(moved));
  for (size_t m = 0; m < layers_.size(); ++m)
    if (layers_[m].id == selected_id) SelectLayerLocked(m);
  ++mask_version_, ++overlay_version_;
  return "";
}

std::string StudioSession::OnMaskMode(Request& r) {
  std::string error;
  Layer* layer = NamedLayer(r, error);
  if (!layer) return error;
  const int mode = host::MaskModeOf(r.Text("mode"));
  if (mode < 0) return "bad mode: expected " + host::MaskModeList();
  layer->effect->params().SetConstant(host::kMaskModeParam, mode);
  ++mask_version_;
  return "";
}

// Whether this page draws the mask's outline; the matte is the document's either way.
std::string StudioSession::OnMaskShow(Request& r) {
  std::string error;
  Layer* layer = NamedLayer(r, error);
  if (!layer) return error;
  if (!r.message.contains("shown") || !r.message["shown"].is_boolean()) return "bad mask-show: expected shown";
  if (r.message["shown"].get<bool>()) r.page.hidden.erase(layer->id);
  else r.page.hidden.insert(layer->id);
  ++overlay_version_;
  return "";
}

bool StudioSession::ReadPicture(int64_t frame, host::RgbaFrame& picture, std::string& error) {
  std::lock_guard lock(pictures_mutex_);
  if (frame >= 0 && frame < frames_ && pictures_->ReadFrame(frame, picture, error)) return true;
  // A clip that ends before its container said: every page's count follows what decodes.
  if (const int64_t count = pictures_->info().frame_count; error.empty() && count > 0 && count < frames_)
    frames_ = count;
  if (error.empty()) error = "no frame " + std::to_string(frame);
  return false;
}

bool StudioSession::FramePng(int64_t frame, std::vector<uint8_t>& png, std::string& error) {
  host::RgbaFrame picture;
  return ReadPicture(frame, picture, error) && host::EncodePng(picture, png, error);
}

bool StudioSession::FrameJpeg(int64_t frame, std::vector<uint8_t>& jpeg, std::string& error) {
  host::RgbaFrame picture;
  return ReadPicture(frame, picture, error) && host::EncodeJpeg(picture, kPictureJpegQuality, jpeg, error);
}

namespace {

// `overlay` over `beneath`, what is beneath at `share` / 255 of its strength (straight alpha,
// both the same size).
void DrawOver(const host::RgbaFrame& overlay, host::RgbaFrame& beneath, uint32_t share) {
  uint8_t* under = beneath.pixels.data();
  const uint8_t* over = overlay.pixels.data();
  for (size_t i = 0; i + 3 < beneath.pixels.size() && i + 3 < overlay.pixels.size(); i += 4) {
    const uint32_t a = over[i + 3], b = under[i + 3] * share / 255;
    const uint32_t out = a + b * (255 - a) / 255;
    for (int c = 0; c < 3; ++c)
      under[i + c] = out == 0 ? 0 : uint8_t((over[i + c] * a + under[i + c] * b * (255 - a) / 255) / out);
    under[i + 3] = uint8_t(out);
  }
}

// What shows faintly under the mask being edited: a third of the strength.
constexpr uint32_t kFaintShare = 85;

}  // namespace

namespace {

// The smallest part of `picture` holding every pixel not wholly transparent (one transparent
// pixel where there is none), and where it was.
host::RgbaFrame CropToDrawn(const host::RgbaFrame& picture, StudioSession::Origin& origin) {
  const int32_t w = picture.width, h = picture.height;
  int32_t left = w, right = -1, top = h, bottom = -1;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* row = &picture.pixels[size_t(y) * size_t(w) * 4];
    int32_t first = -1, last = -1;
    for (int32_t x = 0; x < w; ++x)
      if (row[size_t(x) * 4 + 3] != 0) {
        if (first < 0) first = x;
        last = x;
      }
    if (first < 0) continue;
    left = std::min(left, first), right = std::max(right, last);
    top = std::min(top, y), bottom = y;
  }
  host::RgbaFrame part;
  if (right < 0) {
    origin = {};
    part.width = part.height = 1;
    part.pixels.assign(4, 0);
    return part;
  }
  origin = {left, top};
  part.width = right - left + 1;
  part.height = bottom - top + 1;
  part.pixels.resize(size_t(part.width) * size_t(part.height) * 4);
  for (int32_t y = 0; y < part.height; ++y)
    std::copy_n(&picture.pixels[(size_t(top + y) * size_t(w) + size_t(left)) * 4], size_t(part.width) * 4,
                &part.pixels[size_t(y) * size_t(part.width) * 4]);
  return part;
}

}  // namespace

bool StudioSession::OverlayPng(PageId id, std::vector<uint8_t>& png, std::string& error, Origin* origin) {
  const std::shared_ptr<Page> page = FindPage(id);
  if (!page) {
    error = "no such page";
    return false;
  }
  std::unique_lock lock(effect_mutex_, std::try_to_lock);
  // Busy with another page's long action: the page's last overlay now, the new one when the
  // action's state tells the page to ask again.
  if (!lock.owns_lock()) {
    std::lock_guard pages(pages_mutex_);
    if (!(origin ? page->last_cropped : page->last_overlay).empty()) {
      png = origin ? page->last_cropped : page->last_overlay;
      if (origin) *origin = page->last_origin;
      return true;
    }
  }
  if (!lock.owns_lock()) lock.lock();
  if (!page->editor) {
    error = "no such page";
    return false;
  }
  host::RgbaFrame overlay = OverlayOf(*page);
  Origin at;
  if (!host::EncodePng(origin ? CropToDrawn(overlay, at) : overlay, png, error)) return false;
  std::lock_guard pages(pages_mutex_);
  if (origin) {
    *origin = page->last_origin = at;
    page->last_cropped = png;
  } else {
    page->last_overlay = png;
  }
  return true;
}

// The selected mask's outline over the others' (and over its own on the previous frame, where
// the page asked for it), those faint; a mask the page hides is left out.
host::RgbaFrame StudioSession::OverlayOf(Page& page) {
  host::LiveEditor& editor = *page.editor;
  const bool shown = !page.hidden.count(layers_[selected_].id);
  std::vector<host::RgbaFrame> faint;
  for (size_t m = 0; m < layers_.size(); ++m) {
    if (m == selected_ || page.hidden.count(layers_[m].id)) continue;
    host::LiveEditor other(*layers_[m].effect, editor.view(), editor.view_width(), editor.view_height());
    faint.push_back(other.DrawOverlay(page.frame));
  }
  if (shown && page.onion && page.frame > 0) faint.push_back(editor.DrawOverlay(page.frame - 1));
  host::RgbaFrame top = shown ? editor.DrawOverlay(page.frame) : host::RgbaFrame{};
  if (faint.empty() && shown) return top;
  host::RgbaFrame beneath;
  beneath.width = editor.view_width(), beneath.height = editor.view_height();
  beneath.pixels.assign(size_t(beneath.width) * size_t(beneath.height) * 4, 0);
  for (const host::RgbaFrame& drawn : faint) DrawOver(drawn, beneath, 255);
  if (!shown) top = host::RgbaFrame{beneath.width, beneath.height, std::vector<uint8_t>(beneath.pixels.size(), 0)};
  DrawOver(top, beneath, kFaintShare);
  return beneath;
}

// The page's frame with the alpha the masks render on it in turn (their render commands).
bool StudioSession::RenderedPicture(PageId id, host::RgbaFrame& picture, std::string& error) {
  const std::shared_ptr<Page> page = FindPage(id);
  if (!page) {
    error = "no such page";
    return false;
  }
  std::lock_guard lock(effect_mutex_);
  if (!ReadPicture(page->frame, picture, error)) return false;
  // The effect writes alpha into the frame it renders and leaves the colour as it was.
  FxWorld world{picture.pixels.data(), picture.width * 4, picture.width, picture.height, FxPixelFormat_bgra};
  for (const Layer& layer : layers_) {
    const host::CommandResult result = layer.effect->RenderFrame(page->frame, world);
    if (result.err != FxErr_None) {
      error = "the effect failed with error " + std::to_string(result.err) + " on mask " + layer.name;
      return false;
    }
  }
  return true;
}

bool StudioSession::MattePng(PageId id, std::vector<uint8_t>& png, std::string& error) {
  host::RgbaFrame picture;
  if (!RenderedPicture(id, picture, error)) return false;
  for (size_t i = 0; i < picture.pixels.size(); i += 4) {
    uint8_t* p = &picture.pixels[i];
    p[0] = p[1] = p[2] = p[3];
    p[3] = 255;
  }
  return host::EncodePng(picture, png, error);
}

bool StudioSession::TintedMatteJpeg(PageId id, std::vector<uint8_t>& jpeg, std::string& error) {
  host::RgbaFrame picture;
  if (!RenderedPicture(id, picture, error)) return false;
  for (size_t i = 0; i < picture.pixels.size(); i += 4) {
    uint8_t* p = &picture.pixels[i];
    const uint32_t clear = (255 - uint32_t(p[3])) / 2;  // half-way to red where the matte is clear
    p[0] = uint8_t((p[0] * (255 - clear) + 255 * clear) / 255);
    p[1] = uint8_t(p[1] * (255 - clear) / 255);
    p[2] = uint8_t(p[2] * (255 - clear) / 255);
    p[3] = 255;
  }
  return host::EncodeJpeg(picture, kPictureJpegQuality, jpeg, error);
}

}  // namespace studio
