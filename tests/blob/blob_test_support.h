// A blob client wired to a recording event sink, for the blob client and listing tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "blob/blob_client.h"

namespace blobtest {

struct Event {
  int slot;
  std::vector<std::string> args;
};

// Records every event with its arguments as texts, checking each event's argument shape.
class RecordingSink : public tw::EventSink {
 public:
  void SetCodePage(int code_page) override { last_code_page = code_page; }
  int Fire(int slot, std::span<void* const> args) override {
    // t text, i int32, l int64; the answer parameters are int32 too.
    static constexpr const char* kShapes[] = {"",     "ttitlttttiii", "tii", "tttii", "i",
                                              "it",   "iii",          "tt",  "itt",   "ttttt",
                                              "t",    "illi",         "titttI", "t",  "i",
                                              "ilitI"};
    Event e{slot, {}};
    const char* shape = slot >= 1 && slot <= 15 ? kShapes[slot] : "";
    if (args.size() != std::strlen(shape)) {
      e.args.push_back("<shape mismatch: " + std::to_string(args.size()) + " args>");
    } else {
      for (size_t k = 0; k < args.size(); ++k) {
        switch (shape[k]) {
          case 't':
            e.args.emplace_back(static_cast<const char*>(args[k]));
            break;
          case 'l':
            e.args.push_back(std::to_string(*static_cast<int64_t*>(args[k])));
            break;
          default:
            e.args.push_back(std::to_string(*static_cast<int32_t*>(args[k])));
            break;
        }
      }
    }
    events.push_back(std::move(e));
    return 0;
  }
  std::vector<Event> Of(int slot) const {
    std::vector<Event> out;
    for (const Event& e : events) {
      if (e.slot == slot) out.push_back(e);
    }
    return out;
  }
  int Count(int slot) const { return static_cast<int>(Of(slot).size()); }

  std::vector<Event> events;
  int last_code_page = -1;
};

class TestClient : public tw::BlobClient {
 public:
  TestClient() {
    set_event_sink(&sink);
    initialized = Initialize();
    SetTimeout(15, true);
  }
  ~TestClient() override { set_event_sink(nullptr); }

  // Points the client at a loopback service: http, account.blob.localhost:port.
  void UsePlainService(const std::string& account, int port) {
    set_use_ssl(false);
    this->account().SetText(account.c_str());
    SetEndpoint((".localhost:" + std::to_string(port)).c_str());
  }
  int Set(const std::string& setting) { return ConfigText(setting.c_str(), nullptr); }
  std::string Get(const std::string& name) {
    const char* answer = "";
    ConfigText(name.c_str(), &answer);
    return answer ? answer : "";
  }
  std::string Error() const { return error_text().c_str(); }
  std::string Url(const char* container, const char* blob) {
    tw::ByteString url;
    if (BuildRequestUrl(container, blob, &url) != 0) return "<failed>";
    return std::string(url.data(), static_cast<size_t>(url.length()));
  }

  RecordingSink sink;
  bool initialized = false;
};

inline std::string Str(const tw::ByteString& s) {
  return std::string(s.data(), static_cast<size_t>(s.length()));
}

}  // namespace blobtest
