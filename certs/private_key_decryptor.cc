#include "certs/private_key_decryptor.h"

#include <cstring>

#include "certs/pkcs12_pbe.h"
#include "certs/private_key_reader.h"
#include "crypto/symmetric/cipher_engine.h"
#include "foundation/text_conversion.h"

namespace tw {

int DecryptEncryptedPkcs8(const ByteString& der, const char* password, ByteString* private_key_info) {
  ByteString text, data;
  int rc = text.SetText(password == nullptr ? "" : password);
  if (rc == kOk) rc = DecryptEncryptedPrivateKeyInfo(der, text, &data);
  // Under a wrong password CBC gives garbage: a bad padding mostly, else no SEQUENCE.
  if (rc == kErrCipherPadding || (rc == kOk && !IsDerSequence(data.data(), data.length()))) rc = kErrKeyNotDecrypted;
  if (rc == kOk) rc = private_key_info->Assign(data);
  WipeString(text);
  WipeString(data);
  return rc;
}

int ReadEncryptedPkcs8PrivateKey(const ByteString& der, const char* password, KeyPair* key) {
  ByteString info;
  int rc = DecryptEncryptedPkcs8(der, password, &info);
  if (rc == kOk) rc = ReadPkcs8PrivateKey(info, key);
  WipeBytes(info.bytes(), static_cast<size_t>(info.length()));
  return rc;
}

}  // namespace tw
