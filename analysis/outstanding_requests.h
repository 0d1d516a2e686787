// The renders a job has in flight, shared between the job's thread and the host's render threads
// that complete them, and the gates a fetch waits on until a frame's render has completed.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "platform/runtime/gate.h"
#include "platform/runtime/guid.h"
#include "platform/sdk/media_suites.h"

namespace vsa {

// A frame identifier's GUID as two signed 64-bit halves, the first eight bytes high.
struct FrameKey {
  int64_t high = 0;
  int64_t low = 0;
  friend auto operator<=>(const FrameKey&, const FrameKey&) = default;
};
FrameKey FrameKeyOf(const qrs::GUID& guid);

struct OutstandingRequests {
  std::mutex mutex;
  std::map<int32_t, FrameKey> by_id;
  std::map<FrameKey, int32_t> by_key;
  std::map<FrameKey, boost::shared_ptr<qrs::Gate>> gates;

  // Enters a started render. Caller holds the mutex.
  void Enter(int32_t request_id, const FrameKey& key);
  // Forgets a render; false when it was not in flight. Caller holds the mutex.
  bool Remove(int32_t request_id);
  // Takes every render out of flight and returns their ids. Takes the mutex.
  std::vector<int32_t> TakeAll();
};

// One started render. The requester creates it and hands it to the host with the render; from
// then on whoever sees the other side finish frees it: the completion callback once the
// requester has entered the render (`issued`), else the requester (`completed_early`).
struct FrameRequestRecord {
  int32_t request_id = -1;
  FrameKey key;
  boost::shared_ptr<OutstandingRequests> requests;
  const FxPixSuite* pix = nullptr;
  bool completed_early = false;
  bool issued = false;
};

// The completion callback given to the host with every render; user_data is the record.
void FrameRendered(FxPixHandle buffer, void* user_data);

}  // namespace vsa
