#include "certs/cng_key.h"

namespace tw {
namespace {

constexpr const char16_t* kCngAlgorithms[] = {u"ECDSA_P256", u"ECDSA_P384", u"ECDSA_P521"};

}  // namespace

bool CngAvailable() { return CngEntryPoints() != nullptr; }

int CngGenerateEcKey(int curve_id, EcKeyData* out) {
  const CngCalls* c = CngEntryPoints();
  if (c == nullptr) return kErrCngMissing;
  if (out == nullptr || !CurveIsPrime(curve_id)) return kErrEcParams;
  win::NCRYPT_PROV_HANDLE provider = 0;
  win::NCRYPT_KEY_HANDLE key = 0;
  win::SECURITY_STATUS st = c->OpenStorageProvider(&provider, win::MS_KEY_STORAGE_PROVIDER, 0);
  if (st == 0) st = c->CreatePersistedKey(provider, &key, kCngAlgorithms[curve_id], nullptr, 0, 0);
  // The key is read back into the record, so the platform must let it out in the clear.
  const win::DWORD policy = win::NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG;
  if (st == 0) {
    st = c->SetProperty(key, win::NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<const uint8_t*>(&policy),
                        sizeof policy, win::NCRYPT_PERSIST_FLAG);
  }
  if (st == 0) st = c->FinalizeKey(key, 0);
  win::DWORD size = 0;
  if (st == 0) st = c->ExportKey(key, 0, win::BCRYPT_ECCPRIVATE_BLOB, nullptr, nullptr, 0, &size, 0);
  ByteString blob;
  int rc = st;
  if (rc == 0) rc = blob.SetData(static_cast<int>(size), nullptr);
  if (rc == 0) rc = c->ExportKey(key, 0, win::BCRYPT_ECCPRIVATE_BLOB, nullptr, blob.bytes(), size, &size, 0);
  if (key != 0) c->FreeObject(key);
  if (provider != 0) c->FreeObject(provider);
  if (rc == 0) {
    out->Clear();
    rc = out->ImportCngBlob(blob);
    if (rc == 0 && out->curve_id != curve_id) rc = kErrEcCngBlob;
    if (rc != 0) out->Clear();
  }
  WipeComponent(blob);
  return rc;
}

}  // namespace tw
