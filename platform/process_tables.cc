#include "platform/process_tables.h"

#include <cstddef>
#include <mutex>

namespace win {
namespace {

// A fixed array, so that noting a table allocates nothing that would itself need freeing.
constexpr size_t kMaxTables = 32;

struct NotedTable {
  void* table;
  void (*release)(void*);
};

std::mutex g_lock;
NotedTable g_tables[kMaxTables];
size_t g_count = 0;

}  // namespace

void RecordProcessTable(void* table, void (*release)(void*)) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_count < kMaxTables) g_tables[g_count++] = NotedTable{table, release};
}

void ReleaseProcessTables() {
  std::lock_guard<std::mutex> guard(g_lock);
  while (g_count > 0) {
    NotedTable t = g_tables[--g_count];
    t.release(t.table);
  }
}

}  // namespace win
