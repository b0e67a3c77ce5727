#include "net/proxy_settings.h"

#include <cstring>
#include <string_view>

#include "foundation/text_conversion.h"
#include "platform/registry.h"

namespace tw {
namespace {

// Where `needle` first stands in the text, or -1.
int FindText(const char* text, int length, const char* needle) {
  const std::string_view found(text, static_cast<size_t>(length));
  const size_t at = found.find(needle);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

constexpr char kInternetSettingsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

int OpenInternetSettings(win::HKEY* key) {
  int rc = win::RegOpenKeyExA(win::HKEY_CURRENT_USER, kInternetSettingsKey, 0, win::KEY_READ, key);
  if (rc == win::ERROR_FILE_NOT_FOUND) {
    rc = win::RegOpenKeyExA(win::HKEY_CURRENT_USER, kInternetSettingsKey, 0,
                            win::KEY_READ | win::KEY_WOW64_64KEY, key);
  }
  return rc;
}

}  // namespace

int ReadInternetSettingsText(const char* name, uint32_t size, ByteString* out) {
  out->Reset();
  win::HKEY key = nullptr;
  int rc = OpenInternetSettings(&key);
  if (rc != 0) return rc;
  ByteString buffer;
  rc = buffer.Resize(static_cast<int>(size));
  if (rc != kOk) {
    win::RegCloseKey(key);
    return rc;
  }
  win::DWORD type = 0;
  win::DWORD got = size;
  rc = win::RegQueryValueExA(key, name, nullptr, &type, buffer.bytes(), &got);
  win::RegCloseKey(key);
  if (rc != 0) return rc;
  if (type != win::REG_SZ && type != win::REG_EXPAND_SZ) return win::ERROR_FILE_NOT_FOUND;
  const void* nul = std::memchr(buffer.data(), '\0', got);
  const int length = nul != nullptr
                         ? static_cast<int>(static_cast<const char*>(nul) - buffer.data())
                         : static_cast<int>(got);
  return out->Set(buffer.data(), length);
}

int ReadInternetSettingsDword(const char* name, uint32_t* out) {
  *out = 0;
  win::HKEY key = nullptr;
  int rc = OpenInternetSettings(&key);
  if (rc != 0) return rc;
  win::DWORD type = 0;
  win::DWORD value = 0;
  win::DWORD got = sizeof(value);
  rc = win::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<win::BYTE*>(&value),
                             &got);
  win::RegCloseKey(key);
  if (rc != 0) return rc;
  if (type != win::REG_DWORD || got != sizeof(value)) return win::ERROR_FILE_NOT_FOUND;
  *out = value;
  return kOk;
}

bool ReadEnabledProxyServer(ByteString* out) {
  out->Reset();
  uint32_t enabled = 0;
  if (ReadInternetSettingsDword("ProxyEnable", &enabled) != kOk || enabled == 0) return false;
  return ReadInternetSettingsText("ProxyServer", kProxyServerValueSize, out) == kOk;
}

bool SplitHostPort(const char* text, int length, ByteString* host, int32_t* port) {
  *port = 0;
  host->Reset();
  const int scheme = FindText(text, length, "://");
  if (scheme >= 0) {
    text += scheme + 3;
    length -= scheme + 3;
  }
  int colon = -1;
  if (length > 0 && text[0] == '[') {
    const void* close = std::memchr(text, ']', static_cast<size_t>(length));
    if (close != nullptr) {
      const int at = static_cast<int>(static_cast<const char*>(close) - text);
      if (at + 1 < length && text[at + 1] == ':') colon = at + 1;
      if (colon < 0) return false;
      if (host->Set(text + 1, at - 1) != kOk) return false;
    }
  }
  if (colon < 0) {
    const void* at = std::memchr(text, ':', static_cast<size_t>(length));
    if (at == nullptr) return false;
    colon = static_cast<int>(static_cast<const char*>(at) - text);
    if (host->Set(text, colon) != kOk) return false;
  }
  int64_t value = 0;
  int i = colon + 1;
  int digits = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9' && value <= 65535; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
  }
  const bool number = digits > 0 && value <= 65535 &&
                      (i == length || text[i] == ';' || text[i] == '/' || IsBlank(text[i]));
  *port = number ? static_cast<int32_t>(value) : 0;
  return true;
}

ListEntry FindEveryProtocolEntry(const char* proxy_server) {
  ListEntry found{nullptr, 0};
  ForEachListEntry(proxy_server, [&](ListEntry e) {
    if (std::memchr(e.text, '=', static_cast<size_t>(e.length)) != nullptr ||
        FindText(e.text, e.length, "://") >= 0) {
      return false;
    }
    found = e;
    return true;
  });
  return found;
}

bool FindSchemeProxy(const char* proxy_server, const char* scheme, ByteString* host,
                     int32_t* port) {
  if (proxy_server == nullptr) return false;
  ByteString key;
  if (key.SetText(scheme != nullptr && *scheme != '\0' ? scheme : "http") != kOk) return false;
  key.ToLower();
  ByteString with_equals;
  ByteString with_slashes;
  if (with_equals.Assign(key) != kOk || with_equals.AppendByte('=') != kOk ||
      with_slashes.Assign(key) != kOk || with_slashes.AppendText("://") != kOk) {
    return false;
  }

  ListEntry found{nullptr, 0};
  int skip = 0;
  ForEachListEntry(proxy_server, [&](ListEntry e) {
    for (const ByteString* k : {&with_equals, &with_slashes}) {
      if (StartsWithNoCase(std::string_view(e.text, e.length), k->c_str())) {
        found = e;
        skip = k->length();
        return true;
      }
    }
    return false;
  });
  if (found.text == nullptr) found = FindEveryProtocolEntry(proxy_server);
  if (found.text == nullptr) return false;

  ByteString entry_host;
  int32_t entry_port = 0;
  if (!SplitHostPort(found.text + skip, found.length - skip, &entry_host, &entry_port)) {
    return host->Set(found.text + skip, found.length - skip) == kOk;
  }
  if (host->Assign(entry_host) != kOk) return false;
  if (entry_port != 0) *port = entry_port;
  return true;
}

}  // namespace tw
