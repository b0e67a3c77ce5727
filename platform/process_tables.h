// The tables that the platform layer keeps for the whole life of the process (handles, windows,
// sockets, registry keys, libraries). Static destructors never free them, as other static
// destructors may still release what they hold. A server library, though, carries its own copy
// of the layer and is unloaded while the process goes on: as the last step of its unloading it
// frees its copy's tables, which would otherwise be lost with the library's memory.
#pragma once

namespace win {

// Notes a table (made with new) for ReleaseProcessTables.
void RecordProcessTable(void* table, void (*release)(void*));

template <class T>
T* KeepProcessTable(T* table) {
  RecordProcessTable(table, [](void* p) { delete static_cast<T*>(p); });
  return table;
}

// Frees every noted table, the latest first. Only for a library being unloaded, once none of its
// code will run again: the tables' accessors would find them gone.
void ReleaseProcessTables();

}  // namespace win
