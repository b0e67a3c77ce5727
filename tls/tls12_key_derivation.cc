#include "tls/tls12_key_derivation.h"

#include <cstring>

#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/tls_prf.h"

namespace tw {
namespace {

constexpr char kLabelMaster[] = "master secret";
constexpr char kLabelKeyExpansion[] = "key expansion";
constexpr char kLabelClientWriteKey[] = "client write key";
constexpr char kLabelServerWriteKey[] = "server write key";
constexpr char kLabelIvBlock[] = "IV block";
constexpr char kLabelClientFinished[] = "client finished";
constexpr char kLabelServerFinished[] = "server finished";
constexpr char kSsl3SenderClient[] = "CLNT";
constexpr char kSsl3SenderServer[] = "SRVR";
constexpr int kTlsFinishedBytes = 12;
constexpr int kExportKeyBytes = 16;
constexpr int kExportDesKeyBytes = 8;

// Randoms in the given order.
int JoinRandoms(const uint8_t* first, const uint8_t* second, ByteString& out) {
  int rc = out.Set(first, 32);
  if (rc == kOk) rc = out.Append(second, 32);
  return rc;
}

// Holds a secret for one scope and wipes it on the way out.
struct SecretScope {
  ByteString s;
  ~SecretScope() { WipeString(s); }
};

}  // namespace

int TlsPrf(const TlsSessionState& state, const ByteString& secret, const char* label,
           const ByteString& seed, int length, ByteString& out) {
  SecretScope joined;
  int rc = joined.s.SetText(label != nullptr ? label : "");
  if (rc == kOk) rc = joined.s.AppendString(seed);
  if (rc != kOk) return rc;
  if (state.version == kSsl30) return Ssl3DeriveKeyBlock(secret, joined.s, length, out);
  switch (state.prf_hash) {
    case 1:
      return TlsPrfSha256(secret, joined.s, length, out);
    case 2:
      return TlsPrfSha384(secret, joined.s, length, out);
    default:
      return TlsPrfMd5Sha1(secret, joined.s, length, out);
  }
}

int DeriveMasterSecret(TlsSessionState& state, const ByteString& pre_master) {
  ByteString randoms;
  int rc = JoinRandoms(state.client_random, state.server_random, randoms);
  if (rc != kOk) return rc;
  SecretScope master;
  rc = TlsPrf(state, pre_master, state.version < kTls10 ? "" : kLabelMaster, randoms,
              kTlsMasterSecretBytes, master.s);
  if (rc == kOk) rc = state.master_secret.Assign(master.s);
  return rc;
}

int InstallKeyBlock(TlsSessionState& state, ByteString* key_block) {
  const TlsCipherSuite* suite = state.suite;
  if (suite == nullptr || suite->kx == kKxTls13 || state.master_secret.empty()) return 202;
  ByteString server_client;
  ByteString client_server;
  int rc = JoinRandoms(state.server_random, state.client_random, server_client);
  if (rc == kOk) rc = JoinRandoms(state.client_random, state.server_random, client_server);
  if (rc != kOk) return rc;
  const bool ssl3 = state.version == kSsl30;
  const int key_bytes = suite->key_bytes;
  const int mac_bytes = suite->mac_bytes();
  const int iv_bytes = suite->aead() ? 4 : suite->iv_bytes;
  const int block_length = suite->aead() ? 2 * key_bytes + 8 : kTlsKeyBlockBytes;
  SecretScope block;
  rc = TlsPrf(state, state.master_secret, ssl3 ? "" : kLabelKeyExpansion, server_client,
              block_length, block.s);
  if (rc != kOk) return rc;
  if (key_block != nullptr && (rc = key_block->Assign(block.s)) != kOk) return rc;
  const uint8_t* p = block.s.bytes();
  const uint8_t* client_mac = p;
  const uint8_t* server_mac = client_mac + mac_bytes;
  SecretScope client_key;
  SecretScope server_key;
  SecretScope ivs;
  const uint8_t* key_at = server_mac + mac_bytes;
  rc = client_key.s.Set(key_at, key_bytes);
  if (rc == kOk) rc = server_key.s.Set(key_at + key_bytes, key_bytes);
  if (rc == kOk) rc = ivs.s.Set(key_at + 2 * key_bytes, 2 * iv_bytes);
  if (rc != kOk) return rc;
  if (suite->exportable()) {
    const int final_key = std::strcmp(suite->cipher_name, "DES") == 0 ? kExportDesKeyBytes
                                                                       : kExportKeyBytes;
    SecretScope secret;
    rc = secret.s.Assign(client_key.s);
    if (rc == kOk) rc = TlsPrf(state, secret.s, kLabelClientWriteKey, client_server, final_key, client_key.s);
    if (rc == kOk) rc = secret.s.Assign(server_key.s);
    if (rc == kOk) rc = TlsPrf(state, secret.s, kLabelServerWriteKey, client_server, final_key, server_key.s);
    ByteString empty;
    if (rc == kOk) rc = TlsPrf(state, empty, kLabelIvBlock, client_server, 2 * iv_bytes, ivs.s);
    if (rc != kOk) return rc;
  }
  const uint8_t* client_iv = ivs.s.bytes();
  const uint8_t* server_iv = client_iv + iv_bytes;
  TlsRecordState& client_dir = state.is_client ? state.write : state.read;
  TlsRecordState& server_dir = state.is_client ? state.read : state.write;
  rc = client_dir.SetKeys(suite, state.version, false, client_mac, mac_bytes, client_key.s.bytes(),
                          client_key.s.length(), client_iv, iv_bytes);
  if (rc == kOk) {
    rc = server_dir.SetKeys(suite, state.version, false, server_mac, mac_bytes,
                            server_key.s.bytes(), server_key.s.length(), server_iv, iv_bytes);
  }
  return rc;
}

int TranscriptHash(int prf_hash, const ByteString& transcript, ByteString& out) {
  static constexpr int kIds[] = {kHashMd5Sha1, kHashSha256, kHashSha384};
  if (prf_hash < 0 || prf_hash > 2) return kErrTlsPrfHash;
  HashEngine engine;
  int rc = engine.SetAlgorithm(kIds[prf_hash]);
  if (rc == kOk) rc = engine.DigestOf(transcript.data(), transcript.length(), out);
  return rc;
}

int Ssl3HandshakeDigest(const ByteString& transcript, const char* sender,
                        const ByteString& master_secret, ByteString& out) {
  uint8_t pad1[48];
  uint8_t pad2[48];
  std::memset(pad1, 0x36, sizeof pad1);
  std::memset(pad2, 0x5C, sizeof pad2);
  out.Reset();
  for (const int id : {kHashMd5, kHashSha1}) {
    const int pad = id == kHashMd5 ? 48 : 40;
    HashEngine h;
    int rc = h.SetAlgorithm(id);
    if (rc == kOk) rc = h.Update(transcript.data(), transcript.length());
    if (rc == kOk && sender != nullptr) rc = h.Update(sender, 4);
    if (rc == kOk) rc = h.Update(master_secret.data(), master_secret.length());
    if (rc == kOk) rc = h.Update(pad1, pad);
    if (rc == kOk) rc = h.Final();
    ByteString inner;
    if (rc == kOk) rc = inner.Assign(h.digest());
    if (rc == kOk) rc = h.Restart();
    if (rc == kOk) rc = h.Update(master_secret.data(), master_secret.length());
    if (rc == kOk) rc = h.Update(pad2, pad);
    if (rc == kOk) rc = h.Update(inner.data(), inner.length());
    if (rc == kOk) rc = h.Final();
    if (rc == kOk) rc = out.AppendString(h.digest());
    if (rc != kOk) return rc;
  }
  return kOk;
}

int FinishedVerifyData(const TlsSessionState& state, const ByteString& transcript,
                       bool client_sender, ByteString& out) {
  if (state.version == kSsl30) {
    return Ssl3HandshakeDigest(transcript, client_sender ? kSsl3SenderClient : kSsl3SenderServer,
                               state.master_secret, out);
  }
  ByteString hash;
  const int rc = TranscriptHash(state.prf_hash, transcript, hash);
  if (rc != kOk) return rc;
  return TlsPrf(state, state.master_secret,
                client_sender ? kLabelClientFinished : kLabelServerFinished, hash,
                kTlsFinishedBytes, out);
}

}  // namespace tw
