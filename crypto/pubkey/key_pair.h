// A key of any family, held in that family's record, with the named parameters that some key
// formats carry beside the key.
#pragma once

#include <cstdint>

#include "crypto/pubkey/dsa_key_data.h"
#include "crypto/pubkey/ec_key_data.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"
#include "foundation/string_list.h"

namespace tw {

enum KeyPairType : int32_t {
  kKeyNone = 0,
  kKeyRsa = 1,
  kKeyDsa = 2,
  kKeyEc = 3,       // P-256, P-384, P-521
  kKeyEdwards = 4,  // Ed25519, Ed448, X25519, X448
};

struct KeyPair {
  int32_t type = kKeyNone;
  RsaKeyData rsa;
  DsaKeyData dsa;
  EcKeyData ec;
  EcKeyData edwards;
  StringList paramNames;
  StringList paramValues;

  // Copies the type, the four records and both lists; the first failing copy's code.
  int CopyFrom(const KeyPair& other);
  int AddParam(const char* name, const char* value);
  // The value of the first parameter of that name (case-sensitive); "" when absent.
  const char* GetParam(const char* name) const;
  bool HasPrivate() const;
  bool IsEcKind() const { return type == kKeyEc || type == kKeyEdwards; }
  // Completes the matching record's public and derived parts.
  int DerivePublic();

  // Copies of the family record with its derived parts completed; -1 (output untouched) for a
  // key of another family. With public_only the private components of the copy are cleared.
  int GetRsa(RsaKeyData* out, bool public_only) const;
  int GetDsa(DsaKeyData* out, bool public_only) const;
  int GetEc(EcKeyData* out, bool public_only) const;
};

using KeyPairArray = PtrArray<KeyPair>;

}  // namespace tw
