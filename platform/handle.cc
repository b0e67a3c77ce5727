#include "platform/handle.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/process_tables.h"

namespace win {
namespace {

// Handle numbers are multiples of 4, as on the home platform, and start well away from 0.
constexpr uintptr_t kFirstHandleId = 0x1000;
constexpr uintptr_t kHandleIdStep = 4;

std::atomic<uintptr_t> next_handle_id{kFirstHandleId};

struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
};

HandleTable& Table() {
  static HandleTable* table = KeepProcessTable(new HandleTable);  // handles may outlive statics
  return *table;
}

}  // namespace

uintptr_t NewHandleId() { return next_handle_id.fetch_add(kHandleIdStep); }

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
  uintptr_t id = NewHandleId();
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  t.objects.emplace(id, std::move(object));
  return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> dropped;  // released outside the lock: its destructor may block
  HandleTable& t = Table();
  {
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    dropped = std::move(it->second);
    t.objects.erase(it);
  }
  return TRUE;
}

long OpenHandleCount() {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  return static_cast<long>(t.objects.size());
}

}  // namespace win
