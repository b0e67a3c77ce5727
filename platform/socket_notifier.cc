#include "platform/socket_notifier.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/winsock.h"

namespace win {
namespace sockets {
namespace {

// The error FD_CLOSE carries: a reset, or an abort for any other failure.
int CloseErrorFrom(int err) {
  if (err == 0) return 0;
  return (err == ECONNRESET || err == EPIPE) ? WSAECONNRESET : WSAECONNABORTED;
}

}  // namespace

void ClearRegistration(SocketRec& rec) {
  if (rec.watcher) rec.watcher->Remove(&rec);
  rec.watcher.reset();
  rec.window = nullptr;
  rec.message = 0;
  rec.mask = 0;
}

void SocketWatcher::Unregister(HWND window, bool all) {
  for (auto& rec : Snapshot()) {
    std::lock_guard<std::mutex> guard(rec->lock);
    if (rec->watcher.get() == this && (all || rec->window == window)) ClearRegistration(*rec);
  }
}

namespace {

// What to poll for; *now is set when a notification is owed without waiting. Caller holds the lock.
short WantedEvents(const SocketRec& rec, bool* now) {
  *now = false;
  if (rec.closed || rec.quiet || !rec.watcher) return 0;
  if (rec.connect_pending && rec.state != State::kConnecting) *now = true;
  short events = 0;
  const long mask = rec.mask;
  if (!rec.IsStream()) {
    if ((mask & FD_READ) && rec.read_enabled) events |= POLLIN;
    if ((mask & FD_WRITE) && rec.write_enabled) events |= POLLOUT;
    return events;
  }
  switch (rec.state) {
    case State::kConnecting:
      events |= POLLOUT;  // failures come as POLLERR/POLLHUP
      break;
    case State::kListening:
      if ((mask & FD_ACCEPT) && rec.accept_enabled) events |= POLLIN;
      break;
    case State::kConnected:
      if ((mask & FD_READ) && rec.read_enabled && !rec.read_done) {
        events |= POLLIN | POLLRDHUP;
      } else if ((mask & FD_CLOSE) && !(mask & FD_READ) && !rec.close_sent) {
        events |= POLLRDHUP;
      }
      if ((mask & FD_WRITE) && rec.write_enabled) events |= POLLOUT;
      break;
    default:
      break;  // an unconnected stream socket polls as hung up on Linux: nothing to watch yet
  }
  return events;
}

}  // namespace

bool SocketWatcher::Prepare(std::vector<PollItem>* items) {
  round_.clear();
  bool now_any = false;
  for (auto& rec : Snapshot()) {
    bool now = false;
    short events;
    {
      std::lock_guard<std::mutex> guard(rec->lock);
      if (rec->watcher.get() != this) continue;
      events = WantedEvents(*rec, &now);
    }
    if (events == 0 && !now) continue;
    now_any = now_any || now;
    size_t index = kNotPolled;
    if (events != 0) {
      index = items->size();
      items->push_back(PollItem{rec->fd, events, 0});
    }
    round_.push_back(Entry{rec, index});
  }
  return now_any;
}

void SocketWatcher::Collect(const std::vector<PollItem>& items) {
  for (auto& entry : round_) {
    short revents = entry.index == kNotPolled ? 0 : items[entry.index].revents;
    std::lock_guard<std::mutex> guard(entry.rec->lock);
    if (entry.rec->watcher.get() == this && !entry.rec->closed) Evaluate(*entry.rec, revents);
  }
  round_.clear();  // holding no socket between rounds keeps closesocket's descriptor close prompt
}

bool FinishConnect(SocketRec& rec, short revents) {
  if (rec.state != State::kConnecting || !(revents & (POLLOUT | POLLERR | POLLHUP))) return false;
  int err = TakeSocketErrno(rec.fd);
  if (err == 0 && !(revents & POLLOUT)) err = ENOTCONN;
  rec.connect_errno = err;
  if (err != 0) {
    rec.state = State::kFailed;
    rec.pending_so_error = WsaFromErrno(err);
  } else {
    rec.state = State::kConnected;
    rec.bound = true;
  }
  return true;
}

// Turns readiness into notifications by the re-enabling rules. Caller holds rec.lock.
void SocketWatcher::Evaluate(SocketRec& rec, short revents) {
  std::shared_ptr<MessageQueue> queue = queue_.lock();
  if (!queue) return;
  bool changed = false;
  auto post = [&](long event, int error) {
    if (rec.mask & event) {
      internal::PostToQueue(
          *queue, rec.window, rec.message, rec.id,
          WSAMAKESELECTREPLY(static_cast<unsigned>(event), static_cast<unsigned>(error)));
    }
    changed = true;
  };
  auto post_close = [&](int error) {
    rec.read_done = true;
    if (!rec.close_sent && (rec.mask & FD_CLOSE)) {
      rec.close_sent = true;
      post(FD_CLOSE, error);
    }
    changed = true;
  };

  if (rec.connect_pending) {
    if (FinishConnect(rec, revents)) changed = true;
    if (rec.state != State::kConnecting) {
      rec.connect_pending = false;
      if (rec.connect_errno != 0) rec.write_enabled = false;
      post(FD_CONNECT, WsaFromErrno(rec.connect_errno));
    }
  }
  if (revents == 0) return;

  if (!rec.IsStream()) {
    if ((rec.mask & FD_WRITE) && rec.write_enabled && (revents & POLLOUT)) {
      rec.write_enabled = false;
      post(FD_WRITE, 0);
    }
    if ((rec.mask & FD_READ) && rec.read_enabled && (revents & (POLLIN | POLLERR))) {
      rec.read_enabled = false;
      post(FD_READ, 0);
    }
  } else if (rec.state == State::kListening) {
    if ((rec.mask & FD_ACCEPT) && rec.accept_enabled && (revents & POLLIN)) {
      rec.accept_enabled = false;
      post(FD_ACCEPT, 0);
    }
  } else if (rec.state == State::kConnected) {
    if ((rec.mask & FD_WRITE) && rec.write_enabled && (revents & POLLOUT)) {
      rec.write_enabled = false;
      post(FD_WRITE, 0);
    }
    const short hangup = POLLRDHUP | POLLHUP | POLLERR;
    if ((rec.mask & FD_READ) && rec.read_enabled && !rec.read_done &&
        (revents & (POLLIN | hangup))) {
      int available = 0;
      if (::ioctl(rec.fd, px::kFionRead, &available) != 0) available = 0;
      char probe;
      ssize_t n = available > 0 ? 1 : ::recv(rec.fd, &probe, 1, ::MSG_PEEK | ::MSG_DONTWAIT);
      if (n > 0) {
        rec.read_enabled = false;
        post(FD_READ, 0);
      } else if (n == 0) {
        post_close(rec.close_error);
      } else if (errno != EAGAIN && errno != EINTR) {
        // The peek took the error from the socket: keep it for the caller's next recv.
        rec.pending_recv_errno = errno;
        rec.close_error = CloseErrorFrom(errno);
        post_close(rec.close_error);
      }
    } else if ((rec.mask & FD_CLOSE) && !(rec.mask & FD_READ) && !rec.close_sent &&
               (revents & hangup)) {
      if (revents & POLLERR) {
        int err = TakeSocketErrno(rec.fd);
        if (err != 0) {
          rec.pending_recv_errno = err;
          rec.close_error = CloseErrorFrom(err);
        }
      }
      post_close(rec.close_error);
    }
  }
  if (!changed) rec.quiet = true;
}

void Rearm(SocketRec& rec, bool SocketRec::*flag) {
  std::shared_ptr<MessageQueue> queue;
  {
    std::lock_guard<std::mutex> guard(rec.lock);
    if (!rec.watcher) {
      rec.*flag = true;
      return;
    }
    bool was = rec.*flag;
    rec.*flag = true;
    bool was_quiet = rec.quiet;
    rec.quiet = false;
    if (was && !was_quiet) return;
    queue = rec.queue.lock();
  }
  if (queue && !internal::IsCallingThreadQueue(*queue)) internal::WakeQueue(*queue);
}

void WakeOwner(SocketRec& rec) {
  std::shared_ptr<MessageQueue> queue;
  {
    std::lock_guard<std::mutex> guard(rec.lock);
    if (!rec.watcher) return;
    queue = rec.queue.lock();
  }
  if (queue && !internal::IsCallingThreadQueue(*queue)) internal::WakeQueue(*queue);
}

}  // namespace sockets

using namespace sockets;

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long events) {
  auto rec = Lookup(s);
  if (!rec) return SOCKET_ERROR;
  if (events == 0) {
    std::lock_guard<std::mutex> guard(rec->lock);
    ClearRegistration(*rec);
    return 0;
  }
  std::shared_ptr<MessageQueue> queue = internal::QueueOfWindow(window);
  if (!queue) return Fail(WSAEINVAL);
  std::weak_ptr<MessageQueue> weak = queue;
  auto watcher = std::static_pointer_cast<SocketWatcher>(
      internal::WatcherOf(*queue, [&] { return std::make_shared<SocketWatcher>(weak); }));
  if (!watcher) return Fail(WSAEINVAL);
  {
    std::lock_guard<std::mutex> guard(rec->lock);
    if (!SetNonBlocking(rec->fd, true)) return FailErrno(errno);
    rec->nonblocking = true;
    if (rec->watcher != watcher) ClearRegistration(*rec);
    rec->watcher = watcher;
    rec->queue = queue;
    rec->window = rec->last_window = window;
    rec->message = rec->last_message = message;
    rec->mask = events;
    rec->read_enabled = rec->write_enabled = rec->accept_enabled = true;
    rec->quiet = false;
    watcher->Add(rec);
  }
  if (!internal::IsCallingThreadQueue(*queue)) internal::WakeQueue(*queue);
  return 0;
}

}  // namespace win
