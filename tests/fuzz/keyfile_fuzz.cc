// libFuzzer entry for the key and container files a user hands the control: PEM text, PFX,
// OpenSSH, PuTTY, JWK, SSH public keys, XML keys and key blobs. The first byte picks the reader.
#include <cstdint>
#include <string>

#include "certs/jwk_key.h"
#include "certs/key_blob.h"
#include "certs/key_xml.h"
#include "certs/openssh_key.h"
#include "certs/pem_armor.h"
#include "certs/pkcs12_container.h"
#include "certs/private_key_reader.h"
#include "certs/putty_key.h"
#include "certs/ssh_public_key.h"
#include "crypto/pubkey/key_pair.h"
#include "foundation/string_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const uint8_t* body = data + 1;
  const int n = static_cast<int>(size - 1);
  const std::string text(reinterpret_cast<const char*>(body), static_cast<size_t>(n));
  tw::KeyPair key;
  switch (data[0] % 8) {
    case 0: {
      tw::StringList labels, headers, bodies;
      tw::ByteString error;
      tw::ReadPemBlocks(body, n, &labels, &headers, &bodies, &error);
      break;
    }
    case 1: {
      tw::Pkcs12Container pfx;
      tw::ByteString password;
      password.SetText("secret");
      tw::ReadPfx(body, n, password, &pfx);
      break;
    }
    case 2: tw::ReadOpenSshPrivateKey(&key, body, n, "secret"); break;
    case 3: {
      tw::ByteString error;
      tw::ReadPuttyPrivateKey(&key, text.c_str(), n, "secret", &error);
      break;
    }
    case 4: tw::ReadJwk(&key, text.c_str()); break;
    case 5: tw::ReadSshPublicKey(body, n, &key); break;
    case 6: {
      tw::KeyPairArray keys;
      tw::CertificateArray certificates;
      tw::ReadXmlKeys(text.c_str(), n, &keys, &certificates);
      break;
    }
    default: {
      tw::ByteString der;
      if (der.Set(body, n) == 0) tw::ReadPkcs8PrivateKey(der, &key);
      tw::KeyPair blob;
      tw::ReadKeyBlob(body, n, &blob);
      break;
    }
  }
  return 0;
}
