// The events of _ICobalinEvents: the blob client's event values as Automation values, delivered by
// IDispatch::Invoke to every sink connected to the control's event connection point.
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "control/automation_values.h"
#include "control/control_object.h"
#include "platform/automation.h"

namespace tw {

namespace {

// How each event value arrives from the client and leaves for the sinks:
//   t  text                       -> BSTR
//   y  bytes + int32 length       -> BSTR over the length (two client arguments)
//   s  int32                      -> I2 (low 16 bits: values the service keeps below 32768)
//   i  int32                      -> I4
//   b  int32 flag                 -> VARIANT_BOOL
//   w  the client's int32 answer  -> VARIANT_BOOL, written back after the last sink
//   l  int64                      -> VARIANT holding a signed VT_DECIMAL
constexpr std::array<std::string_view, 16> kEventShapes = {
    "",              // no event 0
    "ttstlttttbbs",  // 1 BlobList
    "tsi",           // 2 BlockList
    "tttbs",         // 3 ContainerList
    "s",             // 4 EndTransfer
    "st",            // 5 Error
    "iiw",           // 6 FragmentComplete
    "tt",            // 7 Header
    "stt",           // 8 Log
    "ttttt",         // 9 MetadataList
    "t",             // 10 PrefixList
    "slls",          // 11 Progress
    "ytttw",         // 12 SSLServerAuthentication
    "t",             // 13 SSLStatus
    "s",             // 14 StartTransfer
    "slsy",          // 15 Transfer
};

constexpr size_t kMaxEventParams = 12;
constexpr win::LCID kEventLocale = 0x0400;

int ClientArgCount(std::string_view shape) {
  int n = 0;
  for (char kind : shape) n += kind == 'y' ? 2 : 1;
  return n;
}

const char* TextArg(void* arg) { return arg != nullptr ? static_cast<const char*>(arg) : ""; }
int32_t IntArg(void* arg) { return arg != nullptr ? *static_cast<const int32_t*>(arg) : 0; }
int64_t Int64Arg(void* arg) { return arg != nullptr ? *static_cast<const int64_t*>(arg) : 0; }

// The converted values of one event, shared by every sink through by-reference parameters.
class EventParams {
 public:
  EventParams() = default;
  EventParams(const EventParams&) = delete;
  EventParams& operator=(const EventParams&) = delete;
  ~EventParams() {
    for (size_t k = 0; k < count_; ++k) {
      Param& p = params_[k];
      if (p.kind == 't' || p.kind == 'y') win::SysFreeString(p.text);
      if (p.kind == 'l') win::VariantClear(&p.number);
    }
  }

  HRESULT AddText(char kind, const void* bytes, int n, int code_page) {
    Param& p = Next(kind);
    return BstrFromBytes(bytes, n, code_page, &p.text);
  }
  void AddShort(int32_t value) { Next('s').i2 = static_cast<win::SHORT>(value); }
  void AddLong(int32_t value) { Next('i').i4 = value; }
  void AddBool(char kind, int32_t value) {
    Next(kind).flag = value != 0 ? win::VARIANT_TRUE : win::VARIANT_FALSE;
  }
  void AddInt64(int64_t value) { DecimalFromInt64(value, &Next('l').number); }

  // The parameters as Invoke takes them: by reference, the last parameter first.
  win::DISPPARAMS Dispatch() {
    for (size_t k = 0; k < count_; ++k) {
      Param& p = params_[k];
      win::VARIANT& v = refs_[count_ - 1 - k];
      win::VariantInit(&v);
      switch (p.kind) {
        case 't':
        case 'y':
          v.vt = win::VT_BYREF | win::VT_BSTR;
          v.pbstrVal = &p.text;
          break;
        case 's':
          v.vt = win::VT_BYREF | win::VT_I2;
          v.piVal = &p.i2;
          break;
        case 'i':
          v.vt = win::VT_BYREF | win::VT_I4;
          v.plVal = &p.i4;
          break;
        case 'b':
        case 'w':
          v.vt = win::VT_BYREF | win::VT_BOOL;
          v.pboolVal = &p.flag;
          break;
        default:
          v.vt = win::VT_BYREF | win::VT_VARIANT;
          v.pvarVal = &p.number;
          break;
      }
    }
    return win::DISPPARAMS{refs_.data(), nullptr, static_cast<win::UINT>(count_), 0};
  }

