// The frame cache and the pixel buffers the engine hands out: rendered frames kept by identifier
// (frames not announced are evicted, oldest first, beyond a byte limit), and buffers that share
// a cached frame's pixels until disposed.
#include <algorithm>
#include <cstring>

#include "host/media/media_engine.h"
#include "host/media/media_engine_state.h"

namespace host::engine_detail {

std::map<std::string, CacheEntry>::iterator EraseFromCache(Engine& e, std::map<std::string, CacheEntry>::iterator it) {
  e.cache_bytes -= it->second.pixels->size();
  const auto next = e.cache.erase(it);
  e.stats.cached_frames = int64_t(e.cache.size());
  return next;
}

void EvictBeyondLimit(Engine& e) {
  while (e.cache_bytes > kCacheByteLimit) {
    auto oldest = e.cache.end();
    for (auto it = e.cache.begin(); it != e.cache.end(); ++it) {
      if (e.announced.count(it->first)) continue;
      if (oldest == e.cache.end() || it->second.order < oldest->second.order) oldest = it;
    }
    if (oldest == e.cache.end()) return;  // everything left was asked for
    EraseFromCache(e, oldest);
  }
}

FxPixHandle NewBufferLocked(Engine& e, std::shared_ptr<FramePixels> pixels) {
  ++e.stats.outstanding_buffers;
  return new FxOpaquePixBuffer{std::move(pixels)};
}

}  // namespace host::engine_detail

namespace host {
namespace {

using namespace engine_detail;

FxErr DisposeBuffer(FxPixHandle buffer) {
  if (buffer == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  {
    std::lock_guard lock(e.mutex);
    --e.stats.outstanding_buffers;
  }
  delete buffer;
  return FxErr_None;
}

FxErr BufferPixels(FxPixHandle buffer, void** pixels, size_t* byte_count) {
  if (buffer == nullptr || pixels == nullptr) return FxErr_BadCallbackParam;
  *pixels = buffer->pixels->data();
  if (byte_count) *byte_count = buffer->pixels->size();
  return FxErr_None;
}

FxErr BufferBounds(FxPixHandle buffer, FxFrameRect* bounds) {
  if (buffer == nullptr || bounds == nullptr) return FxErr_BadCallbackParam;
  *bounds = {0, 0, buffer->pixels->width, buffer->pixels->height};
  return FxErr_None;
}

FxErr BufferRowBytes(FxPixHandle buffer, int32_t* rowbytes) {
  if (buffer == nullptr || rowbytes == nullptr) return FxErr_BadCallbackParam;
  *rowbytes = buffer->pixels->rowbytes;
  return FxErr_None;
}

FxErr BufferAspect(FxPixHandle buffer, int32_t* num, int32_t* den) {
  if (buffer == nullptr || num == nullptr || den == nullptr) return FxErr_BadCallbackParam;
  *num = buffer->pixels->par_num;
  *den = buffer->pixels->par_den;
  return FxErr_None;
}

FxErr BufferFormat(FxPixHandle buffer, uint32_t* pixel_format) {
  if (buffer == nullptr || pixel_format == nullptr) return FxErr_BadCallbackParam;
  *pixel_format = buffer->pixels->format;
  return FxErr_None;
}

const FxPixSuite kPix = {&DisposeBuffer, &BufferPixels, &BufferBounds, &BufferRowBytes, &BufferAspect, &BufferFormat};

// ---- Frame cache ------------------------------------------------------------------------------

FxErr FindFrame(const char* frame_id, FxPixHandle* buffer) {
  if (frame_id == nullptr || buffer == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const auto it = e.cache.find(frame_id);
  if (it == e.cache.end()) {
    *buffer = nullptr;
    return FxErr_None;
  }
  ++e.stats.cache_hits;
  *buffer = NewBufferLocked(e, it->second.pixels);
  return FxErr_None;
}

FxErr AnnounceFrame(const char* frame_id) {
  if (frame_id == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  e.announced.insert(frame_id);
  return FxErr_None;
}

FxErr RemoveFrame(const char* frame_id) {
  if (frame_id == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  e.announced.erase(frame_id);
  const auto it = e.cache.find(frame_id);
  if (it != e.cache.end()) EraseFromCache(e, it);
  return FxErr_None;
}

const FxPixCacheSuite kPixCache = {nullptr, nullptr,    nullptr,        nullptr,
                                   nullptr, &FindFrame, &AnnounceFrame, &RemoveFrame};

}  // namespace

FxPixHandle NewPixelBuffer(int32_t width, int32_t height, uint32_t format, int32_t par_num, int32_t par_den) {
  const int32_t pixel_bytes = format == FxPixelFormat_BGra ? 16 : 4;
  if (width < 0 || height < 0 || width > (1 << 24) / pixel_bytes || height > (1 << 24)) return nullptr;
  auto pixels = std::make_shared<FramePixels>(width, height, std::max(1, width * pixel_bytes));
  std::memset(pixels->data(), 0, pixels->size());
  pixels->format = format;
  pixels->par_num = par_num;
  pixels->par_den = par_den;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  return NewBufferLocked(e, std::move(pixels));
}

uint8_t* PixelBufferData(FxPixHandle buffer, int64_t* rowbytes) {
  if (buffer == nullptr) return nullptr;
  if (rowbytes) *rowbytes = buffer->pixels->rowbytes;
  return buffer->pixels->data();
}

void DisposePixelBuffer(FxPixHandle buffer) {
  if (buffer) DisposeBuffer(buffer);
}

const FxPixSuite* PixSuite() { return &kPix; }
const FxPixCacheSuite* PixCacheSuite() { return &kPixCache; }

}  // namespace host
