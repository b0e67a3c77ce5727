// Process start and end of the network layer: the hidden window class, Winsock and the optional
// libraries.
#pragma once

#include <cstdint>

namespace tw {

inline constexpr char kSocketWindowClass[] = "__tarnwick_socket_wnd__";

// Runs once per process (later calls do nothing); every socket component calls it first.
void LibraryStartup();
// Undoes LibraryStartup; a later LibraryStartup starts again.
void LibraryShutdown();

// The WSAStartup result (WinsockStatus) and the version obtained ("%d.%d", WinsockVersion).
int WinsockStatus();
uint16_t WinsockVersion();

}  // namespace tw
