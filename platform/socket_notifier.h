// WSAAsyncSelect: a watcher per message queue polls the registered sockets when the queue waits
// and posts the notifications by the re-enabling rules.
#pragma once

#include "platform/winsock_internal.h"  // first: it takes the system socket headers' macros away

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace win {
namespace sockets {

using internal::PollItem;
using internal::QueueWatcher;

class SocketWatcher : public QueueWatcher {
 public:
  explicit SocketWatcher(std::weak_ptr<MessageQueue> queue) : queue_(std::move(queue)) {}

  void Add(const std::shared_ptr<SocketRec>& rec) {
    std::lock_guard<std::mutex> guard(lock_);
    if (std::find(sockets_.begin(), sockets_.end(), rec) == sockets_.end()) sockets_.push_back(rec);
  }

  void Remove(const SocketRec* rec) {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(sockets_, [rec](const std::shared_ptr<SocketRec>& r) { return r.get() == rec; });
  }

  bool Prepare(std::vector<PollItem>* items) override;
  void Collect(const std::vector<PollItem>& items) override;
  void WindowDestroyed(HWND window) override { Unregister(window, false); }
  void QueueClosed() override { Unregister(nullptr, true); }

 private:
  static constexpr size_t kNotPolled = ~size_t{0};

  struct Entry {
    std::shared_ptr<SocketRec> rec;
    size_t index;
  };

  std::vector<std::shared_ptr<SocketRec>> Snapshot() {
    std::lock_guard<std::mutex> guard(lock_);
    return sockets_;
  }

  void Unregister(HWND window, bool all);
  void Evaluate(SocketRec& rec, short revents);

  std::weak_ptr<MessageQueue> queue_;
  std::mutex lock_;
  std::vector<std::shared_ptr<SocketRec>> sockets_;
  std::vector<Entry> round_;  // between Prepare and Collect, on the owning thread only
};

// Ends a registration; the caller holds rec.lock.
void ClearRegistration(SocketRec& rec);
// After a call that re-enables a notification: sets the flag and lets the owner look again.
void Rearm(SocketRec& rec, bool SocketRec::*flag);
void WakeOwner(SocketRec& rec);
// Settles a connect in progress from the poll result. Caller holds the lock.
bool FinishConnect(SocketRec& rec, short revents);

}  // namespace sockets
}  // namespace win
