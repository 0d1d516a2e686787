#include "analysis/outstanding_requests.h"

#include <memory>

namespace vsa {

FrameKey FrameKeyOf(const qrs::GUID& guid) {
  uint64_t high = 0, low = 0;
  for (int i = 0; i < 8; ++i) {
    high = (high << 8) | guid.bytes[size_t(i)];
    low = (low << 8) | guid.bytes[size_t(i) + 8];
  }
  return {static_cast<int64_t>(high), static_cast<int64_t>(low)};
}

void OutstandingRequests::Enter(int32_t request_id, const FrameKey& key) {
  by_id[request_id] = key;
  by_key[key] = request_id;
}

bool OutstandingRequests::Remove(int32_t request_id) {
  const auto it = by_id.find(request_id);
  if (it == by_id.end()) return false;
  const auto key_it = by_key.find(it->second);
  if (key_it != by_key.end() && key_it->second == request_id) by_key.erase(key_it);
  by_id.erase(it);
  return true;
}

std::vector<int32_t> OutstandingRequests::TakeAll() {
  std::lock_guard lock(mutex);
  std::vector<int32_t> ids;
  ids.reserve(by_id.size());
  for (const auto& [id, key] : by_id) ids.push_back(id);
  by_id.clear();
  by_key.clear();
  return ids;
}

void FrameRendered(FxPixHandle buffer, void* user_data) {
  auto* record = static_cast<FrameRequestRecord*>(user_data);
  if (record == nullptr) return;
  // The frame stays in the host's cache; this copy of the handle is not needed.
  if (buffer != nullptr && record->pix != nullptr) record->pix->DisposeBuffer(buffer);
  // Held here so the record (and the job's requests) may go while the lock is still to be left.
  const boost::shared_ptr<OutstandingRequests> requests = record->requests;
  std::unique_ptr<FrameRequestRecord> owned;
  {
    std::lock_guard lock(requests->mutex);
    if (!record->issued) {
      record->completed_early = true;  // the requester has not entered it yet; it frees it
      return;
    }
    // Cancelled renders are already out of flight; their waiters are released all the same.
    const auto gate = requests->gates.find(record->key);
    if (gate != requests->gates.end()) gate->second->Open();
    requests->Remove(record->request_id);
    owned.reset(record);
  }
}

}  // namespace vsa
