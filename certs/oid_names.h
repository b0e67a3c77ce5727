// Names of object identifiers: the general name table, hash names of digest and signature
// algorithms, and key algorithm names.
#pragma once

namespace tw {

// The table name of a dotted OID; the OID itself when unknown; "" for null.
const char* OidToName(const char* oid);
// "SHA256" and the like for a digest or signature OID; unknown texts come back as they are, so a
// hash name may be passed too; "" for null or "".
const char* HashNameForOid(const char* oid);
// "RSA", "DSA", "IdEcPublicKey", "EdDSA" or "Unknown".
const char* KeyAlgorithmName(const char* oid);

}  // namespace tw
