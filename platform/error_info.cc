#include "platform/error_info.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "platform/com_ref_counted.h"

namespace win {
namespace {

constexpr char kRuntimeVariable[] = "TW_COM_RUNTIME";
constexpr uint64_t kRuntimeMagic = 0x74775F636F6D7274ull;  // "tw_comrt"
constexpr uint32_t kRuntimeVersion = 1;

// The services that must be one per process, whichever copy of this layer calls them.
struct SharedRuntime {
  uint64_t magic;
  uint64_t nonce;
  uint32_t version;
  HRESULT (*create_error_info)(ICreateErrorInfo**);
  HRESULT (*set_error_info)(IErrorInfo*);
  HRESULT (*get_error_info)(IErrorInfo**);
};

class ErrorObject final : public RefCounted<IErrorInfo, ICreateErrorInfo> {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
      *object = static_cast<IErrorInfo*>(this);
    } else if (iid == IID_ICreateErrorInfo) {
      *object = static_cast<ICreateErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  HRESULT GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_INVALIDARG;
    *guid = guid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* out) override { return Copy(source_, out); }
  HRESULT GetDescription(BSTR* out) override { return Copy(description_, out); }
  HRESULT GetHelpFile(BSTR* out) override { return Copy(help_file_, out); }
  HRESULT GetHelpContext(DWORD* out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = help_context_;
    return S_OK;
  }

  HRESULT SetGUID(REFGUID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT SetSource(LPCOLESTR text) override { return Set(source_, text); }
  HRESULT SetDescription(LPCOLESTR text) override { return Set(description_, text); }
  HRESULT SetHelpFile(LPCOLESTR text) override { return Set(help_file_, text); }
  HRESULT SetHelpContext(DWORD help_context) override {
    help_context_ = help_context;
    return S_OK;
  }

 private:
  ~ErrorObject() = default;

  static HRESULT Copy(const std::optional<std::u16string>& s, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (!s) return S_OK;
    *out = SysAllocStringLen(s->data(), static_cast<UINT>(s->size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  static HRESULT Set(std::optional<std::u16string>& s, LPCOLESTR text) {
    try {
      if (text == nullptr) {
        s.reset();
      } else {
        s = std::u16string(text);
      }
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  GUID guid_{};
  std::optional<std::u16string> source_;
  std::optional<std::u16string> description_;
  std::optional<std::u16string> help_file_;
  DWORD help_context_ = 0;
};

// The thread's slot; what is left in it is released when the thread ends.
struct Slot {
  IErrorInfo* info = nullptr;
  ~Slot() {
    if (info != nullptr) info->Release();
  }
};
thread_local Slot t_slot;

HRESULT LocalCreate(ICreateErrorInfo** out) {
  auto* object = new (std::nothrow) ErrorObject;
  if (object == nullptr) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

HRESULT LocalSet(IErrorInfo* info) {
  if (info != nullptr) info->AddRef();
  IErrorInfo* old = t_slot.info;
  t_slot.info = info;
  if (old != nullptr) old->Release();
  return S_OK;
}

HRESULT LocalGet(IErrorInfo** out) {
  *out = t_slot.info;
  t_slot.info = nullptr;
  return *out != nullptr ? S_OK : S_FALSE;
}

// Reads `bytes` at `address` without faulting: the kernel reports an unmapped address as EFAULT.
bool SafeRead(uintptr_t address, void* out, size_t bytes) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  bool ok = ::write(fds[1], reinterpret_cast<const void*>(address), bytes) ==
                static_cast<ssize_t>(bytes) &&
            ::read(fds[0], out, bytes) == static_cast<ssize_t>(bytes);
  ::close(fds[0]);
  ::close(fds[1]);
  return ok;
}

SharedRuntime* Published() {
  const char* text = std::getenv(kRuntimeVariable);
  if (text == nullptr) return nullptr;
  long pid = 0;
  uintptr_t address = 0;
  uint64_t nonce = 0;
  if (std::sscanf(text, "%ld:%" SCNxPTR ":%" SCNx64, &pid, &address, &nonce) != 3 ||
      address == 0) {
    return nullptr;
  }
  // Inherited from a parent process: its address means nothing here, so it is not even read.
  if (pid != static_cast<long>(::getpid())) return nullptr;
  SharedRuntime seen{};
  if (!SafeRead(address, &seen, sizeof seen)) return nullptr;
  if (seen.magic != kRuntimeMagic || seen.nonce != nonce || seen.version != kRuntimeVersion) {
    return nullptr;
  }
  return reinterpret_cast<SharedRuntime*>(address);
}

SharedRuntime* Publish() {
  auto* rt =
      new SharedRuntime{kRuntimeMagic, 0, kRuntimeVersion, &LocalCreate, &LocalSet, &LocalGet};
  while (::getrandom(&rt->nonce, sizeof rt->nonce, 0) != static_cast<ssize_t>(sizeof rt->nonce)) {
    if (errno != EINTR) {
      rt->nonce = reinterpret_cast<uintptr_t>(rt) ^ static_cast<uint64_t>(::getpid());
      break;
    }
  }
  char text[64];
  std::snprintf(text, sizeof text, "%ld:%" PRIxPTR ":%" PRIx64, static_cast<long>(::getpid()),
                reinterpret_cast<uintptr_t>(rt), rt->nonce);
  ::setenv(kRuntimeVariable, text, 1);
  return rt;  // never freed: other copies of the layer keep its address
}

SharedRuntime* Runtime() {
  static SharedRuntime* rt = [] {
    SharedRuntime* found = Published();
    return found != nullptr ? found : Publish();
  }();
  return rt;
}

}  // namespace

void InitializeComRuntime() { Runtime(); }

HRESULT CreateErrorInfo(ICreateErrorInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  return Runtime()->create_error_info(info);
}

HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info) {
  if (reserved != 0) return E_INVALIDARG;
  return Runtime()->set_error_info(info);
}

HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  if (reserved != 0) return E_INVALIDARG;
  return Runtime()->get_error_info(info);
}

}  // namespace win
