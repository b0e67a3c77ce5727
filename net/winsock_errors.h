// The texts of the Winsock error codes that the socket layer reports.
#pragma once

namespace tw {

struct WinsockErrorEntry {
  int code;
  const char* text;
};

// The table's text for code, or null when the code is not in it.
const char* WinsockErrorText(int code);

}  // namespace tw
