// The per-user Internet Settings proxy values (firewall and proxy auto-detection, the
// ProxyOverride exceptions) and the scheme rule by which the HTTP client picks its proxy.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/text_conversion.h"

namespace tw {

// Sizes in which the Internet Settings values are read.
constexpr uint32_t kProxyServerValueSize = 399;
constexpr uint32_t kProxyOverrideValueSize = 1023;

// Reads a value under HKEY_CURRENT_USER "Software\Microsoft\Windows\CurrentVersion\Internet
// Settings" (retried with the 64-bit view when the key is missing). Text values into at most
// `size` bytes. 0 or the registry error.
int ReadInternetSettingsText(const char* name, uint32_t size, ByteString* out);
int ReadInternetSettingsDword(const char* name, uint32_t* out);
// ProxyServer when ProxyEnable is nonzero; false otherwise.
bool ReadEnabledProxyServer(ByteString* out);

// Splits "host:port" (the port ending at ";"). False when there is no ":"; *port is 0 when the
// port is not a number.
bool SplitHostPort(const char* text, int length, ByteString* host, int32_t* port);

// The first entry of a ProxyServer value with neither "=" nor "://": the proxy for every
// scheme. Its text is null when there is none.
ListEntry FindEveryProtocolEntry(const char* proxy_server);

// The HTTP client's proxy for `scheme` ("http" when empty) from a ProxyServer value: the entry
// "scheme=..." (or "scheme://..."), else an entry with neither "=" nor "://" (every scheme).
// False when none applies. *port is set only when the entry has a nonzero port; an entry
// without ":" is taken whole as the host.
bool FindSchemeProxy(const char* proxy_server, const char* scheme, ByteString* host,
                     int32_t* port);

}  // namespace tw
