// The few libssl and libcrypto entry points the SChannel and crypt32 stand-ins use, bound at
// run time through LoadLibraryA (so a test can switch either library off). Types stay opaque:
// nothing here reads a structure of the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sspi.h"

namespace win {

struct OsslSsl;
struct OsslCtx;
struct OsslMethod;
struct OsslBio;
struct OsslBioMethod;
struct OsslCipher;
struct OsslX509;
struct OsslName;
struct OsslStore;
struct OsslStoreCtx;
struct OsslStack;
struct OsslPkey;
struct OsslPkcs12;
struct OsslMd;
struct OsslBignum;
struct OsslParam;
struct OsslParamBuilder;
struct OsslPkeyCtx;
struct OsslEcdsaSig;

struct OpenSslEntries {
  // libssl
  const OsslMethod* (*TLS_client_method)();
  OsslCtx* (*SSL_CTX_new)(const OsslMethod*);
  void (*SSL_CTX_free)(OsslCtx*);
  long (*SSL_CTX_ctrl)(OsslCtx*, int, long, void*);
  int (*SSL_CTX_set_cipher_list)(OsslCtx*, const char*);
  uint64_t (*SSL_CTX_set_options)(OsslCtx*, uint64_t);
  OsslStack* (*SSL_CTX_get_ciphers)(const OsslCtx*);
  OsslSsl* (*SSL_new)(OsslCtx*);
  void (*SSL_free)(OsslSsl*);
  void (*SSL_set_bio)(OsslSsl*, OsslBio*, OsslBio*);
  void (*SSL_set_connect_state)(OsslSsl*);
  int (*SSL_do_handshake)(OsslSsl*);
  int (*SSL_get_error)(const OsslSsl*, int);
  int (*SSL_read)(OsslSsl*, void*, int);
  int (*SSL_write)(OsslSsl*, const void*, int);
  int (*SSL_shutdown)(OsslSsl*);
  long (*SSL_ctrl)(OsslSsl*, int, long, void*);
  int (*SSL_set_alpn_protos)(OsslSsl*, const unsigned char*, unsigned int);
  void (*SSL_get0_alpn_selected)(const OsslSsl*, const unsigned char**, unsigned int*);
  uint64_t (*SSL_set_options)(OsslSsl*, uint64_t);
  OsslX509* (*SSL_get1_peer_certificate)(const OsslSsl*);
  OsslStack* (*SSL_get_peer_cert_chain)(const OsslSsl*);
  const OsslCipher* (*SSL_get_current_cipher)(const OsslSsl*);
  int (*SSL_version)(const OsslSsl*);
  int (*SSL_is_init_finished)(const OsslSsl*);
  int (*SSL_CIPHER_get_bits)(const OsslCipher*, int*);
  int (*SSL_CIPHER_get_cipher_nid)(const OsslCipher*);
  int (*SSL_CIPHER_get_digest_nid)(const OsslCipher*);
  int (*SSL_CIPHER_get_kx_nid)(const OsslCipher*);
  const char* (*SSL_CIPHER_get_name)(const OsslCipher*);
  int (*SSL_CTX_use_certificate)(OsslCtx*, OsslX509*);
  int (*SSL_CTX_use_PrivateKey)(OsslCtx*, OsslPkey*);
  int (*SSL_CTX_check_private_key)(const OsslCtx*);
  // libcrypto
  OsslBio* (*BIO_new)(const OsslBioMethod*);
  const OsslBioMethod* (*BIO_s_mem)();
  int (*BIO_free)(OsslBio*);
  int (*BIO_read)(OsslBio*, void*, int);
  int (*BIO_write)(OsslBio*, const void*, int);
  long (*BIO_ctrl)(OsslBio*, int, long, void*);
  size_t (*BIO_ctrl_pending)(OsslBio*);
  OsslX509* (*d2i_X509)(OsslX509**, const unsigned char**, long);
  int (*i2d_X509)(OsslX509*, unsigned char**);
  OsslX509* (*PEM_read_bio_X509)(OsslBio*, OsslX509**, void*, void*);
  void (*X509_free)(OsslX509*);
  int (*X509_up_ref)(OsslX509*);
  OsslName* (*X509_get_subject_name)(const OsslX509*);
  int (*i2d_X509_NAME)(const OsslName*, unsigned char**);
  OsslName* (*X509_get_issuer_name)(const OsslX509*);
  int (*X509_NAME_print_ex)(OsslBio*, const OsslName*, int, unsigned long);
  int (*X509_check_host)(OsslX509*, const char*, size_t, unsigned int, char**);
  int (*X509_check_ip_asc)(OsslX509*, const char*, unsigned int);
  OsslStore* (*X509_STORE_new)();
  void (*X509_STORE_free)(OsslStore*);
  int (*X509_STORE_add_cert)(OsslStore*, OsslX509*);
  OsslStoreCtx* (*X509_STORE_CTX_new)();
  void (*X509_STORE_CTX_free)(OsslStoreCtx*);
  int (*X509_STORE_CTX_init)(OsslStoreCtx*, OsslStore*, OsslX509*, OsslStack*);
  void (*X509_STORE_CTX_set_verify_cb)(OsslStoreCtx*, int (*)(int, OsslStoreCtx*));
  int (*X509_STORE_CTX_set_purpose)(OsslStoreCtx*, int);
  int (*X509_STORE_CTX_get_error)(const OsslStoreCtx*);
  OsslStack* (*X509_STORE_CTX_get1_chain)(const OsslStoreCtx*);
  int (*X509_verify_cert)(OsslStoreCtx*);
  OsslStack* (*OPENSSL_sk_new_null)();
  int (*OPENSSL_sk_push)(OsslStack*, const void*);
  int (*OPENSSL_sk_num)(const OsslStack*);
  void* (*OPENSSL_sk_value)(const OsslStack*, int);
  void (*OPENSSL_sk_free)(OsslStack*);
  const char* (*OBJ_nid2sn)(int);
  int (*X509_get_signature_nid)(const OsslX509*);
  int (*OBJ_find_sigid_algs)(int, int*, int*);
  const OsslMd* (*EVP_get_digestbyname)(const char*);
  int (*X509_digest)(const OsslX509*, const OsslMd*, unsigned char*, unsigned int*);
  void (*ERR_clear_error)();
  OsslPkey* (*b2i_PrivateKey)(const unsigned char**, long);
  int (*EVP_PKEY_up_ref)(OsslPkey*);
  void (*EVP_PKEY_free)(OsslPkey*);
  OsslPkcs12* (*d2i_PKCS12)(OsslPkcs12**, const unsigned char**, long);
  int (*PKCS12_parse)(OsslPkcs12*, const char*, OsslPkey**, OsslX509**, OsslStack**);
  void (*PKCS12_free)(OsslPkcs12*);
  unsigned char* (*X509_alias_get0)(OsslX509*, int*);
  // Building a key from its numbers.
  OsslBignum* (*BN_lebin2bn)(const unsigned char*, int, OsslBignum*);
  void (*BN_clear_free)(OsslBignum*);
  OsslParamBuilder* (*OSSL_PARAM_BLD_new)();
  int (*OSSL_PARAM_BLD_push_BN)(OsslParamBuilder*, const char*, const OsslBignum*);
  OsslParam* (*OSSL_PARAM_BLD_to_param)(OsslParamBuilder*);
  void (*OSSL_PARAM_BLD_free)(OsslParamBuilder*);
  void (*OSSL_PARAM_free)(OsslParam*);
  OsslBignum* (*BN_secure_new)();
  OsslPkeyCtx* (*EVP_PKEY_CTX_new_from_name)(void*, const char*, const char*);
  void (*EVP_PKEY_CTX_free)(OsslPkeyCtx*);
  int (*EVP_PKEY_fromdata_init)(OsslPkeyCtx*);
  int (*EVP_PKEY_fromdata)(OsslPkeyCtx*, OsslPkey**, int, OsslParam*);
  // The software key storage provider of ncrypt: EC keys, ECDSA, ECDH and its derivations.
  OsslBignum* (*BN_bin2bn)(const unsigned char*, int, OsslBignum*);
  int (*BN_bn2binpad)(const OsslBignum*, unsigned char*, int);
  void (*BN_free)(OsslBignum*);
  int (*OSSL_PARAM_BLD_push_utf8_string)(OsslParamBuilder*, const char*, const char*, size_t);
  int (*OSSL_PARAM_BLD_push_octet_string)(OsslParamBuilder*, const char*, const void*, size_t);
  OsslPkeyCtx* (*EVP_PKEY_CTX_new_from_pkey)(void*, OsslPkey*, const char*);
  int (*EVP_PKEY_keygen_init)(OsslPkeyCtx*);
  int (*EVP_PKEY_CTX_set_group_name)(OsslPkeyCtx*, const char*);
  int (*EVP_PKEY_generate)(OsslPkeyCtx*, OsslPkey**);
  int (*EVP_PKEY_get_bn_param)(const OsslPkey*, const char*, OsslBignum**);
  int (*EVP_PKEY_sign_init)(OsslPkeyCtx*);
  int (*EVP_PKEY_sign)(OsslPkeyCtx*, unsigned char*, size_t*, const unsigned char*, size_t);
  int (*EVP_PKEY_verify_init)(OsslPkeyCtx*);
  int (*EVP_PKEY_verify)(OsslPkeyCtx*, const unsigned char*, size_t, const unsigned char*, size_t);
  int (*EVP_PKEY_derive_init)(OsslPkeyCtx*);
  int (*EVP_PKEY_derive_set_peer)(OsslPkeyCtx*, OsslPkey*);
  int (*EVP_PKEY_derive)(OsslPkeyCtx*, unsigned char*, size_t*);
  OsslEcdsaSig* (*d2i_ECDSA_SIG)(OsslEcdsaSig**, const unsigned char**, long);
  int (*i2d_ECDSA_SIG)(const OsslEcdsaSig*, unsigned char**);
  OsslEcdsaSig* (*ECDSA_SIG_new)();
  void (*ECDSA_SIG_free)(OsslEcdsaSig*);
  void (*ECDSA_SIG_get0)(const OsslEcdsaSig*, const OsslBignum**, const OsslBignum**);
  int (*ECDSA_SIG_set0)(OsslEcdsaSig*, OsslBignum*, OsslBignum*);
  int (*EVP_Digest)(const void*, size_t, unsigned char*, unsigned int*, const OsslMd*, void*);
  int (*EVP_MD_get_size)(const OsslMd*);
  unsigned char* (*HMAC)(const OsslMd*, const void*, int, const unsigned char*, size_t, unsigned char*,
                         unsigned int*);
  int (*EVP_PKEY_CTX_set_tls1_prf_md)(OsslPkeyCtx*, const OsslMd*);
  int (*EVP_PKEY_CTX_set1_tls1_prf_secret)(OsslPkeyCtx*, const unsigned char*, int);
  int (*EVP_PKEY_CTX_add1_tls1_prf_seed)(OsslPkeyCtx*, const unsigned char*, int);
  int (*EVP_PKEY_get_size)(const OsslPkey*);
};

// The bound entry points, or null when a library or an entry point is missing. Each call loads
// both libraries again (one more reference), so a library switched off since is noticed.
const OpenSslEntries* LoadOpenSsl();

// A certificate context over a parsed certificate, with the certificates that came with it
// as its store (up-referenced). Null when memory or the encoding fails.
PCCERT_CONTEXT NewCertContext(const OpenSslEntries& ossl, OsslX509* cert,
                              const std::vector<OsslX509*>& with);

}  // namespace win
