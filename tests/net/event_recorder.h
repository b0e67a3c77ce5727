// An event sink for the connection tests: every event a client fires, with its code and texts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "net/tls_client.h"

namespace nettest {

struct Event {
  int slot = 0;
  int code = 0;
  std::string text;
  std::string description;
  std::string data;
  int end_of_record = 0;
};

class Recorder : public tw::EventSink {
 public:
  void SetCodePage(int) override {}
  int Fire(int slot, std::span<void* const> args) override {
    Event e;
    e.slot = slot;
    auto text = [&](size_t i) { return std::string(static_cast<const char*>(args[i])); };
    auto number = [&](size_t i) { return *static_cast<int*>(args[i]); };
    switch (slot) {
      case tw::kEventConnected:
      case tw::kEventDisconnected:
      case tw::kEventError:
        e.code = number(0);
        e.description = text(1);
        break;
      case tw::kEventConnectionStatus:
        e.text = text(0);
        e.code = number(1);
        e.description = text(2);
        break;
      case tw::kEventDataIn: {
        const int length = number(1);
        // The sink reads the block as a text: it must end with a NUL right after its length.
        EXPECT_EQ(static_cast<const char*>(args[0])[length], '\0');
        e.data.assign(static_cast<const char*>(args[0]), static_cast<size_t>(length));
        e.end_of_record = number(2);
        break;
      }
      case tw::kEventSslStatus:
        e.text = text(0);
        break;
      default:
        break;
    }
    events.push_back(e);
    if (on_event) on_event(events.back());
    return 0;
  }

  int Count(int slot) const {
    int n = 0;
    for (const Event& e : events) n += e.slot == slot ? 1 : 0;
    return n;
  }
  const Event* First(int slot) const {
    for (const Event& e : events) {
      if (e.slot == slot) return &e;
    }
    return nullptr;
  }
  std::string Data() const {
    std::string all;
    for (const Event& e : events) {
      if (e.slot == tw::kEventDataIn) all += e.data;
    }
    return all;
  }
  // The texts of the connection-status events, in order.
  std::vector<std::string> Statuses() const {
    std::vector<std::string> all;
    for (const Event& e : events) {
      if (e.slot == tw::kEventConnectionStatus) all.push_back(e.text);
    }
    return all;
  }

  std::vector<Event> events;
  std::function<void(const Event&)> on_event;
};

}  // namespace nettest
