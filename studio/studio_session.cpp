#include "studio/studio_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "host/document_params.h"
#include "host/edit_script.h"
#include "host/edit_session.h"
#include "host/host_suites.h"
#include "host/json_text.h"
#include "host/mask_document.h"
#include "host/mask_params.h"
#include "host/media_engine.h"
#include "host/render_job.h"
#include "host/track_job.h"

namespace studio {
namespace {

using Json = nlohmann::json;

constexpr int64_t kPressTimeoutMs = 60000;

// The matte values the page may set, with the range each takes.
struct MatteParam {
  const char* name;
  size_t index;
  double low, high;
};
constexpr MatteParam kMatteParams[] = {{"feather", host::kMaskFeatherParam, 0, 1000},
                                       {"opacity", host::kMaskOpacityParam, 0, 100},
                                       {"expansion", host::kMaskExpansionParam, -1000, 1000},
                                       {"inverted", host::kMaskInvertedParam, 0, 1}};

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
  std::unique_ptr<host::MediaReader> engine_reader = host::MediaReader::Open(options.input, error);
  if (!engine_reader) return nullptr;
  const host::MediaInfo info = s->pictures_->info();
  s->width_ = info.width;
  s->height_ = info.height;
  s->frames_ = std::max<int64_t>(1, info.frame_count);

