// What the studio's pages work on: the document's masks, each an effect instance of its own on
// the clip, one of them selected for editing, and for each page (each open connection of the
// page) its own view, frame and gesture. The messages a page sends (actions, frame changes, zoom,
// track presses, matte values, the list of masks, save) are each answered with the state that
// page shows.
//
// One gesture at a time: the effect keeps one interaction state for the mask, so while one page
// holds the mouse button down on the mask, the other pages' edits are refused until it lets go
// (or closes, which releases it). Their views, frames and pictures go on as before.
//
// Long work (a track press, an edit that redraws a large mask, a matte) holds the effect's lock;
// the state of a page is answered from a copy made after each action, frames come from a reader
// of their own, and an overlay asked for while the effect is busy is the page's last one, so no
// page waits on another page's long action to see where it is.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "host/documents/mask_document.h"
#include "host/documents/mask_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/live_edit.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/track_job.h"
#include "host/media/media.h"

namespace studio {

inline constexpr size_t kMaxMessageBytes = 64 * 1024;
// The motion a mask that names none is tracked with.
inline constexpr const char* kDefaultMotion = "perspective";
// Changes undo can take back; the oldest go first.
inline constexpr size_t kMaxUndoSteps = 200;
inline constexpr int kPictureJpegQuality = 90;

struct StudioOptions {
  std::string input;      // the clip
  std::string mask_path;  // the document to start from; empty: nothing drawn
  std::string output;     // where save writes; empty: save refused
  std::string render_to;  // where render writes (as maskfx render's OUTPUT); empty: render refused
  // Where changes not saved are written every autosave_ms; empty: nowhere. A file there at the
  // start is offered to the pages, and autosave waits until they recover or discard it.
  std::string recovery;
  int autosave_ms = 2000;
};

using PageId = uint64_t;
// The page that requests naming no page of their own (and Handle without a page) work on.
inline constexpr PageId kFirstPage = 1;

class StudioSession {
 public:
  // Null with a one-line error when the clip, the document or the module cannot be had.
  static std::unique_ptr<StudioSession> Open(const host::LoadedModule& module, const StudioOptions& options,
                                             std::string& error);
  ~StudioSession();  // stops a render in flight and waits for it

  // A page opens with its own view (at zoom 1), at frame 0. Closing it releases a gesture it
  // left in progress (the tab closed mid-drag) and nobody else's.
  PageId OpenPage();
  void ClosePage(PageId page);

  // One message from a page (JSON); the reply (JSON) with "ok" and the page's state, or "ok":
  // false and "error". A bad message changes nothing. Safe from several threads at once.
  std::string Handle(PageId page, const std::string& message);
  std::string Handle(const std::string& message) { return Handle(kFirstPage, message); }
  // The page's state as of its last action or anybody's edit; never waits on the effect.
  std::string State(PageId page = kFirstPage);

  // The clip's frame `frame` (never waits on the effect), the overlay of the page's frame in its
  // view (over the previous frame's, faint, where the page asked for it), and the matte the effect
  // renders on the page's frame (its render command) as grey levels, each as PNG. False with a
  // one-line error for a page that is not open.
  bool FramePng(int64_t frame, std::vector<uint8_t>& png, std::string& error);
  // The same picture as JPEG (kPictureJpegQuality), a fraction of a PNG's encoding time: what the
  // page shows, where no pixel is measured.
  bool FrameJpeg(int64_t frame, std::vector<uint8_t>& jpeg, std::string& error);
  // With `origin`, only the part where something is drawn, and where its top left corner goes in
  // the view: a fraction of the pixels to encode and send.
  struct Origin {
    int32_t x = 0, y = 0;
  };
  bool OverlayPng(PageId page, std::vector<uint8_t>& png, std::string& error, Origin* origin = nullptr);
  bool OverlayPng(std::vector<uint8_t>& png, std::string& error) { return OverlayPng(kFirstPage, png, error); }
  bool MattePng(PageId page, std::vector<uint8_t>& png, std::string& error);
  // The page's frame reddened half-way where the matte is clear, as JPEG.
  bool TintedMatteJpeg(PageId page, std::vector<uint8_t>& jpeg, std::string& error);
  bool MattePng(std::vector<uint8_t>& png, std::string& error) { return MattePng(kFirstPage, png, error); }

  // Ends a render in flight after the frames it is on and waits for it (its files removed).
  void StopRender();
  // Removes what the session wrote for itself (a render's copy of the mask) without waiting.
  void RemoveTemporaryFiles();
  // True when the mask changed since it was last saved (or since the start).
  bool unsaved_changes();
  // Ends autosaving with a last write: the recovery file's path when it holds changes not saved,
  // empty when there were none (a file this session wrote is then removed) or nowhere to keep
  // them. A recovery file offered and not yet recovered or discarded is left as it was.
  std::string EndAutosave();

  // Runs inside every action while it holds the effect, before the action: tests stand a slow
  // edit in for the real thing with it.
  void SetActionHookForTesting(std::function<void()> hook);
  // Runs on the render's thread after each frame it writes, with the count written so far.
  void SetRenderHookForTesting(std::function<void(int64_t)> hook);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }

