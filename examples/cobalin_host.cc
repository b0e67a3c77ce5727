// cobalin_host: a small Automation host for the Cobalin control.
//
// It creates the control by its ProgID through the COM client of the platform layer (registering
// the server library first when the class is not registered), connects an event sink to the
// control's event interface, and runs the steps of its command line through IDispatch by name:
// property puts and gets, indexed ones too, and method calls. See kUsage for the step syntax.
// By default it prints only what the steps ask for, errors and a progress bar; --list prints the
// members that the control's type information describes.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/automation.h"
#include "platform/bstr.h"
#include "platform/codepage.h"
#include "platform/com_client.h"
#include "platform/com_ref_counted.h"
#include "platform/com_types.h"
#include "platform/error_info.h"
#include "platform/library.h"
#include "platform/ole_control.h"
#include "platform/registry.h"
#include "platform/safearray.h"
#include "platform/variant.h"

namespace {

using win::BSTR;
using win::ComPtr;
using win::DISPID;
using win::FAILED;
using win::HRESULT;
using win::SUCCEEDED;
using win::VARIANT;

constexpr char16_t kProgId[] = u"Tarnwick.Cobalin";
constexpr char kServerFileName[] = "libtarnwick_cobalin.so";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Bytes of a byte array shown after its length.
constexpr size_t kHexPreviewBytes = 32;
// Event texts longer than this are cut, so a large Log message stays one readable line.
constexpr size_t kEventTextLimit = 400;
constexpr int kBarWidth = 40;
// Names asked of the type information at once: a member and its parameters.
constexpr win::UINT kMaxNames = 32;
// Width of the wrapped lines of --list.
constexpr size_t kListWidth = 100;
// The server library's helper for --list: the Config settings, then the numbered values.
using ListConfigAndValuesFn = int (*)(void (*setting)(void*, const char*),
                                      void (*value)(void*, const char*, int, const char*), void*);
// How the control's log names the URL of a request, and the proxy it goes through.
constexpr char kLogUrlPrefix[] = "URL: ";
constexpr char kLogSendingPrefix[] = "Sending Request: ";
constexpr char kLogViaProxy[] = " via proxy server '";
// The start of the control's text for a local file it could not open: the name follows in quotes.
constexpr char kTextCannotOpenFile[] = "Cannot open file \"";
// HTTP status of a proxy that wants credentials.
constexpr char kProxyAuthRequired[] = "407";
// The TLS engine's verdict on bytes that are no TLS record, as a plain-http answer is.
constexpr char kTextNotTls[] = "Unrecognized SSL packet data received.";
// The texts of the control that name neither the setting nor the collection they are about.
constexpr char kTextUnknownSetting[] = "Unknown config setting.";
constexpr HRESULT kInvalidIndex = win::HResultOf(0x800A017D);

constexpr char kTextNoDescription[] = "No description available.";
// CTL_E_SETNOTSUPPORTED: what a control answers to the write of a read-only property.
constexpr HRESULT kSetNotSupported = win::HResultOf(0x800A017F);

// Texts for the failures that come from the dispatch layer itself, without error information.
struct HresultText {
  HRESULT hr;
  const char* text;
  bool names_argument;  // the text ends with the position of the argument
};
constexpr HresultText kHresultTexts[] = {
    {win::DISP_E_UNKNOWNNAME, "Unknown name.", false},
    {win::DISP_E_MEMBERNOTFOUND, "No such member of that kind.", false},
    {win::DISP_E_BADPARAMCOUNT, "Wrong number of arguments.", false},
    {win::DISP_E_NONAMEDARGS, "Named arguments are not accepted.", false},
    {win::DISP_E_TYPEMISMATCH, "Type mismatch.", true},
    {win::DISP_E_OVERFLOW, "Value out of range.", true},
    {win::DISP_E_PARAMNOTOPTIONAL, "Missing argument.", true},
    {win::E_NOTIMPL, "Not implemented.", false},
    {win::E_OUTOFMEMORY, "Out of memory.", false},
};

constexpr char kUsage[] =
    R"usage(Usage: cobalin_host [options] STEP...
       cobalin_host --list

Creates the control "Tarnwick.Cobalin" (registering its server library first when the class is
not registered), connects to its events and runs each STEP in order through IDispatch by name.

Steps (one command-line argument each):
  Name=value            put a property (value passed as text; the control converts it)
  Name(i)=value         put an indexed property
  Name?                 get a property and print "Name = value"
  Name(i)?              get an indexed property and print "Name(i) = value"
  Method(a,b,...)       call a method with text arguments ("Method()" for none) and print
                        "Method = result" when it returns a value that is not empty

  Inside parentheses arguments are separated by commas and trimmed of blanks. An argument in
  double quotes is taken as written ("a, b"); inside quotes \" and \\ stand for " and \.
  Outside quotes a backslash takes the next character as it is (\, \) \" \\).
  A value or argument written @env:VAR is the value of the environment variable VAR, so that a
  secret such as AccessKey need not appear on the command line. Quote each step for the
  shell, which gives ?, ( and ) meanings of its own.

Values printed: text as it is, numbers in decimal (64-bit values too, with their sign), booleans
as True or False, byte arrays as "<n bytes> hex..." (the first 32 bytes).

By default the host prints only what the steps ask for, errors, and a progress bar on
standard error when that is a terminal. Events chosen with --events print one line each:
"event Name Param=value ..." (texts quoted when they hold blanks); Progress and Transfer lines
print only when their percentage changes, and Progress draws the bar instead while it is shown.

A failing step prints "error 0xHRESULT description (at Name)" as one line on standard error and
the host exits with status 1; a malformed command line exits with status 2. A connection,
name-resolution, time-out or TLS handshake failure also names the place the request went to,
an error of the service the URL it answered; a failure of the proxy or firewall names that one.
A refused server certificate adds the reason of its SSLServerAuthentication event, a local file
that cannot be opened what the system says of it, and a failed encrypted download the
DownloadTempFile it keeps. Ctrl-C (SIGINT) or SIGTERM interrupts the running method through the
control's Interrupt, runs no further step and exits with status 130 or 143; a second one ends
the host at once.

Options:
  --list            print the control's methods with their arguments, its properties with
                    their types and its events with their parameters, from its type
                    information, then its Config settings and what its numbered values
                    mean, from the server library's tables, and run no step
  --server PATH     register this server library before creating the control (by default
                    libtarnwick_cobalin.so beside this program, registered only when needed)
  --events LIST     print these events (comma-separated names), "all" or "none" (default)
  --no-bar          draw no progress bar
  --values          print values alone, without "Name = " (the registration line goes to
                    standard error), so that a result can be used as it is
  --time[=LIST]     after each method call (or those named in LIST, comma-separated) print
                    "time Method SECONDS"
  --help            show this text

The registry is the file named by TW_REGISTRY_FILE (default ~/.config/tarnwick/registry.txt).
)usage";

// ---- Text ----

std::u16string Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = win::MultiByteToWideChar(win::CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                   nullptr, 0);
  std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0) {
    win::MultiByteToWideChar(win::CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                             out.data(), n);
  }
  return out;
}

std::string Narrow(std::u16string_view text) {
  if (text.empty()) return {};
  int n = win::WideCharToMultiByte(win::CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    win::WideCharToMultiByte(win::CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                             out.data(), n, nullptr, nullptr);
  }
  return out;
}

std::string Narrow(BSTR text) {
  return Narrow(std::u16string_view(text == nullptr ? u"" : text, win::SysStringLen(text)));
}

std::string HexHresult(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A text for an event line: quoted with C escapes when it would not read back as one word.
std::string QuoteForEvent(std::string text) {
  bool cut = false;
  if (text.size() > kEventTextLimit) {
    text.resize(kEventTextLimit);
    cut = true;
  }
  bool plain = !text.empty() && !cut;
  for (unsigned char c : text) {
    if (c <= ' ' || c == '"' || c == '\\' || c == '=' || c == 0x7F) plain = false;
  }
  if (plain) return text;
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < ' ' || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + (cut ? "...\"" : "\"");
}

// ---- VARIANT values ----

// The magnitude and scale of a DECIMAL in decimal digits, with its sign.
std::string FormatDecimal(const win::DECIMAL& d) {
  // 96-bit magnitude as three 32-bit words, most significant first, divided by ten repeatedly.
  uint32_t words[3] = {d.Hi32, static_cast<uint32_t>(d.Lo64 >> 32),
                       static_cast<uint32_t>(d.Lo64)};
  std::string digits;
  while (words[0] != 0 || words[1] != 0 || words[2] != 0) {
    uint64_t rest = 0;
    for (uint32_t& w : words) {
      uint64_t cur = (rest << 32) | w;
      w = static_cast<uint32_t>(cur / 10);
      rest = cur % 10;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + rest));
  }
  if (digits.empty()) digits = "0";
  const size_t scale = d.scale;
  if (scale > 0) {
    if (digits.size() <= scale) digits.insert(0, scale - digits.size() + 1, '0');
    digits.insert(digits.size() - scale, ".");
  }
  const bool zero = digits.find_first_not_of("0.") == std::string::npos;
  return ((d.sign & win::DECIMAL_NEG) != 0 && !zero ? "-" : "") + digits;
}

