#include "platform/random.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/key_container.h"
#include "platform/process_tables.h"

namespace win {
namespace {

// getrandom() hands out at most this much per call anyway; asking for less keeps each call cheap.
constexpr size_t kMaxKernelRequest = 1 << 20;
constexpr size_t kShortReadLimit = 5;

std::atomic<CryptRandomFault> g_fault{CryptRandomFault::kNone};
std::atomic<long> g_kernel_calls{0};

struct Registry {
  std::mutex lock;
  std::set<std::string> containers;
  std::set<HCRYPTPROV> contexts;
};

Registry& State() {
  static Registry* registry = KeepProcessTable(new Registry);  // used from static destructors
  return *registry;
}

// One call to the kernel generator, with the test faults applied. Same contract as getrandom().
ssize_t KernelRandom(uint8_t* p, size_t n) {
  const long call = g_kernel_calls.fetch_add(1, std::memory_order_relaxed);
  switch (g_fault.load(std::memory_order_relaxed)) {
    case CryptRandomFault::kGenerateFails:
      errno = ENOSYS;
      return -1;
    case CryptRandomFault::kShortReads:
      if (call % 2 == 1) {
        errno = EINTR;
        return -1;
      }
      if (n > kShortReadLimit) n = kShortReadLimit;
      break;
    default:
      break;
  }
  return getrandom(p, n, 0);
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* provider, const char* container, const char* provider_name,
                          DWORD provider_type, DWORD flags) {
  if (provider == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *provider = 0;
  if (g_fault.load(std::memory_order_relaxed) == CryptRandomFault::kAcquireFails) {
    SetLastError(NTE_FAIL);
    return FALSE;
  }
  // A named provider keeps its containers on disk.
  if (provider_name != nullptr) return KeyContainerAcquire(provider, container, provider_name, provider_type, flags);
  if (provider_type != PROV_RSA_FULL && provider_type != PROV_RSA_AES) {
    SetLastError(NTE_BAD_PROV_TYPE);
    return FALSE;
  }
  const DWORD verify = flags & CRYPT_VERIFYCONTEXT;
  const DWORD rest = flags & ~CRYPT_VERIFYCONTEXT;
  if (rest != 0 && rest != CRYPT_NEWKEYSET && rest != CRYPT_DELETEKEYSET) {
    SetLastError(NTE_BAD_FLAGS);
    return FALSE;
  }
  Registry& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  const std::string name = container ? container : "";
  if (!verify) {
    const bool exists = state.containers.count(name) != 0;
    if (rest == CRYPT_DELETEKEYSET) {
      if (!exists) {
        SetLastError(NTE_BAD_KEYSET);
        return FALSE;
      }
      state.containers.erase(name);
      SetLastError(ERROR_SUCCESS);
      return TRUE;  // no context is handed out for a deletion
    }
    if (rest == CRYPT_NEWKEYSET) {
      if (exists) {
        SetLastError(NTE_EXISTS);
        return FALSE;
      }
      state.containers.insert(name);
    } else if (!exists) {
      SetLastError(NTE_BAD_KEYSET);
      return FALSE;
    }
  }
  const HCRYPTPROV handle = NewHandleId();
  state.contexts.insert(handle);
  *provider = handle;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, uint8_t* buffer) {
  {
    Registry& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.contexts.count(provider) == 0) {
      SetLastError(NTE_BAD_UID);
      return FALSE;
    }
  }
  if (length > 0 && buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t done = 0;
  while (done < length) {
    size_t want = length - done;
    if (want > kMaxKernelRequest) want = kMaxKernelRequest;
    const ssize_t got = KernelRandom(buffer + done, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    done += static_cast<size_t>(got);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
  if (flags != 0) {
    SetLastError(NTE_BAD_FLAGS);
    return FALSE;
  }
  if (IsKeyContainerContext(provider)) return KeyContainerRelease(provider);
  Registry& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.contexts.erase(provider) == 0) {
    SetLastError(NTE_BAD_UID);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

CryptRandomEntryPoints BindCryptRandom() {
  if (g_fault.load(std::memory_order_relaxed) == CryptRandomFault::kLibraryMissing) {
    return {nullptr, nullptr, nullptr};
  }
  return {&CryptAcquireContextA, &CryptGenRandom, &CryptReleaseContext};
}

void SetCryptRandomFaultForTesting(CryptRandomFault fault) { g_fault.store(fault, std::memory_order_relaxed); }

long OpenCryptContextCount() {
  Registry& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return static_cast<long>(state.contexts.size());
}

long KernelRandomCallCount() { return g_kernel_calls.load(std::memory_order_relaxed); }

void ResetKeyContainersForTesting() {
  Registry& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.containers.clear();
}

}  // namespace win
