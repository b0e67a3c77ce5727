#include "platform/wininet.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace win {
namespace {

constexpr const char* kCurlLibrary = "libcurl.so.4";

// libcurl's stable ABI: option and code numbers as its headers define them.
constexpr int kCurlOptPort = 3;
constexpr int kCurlOptWriteData = 10001;
constexpr int kCurlOptUrl = 10002;
constexpr int kCurlOptProxy = 10004;
constexpr int kCurlOptPostFields = 10015;
constexpr int kCurlOptReferer = 10016;
constexpr int kCurlOptUserAgent = 10018;
constexpr int kCurlOptHttpHeader = 10023;
constexpr int kCurlOptHeaderData = 10029;
constexpr int kCurlOptCustomRequest = 10036;
constexpr int kCurlOptNoBody = 44;
constexpr int kCurlOptFollowLocation = 52;
constexpr int kCurlOptMaxRedirs = 68;
constexpr int kCurlOptSslVerifyPeer = 64;
constexpr int kCurlOptSslVerifyHost = 81;
constexpr int kCurlOptHttpVersion = 84;
constexpr int kCurlOptNoSignal = 99;
constexpr int kCurlOptHttpAuth = 107;
constexpr int kCurlOptUserName = 10173;
constexpr int kCurlOptPassword = 10174;
constexpr int kCurlOptProxyUserName = 10175;
constexpr int kCurlOptProxyPassword = 10176;
constexpr int kCurlOptNoProxy = 10177;
constexpr int kCurlOptWriteFunction = 20011;
constexpr int kCurlOptHeaderFunction = 20079;
constexpr int kCurlOptPostFieldSizeLarge = 30120;
constexpr int kCurlOptCookieFile = 10031;
constexpr int kCurlOptShare = 10100;
constexpr int kCurlShareOptShare = 1;
constexpr int kCurlShareOptLock = 3;
constexpr int kCurlShareOptUnlock = 4;
constexpr int kCurlLockDataCookie = 2;
constexpr long kCurlHttp10 = 1;
constexpr long kCurlHttp11 = 2;
constexpr long kCurlAuthAny = ~16L;  // every scheme but the old IE digest variant
constexpr long kCurlGlobalAll = 3;
constexpr int kCurlMsgDone = 1;
constexpr int kCurlPauseRecv = 1;
constexpr int kCurlPauseCont = 0;
constexpr size_t kCurlWritePause = 0x10000001;

// curl result codes that have a closer WinINet error than "connection aborted".
struct CurlErrorMap {
  int curl;
  DWORD error;
};
constexpr CurlErrorMap kCurlErrors[] = {
    {1, ERROR_INTERNET_UNRECOGNIZED_SCHEME},
    {3, ERROR_INTERNET_INVALID_URL},
    {5, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {6, ERROR_INTERNET_NAME_NOT_RESOLVED},
    {7, ERROR_INTERNET_CANNOT_CONNECT},
    {8, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {28, ERROR_INTERNET_TIMEOUT},
    {35, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
    {47, ERROR_HTTP_REDIRECT_FAILED},
    {52, ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {60, ERROR_INTERNET_INVALID_CA},
};

// Redirects followed for one request before it fails.
constexpr long kMaxRedirects = 20;
// Bytes of body held ahead of the reader before libcurl is paused.
constexpr size_t kMaxBufferedBody = 262144;
// The longest wait inside libcurl between checks for a closed handle; closing also wakes it.
constexpr int kPollMillis = 1000;

struct CurlSlist;
struct CurlMsg {
  int msg;
  void* easy;
  union {
    void* whatever;
    int result;
  } data;
};

struct Curl {
  int (*global_init)(long);
  void* (*easy_init)();
  int (*easy_setopt)(void*, int, ...);
  void (*easy_cleanup)(void*);
  int (*easy_pause)(void*, int);
  void* (*multi_init)();
  int (*multi_add_handle)(void*, void*);
  int (*multi_remove_handle)(void*, void*);
  int (*multi_perform)(void*, int*);
  int (*multi_poll)(void*, void*, unsigned, int, int*);
  int (*multi_wakeup)(void*);
  CurlMsg* (*multi_info_read)(void*, int*);
  int (*multi_cleanup)(void*);
  CurlSlist* (*slist_append)(CurlSlist*, const char*);
  void (*slist_free_all)(CurlSlist*);
  void* (*share_init)();
  int (*share_setopt)(void*, int, ...);
};

// libcurl, loaded once; null when missing or incomplete.
const Curl* LoadCurl() {
  static const Curl* curl = []() -> const Curl* {
    void* dl = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (dl == nullptr) return nullptr;
    static Curl c;
    bool ok = true;
    auto bind = [&](auto& slot, const char* name) {
      void* sym = ::dlsym(dl, name);
      if (sym == nullptr) ok = false;
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(sym);
    };
    bind(c.global_init, "curl_global_init");
    bind(c.easy_init, "curl_easy_init");
    bind(c.easy_setopt, "curl_easy_setopt");
    bind(c.easy_cleanup, "curl_easy_cleanup");
    bind(c.easy_pause, "curl_easy_pause");
    bind(c.multi_init, "curl_multi_init");
    bind(c.multi_add_handle, "curl_multi_add_handle");
    bind(c.multi_remove_handle, "curl_multi_remove_handle");
    bind(c.multi_perform, "curl_multi_perform");
    bind(c.multi_poll, "curl_multi_poll");
    bind(c.multi_wakeup, "curl_multi_wakeup");
    bind(c.multi_info_read, "curl_multi_info_read");
    bind(c.multi_cleanup, "curl_multi_cleanup");
    bind(c.slist_append, "curl_slist_append");
    bind(c.slist_free_all, "curl_slist_free_all");
    bind(c.share_init, "curl_share_init");
    bind(c.share_setopt, "curl_share_setopt");
    if (!ok || c.global_init(kCurlGlobalAll) != 0) {
      ::dlclose(dl);
      return nullptr;
    }
    return &c;  // stays loaded for the process: its global state cannot be torn down safely
  }();
  return curl;
}

class InternetObject : public KernelObject {
 public:
  std::atomic<bool> closed{false};
  INTERNET_STATUS_CALLBACK callback = nullptr;
  DWORD_PTR context = 0;
};

class Session : public InternetObject {
 public:
  std::string agent;
  std::string proxy;  // "" for a direct connection
  std::string proxy_user;
  std::string proxy_password;
};

class Connection : public InternetObject {
 public:
  std::shared_ptr<Session> session;
  std::string host;
  INTERNET_PORT port = 80;
  std::string user;
  std::string password;
};

class Request : public InternetObject {
 public:
  ~Request() override { Clear(); }

  // Back to the state before the send, so that the request can be sent again.
  void Clear() {
    const Curl* c = LoadCurl();
    if (multi != nullptr) {
      if (easy != nullptr && added) c->multi_remove_handle(multi, easy);
      c->multi_cleanup(multi);
    }
    if (easy != nullptr) c->easy_cleanup(easy);
    if (header_list != nullptr) c->slist_free_all(header_list);
    multi = easy = nullptr;
    header_list = nullptr;
    added = head_done = finished = paused = false;
    result = 0;
    response_lines.clear();
    received.clear();
    read_offset = 0;
  }

  std::shared_ptr<Connection> connection;
  std::string verb;
  std::string path;
  std::string version;
  std::string referer;
  std::string accept;
  DWORD flags = 0;
  DWORD security_flags = 0;
  std::vector<std::string> headers;  // "Name: value" each
  std::string proxy_user;
  std::string proxy_password;

  void* easy = nullptr;
  void* multi = nullptr;
  bool added = false;
  CurlSlist* header_list = nullptr;
  std::string body;

  // Filled by libcurl's callbacks on the driving thread.
  std::vector<std::string> response_lines;  // status line first, no line ends
  bool head_done = false;
  bool finished = false;
  int result = 0;
  bool paused = false;
  std::string received;
  size_t read_offset = 0;
};

// The process's cookie store, shared by every request that does not refuse cookies, as the
// platform library keeps one per process.
std::mutex& CookieLock() {
  static std::mutex m;
  return m;
}
void LockCookies(void*, int, int, void*) { CookieLock().lock(); }
void UnlockCookies(void*, int, void*) { CookieLock().unlock(); }

void* CookieShare() {
  static void* share = [] {
    const Curl* c = LoadCurl();
    void* s = c->share_init();
    if (s != nullptr) {
      c->share_setopt(s, kCurlShareOptLock, &LockCookies);
      c->share_setopt(s, kCurlShareOptUnlock, &UnlockCookies);
      c->share_setopt(s, kCurlShareOptShare, kCurlLockDataCookie);
    }
    return s;
  }();
  return share;
}

// Guards a request's multi handle between the thread that makes or drops it and a closing thread
// that wakes it.
std::mutex& WakeLock() {
  static std::mutex m;
  return m;
}

std::mutex& CallbackLock() {
  static std::mutex m;
  return m;
}

void Notify(InternetObject& object, HINTERNET handle, DWORD status) {
  if (object.callback != nullptr) object.callback(handle, object.context, status, nullptr, 0);
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.compare(0, 5, "HTTP/") == 0) {
    // A new status line: an interim answer or a followed redirect is replaced.
    r->response_lines.clear();
    r->response_lines.push_back(line);
    return size * count;
  }
  if (line.empty()) {
    const std::string& status = r->response_lines.empty() ? line : r->response_lines[0];
    const size_t blank = status.find(' ');
    const bool interim = blank != std::string::npos && status.compare(blank + 1, 1, "1") == 0 &&
                         status.compare(blank + 1, 3, "101") != 0;
    // A redirect that libcurl follows is not the answer either: the next status line replaces it.
    bool followed = false;
    if (blank != std::string::npos && (r->flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0) {
      const std::string code = status.substr(blank + 1, 3);
      const bool redirect =
          code == "301" || code == "302" || code == "303" || code == "307" || code == "308";
      for (const std::string& h : r->response_lines) {
        if (redirect && h.size() > 9 && ::strncasecmp(h.c_str(), "Location:", 9) == 0)
          followed = true;
      }
    }
    if (!interim && !followed) r->head_done = true;
    return size * count;
  }
  if (!r->response_lines.empty()) r->response_lines.push_back(line);
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  if (r->received.size() - r->read_offset >= kMaxBufferedBody) {
    r->paused = true;
    return kCurlWritePause;  // delivered again once the reader has caught up
  }
  r->received.append(data, size * count);
  return size * count;
}

DWORD CurlError(int code) {
  for (const CurlErrorMap& m : kCurlErrors) {
    if (m.curl == code) return m.error;
  }
  return ERROR_INTERNET_CONNECTION_ABORTED;
}

// Runs libcurl until `done` holds, the transfer ends or the handle is closed. FALSE with the
// last error set on a failure.
template <class Done>
BOOL Drive(Request& r, Done done) {
  const Curl* c = LoadCurl();
  for (;;) {
    if (r.closed.load()) {
      SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
      return FALSE;
    }
    if (done()) return TRUE;
    if (r.finished) {
      if (r.result != 0) {
        SetLastError(CurlError(r.result));
        return FALSE;
      }
      return TRUE;
    }
    int running = 0;
    if (c->multi_perform(r.multi, &running) != 0) {
      SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
      return FALSE;
    }
    int left = 0;
    while (CurlMsg* m = c->multi_info_read(r.multi, &left)) {
      if (m->msg == kCurlMsgDone) {
        r.finished = true;
        r.result = m->data.result;
      }
    }
    if (r.finished || done()) continue;
    int fds = 0;
    c->multi_poll(r.multi, nullptr, 0, kPollMillis, &fds);
  }
}

template <class T>
std::shared_ptr<T> Lookup(HINTERNET handle) {
  std::shared_ptr<KernelObject> object = LookupHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto typed = std::dynamic_pointer_cast<T>(object);
  if (!typed) SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  return typed;
}

std::string Text(const char* s) { return s != nullptr ? s : ""; }

// Splits a header block into lines; empty lines are dropped.
void AddHeaderLines(Request& r, const char* text, size_t n, bool replace) {
  size_t start = 0;
  while (start < n) {
    size_t end = start;
    while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
    if (end > start) {
      std::string line(text + start, end - start);
      const size_t colon = line.find(':');
      if (replace && colon != std::string::npos) {
        for (auto it = r.headers.begin(); it != r.headers.end();) {
          if (it->size() > colon && (*it)[colon] == ':' &&
              ::strncasecmp(it->c_str(), line.c_str(), colon) == 0) {
            it = r.headers.erase(it);
          } else {
            ++it;
          }
        }
      }
      r.headers.push_back(std::move(line));
    }
    start = end + 1;
  }
}

bool HasHeader(const Request& r, const char* name) {
  const size_t n = std::strlen(name);
  for (const std::string& h : r.headers) {
    if (h.size() > n && h[n] == ':' && ::strncasecmp(h.c_str(), name, n) == 0) return true;
  }
  return false;
}

bool SetUp(Request& r) {
  const Curl* c = LoadCurl();
  const Connection& conn = *r.connection;
  const Session& session = *conn.session;
  r.easy = c->easy_init();
  {
    std::lock_guard<std::mutex> guard(WakeLock());
    r.multi = c->multi_init();
  }
  if (r.easy == nullptr || r.multi == nullptr) return false;
  const bool secure = (r.flags & INTERNET_FLAG_SECURE) != 0;
  std::string host = conn.host;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  std::string url = (secure ? "https://" : "http://") + host + ":" + std::to_string(conn.port) +
                    (r.path.empty() || r.path[0] != '/' ? "/" : "") + r.path;
  void* e = r.easy;
  c->easy_setopt(e, kCurlOptUrl, url.c_str());
  c->easy_setopt(e, kCurlOptPort, static_cast<long>(conn.port));
  c->easy_setopt(e, kCurlOptNoSignal, 1L);
  c->easy_setopt(e, kCurlOptHeaderFunction, &OnHeader);
  c->easy_setopt(e, kCurlOptHeaderData, &r);
  c->easy_setopt(e, kCurlOptWriteFunction, &OnBody);
  c->easy_setopt(e, kCurlOptWriteData, &r);
  c->easy_setopt(e, kCurlOptHttpVersion, r.version == "HTTP/1.0" ? kCurlHttp10 : kCurlHttp11);
  if (!session.agent.empty()) c->easy_setopt(e, kCurlOptUserAgent, session.agent.c_str());
  if (!r.referer.empty()) c->easy_setopt(e, kCurlOptReferer, r.referer.c_str());
  if (session.proxy.empty()) {
    c->easy_setopt(e, kCurlOptProxy, "");  // direct: no proxy from the environment either
  } else {
    c->easy_setopt(e, kCurlOptProxy, session.proxy.c_str());
    c->easy_setopt(e, kCurlOptNoProxy, "");
    const std::string& pu = r.proxy_user.empty() ? session.proxy_user : r.proxy_user;
    const std::string& pp = r.proxy_password.empty() ? session.proxy_password : r.proxy_password;
    if (!pu.empty()) c->easy_setopt(e, kCurlOptProxyUserName, pu.c_str());
    if (!pp.empty()) c->easy_setopt(e, kCurlOptProxyPassword, pp.c_str());
  }
  if (!conn.user.empty()) {
    c->easy_setopt(e, kCurlOptUserName, conn.user.c_str());
    c->easy_setopt(e, kCurlOptPassword, conn.password.c_str());
    c->easy_setopt(e, kCurlOptHttpAuth, kCurlAuthAny);
  }
  if (secure) {
    const DWORD s = r.security_flags;
    if ((s & SECURITY_FLAG_IGNORE_UNKNOWN_CA) != 0) c->easy_setopt(e, kCurlOptSslVerifyPeer, 0L);
    if ((s & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) != 0) {
      c->easy_setopt(e, kCurlOptSslVerifyHost, 0L);
    }
  }

  if ((r.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0) {
    c->easy_setopt(e, kCurlOptFollowLocation, 1L);
    c->easy_setopt(e, kCurlOptMaxRedirs, kMaxRedirects);
  }
  if ((r.flags & INTERNET_FLAG_NO_COOKIES) == 0 && CookieShare() != nullptr) {
    c->easy_setopt(e, kCurlOptCookieFile, "");  // the cookie engine on, reading no file
    c->easy_setopt(e, kCurlOptShare, CookieShare());
  }

  if (r.verb == "HEAD") {
    c->easy_setopt(e, kCurlOptNoBody, 1L);
  } else if (r.verb != "GET" || !r.body.empty()) {
    c->easy_setopt(e, kCurlOptCustomRequest, r.verb.c_str());
    if (!r.body.empty() || r.verb == "POST" || r.verb == "PUT") {
      c->easy_setopt(e, kCurlOptPostFields, r.body.data());
      c->easy_setopt(e, kCurlOptPostFieldSizeLarge, static_cast<int64_t>(r.body.size()));
    }
  }
  std::vector<std::string> lines = r.headers;
  if (!r.accept.empty() && !HasHeader(r, "Accept")) lines.push_back("Accept: " + r.accept);
  // Only what the caller asked for: no form type for a body, no 100-continue round trip.
  if (!HasHeader(r, "Content-Type")) lines.push_back("Content-Type:");
  if (!HasHeader(r, "Expect")) lines.push_back("Expect:");
  if ((r.flags & INTERNET_FLAG_NO_CACHE_WRITE) != 0 && !HasHeader(r, "Cache-Control")) {
    lines.push_back("Cache-Control: no-cache");
  }
  for (const std::string& line : lines) {
    CurlSlist* next = c->slist_append(r.header_list, line.c_str());
    if (next == nullptr) return false;
    r.header_list = next;
  }
  c->easy_setopt(e, kCurlOptHttpHeader, r.header_list);
  if (c->multi_add_handle(r.multi, e) != 0) return false;
  r.added = true;
  return true;
}

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

}  // namespace

HINTERNET InternetOpenA(const char* agent, DWORD access_type, const char* proxy,
                        const char* proxy_bypass, DWORD flags) {
  if (LoadCurl() == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto session = std::make_shared<Session>();
  session->agent = Text(agent);
  if (access_type == INTERNET_OPEN_TYPE_PROXY) {
    session->proxy = Text(proxy);
  } else if (access_type != INTERNET_OPEN_TYPE_DIRECT &&
             access_type != INTERNET_OPEN_TYPE_PRECONFIG) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The preconfigured settings: the per-user proxy is not kept here, so the connection is direct.
  return RegisterHandle(session);
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET handle,
                                                   INTERNET_STATUS_CALLBACK callback) {
  auto object = Lookup<InternetObject>(handle);
  if (!object) return reinterpret_cast<INTERNET_STATUS_CALLBACK>(-1);
  std::lock_guard<std::mutex> guard(CallbackLock());
  INTERNET_STATUS_CALLBACK old = object->callback;
  object->callback = callback;
  return old;
}

HINTERNET InternetConnectA(HINTERNET session, const char* server, INTERNET_PORT port,
                           const char* user, const char* password, DWORD service, DWORD flags,
                           DWORD_PTR context) {
  auto s = Lookup<Session>(session);
  if (!s) return nullptr;
  if (service != INTERNET_SERVICE_HTTP) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (server == nullptr || server[0] == 0) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  auto c = std::make_shared<Connection>();
  c->session = s;
  c->host = server;
  c->port = port;
  c->user = Text(user);
  c->password = Text(password);
  c->context = context;
  {
    std::lock_guard<std::mutex> guard(CallbackLock());
    c->callback = s->callback;
  }
  return RegisterHandle(c);
}

HINTERNET HttpOpenRequestA(HINTERNET connection, const char* verb, const char* object,
                           const char* version, const char* referrer, const char** accept_types,
                           DWORD flags, DWORD_PTR context) {
  auto c = Lookup<Connection>(connection);
  if (!c) return nullptr;
  auto r = std::make_shared<Request>();
  r->connection = c;
  r->verb = verb != nullptr && verb[0] != 0 ? verb : "GET";
  for (char ch : r->verb) {
    // The verb goes on the request line as it stands.
    if (ch <= ' ' || ch >= 127) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  r->path = object != nullptr && object[0] != 0 ? object : "/";
  if (r->path.find_first_of("\r\n ") != std::string::npos) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  r->version = Text(version);
  r->referer = Text(referrer);
  if (accept_types != nullptr && accept_types[0] != nullptr) r->accept = accept_types[0];
  r->flags = flags;
  r->context = context;
  {
    std::lock_guard<std::mutex> guard(CallbackLock());
    r->callback = c->callback;
  }
  return RegisterHandle(r);
}

BOOL HttpAddRequestHeadersA(HINTERNET request, const char* headers, DWORD length, DWORD modifiers) {
  auto r = Lookup<Request>(request);
  if (!r) return FALSE;
  if (headers == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const size_t n = length == static_cast<DWORD>(-1) ? std::strlen(headers) : length;
  if (std::memchr(headers, '\0', n) != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  AddHeaderLines(*r, headers, n, (modifiers & HTTP_ADDREQ_FLAG_REPLACE) != 0);
  return TRUE;
}

BOOL HttpSendRequestA(HINTERNET request, const char* headers, DWORD headers_length,
                      const void* optional, DWORD optional_length) {
  auto r = Lookup<Request>(request);
  if (!r) return FALSE;
  if (r->easy != nullptr) {
    // Sent again (after a security option changed): the first attempt is dropped.
    std::lock_guard<std::mutex> guard(WakeLock());
    r->Clear();
  }
  if (headers != nullptr) {
    const size_t n =
        headers_length == static_cast<DWORD>(-1) ? std::strlen(headers) : headers_length;
    AddHeaderLines(*r, headers, n, false);
  }
  r->body.clear();
  if (optional != nullptr && optional_length > 0) {
    r->body.assign(static_cast<const char*>(optional), optional_length);
  }
  if (!SetUp(*r)) {
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return FALSE;
  }
  Notify(*r, request, INTERNET_STATUS_SENDING_REQUEST);
  if (!Drive(*r, [&] { return r->head_done; })) return FALSE;
  if (r->response_lines.empty()) {
    SetLastError(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    return FALSE;
  }
  Notify(*r, request, INTERNET_STATUS_REQUEST_SENT);
  Notify(*r, request, INTERNET_STATUS_RECEIVING_RESPONSE);
  Notify(*r, request, INTERNET_STATUS_RESPONSE_RECEIVED);
  return TRUE;
}

BOOL HttpQueryInfoA(HINTERNET request, DWORD info_level, void* buffer, DWORD* length,
                    DWORD* index) {
  auto r = Lookup<Request>(request);
  if (!r) return FALSE;
  if (length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (r->response_lines.empty()) {
    SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
    return FALSE;
  }
  std::string out;
  if (info_level == HTTP_QUERY_RAW_HEADERS || info_level == HTTP_QUERY_RAW_HEADERS_CRLF) {
    const bool crlf = info_level == HTTP_QUERY_RAW_HEADERS_CRLF;
    for (const std::string& line : r->response_lines) {
      out += line;
      if (crlf) {
        out += "\r\n";
      } else {
        out.push_back('\0');
      }
    }
    if (crlf) out += "\r\n";
  } else {
    SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
    return FALSE;
  }
  // Room for the text and its terminating NUL.
  if (buffer == nullptr || *length < out.size() + 1) {
    *length = static_cast<DWORD>(out.size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, out.data(), out.size());
  static_cast<char*>(buffer)[out.size()] = '\0';
  *length = static_cast<DWORD>(out.size());
  return TRUE;
}

BOOL InternetReadFile(HINTERNET request, void* buffer, DWORD to_read, DWORD* read) {
  auto r = Lookup<Request>(request);
  if (!r) return FALSE;
  if (read == nullptr || (buffer == nullptr && to_read > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *read = 0;
  if (r->easy == nullptr) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  const Curl* c = LoadCurl();
  auto available = [&] { return r->received.size() > r->read_offset; };
  if (!available() && r->paused) {
    r->paused = false;
    c->easy_pause(r->easy, kCurlPauseCont);
  }
  if (to_read > 0 && !Drive(*r, available)) return FALSE;
  const size_t n = std::min<size_t>(to_read, r->received.size() - r->read_offset);
  std::memcpy(buffer, r->received.data() + r->read_offset, n);
  r->read_offset += n;
  if (r->read_offset == r->received.size()) {
    r->received.clear();
    r->read_offset = 0;
  }
  *read = static_cast<DWORD>(n);
  (void)kCurlPauseRecv;
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET handle) {
  auto object = Lookup<InternetObject>(handle);
  if (!object) return FALSE;
  object->closed.store(true);
  if (auto r = std::dynamic_pointer_cast<Request>(object)) {
    std::lock_guard<std::mutex> guard(WakeLock());
    if (r->multi != nullptr) LoadCurl()->multi_wakeup(r->multi);  // Drive sees the close at once
  }
  return CloseHandle(handle);
}

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, void* buffer, DWORD length) {
  auto object = Lookup<InternetObject>(handle);
  if (!object) return FALSE;
  auto r = std::dynamic_pointer_cast<Request>(object);
  auto s = std::dynamic_pointer_cast<Session>(object);
  switch (option) {
    case INTERNET_OPTION_SECURITY_FLAGS:
    case INTERNET_OPTION_IGNORE_CLIENT_CERT:
      if (!r || buffer == nullptr || length < sizeof(DWORD)) break;
      if (option == INTERNET_OPTION_SECURITY_FLAGS) {
        std::memcpy(&r->security_flags, buffer, sizeof(DWORD));
      }
      return TRUE;  // no client certificate is ever offered, so there is none to ignore
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD: {
      if (buffer == nullptr) break;
      std::string text(static_cast<const char*>(buffer),
                       length != 0 ? length : std::strlen(static_cast<const char*>(buffer)));
      text = text.c_str();
      std::string* slot = nullptr;
      if (r) slot = option == INTERNET_OPTION_PROXY_USERNAME ? &r->proxy_user : &r->proxy_password;
      if (s) slot = option == INTERNET_OPTION_PROXY_USERNAME ? &s->proxy_user : &s->proxy_password;
      if (slot == nullptr) break;
      *slot = text;
      return TRUE;
    }
    default:
      SetLastError(ERROR_INTERNET_INVALID_OPTION);
      return FALSE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL InternetQueryOptionA(HINTERNET handle, DWORD option, void* buffer, DWORD* length) {
  auto object = Lookup<InternetObject>(handle);
  if (!object) return FALSE;
  auto r = std::dynamic_pointer_cast<Request>(object);
  if (option != INTERNET_OPTION_SECURITY_FLAGS || !r) {
    SetLastError(ERROR_INTERNET_INVALID_OPTION);
    return FALSE;
  }
  if (length == nullptr || buffer == nullptr || *length < sizeof(DWORD)) {
    if (length != nullptr) *length = sizeof(DWORD);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, &r->security_flags, sizeof(DWORD));
  *length = sizeof(DWORD);
  return TRUE;
}

std::span<const ProcEntry> WinInetExports() {
  static const ProcEntry exports[] = {
      {"InternetCloseHandle", Proc(&InternetCloseHandle)},
      {"InternetReadFile", Proc(&InternetReadFile)},
      {"HttpQueryInfoA", Proc(&HttpQueryInfoA)},
      {"HttpSendRequestA", Proc(&HttpSendRequestA)},
      {"HttpAddRequestHeadersA", Proc(&HttpAddRequestHeadersA)},
      {"HttpOpenRequestA", Proc(&HttpOpenRequestA)},
      {"InternetConnectA", Proc(&InternetConnectA)},
      {"InternetSetStatusCallback", Proc(&InternetSetStatusCallback)},
      {"InternetOpenA", Proc(&InternetOpenA)},
      {"InternetSetOptionA", Proc(&InternetSetOptionA)},
      {"InternetQueryOptionA", Proc(&InternetQueryOptionA)},
  };
  if (LoadCurl() == nullptr) return {};
  return exports;
}

}  // namespace win