 private:
  struct Page {
    std::unique_ptr<host::LiveEditor> editor;
    int64_t frame = 0;
    // The latest overlay drawn for this page, as PNG, whole and cropped (pages' lock).
    std::vector<uint8_t> last_overlay, last_cropped;
    Origin last_origin;
    // The mask version of the latest change another page (or a page's closing) made: a press
    // from a page that had not seen it is refused, as it aimed at an outline no longer there.
    uint64_t changed_elsewhere = 0;
    bool onion = false;         // the previous frame's outline drawn faintly under the overlay
    std::set<uint64_t> hidden;  // masks whose outlines this page leaves out
  };
  // What the press that keyed a frame did.
  struct PressMark {
    std::string text;
    host::PressQuality quality = host::PressQuality::kGood;
  };
  using PressMarks = std::map<int64_t, PressMark>;
  // One mask of the document: its own effect instance (its keyframes, matte values, motion and
  // mode are the effect's parameters) and what the presses that keyed its frames did, until the
  // user edits those frames.
  struct Layer {
    uint64_t id = 0;  // the pages' name for it, kept through renames and moves
    std::string name;
    std::unique_ptr<host::EffectHost> effect;
    PressMarks marks;
  };
  // What undo and redo bring back: the masks in order, each one's name, every parameter's values
  // over time and the presses' marks, and which was selected.
  struct LayerState {
    uint64_t id = 0;
    std::string name;
    std::vector<host::StoredParam> params;
    PressMarks marks;
  };
  struct MaskState {
    std::vector<LayerState> layers;
    uint64_t selected = 0;
  };
  struct UndoStep {
    MaskState before;
    std::string group;  // consecutive changes of one group (a track to the end) undo as one
  };
  struct RenderState {
    std::mutex mutex;
    bool running = false, done = false;
    int64_t frames = 0, total = 0;
    std::string error, document;  // document: the render's copy of the mask while it runs
    std::atomic<bool> stop{false};
    std::thread thread;
    std::function<void(int64_t)> hook;
  };

  StudioSession() = default;
  std::shared_ptr<Page> FindPage(PageId id);
  void MarkChangedElsewhereLocked(PageId by);
  std::string AtClipEnd(const Page& page, bool forward) const;
  // The page's state now, with ok, the error and `fields` (a JSON object); the effect's lock held.
  std::string ReplyLocked(PageId id, Page& page, bool ok, const std::string& error, const nlohmann::json& fields);
  std::string PageStateLocked(Page& page);
  nlohmann::json PageStateJsonLocked(Page& page);
  void RefreshStatesLocked();
  void WorkOnProxyOf(const host::MaskDocument& doc);
  // A new mask on the clip holding `mask` (its values scaled to a proxy), or null with `error`.
  std::unique_ptr<host::EffectHost> NewMaskEffect(const host::MaskDocument& mask, std::string& error);
  // The masks of `doc` in place of the session's, the first selected; false with `error` and
  // nothing changed when one cannot be set up.
  bool TakeDocumentLocked(const host::MaskDocument& doc, std::string& error);
  Layer* FindLayer(uint64_t id);
  // Makes layers_[index] the one edited: every page's editor is bound to it, views kept.
  void SelectLayerLocked(size_t index);
  // The values a page may give a matte parameter, and the part its slider spans, in the
  // session's pixels.
  host::MatteRange RangeOf(const host::MatteParam& p) const;
  host::MatteRange SliderOf(const host::MatteParam& p) const;
  // The mask as a document, in the document's own pixels (under effect_mutex_).
  host::MaskDocument Document() const;
  std::string Act(PageId id, Page& page, const std::string& message);

 public:
  // A message as its handler sees it; each handler returns the error, or empty when done.
  struct Request;