std::string FormatByteArray(win::SAFEARRAY* array) {
  if (array == nullptr) return "<0 bytes>";
  win::LONG lower = 0, upper = -1;
  win::SafeArrayGetLBound(array, 1, &lower);
  win::SafeArrayGetUBound(array, 1, &upper);
  const size_t count = upper >= lower ? static_cast<size_t>(upper - lower) + 1 : 0;
  std::string out = "<" + std::to_string(count) + " bytes>";
  void* data = nullptr;
  if (count == 0 || FAILED(win::SafeArrayAccessData(array, &data))) return out;
  const auto* bytes = static_cast<const unsigned char*>(data);
  out += ' ';
  for (size_t i = 0; i < count && i < kHexPreviewBytes; ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    out += buf;
  }
  if (count > kHexPreviewBytes) out += "...";
  win::SafeArrayUnaccessData(array);
  return out;
}

// The value a VARIANT holds (through one reference), as text.
std::string FormatVariant(const VARIANT& v) {
  if ((v.vt & win::VT_BYREF) != 0) {
    if (v.byref == nullptr) return "";
    const win::VARTYPE base = v.vt & ~win::VT_BYREF;
    if (base == win::VT_VARIANT) return FormatVariant(*v.pvarVal);
    // A shallow copy of the referenced value: read only, never cleared.
    VARIANT value{};
    value.vt = base;
    if ((base & win::VT_ARRAY) != 0) {
      value.parray = *v.pparray;
    } else {
      switch (base) {
        case win::VT_BSTR: value.bstrVal = *v.pbstrVal; break;
        case win::VT_I1: case win::VT_UI1: value.bVal = *v.pbVal; break;
        case win::VT_I2: case win::VT_UI2: case win::VT_BOOL: value.iVal = *v.piVal; break;
        case win::VT_I4: case win::VT_UI4: case win::VT_INT: case win::VT_UINT: case win::VT_ERROR:
          value.lVal = *v.plVal;
          break;
        case win::VT_R4: value.fltVal = *v.pfltVal; break;
        case win::VT_R8: case win::VT_DATE: value.dblVal = *v.pdblVal; break;
        case win::VT_I8: case win::VT_UI8: case win::VT_CY: value.llVal = *v.pllVal; break;
        case win::VT_DECIMAL: value.decVal = *v.pdecVal; break;
        default: return "(by reference)";
      }
    }
    return FormatVariant(value);
  }
  if ((v.vt & win::VT_ARRAY) != 0) {
    const win::VARTYPE element = v.vt & win::VT_TYPEMASK;
    if (element == win::VT_UI1 || element == win::VT_I1) return FormatByteArray(v.parray);
    return "(array)";
  }
  switch (v.vt) {
    case win::VT_EMPTY: return "";
    case win::VT_NULL: return "Null";
    case win::VT_BSTR: return Narrow(v.bstrVal);
    case win::VT_BOOL: return v.boolVal != win::VARIANT_FALSE ? "True" : "False";
    case win::VT_I1: return std::to_string(static_cast<signed char>(v.cVal));
    case win::VT_UI1: return std::to_string(v.bVal);
    case win::VT_I2: return std::to_string(v.iVal);
    case win::VT_UI2: return std::to_string(v.uiVal);
    case win::VT_I4: case win::VT_INT: return std::to_string(v.lVal);
    case win::VT_UI4: case win::VT_UINT: return std::to_string(v.ulVal);
    case win::VT_I8: return std::to_string(v.llVal);
    case win::VT_UI8: return std::to_string(v.ullVal);
    case win::VT_DECIMAL: return FormatDecimal(v.decVal);
    case win::VT_ERROR: return "Error " + HexHresult(v.scode);
    case win::VT_DISPATCH: case win::VT_UNKNOWN: return "(object)";
    default: break;
  }
  win::Variant text;
  if (SUCCEEDED(win::VariantChangeType(&text, &v, 0, win::VT_BSTR))) return Narrow(text.bstrVal);
  return "(type " + std::to_string(v.vt) + ")";
}

// A number from a VARIANT (through references), for the progress bar.
std::optional<int64_t> VariantInt64(const VARIANT& v) {
  win::Variant copy, number;
  if (FAILED(win::VariantCopyInd(&copy, &v))) return std::nullopt;
  if (FAILED(win::VariantChangeType(&number, &copy, 0, win::VT_I8))) return std::nullopt;
  return number.llVal;
}

// ---- Failures ----

struct Failure {
  HRESULT hr = win::S_OK;
  std::string description;
};

// The description of a failed call: the EXCEPINFO when the member raised one, else the thread's
// error information, else what the dispatch layer's own codes mean.
Failure DescribeFailure(HRESULT hr, win::EXCEPINFO* excep, win::UINT arg_err) {
  Failure f{hr, {}};
  if (hr == win::DISP_E_EXCEPTION && excep != nullptr) {
    if (excep->pfnDeferredFillIn != nullptr) excep->pfnDeferredFillIn(excep);
    if (excep->scode != 0) f.hr = excep->scode;
    f.description = Narrow(excep->bstrDescription);
  }
  if (f.description.empty()) {
    ComPtr<win::IErrorInfo> info;
    if (win::GetErrorInfo(0, info.Put()) == win::S_OK && info) {
      win::BStr text;
      info->GetDescription(text.Put());
      f.description = Narrow(text.Get());
    }
  }
  if (!f.description.empty()) return f;
  f.description = kTextNoDescription;
  for (const HresultText& known : kHresultTexts) {
    if (known.hr != f.hr) continue;
    f.description = known.text;
    if (known.names_argument) {
      f.description.pop_back();
      f.description += " (argument " + std::to_string(arg_err + 1) + ").";
    }
  }
  return f;
}

// Failures on the way to the service, after which an error line names where the request went.
// The control reports its code n as 0x800A0000 + n + 20001, or + 15001 for n above 10000.
enum class PathFailure { kNone, kNetwork, kHandshake, kService, kTunnel };

struct PathFailureRange {
  int first;
  int last;
  PathFailure kind;
};
constexpr PathFailureRange kPathFailures[] = {
    {270, 286, PathFailure::kHandshake},  // TLS: security library, handshake, certificates, alerts
    {118, 118, PathFailure::kTunnel},     // the firewall or the proxy's tunnel refused
    {301, 301, PathFailure::kNetwork},    // time-out
    {10050, 10065, PathFailure::kNetwork},  // network down, reset, closed, refused, unreachable
    {11001, 11004, PathFailure::kNetwork},  // name resolution
    {600, 600, PathFailure::kService},      // the service answered with an error
    {603, 603, PathFailure::kService},      // authentication (also a local account check)
};

constexpr HRESULT ControlError(int code) {
  return win::HResultOf(0x800A0000u +
                        static_cast<uint32_t>(code + (code > 10000 ? 15001 : 20001)));
}

PathFailure PathFailureOf(HRESULT hr) {
  for (const PathFailureRange& r : kPathFailures) {
    if (hr >= ControlError(r.first) && hr <= ControlError(r.last)) return r.kind;
  }
  return PathFailure::kNone;
}

// The scheme, host and port of a URL (the scheme's own port when it names none).
struct Origin {
  std::string scheme;
  std::string host;
  std::string port;
  std::string Text() const { return scheme + "://" + host + ":" + port; }
};

std::optional<Origin> OriginOf(const std::string& url) {
  const size_t sep = url.find("://");
  if (sep == std::string::npos) return std::nullopt;
  Origin o;
  o.scheme = Lower(url.substr(0, sep));
  std::string authority = url.substr(sep + 3, url.find_first_of("/?#", sep + 3) - sep - 3);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  const size_t bracket = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  const bool has_port =
      colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  o.host = authority.substr(0, has_port ? colon : std::string::npos);
  o.port = has_port ? authority.substr(colon + 1) : (o.scheme == "https" ? "443" : "80");
  if (o.host.empty()) return std::nullopt;
  return o;
}

