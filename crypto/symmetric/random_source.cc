#include "crypto/symmetric/random_source.h"

#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr const char* kKeyContainer = "_KOV_RNG_";

constexpr const char* kTextLibraryMissing = "The security library could not be loaded.";
constexpr const char* kTextAcquireFailed = "The random number provider could not be acquired.";
constexpr const char* kTextGenerateFailed = "The random number generator failed.";

}  // namespace

int RandomSource::Acquire(const win::CryptRandomEntryPoints& api) {
  win::HCRYPTPROV handle = 0;
  bool ok = api.acquire(&handle, kKeyContainer, nullptr, win::PROV_RSA_FULL, 0) != 0;
  if (!ok) {
    ok = api.acquire(&handle, kKeyContainer, nullptr, win::PROV_RSA_FULL, win::CRYPT_NEWKEYSET) != 0;
    // Another thread may have created the container between the two calls.
    if (!ok && win::GetLastError() == win::NTE_EXISTS) {
      ok = api.acquire(&handle, kKeyContainer, nullptr, win::PROV_RSA_FULL, 0) != 0;
    }
  }
  if (!ok || handle == 0) {
    platformError_ = win::GetLastError();
    errorText_ = kTextAcquireFailed;
    return kErrRandomUnavailable;
  }
  provider_ = handle;
  release_ = api.release;
  return kOk;
}

int RandomSource::Fill(void* buffer, int offset, int count) {
  if (offset < 0 || count < 0) return kErrInvalidValue;
  if (buffer == nullptr || count == 0) return kOk;
  const win::CryptRandomEntryPoints api = win::BindCryptRandom();
  if (api.acquire == nullptr || api.generate == nullptr || api.release == nullptr) {
    platformError_ = win::ERROR_MOD_NOT_FOUND;
    errorText_ = kTextLibraryMissing;
    return kErrRandomUnavailable;
  }
  if (provider_ == 0) {
    const int rc = Acquire(api);
    if (rc != kOk) return rc;
  }
  if (!api.generate(provider_, static_cast<win::DWORD>(count), static_cast<uint8_t*>(buffer) + offset)) {
    platformError_ = win::GetLastError();
    errorText_ = kTextGenerateFailed;
    return kErrRandomUnavailable;
  }
  platformError_ = 0;
  errorText_ = "";
  return kOk;
}

void RandomSource::Release() {
  if (provider_ != 0 && release_ != nullptr) release_(provider_, 0);
  provider_ = 0;
  release_ = nullptr;
}

int FillRandom(int count, ByteString& out) {
  if (count < 0) {
    out.Reset();
    return kErrInvalidValue;
  }
  int rc = out.Resize(count);
  if (rc != kOk) {
    out.Reset();
    return rc;
  }
  {
    RandomSource source;
    rc = source.Fill(out.data(), 0, count);
  }
  if (rc != kOk) {
    WipeBytes(out.data(), static_cast<size_t>(out.length()));
    out.Reset();
  }
  return rc;
}

}  // namespace tw
