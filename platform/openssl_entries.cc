// Binding of the libssl and libcrypto entry points of the stand-ins.
#include <mutex>

#include "platform/openssl_entries.h"

namespace win {
namespace {

template <class F>
bool Bind(HMODULE module, const char* name, F* out) {
  *out = reinterpret_cast<F>(GetProcAddress(module, name));
  return *out != nullptr;
}

}  // namespace

const OpenSslEntries* LoadOpenSsl() {
  static std::mutex lock;
  static OpenSslEntries entries;
  static bool bound = false;
  std::lock_guard<std::mutex> guard(lock);
  HMODULE ssl = LoadLibraryA(kLibsslName);
  if (ssl == nullptr) return nullptr;
  HMODULE crypto = LoadLibraryA(kLibcryptoName);
  if (crypto == nullptr) {
    FreeLibrary(ssl);
    return nullptr;
  }
  if (bound) {
    // The first binding keeps its references for the life of the process.
    FreeLibrary(crypto);
    FreeLibrary(ssl);
    return &entries;
  }
  OpenSslEntries e{};
  bool ok = true;
  ok = Bind(ssl, "TLS_client_method", &e.TLS_client_method) && ok;
  ok = Bind(ssl, "SSL_CTX_new", &e.SSL_CTX_new) && ok;
  ok = Bind(ssl, "SSL_CTX_free", &e.SSL_CTX_free) && ok;
  ok = Bind(ssl, "SSL_CTX_ctrl", &e.SSL_CTX_ctrl) && ok;
  ok = Bind(ssl, "SSL_CTX_set_cipher_list", &e.SSL_CTX_set_cipher_list) && ok;
  ok = Bind(ssl, "SSL_CTX_set_options", &e.SSL_CTX_set_options) && ok;
  ok = Bind(ssl, "SSL_CTX_get_ciphers", &e.SSL_CTX_get_ciphers) && ok;
  ok = Bind(ssl, "SSL_new", &e.SSL_new) && ok;
  ok = Bind(ssl, "SSL_free", &e.SSL_free) && ok;
  ok = Bind(ssl, "SSL_set_bio", &e.SSL_set_bio) && ok;
  ok = Bind(ssl, "SSL_set_connect_state", &e.SSL_set_connect_state) && ok;
  ok = Bind(ssl, "SSL_do_handshake", &e.SSL_do_handshake) && ok;
  ok = Bind(ssl, "SSL_get_error", &e.SSL_get_error) && ok;
  ok = Bind(ssl, "SSL_read", &e.SSL_read) && ok;
  ok = Bind(ssl, "SSL_write", &e.SSL_write) && ok;
  ok = Bind(ssl, "SSL_shutdown", &e.SSL_shutdown) && ok;
  ok = Bind(ssl, "SSL_ctrl", &e.SSL_ctrl) && ok;
  ok = Bind(ssl, "SSL_set_alpn_protos", &e.SSL_set_alpn_protos) && ok;
  ok = Bind(ssl, "SSL_get0_alpn_selected", &e.SSL_get0_alpn_selected) && ok;
  ok = Bind(ssl, "SSL_set_options", &e.SSL_set_options) && ok;
  ok = Bind(ssl, "SSL_get1_peer_certificate", &e.SSL_get1_peer_certificate) && ok;
  ok = Bind(ssl, "SSL_get_peer_cert_chain", &e.SSL_get_peer_cert_chain) && ok;
  ok = Bind(ssl, "SSL_get_current_cipher", &e.SSL_get_current_cipher) && ok;
  ok = Bind(ssl, "SSL_version", &e.SSL_version) && ok;
  ok = Bind(ssl, "SSL_is_init_finished", &e.SSL_is_init_finished) && ok;
  ok = Bind(ssl, "SSL_CIPHER_get_bits", &e.SSL_CIPHER_get_bits) && ok;
  ok = Bind(ssl, "SSL_CIPHER_get_cipher_nid", &e.SSL_CIPHER_get_cipher_nid) && ok;
  ok = Bind(ssl, "SSL_CIPHER_get_digest_nid", &e.SSL_CIPHER_get_digest_nid) && ok;
  ok = Bind(ssl, "SSL_CIPHER_get_kx_nid", &e.SSL_CIPHER_get_kx_nid) && ok;
  ok = Bind(ssl, "SSL_CIPHER_get_name", &e.SSL_CIPHER_get_name) && ok;
  ok = Bind(ssl, "SSL_CTX_use_certificate", &e.SSL_CTX_use_certificate) && ok;
  ok = Bind(ssl, "SSL_CTX_use_PrivateKey", &e.SSL_CTX_use_PrivateKey) && ok;
  ok = Bind(ssl, "SSL_CTX_check_private_key", &e.SSL_CTX_check_private_key) && ok;
  ok = Bind(crypto, "BIO_new", &e.BIO_new) && ok;
  ok = Bind(crypto, "BIO_s_mem", &e.BIO_s_mem) && ok;
  ok = Bind(crypto, "BIO_free", &e.BIO_free) && ok;
  ok = Bind(crypto, "BIO_read", &e.BIO_read) && ok;
  ok = Bind(crypto, "BIO_write", &e.BIO_write) && ok;
  ok = Bind(crypto, "BIO_ctrl", &e.BIO_ctrl) && ok;
  ok = Bind(crypto, "BIO_ctrl_pending", &e.BIO_ctrl_pending) && ok;
  ok = Bind(crypto, "d2i_X509", &e.d2i_X509) && ok;
  ok = Bind(crypto, "i2d_X509", &e.i2d_X509) && ok;
  ok = Bind(crypto, "PEM_read_bio_X509", &e.PEM_read_bio_X509) && ok;
  ok = Bind(crypto, "X509_free", &e.X509_free) && ok;
  ok = Bind(crypto, "X509_up_ref", &e.X509_up_ref) && ok;
  ok = Bind(crypto, "X509_get_subject_name", &e.X509_get_subject_name) && ok;
  ok = Bind(crypto, "i2d_X509_NAME", &e.i2d_X509_NAME) && ok;
  ok = Bind(crypto, "X509_get_issuer_name", &e.X509_get_issuer_name) && ok;
  ok = Bind(crypto, "X509_NAME_print_ex", &e.X509_NAME_print_ex) && ok;
  ok = Bind(crypto, "X509_check_host", &e.X509_check_host) && ok;
  ok = Bind(crypto, "X509_check_ip_asc", &e.X509_check_ip_asc) && ok;
  ok = Bind(crypto, "X509_STORE_new", &e.X509_STORE_new) && ok;
  ok = Bind(crypto, "X509_STORE_free", &e.X509_STORE_free) && ok;
  ok = Bind(crypto, "X509_STORE_add_cert", &e.X509_STORE_add_cert) && ok;
  ok = Bind(crypto, "X509_STORE_CTX_new", &e.X509_STORE_CTX_new) && ok;
  ok = Bind(crypto, "X509_STORE_CTX_free", &e.X509_STORE_CTX_free) && ok;
  ok = Bind(crypto, "X509_STORE_CTX_init", &e.X509_STORE_CTX_init) && ok;
  ok = Bind(crypto, "X509_STORE_CTX_set_verify_cb", &e.X509_STORE_CTX_set_verify_cb) && ok;
  ok = Bind(crypto, "X509_STORE_CTX_set_purpose", &e.X509_STORE_CTX_set_purpose) && ok;
  ok = Bind(crypto, "X509_STORE_CTX_get_error", &e.X509_STORE_CTX_get_error) && ok;
  ok = Bind(crypto, "X509_STORE_CTX_get1_chain", &e.X509_STORE_CTX_get1_chain) && ok;
  ok = Bind(crypto, "X509_verify_cert", &e.X509_verify_cert) && ok;
  ok = Bind(crypto, "OPENSSL_sk_new_null", &e.OPENSSL_sk_new_null) && ok;
  ok = Bind(crypto, "OPENSSL_sk_push", &e.OPENSSL_sk_push) && ok;
  ok = Bind(crypto, "OPENSSL_sk_num", &e.OPENSSL_sk_num) && ok;
  ok = Bind(crypto, "OPENSSL_sk_value", &e.OPENSSL_sk_value) && ok;
  ok = Bind(crypto, "OPENSSL_sk_free", &e.OPENSSL_sk_free) && ok;
  ok = Bind(crypto, "OBJ_nid2sn", &e.OBJ_nid2sn) && ok;
  ok = Bind(crypto, "X509_get_signature_nid", &e.X509_get_signature_nid) && ok;
  ok = Bind(crypto, "OBJ_find_sigid_algs", &e.OBJ_find_sigid_algs) && ok;
  ok = Bind(crypto, "EVP_get_digestbyname", &e.EVP_get_digestbyname) && ok;
  ok = Bind(crypto, "X509_digest", &e.X509_digest) && ok;
  ok = Bind(crypto, "ERR_clear_error", &e.ERR_clear_error) && ok;
  ok = Bind(crypto, "b2i_PrivateKey", &e.b2i_PrivateKey) && ok;
  ok = Bind(crypto, "EVP_PKEY_up_ref", &e.EVP_PKEY_up_ref) && ok;
  ok = Bind(crypto, "EVP_PKEY_free", &e.EVP_PKEY_free) && ok;
  ok = Bind(crypto, "d2i_PKCS12", &e.d2i_PKCS12) && ok;
  ok = Bind(crypto, "PKCS12_parse", &e.PKCS12_parse) && ok;
  ok = Bind(crypto, "PKCS12_free", &e.PKCS12_free) && ok;
  ok = Bind(crypto, "X509_alias_get0", &e.X509_alias_get0) && ok;
  ok = Bind(crypto, "BN_lebin2bn", &e.BN_lebin2bn) && ok;
  ok = Bind(crypto, "BN_clear_free", &e.BN_clear_free) && ok;
  ok = Bind(crypto, "OSSL_PARAM_BLD_new", &e.OSSL_PARAM_BLD_new) && ok;
  ok = Bind(crypto, "OSSL_PARAM_BLD_push_BN", &e.OSSL_PARAM_BLD_push_BN) && ok;
  ok = Bind(crypto, "OSSL_PARAM_BLD_to_param", &e.OSSL_PARAM_BLD_to_param) && ok;
  ok = Bind(crypto, "OSSL_PARAM_BLD_free", &e.OSSL_PARAM_BLD_free) && ok;
  ok = Bind(crypto, "OSSL_PARAM_free", &e.OSSL_PARAM_free) && ok;
  ok = Bind(crypto, "BN_secure_new", &e.BN_secure_new) && ok;
  ok = Bind(crypto, "EVP_PKEY_CTX_new_from_name", &e.EVP_PKEY_CTX_new_from_name) && ok;
  ok = Bind(crypto, "EVP_PKEY_CTX_free", &e.EVP_PKEY_CTX_free) && ok;
  ok = Bind(crypto, "EVP_PKEY_fromdata_init", &e.EVP_PKEY_fromdata_init) && ok;
  ok = Bind(crypto, "EVP_PKEY_fromdata", &e.EVP_PKEY_fromdata) && ok;
  ok = Bind(crypto, "BN_bin2bn", &e.BN_bin2bn) && ok;
  ok = Bind(crypto, "BN_bn2binpad", &e.BN_bn2binpad) && ok;
  ok = Bind(crypto, "BN_free", &e.BN_free) && ok;
  ok = Bind(crypto, "OSSL_PARAM_BLD_push_utf8_string", &e.OSSL_PARAM_BLD_push_utf8_string) && ok;
  ok = Bind(crypto, "OSSL_PARAM_BLD_push_octet_string", &e.OSSL_PARAM_BLD_push_octet_string) && ok;
  ok = Bind(crypto, "EVP_PKEY_CTX_new_from_pkey", &e.EVP_PKEY_CTX_new_from_pkey) && ok;
  ok = Bind(crypto, "EVP_PKEY_keygen_init", &e.EVP_PKEY_keygen_init) && ok;
  ok = Bind(crypto, "EVP_PKEY_CTX_set_group_name", &e.EVP_PKEY_CTX_set_group_name) && ok;
  ok = Bind(crypto, "EVP_PKEY_generate", &e.EVP_PKEY_generate) && ok;
  ok = Bind(crypto, "EVP_PKEY_get_bn_param", &e.EVP_PKEY_get_bn_param) && ok;
  ok = Bind(crypto, "EVP_PKEY_sign_init", &e.EVP_PKEY_sign_init) && ok;
  ok = Bind(crypto, "EVP_PKEY_sign", &e.EVP_PKEY_sign) && ok;
  ok = Bind(crypto, "EVP_PKEY_verify_init", &e.EVP_PKEY_verify_init) && ok;
  ok = Bind(crypto, "EVP_PKEY_verify", &e.EVP_PKEY_verify) && ok;
  ok = Bind(crypto, "EVP_PKEY_derive_init", &e.EVP_PKEY_derive_init) && ok;
  ok = Bind(crypto, "EVP_PKEY_derive_set_peer", &e.EVP_PKEY_derive_set_peer) && ok;
  ok = Bind(crypto, "EVP_PKEY_derive", &e.EVP_PKEY_derive) && ok;
  ok = Bind(crypto, "d2i_ECDSA_SIG", &e.d2i_ECDSA_SIG) && ok;
  ok = Bind(crypto, "i2d_ECDSA_SIG", &e.i2d_ECDSA_SIG) && ok;
  ok = Bind(crypto, "ECDSA_SIG_new", &e.ECDSA_SIG_new) && ok;
  ok = Bind(crypto, "ECDSA_SIG_free", &e.ECDSA_SIG_free) && ok;
  ok = Bind(crypto, "ECDSA_SIG_get0", &e.ECDSA_SIG_get0) && ok;
  ok = Bind(crypto, "ECDSA_SIG_set0", &e.ECDSA_SIG_set0) && ok;
  ok = Bind(crypto, "EVP_Digest", &e.EVP_Digest) && ok;
  ok = Bind(crypto, "EVP_MD_get_size", &e.EVP_MD_get_size) && ok;
  ok = Bind(crypto, "HMAC", &e.HMAC) && ok;
  ok = Bind(crypto, "EVP_PKEY_CTX_set_tls1_prf_md", &e.EVP_PKEY_CTX_set_tls1_prf_md) && ok;
  ok = Bind(crypto, "EVP_PKEY_CTX_set1_tls1_prf_secret", &e.EVP_PKEY_CTX_set1_tls1_prf_secret) && ok;
  ok = Bind(crypto, "EVP_PKEY_CTX_add1_tls1_prf_seed", &e.EVP_PKEY_CTX_add1_tls1_prf_seed) && ok;
  ok = Bind(crypto, "EVP_PKEY_get_size", &e.EVP_PKEY_get_size) && ok;
  if (!ok) {
    FreeLibrary(crypto);
    FreeLibrary(ssl);
    return nullptr;
  }
  entries = e;
  bound = true;
  return &entries;
}

}  // namespace win