// Why `path` cannot be opened for reading or writing, as the system words it ("name: reason"),
// or "" when nothing here tells. A file yet to be made needs a folder it can be made in.
std::string FileProblem(const std::string& path, bool write) {
  auto problem = [](const std::string& name, int error) {
    return name + ": " + std::strerror(error);
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return problem(path, EISDIR);
    if (::access(path.c_str(), write ? W_OK : R_OK) != 0) return problem(path, errno);
    // The platform layer refuses writers of a file without write bits, even to root.
    if (write && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return problem(path, EACCES);
    return "";
  }
  if (errno != ENOENT || !write) return problem(path, errno);
  const size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (::stat(folder.c_str(), &st) != 0) return problem(folder, errno);
  if (!S_ISDIR(st.st_mode)) return problem(folder, ENOTDIR);
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return problem(folder, errno);
  return "";
}

// ---- Interruption ----

// SIGINT and SIGTERM are taken by a thread of their own with sigwait, so nothing runs in a signal
// handler. The server library keeps message queues of its own, out of the host's reach, so the
// running method is interrupted from the next event it fires, as the control's Interrupt is meant
// to be called; the method then ends as interrupted, cleaning up after itself as after any
// failure, and no further step runs.
std::atomic<int> g_stop_signal{0};
// The server library's remover of the temporary files of downloads in progress, for a second
// signal that ends the host before the method could clean up.
std::atomic<void (*)()> g_remove_temporary_files{nullptr};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Runs before any other thread starts, so that every thread inherits the blocked signals and only
// the watcher takes them. A second signal ends the host at once.
void WatchStopSignals() {
  const sigset_t set = StopSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (g_stop_signal.exchange(sig) != 0) {
        if (auto remove = g_remove_temporary_files.load()) remove();
        _exit(128 + sig);
      }
    }
  }).detach();
}

// ---- Steps ----

enum class StepKind { kPut, kGet, kCall };

struct Step {
  StepKind kind = StepKind::kCall;
  std::string name;
  std::vector<std::string> args;  // indexes of a property, arguments of a method
  std::string value;              // the value of a put
  std::string label;              // how results of the step are printed: Name or Name(args)
};

bool IsIdentifier(std::string_view s) {
  if (s.empty()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

// One character of an argument; literal ones (quoted or escaped) are never trimmed.
struct ArgChar {
  char c;
  bool literal;
};

// The value of one argument or put value: "@env:VAR" (unquoted) reads the environment.
bool ResolveValue(std::string text, bool literal, std::string* out, std::string* why) {
  constexpr std::string_view kEnv = "@env:";
  if (!literal && text.starts_with(kEnv)) {
    const std::string var = text.substr(kEnv.size());
    const char* value = var.empty() ? nullptr : std::getenv(var.c_str());
    if (value == nullptr) {
      *why = "environment variable " + (var.empty() ? std::string("(empty name)") : var) +
             " is not set";
      return false;
    }
    text = value;
  }
  *out = std::move(text);
  return true;
}

// Reads the arguments after "(" up to the matching ")"; *end gets the index after it.
// "()" and "( )" have no argument; "(,)" has two empty ones; "(\"\")" one empty one.
bool ParseArguments(std::string_view text, size_t start, std::vector<std::string>* args,
                    size_t* end, std::string* why) {
  std::vector<ArgChar> cur;
  bool has_literal = false;
  bool in_quotes = false;
  auto flush = [&]() -> bool {
    size_t b = 0, e = cur.size();
    while (b < e && !cur[b].literal && (cur[b].c == ' ' || cur[b].c == '\t')) ++b;
    while (e > b && !cur[e - 1].literal && (cur[e - 1].c == ' ' || cur[e - 1].c == '\t')) --e;
    std::string arg;
    for (size_t i = b; i < e; ++i) arg += cur[i].c;
    std::string value;
    if (!ResolveValue(std::move(arg), has_literal, &value, why)) return false;
    args->push_back(std::move(value));
    cur.clear();
    has_literal = false;
    return true;
  };
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (in_quotes) {
      if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
        cur.push_back({text[++i], true});
      } else if (c == '"') {
        in_quotes = false;
      } else {
        cur.push_back({c, true});
      }
      continue;
    }
    switch (c) {
      case '\\':
        if (i + 1 == text.size()) {
          *why = "a backslash ends the step";
          return false;
        }
        cur.push_back({text[++i], true});
        has_literal = true;
        break;
      case '"':
        in_quotes = true;
        has_literal = true;
        break;
      case ',':
        if (!flush()) return false;
        break;
      case ')': {
        bool blank = !has_literal;
        for (const ArgChar& a : cur) blank = blank && (a.c == ' ' || a.c == '\t');
        if ((!args->empty() || !blank) && !flush()) return false;
        *end = i + 1;
        return true;
      }
      default:
        cur.push_back({c, false});
    }
  }
  *why = in_quotes ? "a quote is not closed" : "\")\" is missing";
  return false;
}

bool ParseStep(std::string_view item, Step* step, std::string* why) {
  const size_t paren = item.find('(');
  const size_t eq = item.find('=');
  if (paren != std::string_view::npos && (eq == std::string_view::npos || paren < eq)) {
    step->name = std::string(item.substr(0, paren));
    size_t end = 0;
    if (!ParseArguments(item, paren + 1, &step->args, &end, why)) return false;
    const std::string_view rest = item.substr(end);
    if (rest.empty()) {
      step->kind = StepKind::kCall;
    } else if (rest == "?") {
      step->kind = StepKind::kGet;
    } else if (rest.front() == '=') {
      step->kind = StepKind::kPut;
      if (!ResolveValue(std::string(rest.substr(1)), false, &step->value, why)) return false;
    } else {
      *why = "unexpected text after \")\"";
      return false;
    }
  } else if (eq != std::string_view::npos) {
    step->kind = StepKind::kPut;
    step->name = std::string(item.substr(0, eq));
    if (!ResolveValue(std::string(item.substr(eq + 1)), false, &step->value, why)) return false;
  } else if (!item.empty() && item.back() == '?') {
    step->kind = StepKind::kGet;
    step->name = std::string(item.substr(0, item.size() - 1));
  } else {
    *why = "not a step (Name=value, Name?, Method(...))";
    return false;
  }
  if (!IsIdentifier(step->name)) {
    *why = "not a member name: \"" + step->name + "\"";
    return false;
  }
  step->label = step->name;
  if (step->kind != StepKind::kCall && !step->args.empty()) {
    step->label += '(';
    for (size_t i = 0; i < step->args.size(); ++i) {
      step->label += (i > 0 ? "," : "") + step->args[i];
    }
    step->label += ')';
  }
  return true;
}

// ---- Output ----

// Lines go to standard output. The progress bar, like the progress of most command-line tools,
// goes to standard error when that is a terminal, so standard output stays parseable; lines
// printed while it is shown appear above it.
class Console {
 public:
  explicit Console(bool bar_allowed) : bar_allowed_(bar_allowed) {}

  bool bar_allowed() const { return bar_allowed_; }

  void Line(const std::string& text) {
    if (bar_open_) {
      std::fputs("\r\033[K", stderr);
      std::fflush(stderr);
    }
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (bar_open_) DrawBar();
  }

  void Bar(int direction, int64_t done, int64_t total, int percent) {
    direction_ = direction;
    done_ = done;
    total_ = total;
    percent_ = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    bar_open_ = true;
    DrawBar();
    if (percent_ >= 100) CloseBar();
  }

  void CloseBar() {
    if (!bar_open_) return;
    std::fputc('\n', stderr);
    std::fflush(stderr);
    bar_open_ = false;
  }

  void Error(const Failure& f, const std::string& where) {
    CloseBar();
    std::fflush(stdout);
    // One line, so that a script can take it apart: line breaks of the text become blanks.
    std::string text;
    for (char c : f.description) {
      if (c == '\r' || c == '\n') {
        if (!text.empty() && text.back() != ' ') text += ' ';
      } else {
        text += c;
      }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::fprintf(stderr, "error %s %s%s\n", HexHresult(f.hr).c_str(), text.c_str(),
                 where.empty() ? "" : (" (at " + where + ")").c_str());
    std::fflush(stderr);
  }

 private:
  void DrawBar() {
    const int filled = percent_ * kBarWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '-');
    char amounts[64];
    const double mib = 1024.0 * 1024.0;
    if (total_ > 0) {
      std::snprintf(amounts, sizeof amounts, "%.1f/%.1f MiB", static_cast<double>(done_) / mib,
                    static_cast<double>(total_) / mib);
    } else {
      std::snprintf(amounts, sizeof amounts, "%.1f MiB", static_cast<double>(done_) / mib);
    }
    std::fprintf(stderr, "\r%-8s [%s] %3d%%  %s\033[K", direction_ == 0 ? "upload" : "download",
                 bar.c_str(), percent_, amounts);
    std::fflush(stderr);
  }

