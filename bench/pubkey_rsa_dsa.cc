// RSA and DSA signing and verification against OpenSSL's libcrypto in the same run, on the same
// keys (made by OpenSSL and loaded into our engines); RSA-2048 signing also against the rate
// `openssl speed` reports.
//   bench_pubkey_rsa_dsa [seconds per measurement, default 1]
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "bench/bench_support.h"
#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/rsa_engine.h"

namespace {

using tw::ByteString;

// Five alternating rounds sharing `seconds`, one operation per clock reading (each is slow).
std::pair<double, double> Compare(double seconds, const std::function<void()>& ours,
                                  const std::function<void()>& theirs) {
  return bench::BestAlternating(5, seconds / 5, ours, theirs, 1, 1);
}

void Param(EVP_PKEY* key, const char* name, ByteString& out) {
  BIGNUM* bn = nullptr;
  if (!EVP_PKEY_get_bn_param(key, name, &bn)) return;
  std::string buf(static_cast<size_t>(BN_num_bytes(bn)), '\0');
  BN_bn2bin(bn, reinterpret_cast<unsigned char*>(buf.data()));
  out.Set(buf.data(), static_cast<int>(buf.size()));
  BN_clear_free(bn);
}

EVP_PKEY* MakeKey(const char* type, int bits) {
  EVP_PKEY* key = nullptr;
  if (std::string(type) == "RSA") return EVP_RSA_gen(static_cast<unsigned>(bits));
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
  EVP_PKEY* params = nullptr;
  EVP_PKEY_paramgen_init(pctx);
  EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, bits);
  EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx, 256);
  EVP_PKEY_paramgen(pctx, &params);
  EVP_PKEY_CTX_free(pctx);
  EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new(params, nullptr);
  EVP_PKEY_keygen_init(kctx);
  EVP_PKEY_keygen(kctx, &key);
  EVP_PKEY_CTX_free(kctx);
  EVP_PKEY_free(params);
  return key;
}

struct Row {
  const char* what;
  double ours, theirs;
  double target;  // allowed ratio of our time to theirs; 0 for none
};

void Print(const Row& r) {
  const double ratio = r.theirs / r.ours;  // our time / their time
  std::printf("%-22s ours %9.1f/s  openssl %9.1f/s  time ratio %5.2fx", r.what, r.ours, r.theirs, ratio);
  if (r.target > 0) std::printf("  (target %.1fx: %s)", r.target, ratio <= r.target ? "met" : "MISSED");
  std::printf("\n");
}

Row RsaRows(int bits, double seconds, bool with_verify, Row* verify_row) {
  EVP_PKEY* key = MakeKey("RSA", bits);
  tw::RsaKeyData rec;
  Param(key, OSSL_PKEY_PARAM_RSA_N, rec.N);
  Param(key, OSSL_PKEY_PARAM_RSA_E, rec.E);
  Param(key, OSSL_PKEY_PARAM_RSA_D, rec.D);
  Param(key, OSSL_PKEY_PARAM_RSA_FACTOR1, rec.P);
  Param(key, OSSL_PKEY_PARAM_RSA_FACTOR2, rec.Q);
  Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, rec.DP);
  Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, rec.DQ);
  Param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, rec.QInv);
  tw::RsaEngine rsa;
  if (rsa.SetKey(rec) != 0) std::abort();
  ByteString hash, sig;
  hash.Resize(32);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_sign_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, 1);
  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
  unsigned char out[1024];
  size_t out_len = 0;
  const auto [ours, theirs] = Compare(
      seconds, [&] { rsa.Sign(hash, "SHA256", false, 0, sig); },
      [&] {
        out_len = sizeof(out);
        EVP_PKEY_sign(ctx, out, &out_len, hash.bytes(), 32);
      });
  if (with_verify) {
    bool valid = false;
    EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_verify_init(vctx);
    EVP_PKEY_CTX_set_rsa_padding(vctx, 1);
    EVP_PKEY_CTX_set_signature_md(vctx, EVP_sha256());
    const auto [v_ours, v_theirs] = Compare(
        seconds, [&] { rsa.Verify(hash, "SHA256", sig, false, true, &valid); },
        [&] { EVP_PKEY_verify(vctx, out, out_len, hash.bytes(), 32); });
    if (!valid) std::abort();
    EVP_PKEY_CTX_free(vctx);
    *verify_row = Row{"RSA-2048 verify", v_ours, v_theirs, 2.0};
  }
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  return Row{bits == 2048 ? "RSA-2048 sign" : "RSA-4096 sign", ours, theirs, bits == 2048 ? 1.6 : 0};
}

void DsaRows(double seconds) {
  EVP_PKEY* key = MakeKey("DSA", 2048);
  tw::DsaKeyData rec;
  Param(key, OSSL_PKEY_PARAM_FFC_P, rec.P);
  Param(key, OSSL_PKEY_PARAM_FFC_Q, rec.Q);
  Param(key, OSSL_PKEY_PARAM_FFC_G, rec.G);
  Param(key, OSSL_PKEY_PARAM_PUB_KEY, rec.Y);
  Param(key, OSSL_PKEY_PARAM_PRIV_KEY, rec.X);
  tw::DsaEngine dsa;
  dsa.set_der_output(true);
  if (dsa.SetKey(rec) != 0) std::abort();
  ByteString hash, sig;
  hash.Resize(32);
  hash.bytes()[0] = 7;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_sign_init(ctx);
  unsigned char out[256];
  size_t out_len = 0;
  const auto [ours, theirs] = Compare(
      seconds, [&] { dsa.Sign(hash, sig); },
      [&] {
        out_len = sizeof(out);
        EVP_PKEY_sign(ctx, out, &out_len, hash.bytes(), 32);
      });
  Print(Row{"DSA-2048 sign", ours, theirs, 0});
  bool valid = false;
  ByteString theirs_sig;
  theirs_sig.Set(out, static_cast<int>(out_len));
  EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_verify_init(vctx);
  const auto [v_ours, v_theirs] = Compare(
      seconds, [&] { dsa.Verify(hash, theirs_sig, &valid); },
      [&] { EVP_PKEY_verify(vctx, out, out_len, hash.bytes(), 32); });
  if (!valid) std::abort();
  Print(Row{"DSA-2048 verify", v_ours, v_theirs, 1.3});
  EVP_PKEY_CTX_free(vctx);
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
}

// `openssl speed`'s own RSA-2048 signing rate: a second reference, run by the tool itself outside
// this process, to check the in-process one. 0 when the tool is missing.
double SpeedRsa2048Sign() {
  FILE* f = popen("openssl speed -seconds 2 rsa2048 2>/dev/null", "r");
  if (!f) return 0;
  char line[256];
  double sign_per_s = 0;
  while (std::fgets(line, sizeof(line), f)) {
    double sign_s = 0, verify_s = 0, sps = 0, vps = 0;
    if (std::sscanf(line, "rsa 2048 bits %lfs %lfs %lf %lf", &sign_s, &verify_s, &sps, &vps) == 4) sign_per_s = sps;
  }
  pclose(f);
  return sign_per_s;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  Row verify{};
  const Row sign = RsaRows(2048, seconds, true, &verify);
  Print(sign);
  Print(verify);
  if (const double speed = SpeedRsa2048Sign()) Print(Row{"RSA-2048 sign, speed", sign.ours, speed, 1.6});
  Print(RsaRows(4096, seconds, false, nullptr));
  DsaRows(seconds);
  return 0;
}