  s->effect_ = std::make_unique<host::EffectHost>(module);
  std::string module_message;
  if (!host::SetUpEffect(*s->effect_, module_message, error)) return nullptr;
  if (s->effect_->SequenceSetup().err != FxErr_None) {
    error = module.path + ": the effect made no per-instance record";
    return nullptr;
  }
  if (!host::ApplyMaskDocument(*s->effect_, doc, error)) return nullptr;
  s->effect_->AttachClip(host::ClipFromReader(std::move(engine_reader)));
  s->editor_ = std::make_unique<host::LiveEditor>(*s->effect_, host::ViewTransform{}, s->width_, s->height_);
  return s;
}

StudioSession::~StudioSession() {
  render_.stop = true;
  if (render_.thread.joinable()) render_.thread.join();
  editor_.reset();
  if (effect_) effect_->WaitForAnalyses(kPressTimeoutMs);
}

std::string StudioSession::StateLocked(bool ok, const std::string& error) {
  Json state;
  state["ok"] = ok;
  if (!ok) state["error"] = error;
  state["frame"] = frame_;
  state["frames"] = frames_;
  state["width"] = width_;
  state["height"] = height_;
  state["overlay"] = overlay_version_;
  state["gesture"] = editor_->gesture_in_progress();
  state["zoom"] = editor_->view().zoom;
  state["offset"] = {editor_->view().offset_x, editor_->view().offset_y};
  Json keys = Json::array();
  for (const auto& [frame, bytes] : effect_->params().at(host::kMaskPathParam).values) keys.push_back(frame);
  state["keyframes"] = keys;
  for (const MatteParam& p : kMatteParams) state[p.name] = effect_->params().NumberAt(p.index, frame_);
  {
    std::lock_guard lock(render_.mutex);
    state["render"] = {{"running", render_.running}, {"done", render_.done}, {"frames", render_.frames},
                       {"total", render_.total}, {"error", render_.error}, {"output", options_.render_to}};
  }
  return state.dump();
}

std::string StudioSession::State() {
  std::lock_guard lock(mutex_);
  return StateLocked(true, "");
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
  const std::string document = options_.render_to + ".mask-tmp.json";
  if (!host::WriteMaskDocument(document, host::DocumentFromParams(*effect_, width_, height_), error)) return false;
  render_.running = true;
  render_.done = false;
  render_.frames = render_.total = 0;
  render_.error.clear();
  render_.stop = false;
  host::RenderOptions options;
  options.input = options_.input;
  options.mask_path = document;
  options.output = options_.render_to;
  render_.thread = std::thread([this, options, document] {
    const host::RenderResult result = host::RenderClip(
        module_, options,
        [this](const host::RenderProgress& p) {
          std::lock_guard lock(render_.mutex);
          render_.frames = p.done;
          render_.total = p.total;
        },
        &render_.stop);
    std::remove(document.c_str());
    std::lock_guard lock(render_.mutex);
    render_.running = false;
    render_.done = result.exit_status == 0;
    render_.frames = result.frames;
    render_.error = result.error;
  });
  return true;
}

bool StudioSession::Save(std::string& error) {
  if (options_.output.empty()) {
    error = "no output document was given (start the studio with -o)";
    return false;
  }
  const host::MaskDocument doc = host::DocumentFromParams(*effect_, width_, height_);
  return host::WriteMaskDocument(options_.output, doc, error);
}

std::string StudioSession::Handle(const std::string& message) {
  std::lock_guard lock(mutex_);
  if (message.size() > kMaxMessageBytes) return StateLocked(false, "message too long");
  Json m;
  std::string error;
  if (!host::ParseJsonText(message, m, error)) return StateLocked(false, "bad message: " + error);
  if (!m.is_object() || !m.contains("type") || !m["type"].is_string()) return StateLocked(false, "bad message: no type");
  const std::string type = m["type"];
  const auto number = [&](const char* name, double& out) {
    if (!m.contains(name) || !m[name].is_number()) return false;
    out = m[name].get<double>();
    return std::isfinite(out);
  };
  if (type == "event") {
    std::vector<host::EditEvent> events;
    if (!m.contains("event") || !host::ParseEditEvent(m["event"].dump(), events, error))
      return StateLocked(false, "bad event: " + error);
    for (const host::EditEvent& e : events)
      if (!editor_->Apply(e, frame_, error)) return StateLocked(false, error);
    ++overlay_version_;
  } else if (type == "hover") {
    double x = 0, y = 0;
    if (!number("x", x) || !number("y", y)) return StateLocked(false, "bad hover");
    Json state = Json::parse(StateLocked(true, ""));
    state["cursor"] = editor_->Cursor(frame_, x, y, 0);
    return state.dump();
  } else if (type == "frame") {
    double f = 0;
    if (!number("frame", f) || f < 0 || f >= double(frames_)) return StateLocked(false, "bad frame");
    frame_ = int64_t(f);
    ++overlay_version_;
  } else if (type == "view") {
    double zoom = 1, x = 0, y = 0;
    if (!number("zoom", zoom) || zoom < 1.0 / 16 || zoom > 16 || !m.contains("offset") || !m["offset"].is_array() ||
        m["offset"].size() != 2 || !m["offset"][0].is_number() || !m["offset"][1].is_number())
      return StateLocked(false, "bad view");
    x = m["offset"][0].get<double>(), y = m["offset"][1].get<double>();
    if (!(std::fabs(x) <= 1e6 && std::fabs(y) <= 1e6)) return StateLocked(false, "bad view");
    editor_->SetView({zoom, x, y});
    double w = 0, h = 0;
    if (number("width", w) && number("height", h) && w >= 1 && h >= 1 && w <= 8192 && h <= 8192)
      editor_->SetViewSize(int32_t(w), int32_t(h));
    ++overlay_version_;
  } else if (type == "param") {
    double value = 0;
    const std::string name = m.contains("name") && m["name"].is_string() ? m["name"].get<std::string>() : "";
    const auto* p = std::find_if(std::begin(kMatteParams), std::end(kMatteParams),
                                 [&](const MatteParam& q) { return name == q.name; });
    if (p == std::end(kMatteParams) || !number("value", value) || value < p->low || value > p->high)
      return StateLocked(false, "bad param");
    host::StoreNumberAtFrame(effect_->params(), p->index, frame_, value);
    ++overlay_version_;
  } else if (type == "track") {
    const std::string direction = m.contains("direction") && m["direction"].is_string() ? m["direction"].get<std::string>() : "";
    if (direction != "forward" && direction != "backward") return StateLocked(false, "bad track direction");
    const bool forward = direction == "forward";
    if ((forward && frame_ + 1 >= frames_) || (!forward && frame_ == 0))
      return StateLocked(false, forward ? "already at the last frame" : "already at the first frame");
    const host::EffectHost::TrackPress press = effect_->PressTrack(frame_, forward, kPressTimeoutMs);
    if (const std::string why = host::PressFailure(press, kPressTimeoutMs); !why.empty())
      return StateLocked(false, why);
    frame_ += forward ? 1 : -1;
    ++overlay_version_;
    if (!press.warnings.empty()) return StateLocked(false, press.warnings.front());
  } else if (type == "save") {
    if (!Save(error)) return StateLocked(false, error);
  } else if (type == "render") {
    if (!StartRender(error)) return StateLocked(false, error);
  } else if (type == "stop-render") {
    render_.stop = true;
  } else if (type != "state") {
    return StateLocked(false, "unknown message type " + type);
  }
  return StateLocked(true, "");
}

bool StudioSession::FramePng(int64_t frame, std::vector<uint8_t>& png, std::string& error) {
  std::lock_guard lock(mutex_);
  host::RgbaFrame picture;
  if (frame < 0 || frame >= frames_ || !pictures_->ReadFrame(frame, picture, error)) {
    if (error.empty()) error = "no frame " + std::to_string(frame);
    return false;
  }
  return host::EncodePng(picture, png, error);
}

bool StudioSession::OverlayPng(std::vector<uint8_t>& png, std::string& error) {
  std::lock_guard lock(mutex_);
  return host::EncodePng(editor_->DrawOverlay(frame_), png, error);
}

bool StudioSession::MattePng(std::vector<uint8_t>& png, std::string& error) {
  std::lock_guard lock(mutex_);
  host::RgbaFrame picture;
  if (!pictures_->ReadFrame(frame_, picture, error)) {
    if (error.empty()) error = "no frame " + std::to_string(frame_);
    return false;
  }
  // The effect writes alpha into the frame it renders; the colour bytes do not matter here.
  FxWorld world{picture.pixels.data(), picture.width * 4, picture.width, picture.height, FxPixelFormat_bgra};
  const host::CommandResult result = effect_->RenderFrame(frame_, world);
  if (result.err != FxErr_None) {
    error = "the effect failed with error " + std::to_string(result.err);
    return false;
  }
  for (size_t i = 0; i < picture.pixels.size(); i += 4) {
    const uint8_t a = picture.pixels[i + 3];
    picture.pixels[i] = picture.pixels[i + 1] = picture.pixels[i + 2] = a;
    picture.pixels[i + 3] = 255;
  }
  return host::EncodePng(picture, png, error);
}

}  // namespace studio