  bool bar_allowed_;
  bool bar_open_ = false;
  int direction_ = 0;
  int64_t done_ = 0;
  int64_t total_ = 0;
  int percent_ = 0;
};

// ---- Event sink ----

// Prints the control's events; names come from the type information of its event interface.
class EventPrinter final : public win::RefCounted<win::IDispatch> {
 public:
  EventPrinter(const win::IID& diid, ComPtr<win::ITypeInfo> events, Console* console)
      : diid_(diid), events_(std::move(events)), console_(console) {}

  // The lower-case names of the events to print, or every event.
  void Filter(std::set<std::string> names, bool all) {
    filter_ = std::move(names);
    all_ = all;
  }
  // Starting a new step: percentages and what earlier requests met no longer matter.
  void NewStep() {
    last_percent_.clear();
    last_url_.clear();
    sent_ = false;
    proxy_.clear();
    refused_certificate_.clear();
  }
  // Called from the first event after a stop signal.
  void OnStop(std::function<void()> interrupt) { interrupt_ = std::move(interrupt); }
  // The URL of the step's last request, as the control's log named it ("" when it did not).
  const std::string& last_url() const { return last_url_; }
  // Whether the log told how the step's last request went out, and the proxy it named then.
  bool sent() const { return sent_; }
  const std::string& proxy() const { return proxy_; }
  // The subject and status of the server certificate the control refused in this step, as
  // "\"subject\" was refused: status"; "" when none was.
  const std::string& refused_certificate() const { return refused_certificate_; }

  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    if (object == nullptr) return win::E_POINTER;
    if (iid == win::IID_IUnknown || iid == win::IID_IDispatch || iid == diid_) {
      *object = static_cast<win::IDispatch*>(this);
      AddRef();
      return win::S_OK;
    }
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  HRESULT GetTypeInfoCount(win::UINT* count) override {
    if (count == nullptr) return win::E_INVALIDARG;
    *count = 0;
    return win::S_OK;
  }
  HRESULT GetTypeInfo(win::UINT, win::LCID, win::ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return win::E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(win::REFIID, win::LPOLESTR*, win::UINT, win::LCID, DISPID*) override {
    return win::DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID id, win::REFIID, win::LCID, win::WORD, win::DISPPARAMS* params, VARIANT*,
                 win::EXCEPINFO*, win::UINT*) override {
    if (g_stop_signal.load() != 0 && !interrupted_ && interrupt_) {
      interrupted_ = true;
      interrupt_();
    }
    const Names& names = NamesOf(id);
    const win::UINT count = params != nullptr && params->rgvarg != nullptr ? params->cArgs : 0;
    // Declared order: the last VARIANT is the first parameter.
    auto arg = [&](win::UINT i) -> const VARIANT& { return params->rgvarg[count - 1 - i]; };
    auto find = [&](std::string_view param) -> const VARIANT* {
      for (win::UINT i = 0; i < count && i < names.params.size(); ++i) {
        if (names.params[i] == param) return &arg(i);
      }
      return nullptr;
    };

    if (names.event == "Log") NoteLog(find("Message"));
    if (names.event == "SSLServerAuthentication") {
      NoteCertificate(find("CertSubject"), find("Status"), find("Accept"));
    }
    const bool progress = names.event == "Progress";
    const bool bar = progress && console_->bar_allowed();
    if (!bar && !all_ && !filter_.count(Lower(names.event))) return win::S_OK;
    if (progress || names.event == "Transfer") {
      const VARIANT* percent = find("PercentDone");
      const VARIANT* direction = find("Direction");
      if (percent != nullptr) {
        const int64_t p = VariantInt64(*percent).value_or(-1);
        const int64_t d = direction != nullptr ? VariantInt64(*direction).value_or(0) : 0;
        const std::string key = names.event + "/" + std::to_string(d);
        auto it = last_percent_.find(key);
        if (it != last_percent_.end() && it->second == p) return win::S_OK;
        last_percent_[key] = p;
        if (bar) {
          const VARIANT* done = find("BytesTransferred");
          const VARIANT* total = find("TotalBytes");
          console_->Bar(static_cast<int>(d), done ? VariantInt64(*done).value_or(0) : 0,
                        total ? VariantInt64(*total).value_or(-1) : -1, static_cast<int>(p));
          return win::S_OK;
        }
      }
    }

    std::string line = "event " + names.event;
    for (win::UINT i = 0; i < count; ++i) {
      const std::string param =
          i < names.params.size() ? names.params[i] : "arg" + std::to_string(i + 1);
      line += ' ' + param + '=' + FormatEventArg(names.event, param, arg(i));
    }
    console_->Line(line);
    return win::S_OK;
  }

 private:
  struct Names {
    std::string event;
    std::vector<std::string> params;
  };

  ~EventPrinter() = default;

  void NoteLog(const VARIANT* message) {
    if (message == nullptr) return;
    const std::string text = FormatVariant(*message);
    if (text.starts_with(kLogUrlPrefix)) last_url_ = text.substr(sizeof kLogUrlPrefix - 1);
    if (text.starts_with(kLogSendingPrefix)) {
      sent_ = true;
      proxy_.clear();
      const size_t via = text.find(kLogViaProxy);
      if (via != std::string::npos) {
        const size_t start = via + sizeof kLogViaProxy - 1;
        proxy_ = text.substr(start, text.find('\'', start) - start);
      }
    }
  }

  // Accept as the control left it: false when its own check refused the certificate.
  void NoteCertificate(const VARIANT* subject, const VARIANT* status, const VARIANT* accept) {
    if (status == nullptr || accept == nullptr || FormatVariant(*accept) != "False") return;
    refused_certificate_ = "\"" + (subject ? FormatVariant(*subject) : std::string()) +
                           "\" was refused: " + FormatVariant(*status);
  }

  const Names& NamesOf(DISPID id) {
    auto it = names_.find(id);
    if (it != names_.end()) return it->second;
    Names n;
    if (events_) {
      BSTR found[32] = {};
      win::UINT got = 0;
      if (SUCCEEDED(events_->GetNames(id, found, 32, &got)) && got > 0) {
        n.event = Narrow(found[0]);
        for (win::UINT i = 1; i < got; ++i) n.params.push_back(Narrow(found[i]));
      }
      for (win::UINT i = 0; i < got; ++i) win::SysFreeString(found[i]);
    }
    if (n.event.empty()) n.event = "#" + std::to_string(id);
    return names_.emplace(id, std::move(n)).first->second;
  }

  // The data of a transfer and an encoded certificate are shown by size: they are bytes, and a
  // chunk of a download can be megabytes long.
  static std::string FormatEventArg(const std::string& event, const std::string& param,
                                    const VARIANT& v) {
    const bool bytes = (event == "Transfer" && param == "Text") ||
                       (event == "SSLServerAuthentication" && param == "CertEncoded");
    if (bytes) {
      BSTR text = nullptr;
      if (v.vt == (win::VT_BYREF | win::VT_BSTR) && v.pbstrVal != nullptr) text = *v.pbstrVal;
      if (v.vt == win::VT_BSTR) text = v.bstrVal;
      return "<" + std::to_string(win::SysStringLen(text)) + " chars>";
    }
    const win::VARTYPE base = v.vt & ~win::VT_BYREF;
    std::string text = FormatVariant(v);
    if (base == win::VT_BSTR || (base == win::VT_VARIANT && v.pvarVal != nullptr &&
                                 v.pvarVal->vt == win::VT_BSTR)) {
      return QuoteForEvent(std::move(text));
    }
    return text;
  }

  win::IID diid_;
  ComPtr<win::ITypeInfo> events_;
  Console* console_;
  std::map<DISPID, Names> names_;
  std::map<std::string, int64_t> last_percent_;
  std::set<std::string> filter_;
  bool all_ = false;
  std::string last_url_;
  bool sent_ = false;
  std::string proxy_;
  std::string refused_certificate_;
  std::function<void()> interrupt_;
  bool interrupted_ = false;
};

// ---- The host ----

struct Options {
  std::string server;  // given with --server
  std::vector<Step> steps;
  std::set<std::string> events;  // lower-case names of the events printed
  std::vector<std::string> event_names_given;
  bool all_events = false;
  bool no_bar = false;
  bool list = false;
  bool timing = false;
  bool values = false;  // values alone, without "Name = "
  std::set<std::string> timed;  // lower-case method names; empty: every method
};

std::string ExecutableDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string AbsolutePath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  std::free(real);
  return out;
}