 private:
  std::string OnEvent(Request& r);
  std::string OnHover(Request& r);
  std::string OnFrame(Request& r);
  std::string OnView(Request& r);
  std::string OnParam(Request& r);
  std::string OnMotion(Request& r);
  std::string OnTrack(Request& r);
  std::string OnTrackRun(Request& r);
  std::string OnStopRun(Request& r);
  // One press from the page's frame of each mask in `ids` (the selected one, or every mask that
  // has an outline), the page moving on once all have pressed. The press's quality and report go
  // in `press` (a JSON object) where the effect reported one: of several, the least trustworthy,
  // and each under "masks". The error, or the first warning.
  std::string PressMasksLocked(Page& page, const std::vector<uint64_t>& ids, bool forward, nlohmann::json& press);
  std::vector<uint64_t> MasksToTrack(const Request& r);
  void RunPresses(std::shared_ptr<Page> page, std::vector<uint64_t> ids, bool forward, bool stop_weak, bool until_key,
                  std::string group);
  void StopRun();
  std::string OnSave(Request& r);
  std::string OnRender(Request& r);
  std::string OnStopRender(Request& r);
  std::string OnState(Request& r);
  std::string OnUndo(Request& r);
  std::string OnRedo(Request& r);
  std::string OnDeleteKeyframe(Request& r);
  std::string OnClearKeyframes(Request& r);
  std::string OnDeleteMask(Request& r);
  std::string OnVertexKind(Request& r);
  std::string OnOnion(Request& r);
  std::string OnMaskAdd(Request& r);
  std::string OnMaskSelect(Request& r);
  std::string OnMaskRename(Request& r);
  std::string OnMaskRemove(Request& r);
  std::string OnMaskMove(Request& r);
  std::string OnMaskMode(Request& r);
  std::string OnMaskShow(Request& r);
  // The mask the message names by "id", or null with the error.
  Layer* NamedLayer(Request& r, std::string& error);
  std::string NameTaken(const std::string& name, const Layer* layer) const;
  std::string FreeName(size_t from) const;
  host::RgbaFrame OverlayOf(Page& page);
  MaskState MaskStateLocked() const;
  // False with `error` (nothing changed) when a mask the state holds cannot be set up again.
  bool RestoreMaskStateLocked(const MaskState& state, std::string& error);
  // Whether the masks hold what `state` holds: names, order and values (marks and ids aside).
  bool SameMasksLocked(const MaskState& state) const;
  std::string StepBackLocked(std::deque<UndoStep>& from, std::deque<UndoStep>& to, const char* none);
  // After an undoable action: `before` goes on the undo list when the mask changed (at the end
  // of a gesture, for one in progress).
  void RecordChangeLocked(MaskState before, const std::string& group);
  // Removes the mask's keyframes from `first` to `last` and their marks; how many went.
  size_t EraseKeyframesLocked(int64_t first, int64_t last);
  bool Save(const std::string& path, std::string& error);
  std::string OnRecover(Request& r);
  std::string OnDiscardRecovery(Request& r);
  void AutosaveLoop();
  void AutosaveLocked();
  bool UnsavedLocked();
  bool StartRender(std::string& error);
  std::string RenderStateJson();
  bool ReadPicture(int64_t frame, host::RgbaFrame& picture, std::string& error);
  bool RenderedPicture(PageId id, host::RgbaFrame& picture, std::string& error);

  StudioOptions options_;
  host::LoadedModule module_;

  std::mutex effect_mutex_;    // the masks, the editors, the pages' frames, what follows
  std::vector<Layer> layers_;  // in the order they apply
  size_t selected_ = 0;
  host::EffectHost* effect_ = nullptr;                      // the selected mask's, which the pages' editors edit
  PressMarks& Marks() { return layers_[selected_].marks; }  // and its marks
  uint64_t next_layer_id_ = 1;
  uint64_t mask_version_ = 0;
  MaskState saved_;       // the masks as last saved (or read at the start)
  bool unsaved_ = false;  // whether the mask differed from it at unsaved_version_
  uint64_t unsaved_version_ = ~uint64_t{0};
  uint64_t overlay_version_ = 0;
  PageId gesture_page_ = 0;  // the page holding a gesture on the mask, 0 for none
  std::function<void()> action_hook_;

  std::mutex pages_mutex_;  // the table of pages, each page's state copy and last overlay
  std::map<PageId, std::shared_ptr<Page>> pages_;
  std::map<PageId, std::string> states_;
  std::deque<UndoStep> undo_, redo_;
  std::optional<MaskState> gesture_start_;                        // the mask as the gesture in progress found it
  std::vector<uint8_t> MaskBytesOf(Layer& layer, int64_t frame);  // its byte form there; empty without one
  PageId next_page_ = kFirstPage + 1;

  std::mutex pictures_mutex_;
  std::unique_ptr<host::MediaReader> pictures_;  // frames for the pages; the engine has its own reader

  RenderState render_;

  // A track run: presses on its own thread, one at a time under the effect's lock, giving it up
  // between presses to the pages' messages first (waiting_ counts those queued for it).
  struct TrackRun {
    std::thread thread;
    std::atomic<bool> stop{false};
    bool running = false;  // under effect_mutex_, as the rest
    int64_t presses = 0;
    std::string ended;  // why the last run ended
    uint64_t runs = 0;
  } run_;
  std::atomic<int> waiting_{0};

  // Autosave: the recovery file found at the start while it is on offer, and what was written.
  std::optional<host::MaskDocument> offered_;  // under effect_mutex_, as the rest
  std::string offered_error_;                  // why an offered file cannot be read
  uint64_t autosaved_version_ = 0;
  bool recovery_written_ = false;
  std::mutex autosave_mutex_;
  std::condition_variable autosave_wake_;
  bool autosave_ending_ = false;
  std::thread autosave_;
  std::atomic<int64_t> frames_ = 0;  // lowered where the clip ends early (FramePng)
  int32_t width_ = 0, height_ = 0;
  // A clip smaller than the document (a proxy of the shot): the session works in the clip's
  // pixels, feather and expansion scaled by proxy_scale_, and saves in the document's.
  int32_t document_width_ = 0, document_height_ = 0;
  double proxy_scale_ = 1.0;
};

}  // namespace studio
