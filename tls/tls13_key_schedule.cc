#include "tls/tls13_key_schedule.h"

#include <algorithm>
#include <cstring>

#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "tls/tls12_key_derivation.h"
#include "foundation/span_reader.h"

namespace tw {
namespace {

constexpr int kErrBadArgument = 202;
constexpr int kMaxExpandBlocks = 255;
constexpr char kLabelPrefix[] = "tls13 ";
constexpr char kLabelDerived[] = "derived";
constexpr char kLabelClientHandshake[] = "c hs traffic";
constexpr char kLabelServerHandshake[] = "s hs traffic";
constexpr char kLabelClientApplication[] = "c ap traffic";
constexpr char kLabelServerApplication[] = "s ap traffic";
// RFC 8446's label; key logs and exporters of other stacks agree only with this one.
constexpr char kLabelExporter[] = "exp master";
constexpr char kLabelKey[] = "key";
constexpr char kLabelIv[] = "iv";
constexpr char kLabelFinished[] = "finished";
constexpr char kLabelTrafficUpdate[] = "traffic upd";
constexpr char kContextServer[] = "TLS 1.3, server CertificateVerify";
constexpr char kContextClient[] = "TLS 1.3, client CertificateVerify";
constexpr int kVerifyPadBytes = 64;
constexpr char kTextBadTicket[] = "Malformed NewSessionTicket message";

struct SchemeHash {
  uint16_t scheme;
  int hash_id;
};

constexpr SchemeHash kSchemeHashes[] = {
    {0x0201, kHashSha1},   {0x0203, kHashSha1},   {0x0401, kHashSha256},
    {0x0403, kHashSha256}, {0x0804, kHashSha256}, {0x0809, kHashSha256},
    {0x0501, kHashSha384}, {0x0503, kHashSha384}, {0x0805, kHashSha384},
    {0x080A, kHashSha384}, {0x0601, kHashSha512}, {0x0603, kHashSha512},
    {0x0806, kHashSha512}, {0x080B, kHashSha512}, {0x0807, kTls13SchemeNoHash},
    {0x0808, kTls13SchemeNoHash},
};

// Key-log names of the secrets, in the order a handshake derives them.
constexpr const char* kKeyLogNames[] = {
    "CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
    "CLIENT_TRAFFIC_SECRET_0",         "SERVER_TRAFFIC_SECRET_0",
    "EXPORTER_SECRET",
};

// Holds a secret for one scope and wipes it on the way out.
struct SecretScope {
  ByteString s;
  ~SecretScope() { WipeString(s); }
};

int HmacOf(int hash_id, const ByteString& key, const ByteString& data, ByteString& out) {
  HmacEngine mac;
  int rc = mac.SetKey(hash_id, key.data(), key.length());
  if (rc == kOk) rc = mac.Update(data.data(), data.length());
  if (rc == kOk) rc = mac.Final();
  if (rc == kOk) rc = out.Assign(mac.mac());
  return rc;
}

int AppendHex(const ByteString& value, ByteString& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < value.length(); ++i) {
    const uint8_t b = value.ByteAt(i);
    const char pair[2] = {kDigits[b >> 4], kDigits[b & 15]};
    const int rc = out.Append(pair, 2);
    if (rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace

int HkdfExtract(int hash_id, const ByteString& salt, const ByteString& ikm, ByteString& out) {
  return HmacOf(hash_id, salt, ikm, out);
}

int HkdfExpand(int hash_id, const ByteString& prk, const ByteString& info, int length,
               ByteString& out) {
  const int digest = HashDigestSize(hash_id);
  if (digest == 0) return kErrHashAlgorithm;
  if (length < 0 || length > kMaxExpandBlocks * digest) return kErrBadArgument;
  HmacEngine mac;
  int rc = mac.SetKey(hash_id, prk.data(), prk.length());
  // Built aside, so out may be prk or info.
  SecretScope result;
  SecretScope block;
  for (int i = 1; rc == kOk && result.s.length() < length; ++i) {
    const uint8_t counter = static_cast<uint8_t>(i);
    rc = mac.Update(block.s.data(), block.s.length());
    if (rc == kOk) rc = mac.Update(info.data(), info.length());
    if (rc == kOk) rc = mac.Update(&counter, 1);
    if (rc == kOk) rc = mac.Final();
    if (rc == kOk) rc = block.s.Assign(mac.mac());
    const int take = std::min(digest, length - result.s.length());
    if (rc == kOk) rc = result.s.Append(block.s.data(), take);
  }
  if (rc == kOk) rc = out.Assign(result.s);
  return rc;
}

int HkdfExpandLabel(int hash_id, const ByteString& secret, const char* label,
                    const ByteString& context, int length, ByteString& out) {
  const char* name = label != nullptr ? label : "";
  const size_t label_length = std::strlen(kLabelPrefix) + std::strlen(name);
  if (label_length > 255 || context.length() > 255 || length < 0 || length > 0xFFFF) {
    return kErrBadArgument;
  }
  ByteString info;
  int rc = info.AppendByte(static_cast<uint8_t>(length >> 8));
  if (rc == kOk) rc = info.AppendByte(static_cast<uint8_t>(length));
  if (rc == kOk) rc = info.AppendByte(static_cast<uint8_t>(label_length));
  if (rc == kOk) rc = info.AppendText(kLabelPrefix);
  if (rc == kOk) rc = info.AppendText(name);
  if (rc == kOk) rc = info.AppendByte(static_cast<uint8_t>(context.length()));
  if (rc == kOk) rc = info.AppendString(context);
  if (rc == kOk) rc = HkdfExpand(hash_id, secret, info, length, out);
  // The context may be a transcript hash worth keeping to ourselves.
  WipeString(info);
  return rc;
}

int DeriveSecret(int hash_id, const ByteString& secret, const char* label,
                 const ByteString& transcript_hash, ByteString& out) {
  return HkdfExpandLabel(hash_id, secret, label, transcript_hash, HashDigestSize(hash_id), out);
}

int Tls13SuiteHash(const TlsCipherSuite* suite) {
  if (suite == nullptr) return -1;
  return suite->prf == 2 ? kHashSha384 : kHashSha256;
}

int Tls13SchemeHash(uint16_t scheme) {
  for (const SchemeHash& row : kSchemeHashes) {
    if (row.scheme == scheme) return row.hash_id;
  }
  return kTls13SchemeUnknown;
}

int Tls13SignedContent(bool server_signer, const ByteString& transcript_hash, ByteString& out) {
  out.Reset();
  int rc = out.AppendRepeated(kVerifyPadBytes, 0x20);
  if (rc == kOk) rc = out.AppendText(server_signer ? kContextServer : kContextClient);
  if (rc == kOk) rc = out.AppendByte(0);
  if (rc == kOk) rc = out.AppendString(transcript_hash);
  return rc;
}

int Tls13CertificateVerifyContent(bool server_signer, uint16_t scheme,
                                  const ByteString& transcript_hash, ByteString& out) {
  const int hash_id = Tls13SchemeHash(scheme);
  if (hash_id == kTls13SchemeUnknown) return kErrBadArgument;
  ByteString content;
  int rc = Tls13SignedContent(server_signer, transcript_hash, content);
  if (rc != kOk) return rc;
  if (hash_id == kTls13SchemeNoHash) return out.Assign(content);
  HashEngine engine;
  rc = engine.SetAlgorithm(hash_id);
  if (rc == kOk) rc = engine.DigestOf(content.data(), content.length(), out);
  return rc;
}

int ReadNewSessionTicket13(const uint8_t* body, size_t length, size_t* consumed,
                           TlsRecordFault* fault) {
  SpanReader reader(body, body != nullptr ? length : 0);
  SpanReader nonce;
  SpanReader ticket;
  SpanReader extensions;
  bool ok = reader.Skip(4) && reader.Skip(4) && reader.ReadPrefixed(1, &nonce) &&
            reader.ReadPrefixed(2, &ticket) && !ticket.empty() &&
            reader.ReadPrefixed(2, &extensions);
  while (ok && !extensions.empty()) {
    uint16_t type = 0;
    SpanReader data;
    ok = extensions.ReadU16(&type) && extensions.ReadPrefixed(2, &data);
  }
  if (!ok) {
    if (fault != nullptr) *fault = TlsRecordFault{kAlertDecodeError, kTextBadTicket};
    return kErrTls13Decode;
  }
  if (consumed != nullptr) *consumed = length - reader.remaining();
  return kOk;
}

void Tls13KeySchedule::Reset() {
  for (ByteString* s : {&master_, &clientHandshake_, &serverHandshake_, &clientFinishedKey_,
                        &serverFinishedKey_, &clientTraffic_, &serverTraffic_, &exporter_,
                        &clientKey_, &clientIv_, &serverKey_, &serverIv_}) {
    WipeString(*s);
  }
  suite_ = nullptr;
  hashId_ = -1;
}

void Tls13KeySchedule::Debug(const char* label, const ByteString& value) const {
  if (sink_ != nullptr) sink_(sinkContext_, label, value.bytes(), value.length());
}

int Tls13KeySchedule::TrafficKey(const ByteString& secret, ByteString& key, ByteString& iv) const {
  const ByteString empty;
  int rc = HkdfExpandLabel(hashId_, secret, kLabelKey, empty, suite_->key_bytes, key);
  if (rc == kOk) rc = HkdfExpandLabel(hashId_, secret, kLabelIv, empty, kTls13IvBytes, iv);
  return rc;
}

int Tls13KeySchedule::HandshakeKeys(const TlsCipherSuite* suite, const ByteString& shared_secret,
                                    const ByteString& transcript, TlsSessionState& pending,
                                    bool is_client) {
  if (suite == nullptr || suite->kx != kKxTls13) return kErrBadArgument;
  Reset();
  suite_ = suite;
  hashId_ = Tls13SuiteHash(suite);
  pending.suite = suite;
  pending.prf_hash = suite->prf;
  Debug("dhSecret", shared_secret);
  const int digest = HashDigestSize(hashId_);
  ByteString zeros;
  int rc = zeros.AppendRepeated(digest, 0);
  if (rc != kOk) return rc;
  Debug("PSK", zeros);
  SecretScope early;
  SecretScope derived;
  SecretScope handshake;
  ByteString h0;
  ByteString h2;
  const ByteString empty;
  HashEngine engine;
  rc = HkdfExtract(hashId_, zeros, zeros, early.s);
  if (rc == kOk) rc = engine.SetAlgorithm(hashId_);
  if (rc == kOk) rc = engine.DigestOf(nullptr, 0, h0);
  if (rc == kOk) rc = DeriveSecret(hashId_, early.s, kLabelDerived, h0, derived.s);
  if (rc == kOk) rc = HkdfExtract(hashId_, derived.s, shared_secret, handshake.s);
  if (rc == kOk) rc = TranscriptHash(suite->prf, transcript, h2);
  if (rc != kOk) return rc;
  Debug("Tls13_EarlySecret", early.s);
  Debug("h0", h0);
  Debug("preHandshakeSecret", derived.s);
  Debug("Tls13_HandshakeSecret", handshake.s);
  Debug("h2 bytes:", transcript);
  Debug("h2", h2);
  rc = DeriveSecret(hashId_, handshake.s, kLabelClientHandshake, h2, clientHandshake_);
  if (rc == kOk) {
    rc = DeriveSecret(hashId_, handshake.s, kLabelServerHandshake, h2, serverHandshake_);
  }
  SecretScope client_key;
  SecretScope client_iv;
  SecretScope server_key;
  SecretScope server_iv;
  if (rc == kOk) rc = TrafficKey(clientHandshake_, client_key.s, client_iv.s);
  if (rc == kOk) rc = TrafficKey(serverHandshake_, server_key.s, server_iv.s);
  if (rc == kOk) rc = DeriveSecret(hashId_, handshake.s, kLabelDerived, h0, derived.s);
  if (rc == kOk) rc = HkdfExtract(hashId_, derived.s, zeros, master_);
  if (rc == kOk) rc = pending.master_secret.Assign(master_);
  if (rc == kOk) {
    rc = HkdfExpandLabel(hashId_, clientHandshake_, kLabelFinished, empty, digest,
                         clientFinishedKey_);
  }
  if (rc == kOk) {
    rc = HkdfExpandLabel(hashId_, serverHandshake_, kLabelFinished, empty, digest,
                         serverFinishedKey_);
  }
  if (rc != kOk) return rc;
  Debug("Tls13_ClientHandshakeTrafficSecret", clientHandshake_);
  Debug("Tls13_ServerHandshakeTrafficSecret", serverHandshake_);
  Debug("Tls13_ClientHandshakeKey", client_key.s);
  Debug("Tls13_ClientHandshakeIV", client_iv.s);
  Debug("Tls13_ServerHandshakeKey", server_key.s);
  Debug("Tls13_ServerHandshakeIV", server_iv.s);
  Debug("MasterSecret", master_);
  Debug("client_finished_key", clientFinishedKey_);
  Debug("server_finished_key", serverFinishedKey_);
  TlsRecordState& client_dir = is_client ? pending.write : pending.read;
  TlsRecordState& server_dir = is_client ? pending.read : pending.write;
  rc = client_dir.SetKeys(suite, kTls13, true, nullptr, 0, client_key.s.bytes(),
                          client_key.s.length(), client_iv.s.bytes(), client_iv.s.length());
  if (rc == kOk) {
    rc = server_dir.SetKeys(suite, kTls13, true, nullptr, 0, server_key.s.bytes(),
                            server_key.s.length(), server_iv.s.bytes(), server_iv.s.length());
  }
  if (rc != kOk) return rc;
  for (TlsRecordState* dir : {&client_dir, &server_dir}) {
    dir->set_sequence(0);
    dir->set_active(true);
  }
  return kOk;
}

int Tls13KeySchedule::FinishedVerifyData(bool client_side, const ByteString& transcript,
                                         ByteString& out) const {
  const ByteString& key = client_side ? clientFinishedKey_ : serverFinishedKey_;
  if (suite_ == nullptr || key.empty()) return kErrBadArgument;
  ByteString hash;
  const int rc = TranscriptHash(suite_->prf, transcript, hash);
  if (rc != kOk) return rc;
  return HmacOf(hashId_, key, hash, out);
}

int Tls13KeySchedule::VerifyFinished(bool client_side, const ByteString& transcript,
                                     const uint8_t* data, size_t length, bool* ok) const {
  *ok = false;
  SecretScope expected;
  const int rc = FinishedVerifyData(client_side, transcript, expected.s);
  if (rc != kOk) return rc;
  *ok = data != nullptr && length == static_cast<size_t>(expected.s.length()) &&
        MacEquals(data, expected.s.data(), length);
  return kOk;
}

int Tls13KeySchedule::ApplicationSecrets(const ByteString& transcript) {
  if (suite_ == nullptr || master_.empty()) return kErrBadArgument;
  ByteString h4;
  int rc = TranscriptHash(suite_->prf, transcript, h4);
  if (rc == kOk) rc = DeriveSecret(hashId_, master_, kLabelClientApplication, h4, clientTraffic_);
  if (rc == kOk) rc = DeriveSecret(hashId_, master_, kLabelServerApplication, h4, serverTraffic_);
  if (rc == kOk) rc = DeriveSecret(hashId_, master_, kLabelExporter, h4, exporter_);
  if (rc == kOk) rc = TrafficKey(clientTraffic_, clientKey_, clientIv_);
  if (rc == kOk) rc = TrafficKey(serverTraffic_, serverKey_, serverIv_);
  if (rc != kOk) return rc;
  Debug("data for h4, hsMessages", transcript);
  Debug("h4", h4);
  Debug("context.Tls13_ClientTrafficSecret", clientTraffic_);
  Debug("context.Tls13_ServerTrafficSecret", serverTraffic_);
  Debug("context.Tls13_ExportSecret", exporter_);
  Debug("context.Tls13_ClientTrafficKey", clientKey_);
  Debug("context.Tls13_ClientTrafficIV", clientIv_);
  Debug("context.Tls13_ServerTrafficKey", serverKey_);
  Debug("context.Tls13_ServerTrafficIV", serverIv_);
  return kOk;
}

int Tls13KeySchedule::InstallApplicationKeys(TlsRecordState& read, TlsRecordState& write,
                                             bool is_client) const {
  if (suite_ == nullptr || clientKey_.empty() || serverKey_.empty()) return kErrBadArgument;
  TlsRecordState& client_dir = is_client ? write : read;
  TlsRecordState& server_dir = is_client ? read : write;
  int rc = client_dir.SetKeys(suite_, kTls13, true, nullptr, 0, clientKey_.bytes(),
                              clientKey_.length(), clientIv_.bytes(), clientIv_.length());
  if (rc == kOk) {
    rc = server_dir.SetKeys(suite_, kTls13, true, nullptr, 0, serverKey_.bytes(),
                            serverKey_.length(), serverIv_.bytes(), serverIv_.length());
  }
  if (rc != kOk) return rc;
  for (TlsRecordState* dir : {&client_dir, &server_dir}) {
    dir->set_sequence(0);
    dir->set_active(true);
  }
  return kOk;
}

int Tls13KeySchedule::NextApplicationSecret(ByteString& secret) const {
  if (suite_ == nullptr) return kErrBadArgument;
  return HkdfExpandLabel(hashId_, secret, kLabelTrafficUpdate, ByteString(),
                         HashDigestSize(hashId_), secret);
}

int Tls13KeySchedule::KeyDirection(const ByteString& traffic_secret, TlsRecordState& state) const {
  if (suite_ == nullptr) return kErrBadArgument;
  SecretScope key;
  SecretScope iv;
  int rc = TrafficKey(traffic_secret, key.s, iv.s);
  if (rc == kOk) {
    rc = state.SetKeys(suite_, kTls13, true, nullptr, 0, key.s.bytes(), key.s.length(),
                       iv.s.bytes(), iv.s.length());
  }
  if (rc != kOk) return rc;
  state.set_sequence(0);
  state.set_active(true);
  return kOk;
}

int Tls13KeySchedule::UpdateApplicationKeys(bool client_side, TlsRecordState& state) {
  ByteString& secret = client_side ? clientTraffic_ : serverTraffic_;
  if (secret.empty()) return kErrBadArgument;
  const int rc = NextApplicationSecret(secret);
  return rc == kOk ? KeyDirection(secret, state) : rc;
}

int Tls13KeySchedule::KeyLogLines(const uint8_t client_random[32], ByteString& out) const {
  const ByteString* secrets[] = {&clientHandshake_, &serverHandshake_, &clientTraffic_,
                                 &serverTraffic_, &exporter_};
  ByteString random;
  int rc = random.Set(client_random, 32);
  for (size_t i = 0; rc == kOk && i < sizeof secrets / sizeof secrets[0]; ++i) {
    if (secrets[i]->empty()) continue;
    rc = out.AppendText(kKeyLogNames[i]);
    if (rc == kOk) rc = out.AppendByte(' ');
    if (rc == kOk) rc = AppendHex(random, out);
    if (rc == kOk) rc = out.AppendByte(' ');
    if (rc == kOk) rc = AppendHex(*secrets[i], out);
    if (rc == kOk) rc = out.AppendByte('\n');
  }
  return rc;
}

}  // namespace tw
