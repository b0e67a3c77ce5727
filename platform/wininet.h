// The "wininet.dll" stand-in: the HTTP calls the alternative request path makes, carried out by
// libcurl (libcurl.so.4), which is loaded at run time. Without libcurl the stand-in is not
// registered, so loading "wininet.dll" fails as a missing library would.
//
// One request at a time per request handle, driven by the thread that calls HttpSendRequestA and
// InternetReadFile. InternetCloseHandle may come from any thread: a call blocked on that handle
// returns FALSE with ERROR_INTERNET_OPERATION_CANCELLED.
#pragma once

#include <cstdint>
#include <span>

#include "platform/handle.h"
#include "platform/library.h"
#include "platform/sspi.h"

namespace win {

using HINTERNET = void*;
using DWORD_PTR = uintptr_t;
using INTERNET_PORT = uint16_t;
using INTERNET_STATUS_CALLBACK = void (*)(HINTERNET handle, DWORD_PTR context, DWORD status,
                                          void* info, DWORD info_length);

constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;
constexpr DWORD INTERNET_SERVICE_HTTP = 3;

constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000u;
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000u;
constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000u;
constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000u;
constexpr DWORD INTERNET_FLAG_NO_COOKIES = 0x00080000u;
constexpr DWORD INTERNET_FLAG_NO_UI = 0x00000200u;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x00000100u;

// Security flags (option 31): the SECURITY_FLAG_IGNORE_* values of sspi.h.

constexpr DWORD INTERNET_OPTION_SECURITY_FLAGS = 31;
constexpr DWORD INTERNET_OPTION_PROXY_USERNAME = 43;
constexpr DWORD INTERNET_OPTION_PROXY_PASSWORD = 44;
constexpr DWORD INTERNET_OPTION_IGNORE_CLIENT_CERT = 47;

constexpr DWORD HTTP_QUERY_RAW_HEADERS = 21;
constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr DWORD HTTP_ADDREQ_FLAG_ADD = 0x20000000u;
constexpr DWORD HTTP_ADDREQ_FLAG_REPLACE = 0x80000000u;

// Status notifications.
constexpr DWORD INTERNET_STATUS_RESOLVING_NAME = 10;
constexpr DWORD INTERNET_STATUS_NAME_RESOLVED = 11;
constexpr DWORD INTERNET_STATUS_CONNECTING_TO_SERVER = 20;
constexpr DWORD INTERNET_STATUS_CONNECTED_TO_SERVER = 21;
constexpr DWORD INTERNET_STATUS_SENDING_REQUEST = 30;
constexpr DWORD INTERNET_STATUS_REQUEST_SENT = 31;
constexpr DWORD INTERNET_STATUS_RECEIVING_RESPONSE = 40;
constexpr DWORD INTERNET_STATUS_RESPONSE_RECEIVED = 41;
constexpr DWORD INTERNET_STATUS_HANDLE_CLOSING = 70;

constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;
constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;

HINTERNET InternetOpenA(const char* agent, DWORD access_type, const char* proxy,
                        const char* proxy_bypass, DWORD flags);
INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET handle,
                                                   INTERNET_STATUS_CALLBACK callback);
HINTERNET InternetConnectA(HINTERNET session, const char* server, INTERNET_PORT port,
                           const char* user, const char* password, DWORD service, DWORD flags,
                           DWORD_PTR context);
HINTERNET HttpOpenRequestA(HINTERNET connection, const char* verb, const char* object,
                           const char* version, const char* referrer, const char** accept_types,
                           DWORD flags, DWORD_PTR context);
BOOL HttpAddRequestHeadersA(HINTERNET request, const char* headers, DWORD length, DWORD modifiers);
BOOL HttpSendRequestA(HINTERNET request, const char* headers, DWORD headers_length,
                      const void* optional, DWORD optional_length);
// Raw headers of the final response: HTTP_QUERY_RAW_HEADERS (lines each ended by NUL, a NUL
// after the last) or HTTP_QUERY_RAW_HEADERS_CRLF. A buffer too small gives
// ERROR_INSUFFICIENT_BUFFER with *length set to the bytes needed.
BOOL HttpQueryInfoA(HINTERNET request, DWORD info_level, void* buffer, DWORD* length,
                    DWORD* index);
BOOL InternetReadFile(HINTERNET request, void* buffer, DWORD to_read, DWORD* read);
BOOL InternetCloseHandle(HINTERNET handle);
BOOL InternetSetOptionA(HINTERNET handle, DWORD option, void* buffer, DWORD length);
BOOL InternetQueryOptionA(HINTERNET handle, DWORD option, void* buffer, DWORD* length);

// The entry points of the stand-in, empty when libcurl cannot be loaded.
std::span<const ProcEntry> WinInetExports();

}  // namespace win