  bool AnswerAt(size_t k) const { return params_[k].flag != win::VARIANT_FALSE; }

 private:
  struct Param {
    char kind = 0;
    win::BSTR text = nullptr;
    win::SHORT i2 = 0;
    win::LONG i4 = 0;
    win::VARIANT_BOOL flag = win::VARIANT_FALSE;
    win::VARIANT number{};
  };
  Param& Next(char kind) {
    Param& p = params_[count_++];
    p.kind = kind;
    return p;
  }

  std::array<Param, kMaxEventParams> params_{};
  std::array<win::VARIANT, kMaxEventParams> refs_{};
  size_t count_ = 0;
};

}  // namespace

void ControlObject::SetCodePage(int code_page) { event_code_page_ = code_page; }

int ControlObject::Fire(int event, std::span<void* const> args) {
  if (event < 1 || event >= static_cast<int>(kEventShapes.size())) return win::E_INVALIDARG;
  const std::string_view shape = kEventShapes[static_cast<size_t>(event)];
  if (static_cast<int>(args.size()) != ClientArgCount(shape)) return win::E_INVALIDARG;
  // Nobody listens: converting (a whole received piece for Transfer) would only be thrown away.
  if (events_point_.SinkCount() == 0) return win::S_OK;

  // Convert every value first: a failed text conversion reaches no sink.
  EventParams params;
  const void* bytes = nullptr;
  int bytes_length = 0;
  size_t next = 0;
  for (char kind : shape) {
    void* arg = args[next++];
    HRESULT hr = win::S_OK;
    switch (kind) {
      case 't':
        hr = params.AddText(kind, TextArg(arg), -1, event_code_page_);
        break;
      case 'y':
        bytes = TextArg(arg);
        bytes_length = IntArg(args[next++]);
        if (bytes_length < 0) bytes_length = 0;
        hr = params.AddText(kind, bytes, bytes_length, event_code_page_);
        break;
      case 's':
        params.AddShort(IntArg(arg));
        break;
      case 'i':
        params.AddLong(IntArg(arg));
        break;
      case 'b':
      case 'w':
        params.AddBool(kind, IntArg(arg));
        break;
      default:
        params.AddInt64(Int64Arg(arg));
        break;
    }
    if (hr != win::S_OK) return hr;
  }

  // The raw bytes stay readable through the byte properties while the sinks run; an event fired
  // from inside a handler restores the outer event's bytes when it ends.
  const void* outer_cert = event_cert_;
  const int outer_cert_length = event_cert_length_;
  const void* outer_text = event_text_;
  const int outer_text_length = event_text_length_;
  if (event == kBlobEventSslServerAuthentication) {
    event_cert_ = bytes;
    event_cert_length_ = bytes_length;
  } else if (event == kBlobEventTransfer) {
    event_text_ = bytes;
    event_text_length_ = bytes_length;
  }

  win::DISPPARAMS dispatch = params.Dispatch();
  ++event_depth_;
  // Places are read one at a time and each sink is held while it runs, so a handler may connect
  // or disconnect sinks (itself included) without disturbing this walk.
  const size_t places = events_point_.ConnectionCount();
  for (size_t place = 0; place < places; ++place) {
    win::ComPtr<IUnknown> sink = events_point_.SinkAt(place);
    if (!sink) continue;
    win::ComPtr<win::IDispatch> target;
    if (sink.As(&target) != win::S_OK || !target) continue;
    win::Variant result;
    target->Invoke(event, win::IID_NULL, kEventLocale, win::DISPATCH_METHOD, &dispatch, &result,
                   nullptr, nullptr);
  }
  --event_depth_;

  event_cert_ = outer_cert;
  event_cert_length_ = outer_cert_length;
  event_text_ = outer_text;
  event_text_length_ = outer_text_length;

  // Only the answer flags go back to the client.
  size_t k = 0;
  next = 0;
  for (char kind : shape) {
    void* arg = args[next];
    next += kind == 'y' ? 2 : 1;
    if (kind == 'w' && arg != nullptr) *static_cast<int32_t*>(arg) = params.AnswerAt(k) ? 1 : 0;
    ++k;
  }
  return win::S_OK;
}

}  // namespace tw
