// The store types of a certificate store: where its content comes from and what it holds. The
// control's type library publishes the same enumeration.
#pragma once

#include <cstdint>

namespace tw {

enum CertStoreTypes : int32_t {
  cstUser = 0,
  cstMachine = 1,
  cstPFXFile = 2,
  cstPFXBlob = 3,
  cstJKSFile = 4,
  cstJKSBlob = 5,
  cstPEMKeyFile = 6,
  cstPEMKeyBlob = 7,
  cstPublicKeyFile = 8,
  cstPublicKeyBlob = 9,
  cstSSHPublicKeyBlob = 10,
  cstP7BFile = 11,
  cstP7BBlob = 12,
  cstSSHPublicKeyFile = 13,
  cstPPKFile = 14,
  cstPPKBlob = 15,
  cstXMLFile = 16,
  cstXMLBlob = 17,
  cstJWKFile = 18,
  cstJWKBlob = 19,
  cstSecurityKey = 20,
  cstAuto = 99
};

}  // namespace tw
