// What the studio's page works on: one effect instance on the clip, the mask being edited in a
// view, the frame shown, and the messages the page sends (actions, frame changes, zoom, track
// presses, matte values, save), each answered with the state the page shows.
#pragma once

#include <cstdint>
#include <memory>
#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "host/effect_host.h"
#include "host/live_edit.h"
#include "host/media.h"
#include "host/module_loader.h"

namespace studio {

inline constexpr size_t kMaxMessageBytes = 64 * 1024;

struct StudioOptions {
  std::string input;      // the clip
  std::string mask_path;  // the document to start from; empty: nothing drawn
  std::string output;     // where save writes; empty: save refused
  std::string render_to;  // where render writes (as maskfx render's OUTPUT); empty: render refused
};

class StudioSession {
 public:
  // Null with a one-line error when the clip, the document or the module cannot be had.
  static std::unique_ptr<StudioSession> Open(const host::LoadedModule& module, const StudioOptions& options,
                                             std::string& error);
  ~StudioSession();

  // One message from the page (JSON); the reply (JSON) with "ok" and the state, or "ok": false
  // and "error". A bad message changes nothing. Safe from several connections at once.
  std::string Handle(const std::string& message);
  std::string State();

  // The clip's frame `frame`, and the overlay of the current frame in the current view, as PNG.
  bool FramePng(int64_t frame, std::vector<uint8_t>& png, std::string& error);
  bool OverlayPng(std::vector<uint8_t>& png, std::string& error);
  // The matte the effect renders on the current frame (its render command), as grey levels.
  bool MattePng(std::vector<uint8_t>& png, std::string& error);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }

 private:
  StudioSession() = default;
  std::string StateLocked(bool ok, const std::string& error);
  bool Save(std::string& error);

  std::mutex mutex_;
  StudioOptions options_;
  host::LoadedModule module_;
  // A render runs on a thread of its own; the page polls its progress through the state.
  struct RenderState {
    std::mutex mutex;
    bool running = false, done = false;
    int64_t frames = 0, total = 0;
    std::string error, written;
    std::atomic<bool> stop{false};
    std::thread thread;
  };
  RenderState render_;
  bool StartRender(std::string& error);
  std::unique_ptr<host::EffectHost> effect_;
  std::unique_ptr<host::MediaReader> pictures_;  // frames for the page; the engine has its own reader
  std::unique_ptr<host::LiveEditor> editor_;
  int64_t frame_ = 0, frames_ = 0;
  int32_t width_ = 0, height_ = 0;
  uint64_t overlay_version_ = 0;
};

}  // namespace studio