// True for the failures of CoCreateInstance that a fresh registration can mend: the class is
// unknown, or the library it names cannot be loaded.
bool RegistrationMayHelp(HRESULT hr) {
  return hr == win::REGDB_E_CLASSNOTREG || hr == win::CO_E_DLLNOTFOUND ||
         hr == win::CO_E_ERRORINDLL || hr == win::HRESULT_FROM_WIN32(126) ||
         hr == win::HRESULT_FROM_WIN32(193) || hr == win::CLASS_E_CLASSNOTAVAILABLE;
}

// A method or property as --list shows it.
struct ListedMember {
  std::string name;
  std::vector<std::string> params;  // "Name: type"; a property's index arguments
  std::string type;                 // of the result or the property; "" for none
  bool put = false;
  bool read_only = false;

  std::string Signature(bool method) const {
    if (params.empty() && !method) return name;
    std::string out = name + "(";
    for (size_t i = 0; i < params.size(); ++i) out += (i > 0 ? ", " : "") + params[i];
    return out + ")";
  }
};

// Names of argument and value types, as --list shows them.
struct TypeText {
  win::VARTYPE vt;
  const char* text;
};
constexpr TypeText kTypeTexts[] = {
    {win::VT_BSTR, "string"},   {win::VT_I2, "int16"},      {win::VT_I4, "int32"},
    {win::VT_I8, "int64"},      {win::VT_UI1, "byte"},      {win::VT_BOOL, "bool"},
    {win::VT_R8, "double"},     {win::VT_DATE, "date"},     {win::VT_VARIANT, "variant"},
    {win::VT_UNKNOWN, "object"}, {win::VT_DISPATCH, "object"},
};

std::string TypeName(win::VARTYPE vt) {
  const bool byref = (vt & win::VT_BYREF) != 0;
  const win::VARTYPE base = vt & ~win::VT_BYREF;
  for (const TypeText& t : kTypeTexts) {
    if (t.vt == base) return (byref ? "ref " : "") + std::string(t.text);
  }
  return "type " + std::to_string(vt);
}

class Host {
 public:
  Host(const Options& options, Console* console) : options_(options), console_(console) {}
  ~Host() {
    Disconnect();
    control_.Reset();
    class_info_.Reset();
    win::CoFreeUnusedLibraries();
    if (server_ != nullptr) win::FreeLibrary(server_);
  }

  int Run() {
    if (!Create()) return kExitFailure;
    if (options_.list) return List() ? 0 : kExitFailure;
    Connect();
    if (!CheckEventNames()) return kExitUsage;
    for (const Step& step : options_.steps) {
      if (g_stop_signal.load() != 0) break;
      if (printer_) printer_->NewStep();
      if (!RunStep(step)) return kExitFailure;
    }
    return 0;
  }

 private:
  // Loads the server library and runs its DllRegisterServer. The library stays loaded, so that
  // creating the control does not load it a second time.
  bool Register(const std::string& path) {
    const std::string full = AbsolutePath(path);
    win::HMODULE lib = win::LoadLibraryA(full.c_str());
    if (lib == nullptr) {
      console_->Error({win::HRESULT_FROM_WIN32(win::GetLastError()),
                       "The server library " + full + " could not be loaded."},
                      "registration");
      return false;
    }
    auto entry = reinterpret_cast<win::DllRegisterServerFn>(
        win::GetProcAddress(lib, "DllRegisterServer"));
    if (entry == nullptr) {
      win::FreeLibrary(lib);
      console_->Error({win::CO_E_ERRORINDLL, "The library " + full + " has no DllRegisterServer."},
                      "registration");
      return false;
    }
    const HRESULT hr = entry();
    if (FAILED(hr)) {
      Failure f = DescribeFailure(hr, nullptr, 0);
      if (f.description == kTextNoDescription) {
        f.description = "DllRegisterServer failed (registry " + win::RegistryFilePath() + ").";
      }
      win::FreeLibrary(lib);
      console_->Error(f, "registration");
      return false;
    }
    if (server_ != nullptr) win::FreeLibrary(server_);
    server_ = lib;
    // Standard output holds nothing but values when they are asked for alone.
    if (options_.values) {
      std::fprintf(stderr, "registered %s\n", full.c_str());
    } else {
      console_->Line("registered " + full);
    }
    return true;
  }

