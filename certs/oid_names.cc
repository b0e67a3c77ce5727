#include "certs/oid_names.h"

#include <cstring>

namespace tw {

namespace {

struct OidName {
  const char* oid;
  const char* name;
};

// Searched in order; the first row wins, so the later duplicate rows are never returned.
constexpr OidName kOidNames[] = {
    {"1.2.840.113549", "RSA"},
    {"1.2.840.113549.1", "PKCS"},
    {"1.2.840.113549.2", "RSA_HASH"},
    {"1.2.840.113549.3", "RSA_ENCRYPT"},
    {"1.2.840.113549.1.1", "PKCS_1"},
    {"1.2.840.113549.1.2", "PKCS_2"},
    {"1.2.840.113549.1.3", "PKCS_3"},
    {"1.2.840.113549.1.4", "PKCS_4"},
    {"1.2.840.113549.1.5", "PKCS_5"},
    {"1.2.840.113549.1.6", "PKCS_6"},
    {"1.2.840.113549.1.7", "PKCS_7"},
    {"1.2.840.113549.1.8", "PKCS_8"},
    {"1.2.840.113549.1.9", "PKCS_9"},
    {"1.2.840.113549.1.10", "PKCS_10"},
    {"1.2.840.113549.1.12", "PKCS_12"},
    {"1.2.840.113549.1.1.2", "RSA_MD2"},
    {"1.2.840.113549.1.1.3", "RSA_MD4"},
    {"1.2.840.113549.1.1.4", "RSA_MD5"},
    {"1.2.840.113549.1.1.1", "RSA_RSA"},
    {"1.2.840.113549.1.1.2", "RSA_MD2RSA"},
    {"1.2.840.113549.1.1.3", "RSA_MD4RSA"},
    {"1.2.840.113549.1.1.4", "RSA_MD5RSA"},
    {"1.2.840.113549.1.1.5", "RSA_SHA1RSA"},
    {"1.2.840.113549.1.1.6", "RSA_SETOAEP_RSA"},
    {"1.2.840.113549.1.1.11", "RSA_SHA256RSA"},
    {"1.2.840.113549.1.1.12", "RSA_SHA384RSA"},
    {"1.2.840.113549.1.1.13", "RSA_SHA512RSA"},
    {"1.2.840.113549.1.1.14", "RSA_SHA224RSA"},
    {"1.2.840.113549.1.3.1", "RSA_DH"},
    {"1.2.840.113549.1.7.1", "RSA_data"},
    {"1.2.840.113549.1.7.2", "RSA_signedData"},
    {"1.2.840.113549.1.7.3", "RSA_envelopedData"},
    {"1.2.840.113549.1.7.4", "RSA_signEnvData"},
    {"1.2.840.113549.1.7.5", "RSA_digestedData"},
    {"1.2.840.113549.1.7.5", "RSA_hashedData"},
    {"1.2.840.113549.1.7.6", "RSA_encryptedData"},
    {"1.2.840.113549.1.9.1", "RSA_emailAddr"},
    {"1.2.840.113549.1.9.2", "RSA_unstructName"},
    {"1.2.840.113549.1.9.3", "RSA_contentType"},
    {"1.2.840.113549.1.9.4", "RSA_messageDigest"},
    {"1.2.840.113549.1.9.5", "RSA_signingTime"},
    {"1.2.840.113549.1.9.6", "RSA_counterSign"},
    {"1.2.840.113549.1.9.7", "RSA_challengePwd"},
    {"1.2.840.113549.1.9.8", "RSA_unstructAddr"},
    {"1.2.840.113549.1.9.9", "RSA_extCertAttrs"},
    {"1.2.840.113549.1.9.15", "RSA_SMIMECapabilities"},
    {"1.2.840.113549.1.9.15.1", "RSA_preferSignedData"},
    {"1.2.840.113549.3.2", "RSA_RC2CBC"},
    {"1.2.840.113549.3.4", "RSA_RC4"},
    {"1.2.840.113549.3.7", "RSA_DES_EDE3_CBC"},
    {"1.2.840.113549.3.9", "RSA_RC5_CBCPad"},
    {"1.2.840.10046", "ANSI_x942"},
    {"1.2.840.10046.2.1", "ANSI_x942_DH"},
    {"1.2.840.10040", "X957"},
    {"1.2.840.10040.4.1", "X957_DSA"},
    {"1.2.840.10040.4.3", "DATA_STRUCTURE"},
    {"2.5", "DS"},
    {"2.5.8", "DSALG"},
    {"2.5.8.1", "DSALG_CRPT"},
    {"2.5.8.2", "DSALG_HASH"},
    {"2.5.8.3", "DSALG_SIGN"},
    {"2.5.8.1.1", "DSALG_RSA"},
    {"1.3.14", "OIW"},
    {"1.3.14.3.2", "OIWSEC"},
    {"1.3.14.3.2.2", "OIWSEC_md4RSA"},
    {"1.3.14.3.2.3", "OIWSEC_md5RSA"},
    {"1.3.14.3.2.4", "OIWSEC_md4RSA2"},
    {"1.3.14.3.2.6", "OIWSEC_desECB"},
    {"1.3.14.3.2.7", "OIWSEC_desCBC"},
    {"1.3.14.3.2.8", "OIWSEC_desOFB"},
    {"1.3.14.3.2.9", "OIWSEC_desCFB"},
    {"1.3.14.3.2.10", "OIWSEC_desMAC"},
    {"1.3.14.3.2.11", "OIWSEC_rsaSign"},
    {"1.3.14.3.2.12", "OIWSEC_dsa"},
    {"1.3.14.3.2.13", "OIWSEC_shaDSA"},
    {"1.3.14.3.2.14", "OIWSEC_mdc2RSA"},
    {"1.3.14.3.2.15", "OIWSEC_shaRSA"},
    {"1.3.14.3.2.16", "OIWSEC_dhCommMod"},
    {"1.3.14.3.2.17", "OIWSEC_desEDE"},
    {"1.3.14.3.2.18", "OIWSEC_sha"},
    {"1.3.14.3.2.19", "OIWSEC_mdc2"},
    {"1.3.14.3.2.20", "OIWSEC_dsaComm"},
    {"1.3.14.3.2.21", "OIWSEC_dsaCommSHA"},
    {"1.3.14.3.2.22", "OIWSEC_rsaXchg"},
    {"1.3.14.3.2.23", "OIWSEC_keyHashSeal"},
    {"1.3.14.3.2.24", "OIWSEC_md2RSASign"},
    {"1.3.14.3.2.25", "OIWSEC_md5RSASign"},
    {"1.3.14.3.2.26", "OIWSEC_sha1"},
    {"1.3.14.3.2.27", "OIWSEC_dsaSHA1"},
    {"1.3.14.3.2.28", "OIWSEC_dsaCommSHA1"},
    {"1.3.14.3.2.29", "OIWSEC_sha1RSASign"},
    {"1.3.14.7.2", "OIWDIR"},
    {"1.3.14.7.2.1", "OIWDIR_CRPT"},
    {"1.3.14.7.2.2", "OIWDIR_HASH"},
    {"1.3.14.7.2.3", "OIWDIR_SIGN"},
    {"1.3.14.7.2.2.1", "OIWDIR_md2"},
    {"1.3.14.7.2.3.1", "OIWDIR_md2RSA"},
    {"2.16.840.1.101.2.1", "INFOSEC"},
    {"2.16.840.1.101.2.1.1.1", "INFOSEC_sdnsSignature"},
    {"2.16.840.1.101.2.1.1.2", "INFOSEC_mosaicSignature"},
    {"2.16.840.1.101.2.1.1.3", "INFOSEC_sdnsConfidentiality"},
    {"2.16.840.1.101.2.1.1.4", "INFOSEC_mosaicConfidentiality"},
    {"2.16.840.1.101.2.1.1.5", "INFOSEC_sdnsIntegrity"},
    {"2.16.840.1.101.2.1.1.6", "INFOSEC_mosaicIntegrity"},
    {"2.16.840.1.101.2.1.1.7", "INFOSEC_sdnsTokenProtection"},
    {"2.16.840.1.101.2.1.1.8", "INFOSEC_mosaicTokenProtection"},
    {"2.16.840.1.101.2.1.1.9", "INFOSEC_sdnsKeyManagement"},
    {"2.16.840.1.101.2.1.1.10", "INFOSEC_mosaicKeyManagement"},
    {"2.16.840.1.101.2.1.1.11", "INFOSEC_sdnsKMandSig"},
    {"2.16.840.1.101.2.1.1.12", "INFOSEC_mosaicKMandSig"},
    {"2.16.840.1.101.2.1.1.13", "INFOSEC_SuiteASignature"},
    {"2.16.840.1.101.2.1.1.14", "INFOSEC_SuiteAConfidentiality"},
    {"2.16.840.1.101.2.1.1.15", "INFOSEC_SuiteAIntegrity"},
    {"2.16.840.1.101.2.1.1.16", "INFOSEC_SuiteATokenProtection"},
    {"2.16.840.1.101.2.1.1.17", "INFOSEC_SuiteAKeyManagement"},
    {"2.16.840.1.101.2.1.1.18", "INFOSEC_SuiteAKMandSig"},
    {"2.16.840.1.101.2.1.1.19", "INFOSEC_mosaicUpdatedSig"},
    {"2.16.840.1.101.2.1.1.20", "INFOSEC_mosaicKMandUpdSig"},
    {"2.16.840.1.101.2.1.1.21", "INFOSEC_mosaicUpdatedInteg"},
    {"1.2.840.10045.2.1", "IdEcPublicKey"},
    {"1.2.840.10045.4.1", "ECDSA_SHA1"},
    {"1.2.840.10045.4.3.2", "ECDSA_SHA256"},
    {"1.2.840.10045.4.3.3", "ECDSA_SHA384"},
    {"1.2.840.10045.4.3.4", "ECDSA_SHA512"},
};
static_assert(sizeof(kOidNames) / sizeof(kOidNames[0]) == 124);

constexpr OidName kHashNames[] = {
    {"1.3.14.3.2.26", "SHA1"},
    {"1.3.14.3.2.29", "SHA1"},
    {"1.2.840.113549.1.1.5", "SHA1"},
    {"1.2.840.10040.4.3", "SHA1"},
    {"1.2.840.10045.4.1", "SHA1"},
    {"1.2.840.113549.1.1.2", "MD2"},
    {"1.2.840.113549.1.1.3", "MD4"},
    {"1.2.840.113549.1.1.4", "MD5"},
    {"1.2.840.113549.2.5", "MD5"},
    {"1.2.840.113549.1.1.11", "SHA256"},
    {"1.2.840.10045.4.3.2", "SHA256"},
    {"2.16.840.1.101.3.4.2.1", "SHA256"},
    {"1.2.840.113549.1.1.12", "SHA384"},
    {"1.2.840.10045.4.3.3", "SHA384"},
    {"2.16.840.1.101.3.4.2.2", "SHA384"},
    {"1.2.840.113549.1.1.13", "SHA512"},
    {"1.2.840.10045.4.3.4", "SHA512"},
    {"2.16.840.1.101.3.4.2.3", "SHA512"},
    {"1.2.840.113549.1.1.14", "SHA224"},
    {"1.2.840.10045.4.3.1", "SHA224"},
    {"2.16.840.1.101.3.4.2.4", "SHA224"},
};

constexpr OidName kKeyAlgorithms[] = {
    {"1.2.840.113549.1.1.1", "RSA"},
    {"1.2.840.10040.4.1", "DSA"},
    {"1.2.840.10045.2.1", "IdEcPublicKey"},
    {"1.3.101.112", "EdDSA"},
    {"1.3.101.113", "EdDSA"},
    {"1.3.101.110", "EdDSA"},
    {"1.3.101.111", "EdDSA"},
};

template <size_t N>
const char* Lookup(const OidName (&table)[N], const char* oid) {
  for (const OidName& row : table) {
    if (std::strcmp(row.oid, oid) == 0) return row.name;
  }
  return nullptr;
}

}  // namespace

const char* OidToName(const char* oid) {
  if (!oid) return "";
  const char* name = Lookup(kOidNames, oid);
  return name ? name : oid;
}

const char* HashNameForOid(const char* oid) {
  if (!oid || !*oid) return "";
  const char* name = Lookup(kHashNames, oid);
  return name ? name : oid;
}

const char* KeyAlgorithmName(const char* oid) {
  const char* name = oid ? Lookup(kKeyAlgorithms, oid) : nullptr;
  return name ? name : "Unknown";
}

}  // namespace tw