  bool Create() {
    const bool explicit_server = !options_.server.empty();
    const std::string server =
        explicit_server ? options_.server : ExecutableDir() + "/" + kServerFileName;
    bool registered = false;
    if (explicit_server) {
      if (!Register(server)) return false;
      registered = true;
    }
    win::CLSID clsid{};
    HRESULT hr = win::CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr) && !registered) {
      if (!Register(server)) return false;
      registered = true;
      hr = win::CLSIDFromProgID(kProgId, &clsid);
    }
    if (FAILED(hr)) {
      console_->Error({hr, "The class \"Tarnwick.Cobalin\" is not registered."}, "creation");
      return false;
    }
    hr = win::CoCreateInstance(clsid, nullptr, win::CLSCTX_INPROC_SERVER, win::IID_IDispatch,
                               control_.PutVoid());
    if (FAILED(hr) && !registered && RegistrationMayHelp(hr)) {
      // The registration names a library that is gone or unusable: register ours instead.
      if (!Register(server)) return false;
      registered = true;
      if (SUCCEEDED(win::CLSIDFromProgID(kProgId, &clsid))) {
        hr = win::CoCreateInstance(clsid, nullptr, win::CLSCTX_INPROC_SERVER, win::IID_IDispatch,
                                   control_.PutVoid());
      }
    }
    if (FAILED(hr)) {
      Failure f = DescribeFailure(hr, nullptr, 0);
      if (f.description == kTextNoDescription) {
        f.description = "The control could not be created.";
      }
      console_->Error(f, "creation");
      return false;
    }
    FindServerHelpers();
    return true;
  }

  // The control's table of operations lives in the server library, whichever path the
  // registration named, so its address finds that library. Another server may lack the helpers.
  void FindServerHelpers() {
    Dl_info info{};
    void* table = *reinterpret_cast<void**>(control_.Get());
    if (dladdr(table, &info) == 0 || info.dli_fname == nullptr) return;
    void* lib = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return;
    g_remove_temporary_files.store(
        reinterpret_cast<void (*)()>(dlsym(lib, "TwRemoveTemporaryFiles")));
    list_config_and_values_ =
        reinterpret_cast<ListConfigAndValuesFn>(dlsym(lib, "TwListConfigAndValues"));
    dlclose(lib);
  }

  // The type information of the control's default event interface (in class_info_) and its IID.
  bool FindEventInterface(win::IID* diid) {
    bool found = false;
    ComPtr<win::IProvideClassInfo> info;
    ComPtr<win::ITypeInfo> coclass;
    if (SUCCEEDED(control_.As(&info)) && SUCCEEDED(info->GetClassInfo(coclass.Put())) &&
        coclass) {
      win::TYPEATTR* attr = nullptr;
      win::WORD impls = 0;
      if (SUCCEEDED(coclass->GetTypeAttr(&attr)) && attr != nullptr) {
        impls = attr->cImplTypes;
        coclass->ReleaseTypeAttr(attr);
      }
      for (win::UINT i = 0; i < impls && !class_info_; ++i) {
        win::INT flags = 0;
        win::HREFTYPE ref = 0;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) ||
            (flags & win::IMPLTYPEFLAG_FSOURCE) == 0 ||
            (flags & win::IMPLTYPEFLAG_FDEFAULT) == 0 ||
            FAILED(coclass->GetRefTypeOfImplType(i, &ref))) {
          continue;
        }
        coclass->GetRefTypeInfo(ref, class_info_.Put());
      }
      if (class_info_ && SUCCEEDED(class_info_->GetTypeAttr(&attr)) && attr != nullptr) {
        *diid = attr->guid;
        found = true;
        class_info_->ReleaseTypeAttr(attr);
      }
    }
    return found;
  }

  // Connects the event printer to the control's default source interface. A control without
  // events still runs the steps.
  void Connect() {
    win::IID diid{};
    bool have_diid = FindEventInterface(&diid);
    ComPtr<win::IProvideClassInfo2> info2;
    if (!have_diid && SUCCEEDED(control_.As(&info2)) &&
        SUCCEEDED(info2->GetGUID(win::GUIDKIND_DEFAULT_SOURCE_DISP_IID, &diid))) {
      have_diid = true;
    }
    ComPtr<win::IConnectionPointContainer> container;
    HRESULT hr = have_diid ? control_.As(&container) : win::E_NOINTERFACE;
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(diid, point_.Put());
    if (SUCCEEDED(hr)) {
      printer_ = ComPtr<EventPrinter>::Adopt(new EventPrinter(diid, class_info_, console_));
      printer_->Filter(options_.events, options_.all_events);
      printer_->OnStop([this] { Text(StepKind::kCall, "Interrupt"); });
      hr = point_->Advise(static_cast<win::IDispatch*>(printer_.Get()), &cookie_);
    }
    if (FAILED(hr)) {
      std::fprintf(stderr, "note: events are not available (%s)\n", HexHresult(hr).c_str());
      printer_.Reset();
      point_.Reset();
      cookie_ = 0;
    }
  }

  void Disconnect() {
    if (point_ && cookie_ != 0) point_->Unadvise(cookie_);
    cookie_ = 0;
    point_.Reset();
    printer_.Reset();
  }

  // Names given to --events must be events of the control.
  bool CheckEventNames() {
    if (options_.events.empty() || !class_info_) return true;
    std::set<std::string> known;
    for (DISPID id = 1; id < 256; ++id) {
      BSTR name = nullptr;
      win::UINT got = 0;
      if (SUCCEEDED(class_info_->GetNames(id, &name, 1, &got)) && got == 1) {
        known.insert(Lower(Narrow(name)));
      }
      if (got == 1) win::SysFreeString(name);
    }
    for (const std::string& e : options_.events) {
      if (!known.count(e)) {
        // Named as the user wrote it.
        std::string given = e;
        for (const std::string& name : options_.event_names_given) {
          if (Lower(name) == e) given = name;
        }
        std::fprintf(stderr, "cobalin_host: the control has no event named \"%s\"\n",
                     given.c_str());
        return false;
      }
    }
    return true;
  }

  bool Dispid(const std::string& name, DISPID* id, Failure* f) {
    const std::string key = Lower(name);
    auto it = dispids_.find(key);
    if (it != dispids_.end()) {
      *id = it->second;
      return true;
    }
    std::u16string wide = Widen(name);
    win::LPOLESTR names[] = {wide.data()};
    const HRESULT hr = control_->GetIDsOfNames(win::IID_NULL, names, 1, win::LOCALE_USER_DEFAULT, id);
    if (FAILED(hr)) {
      *f = {hr, "The control has no member named \"" + name + "\"."};
      return false;
    }
    dispids_[key] = *id;
    return true;
  }

  bool Invoke(const Step& step, VARIANT* result, Failure* f) {
    DISPID id = 0;
    if (!Dispid(step.name, &id, f)) return false;
    const bool put = step.kind == StepKind::kPut;
    const size_t count = step.args.size() + (put ? 1 : 0);
    std::unique_ptr<win::Variant[]> vars(new win::Variant[count > 0 ? count : 1]);
    // The dispatch layer takes arguments last first; a put's value is the last argument.
    for (size_t i = 0; i < count; ++i) {
      const std::string& text = i < step.args.size() ? step.args[i] : step.value;
      const std::u16string wide = Widen(text);
      win::Variant& v = vars[count - 1 - i];
      v.vt = win::VT_BSTR;
      v.bstrVal = win::SysAllocStringLen(wide.data(), static_cast<win::UINT>(wide.size()));
      if (v.bstrVal == nullptr) {
        *f = {win::E_OUTOFMEMORY, "Out of memory."};
        return false;
      }
    }
    DISPID put_id = win::DISPID_PROPERTYPUT;
    win::DISPPARAMS params{vars.get(), put ? &put_id : nullptr, static_cast<win::UINT>(count),
                           put ? 1u : 0u};
    const win::WORD flags = step.kind == StepKind::kPut   ? win::DISPATCH_PROPERTYPUT
                            : step.kind == StepKind::kGet ? win::DISPATCH_PROPERTYGET
                                                          : win::DISPATCH_METHOD;
    win::EXCEPINFO excep{};
    win::UINT arg_err = 0;
    const HRESULT hr = control_->Invoke(id, win::IID_NULL, win::LOCALE_USER_DEFAULT, flags,
                                        &params, result, &excep, &arg_err);
    if (FAILED(hr)) {
      const win::UINT declared =
          arg_err < count ? static_cast<win::UINT>(count - 1 - arg_err) : arg_err;
      *f = DescribeFailure(hr, &excep, declared);
    }
    win::ClearExcepInfo(&excep);
    return SUCCEEDED(hr);
  }

  // The control's methods and properties as its type information describes them, by name.
  bool List() {
    ComPtr<win::ITypeInfo> info;
    win::TYPEATTR* attr = nullptr;
    HRESULT hr = control_->GetTypeInfo(0, win::LOCALE_USER_DEFAULT, info.Put());
    if (SUCCEEDED(hr) && info) hr = info->GetTypeAttr(&attr);
    if (FAILED(hr) || attr == nullptr) {
      console_->Error(
          {FAILED(hr) ? hr : win::E_NOINTERFACE, "The control has no type information."}, "--list");
      return false;
    }
    const win::UINT funcs = attr->cFuncs;
    info->ReleaseTypeAttr(attr);

    std::vector<ListedMember> methods;
    std::vector<ListedMember> properties;
    std::map<DISPID, size_t> property_at;
    for (win::UINT i = 0; i < funcs; ++i) {
      win::FUNCDESC* d = nullptr;
      if (FAILED(info->GetFuncDesc(i, &d)) || d == nullptr) continue;
      const bool put =
          d->invkind == win::INVOKE_PROPERTYPUT || d->invkind == win::INVOKE_PROPERTYPUTREF;
      const bool method = d->invkind == win::INVOKE_FUNC;
      // A put's last parameter is the new value, which has no name of its own.
      const int shown = d->cParams - (put && d->cParams > 0 ? 1 : 0);
      std::vector<std::string> names = MemberNames(info.Get(), d->memid, shown);
      ListedMember m;
      m.name = names[0];
      for (int p = 0; p < shown; ++p) {
        m.params.push_back(names[static_cast<size_t>(p) + 1] + ": " +
                           TypeName(d->lprgelemdescParam[p].tdesc.vt));
      }
      const win::VARTYPE type =
          put ? (d->cParams > 0 ? d->lprgelemdescParam[d->cParams - 1].tdesc.vt
                                 : static_cast<win::VARTYPE>(win::VT_EMPTY))
              : d->elemdescFunc.tdesc.vt;
      m.type = type == win::VT_VOID ? "" : TypeName(type);
      if (method) {
        methods.push_back(std::move(m));
      } else {
        auto [it, added] = property_at.emplace(d->memid, properties.size());
        if (added) properties.emplace_back();
        ListedMember& p = properties[it->second];
        // The getter names the property's index arguments; the type is the same either way.
        m.put = p.put || put;
        if (added || !put) {
          p = std::move(m);
        } else {
          p.put = true;
        }
      }
      info->ReleaseFuncDesc(d);
    }
    for (ListedMember& p : properties) p.read_only = !p.put || RefusesWrite(p);

    auto by_name = [](const ListedMember& a, const ListedMember& b) {
      return Lower(a.name) < Lower(b.name);
    };
    std::sort(methods.begin(), methods.end(), by_name);
    std::sort(properties.begin(), properties.end(), by_name);
    console_->Line("methods (" + std::to_string(methods.size()) + ")");
    for (const ListedMember& m : methods) {
      console_->Line("  " + m.Signature(true) + (m.type.empty() ? "" : ": " + m.type));
    }
    console_->Line("properties (" + std::to_string(properties.size()) + ")");
    for (const ListedMember& p : properties) {
      std::string line = "  " + p.Signature(false) + ": " + p.type;
      if (!p.params.empty()) line += ", indexed";
      if (p.read_only) line += ", read-only";
      console_->Line(line);
    }
    ListEvents();
    ListSettingsAndValues();
    return true;
  }

  // The Config settings and what the numbered values mean come from the server library's own
  // tables, which the type information does not hold.
  void ListSettingsAndValues() {
    struct Listed {
      std::vector<std::string> settings;
      std::vector<std::pair<std::string, std::vector<std::string>>> values;  // "0 word", ...
    } listed;
    auto setting = [](void* context, const char* name) {
      static_cast<Listed*>(context)->settings.emplace_back(name);
    };
    auto value = [](void* context, const char* subject, int number, const char* word) {
      auto& values = static_cast<Listed*>(context)->values;
      if (values.empty() || values.back().first != subject) {
        values.emplace_back(subject, std::vector<std::string>{});
      }
      values.back().second.push_back(std::to_string(number) + " " +
                                     (word != nullptr ? word : "(none)"));
    };
    if (list_config_and_values_ == nullptr ||
        list_config_and_values_(setting, value, &listed) != 0) {
      console_->Line("Config settings and values: not available from this server library");
      return;
    }
    std::sort(listed.settings.begin(), listed.settings.end(),
              [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
    console_->Line("Config settings (" + std::to_string(listed.settings.size()) + "):");
    Wrapped("  ", listed.settings, "  ");
    console_->Line("Values:");
    for (const auto& [subject, items] : listed.values) Wrapped("  " + subject + ": ", items, "    ");
  }

  // head, then the items separated by ", ", in lines of kListWidth at most; a line that goes on
  // starts with indent.
  void Wrapped(const std::string& head, const std::vector<std::string>& items,
               const std::string& indent) {
    std::string line = head;
    size_t start = head.size();  // where the items of this line begin
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string item = items[i] + (i + 1 < items.size() ? "," : "");
      if (line.size() > start && line.size() + 1 + item.size() > kListWidth) {
        console_->Line(line);
        line = indent;
        start = indent.size();
      }
      line += (line.size() > start ? " " : "") + item;
    }
    console_->Line(line);
  }

  // The events with their parameters. Every parameter reaches a sink by reference; what matters
  // to a reader is its type.
  void ListEvents() {
    win::IID diid{};
    win::TYPEATTR* attr = nullptr;
    if (!FindEventInterface(&diid) || FAILED(class_info_->GetTypeAttr(&attr)) || attr == nullptr) {
      return;
    }
    const win::UINT funcs = attr->cFuncs;
    class_info_->ReleaseTypeAttr(attr);
    std::vector<ListedMember> events;
    for (win::UINT i = 0; i < funcs; ++i) {
      win::FUNCDESC* d = nullptr;
      if (FAILED(class_info_->GetFuncDesc(i, &d)) || d == nullptr) continue;
      const std::vector<std::string> names = MemberNames(class_info_.Get(), d->memid, d->cParams);
      ListedMember e;
      e.name = names[0];
      for (int p = 0; p < d->cParams; ++p) {
        const win::VARTYPE vt = d->lprgelemdescParam[p].tdesc.vt & ~win::VT_BYREF;
        e.params.push_back(names[static_cast<size_t>(p) + 1] + ": " + TypeName(vt));
      }
      events.push_back(std::move(e));
      class_info_->ReleaseFuncDesc(d);
    }
    console_->Line("events (" + std::to_string(events.size()) + ")");
    for (const ListedMember& e : events) console_->Line("  " + e.Signature(true));
  }

  // The member's name and then the names of its first `params` parameters (argN without one).
  static std::vector<std::string> MemberNames(win::ITypeInfo* info, DISPID id, int params) {
    std::vector<std::string> out;
    BSTR found[kMaxNames] = {};
    win::UINT got = 0;
    if (SUCCEEDED(info->GetNames(id, found, kMaxNames, &got))) {
      for (win::UINT i = 0; i < got; ++i) out.push_back(Narrow(found[i]));
    }
    for (win::UINT i = 0; i < got; ++i) win::SysFreeString(found[i]);
    if (out.empty()) out.push_back("#" + std::to_string(id));
    while (out.size() < static_cast<size_t>(params) + 1) {
      out.push_back("arg" + std::to_string(out.size()));
    }
    return out;
  }

  // Every property has a put in the type information; the control refuses the read-only ones
  // with the standard code. The probe writes an empty value (at index -1 when indexed) into this
  // control, which runs no step.
  bool RefusesWrite(const ListedMember& p) {
    DISPID id = 0;
    Failure f;
    if (!Dispid(p.name, &id, &f)) return false;
    win::Variant args[2];  // the value, then the index: last first
    const bool indexed = !p.params.empty();
    if (indexed) {
      args[1].vt = win::VT_I4;
      args[1].lVal = -1;
    }
    DISPID put_id = win::DISPID_PROPERTYPUT;
    win::DISPPARAMS params{args, &put_id, indexed ? 2u : 1u, 1u};
    win::EXCEPINFO excep{};
    const HRESULT hr = control_->Invoke(id, win::IID_NULL, win::LOCALE_USER_DEFAULT,
                                        win::DISPATCH_PROPERTYPUT, &params, nullptr, &excep,
                                        nullptr);
    const HRESULT code = hr == win::DISP_E_EXCEPTION && excep.scode != 0 ? excep.scode : hr;
    win::ClearExcepInfo(&excep);
    return code == kSetNotSupported;
  }

  // The value of a property or method as text, "" when it fails.
  std::string Text(StepKind kind, const std::string& name, std::vector<std::string> args = {}) {
    Step step;
    step.kind = kind;
    step.name = name;
    step.args = std::move(args);
    win::Variant result;
    Failure ignored;
    return Invoke(step, &result, &ignored) ? FormatVariant(result) : "";
  }

  // Who a request meets before the service: the proxy ("HOST:PORT", "" when the request goes
  // without), whether it tunnels to the service, and the firewall set ("" for none). The log's
  // word on the proxy wins over the settings, which do not tell whether the host is excepted.
  struct Route {
    std::string proxy;
    bool proxy_tunnels = false;
    std::string firewall;
    // The one the connection goes to first: "proxy HOST:PORT", "firewall HOST:PORT" or "".
    std::string FirstHop() const {
      if (!proxy.empty() && (proxy_tunnels || firewall.empty())) return "proxy " + proxy;
      return firewall.empty() ? "" : "firewall " + firewall;
    }
  };

  Route RouteOf(const Origin& service) {
    Route r;
    if (printer_ && printer_->sent()) {
      r.proxy = printer_->proxy();
    } else if (const std::string server = Text(StepKind::kGet, "ProxyServer"); !server.empty()) {
      r.proxy = server + ":" + Text(StepKind::kGet, "ProxyPort");
    }
    if (!r.proxy.empty()) {
      const std::string ssl = Text(StepKind::kGet, "ProxySSL");  // 0 automatic, 3 tunnel
      r.proxy_tunnels = ssl == "3" || (ssl == "0" && service.scheme == "https");
    }
    // The control switches the firewall off for a host it excepts.
    const std::string host = Text(StepKind::kGet, "FirewallHost");
    if (!host.empty() && Text(StepKind::kGet, "FirewallType") != "0") {
      const std::string port = Text(StepKind::kGet, "FirewallPort");
      r.firewall = host + (port.empty() || port == "0" ? "" : ":" + port);
    }
    return r;
  }

  // True when the status of the last answer is the proxy's demand for credentials.
  bool ProxyWantsCredentials() {
    const std::string line = Text(StepKind::kCall, "Config", {"StatusLine"});
    const size_t blank = line.find(' ');
    return blank != std::string::npos &&
           line.compare(blank + 1, sizeof kProxyAuthRequired - 1, kProxyAuthRequired) == 0;
  }

  // Where the failed request went: " (talking to ORIGIN)", or " (from URL)" for an answer of
  // the service; the proxy or firewall instead when the failure is theirs; "" when no request
  // went out. The URL is the one the control's log named for the step; without it a method's
  // failure takes the place its settings make (the endpoint is appended to ACCOUNT.blob), when
  // they name an account.
  std::string PlaceOfFailure(const Step& step, const Failure& f, PathFailure kind) {
    std::string url = printer_ ? printer_->last_url() : "";
    if (url.empty()) {
      // A property sends nothing, and a 603 without a request is the control's own account check.
      if (step.kind != StepKind::kCall || f.hr == ControlError(603)) return "";
      const std::string account = Text(StepKind::kGet, "Account");
      if (account.empty()) return "";
      url = (Text(StepKind::kGet, "UseSSL") == "True" ? "https://" : "http://") + account +
            ".blob" + Text(StepKind::kCall, "Config", {"Endpoint"});
    }
    const std::optional<Origin> origin = OriginOf(url);
    if (!origin) return "";
    const Route route = RouteOf(*origin);
    // A proxy that does not tunnel answers in the service's place; TLS, if any, is with it.
    const bool plain_proxy = !route.proxy.empty() && !route.proxy_tunnels;
    if (kind == PathFailure::kService) {
      if (plain_proxy && ProxyWantsCredentials()) return " (from proxy " + route.proxy + ")";
      // The query is left out: it may carry a signature.
      return " (from " + url.substr(0, url.find('?')) + ")";
    }
    if (kind == PathFailure::kTunnel || kind == PathFailure::kNetwork) {
      const std::string hop = route.FirstHop();
      if (!hop.empty()) return " (talking to " + hop + ")";
      if (kind == PathFailure::kTunnel) return "";
    }
    if (kind == PathFailure::kHandshake && plain_proxy) {
      return " (talking to proxy " + route.proxy + ")";
    }
    std::string place = " (talking to " + origin->Text();
    if (kind == PathFailure::kHandshake && origin->scheme == "https" &&
        f.description == kTextNotTls) {
      place += ", whose answer is not TLS: is UseSSL right for this port?";
    } else if (kind == PathFailure::kHandshake && printer_ &&
               !printer_->refused_certificate().empty()) {
      place += ", whose certificate " + printer_->refused_certificate();
    }
    return place + ")";
  }

  // What the control's text leaves out: the name of an unknown setting, the count of the
  // collection an index missed, why a local file could not be opened.
  std::string ContextOfFailure(const Step& step, const Failure& f) {
    if (f.hr == ControlError(611) && f.description.starts_with(kTextCannotOpenFile)) {
      const size_t start = sizeof kTextCannotOpenFile - 1;
      const size_t end = f.description.find('"', start);
      if (end == std::string::npos) return "";
      const bool write = f.description.find("for writing", end) != std::string::npos;
      const std::string problem = FileProblem(f.description.substr(start, end - start), write);
      return problem.empty() ? "" : " (" + problem + ")";
    }
    if (f.description == kTextUnknownSetting && Lower(step.name) == "config" &&
        step.args.size() == 1) {
      std::string name = step.args[0].substr(0, step.args[0].find_first_of("=["));
      while (!name.empty() && name.back() == ' ') name.pop_back();
      return " (setting " + name + ")";
    }
    if (f.hr != kInvalidIndex || step.kind == StepKind::kCall) return "";
    // The collection's count is the property named by the longest prefix and "Count".
    for (size_t n = step.name.size() - 1; n > 0; --n) {
      DISPID id = 0;
      Failure ignored;
      const std::string count = step.name.substr(0, n) + "Count";
      if (Dispid(count, &id, &ignored)) {
        return " (" + count + " = " + Text(StepKind::kGet, count) + ")";
      }
    }
    return "";
  }

  // A failed encrypted download keeps its temporary file, as large as the blob, for a resumed
  // download (StartByte set to its size) or to be removed.
  std::string KeptDownload() {
    const std::string temp = Text(StepKind::kCall, "Config", {"DownloadTempFile"});
    struct stat st {};
    if (temp.empty() || ::stat(temp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    return " (download kept in DownloadTempFile " + temp + ", " + std::to_string(st.st_size) +
           " bytes)";
  }

  bool RunStep(const Step& step) {
    win::Variant result;
    Failure f;
    const auto started = std::chrono::steady_clock::now();
    const bool ok = Invoke(step, &result, &f);
    console_->CloseBar();
    if (!ok) {
      const PathFailure path = PathFailureOf(f.hr);
      f.description +=
          path != PathFailure::kNone ? PlaceOfFailure(step, f, path) : ContextOfFailure(step, f);
      if (step.kind == StepKind::kCall) f.description += KeptDownload();
      console_->Error(f, step.label);
      return false;
    }
    const std::string name = options_.values ? "" : step.label + " = ";
    if (step.kind == StepKind::kGet) {
      console_->Line(name + FormatVariant(result));
    } else if (step.kind == StepKind::kCall) {
      // A setting written through Config answers an empty text: nothing worth a line.
      const bool empty = result.vt == win::VT_EMPTY ||
                         (result.vt == win::VT_BSTR && win::SysStringLen(result.bstrVal) == 0);
      if (!empty) console_->Line(name + FormatVariant(result));
      if (options_.timing && (options_.timed.empty() || options_.timed.count(Lower(step.name)))) {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.3f", took.count());
        console_->Line("time " + step.label + " " + buf);
      }
    }
    return true;
  }

  const Options& options_;
  Console* console_;
  win::HMODULE server_ = nullptr;
  ListConfigAndValuesFn list_config_and_values_ = nullptr;
  ComPtr<win::IDispatch> control_;
  ComPtr<win::ITypeInfo> class_info_;  // the event interface's type information
  ComPtr<win::IConnectionPoint> point_;
  ComPtr<EventPrinter> printer_;
  win::DWORD cookie_ = 0;
  std::map<std::string, DISPID> dispids_;
};

// "a,b,c" into a set; false when an item is not a name.
bool ParseNameList(const std::string& list, std::set<std::string>* names) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string name = list.substr(start, comma - start);
    if (!IsIdentifier(name)) return false;
    names->insert(name);
    start = comma + 1;
  }
  return true;
}

// Options and steps; false with a message for a malformed command line.
bool ParseCommandLine(int argc, char** argv, Options* options, bool* help, std::string* why) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto value_of = [&](std::string_view option, std::string* out) -> bool {
      if (a == option) {
        if (i + 1 >= argc) {
          *why = std::string(option) + " needs a value";
          return false;
        }
        *out = argv[++i];
        return true;
      }
      *out = std::string(a.substr(option.size() + 1));
      return true;
    };
    auto is = [&](std::string_view option) {
      return a == option || (a.starts_with(option) && a.size() > option.size() &&
                             a[option.size()] == '=');
    };
    if (a == "--help" || a == "-h") {
      *help = true;
    } else if (a == "--no-bar") {
      options->no_bar = true;
    } else if (a == "--values") {
      options->values = true;
    } else if (a == "--list") {
      options->list = true;
    } else if (is("--time")) {
      options->timing = true;
      options->timed.clear();
      if (a != "--time") {
        std::string list = Lower(a.substr(std::string_view("--time=").size()));
        if (!ParseNameList(list, &options->timed)) {
          *why = "--time= takes method names separated by commas";
          return false;
        }
      }
    } else if (is("--server")) {
      if (!value_of("--server", &options->server)) return false;
      if (options->server.empty()) {
        *why = "--server needs a path";
        return false;
      }
    } else if (is("--events")) {
      std::string list;
      if (!value_of("--events", &list)) return false;
      options->events.clear();
      const std::string lower = Lower(list);
      options->all_events = lower == "all";
      if (lower != "all" && lower != "none" && !ParseNameList(lower, &options->events)) {
        *why = "--events takes event names separated by commas";
        return false;
      }
      std::set<std::string> given;
      ParseNameList(list, &given);
      options->event_names_given.assign(given.begin(), given.end());
    } else if (a.starts_with("-")) {
      *why = "unknown option " + std::string(a);
      return false;
    } else {
      Step step;
      std::string step_why;
      if (!ParseStep(a, &step, &step_why)) {
        *why = "step \"" + std::string(a) + "\": " + step_why;
        return false;
      }
      options->steps.push_back(std::move(step));
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  std::string why;
  if (!ParseCommandLine(argc, argv, &options, &help, &why)) {
    std::fprintf(stderr, "cobalin_host: %s\n(cobalin_host --help shows the steps and options)\n",
                 why.c_str());
    return kExitUsage;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.list && !options.steps.empty()) {
    std::fputs("cobalin_host: --list runs no step\n", stderr);
    return kExitUsage;
  }
  if (options.steps.empty() && !options.list) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  WatchStopSignals();
  Console console(!options.no_bar && isatty(STDERR_FILENO) != 0);
  // COM first: the server library then finds this process's runtime for its error objects.
  const HRESULT hr = win::CoInitializeEx(nullptr, win::COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    console.Error(DescribeFailure(hr, nullptr, 0), "CoInitializeEx");
    return kExitFailure;
  }
  int status = 0;
  {
    Host host(options, &console);
    status = host.Run();
  }
  if (const int sig = g_stop_signal.load(); sig != 0) status = 128 + sig;
  console.CloseBar();
  win::CoUninitialize();
  return status;
}
