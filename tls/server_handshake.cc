// The server side of the handshake: the ClientHello (TLS form or SSL 2.0 record), the choice of
// version, suite, group and signature scheme, the server's flight of TLS 1.2 and earlier or of
// TLS 1.3, and the client's answering messages.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "crypto/pubkey/rsa_engine.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "tls/handshake_common.h"
#include "tls/hello_extensions.h"
#include "tls/tls12_key_derivation.h"
#include "tls/tls_alerts.h"
#include "tls/engine_certificate_host.h"
#include "tls/tls_engine.h"
#include "tls/tls_key_exchange.h"
#include "tls/server_key_exchange.h"
#include "foundation/span_writer.h"

namespace tw {
namespace {

constexpr char kTextClientHelloReceived[] = "ClientHello message received";
constexpr char kTextSsl2HelloReceived[] = "ClientHello (SSL2) message received";
constexpr char kTextRenegotiateDisabled[] =
    "Renegotiate is disabled. Send NO_RENEGOTIATION alert message.";
constexpr char kTextBadClientHello[] = "Malformed ClientHello message.";
constexpr char kTextOnly13[] = "Could not agree on tls version. Only tls 1.3 is accepted.";
constexpr char kTextNoSuite[] = "Could not agree on a cipher suite";
constexpr char kTextNoCompression[] = "Could not agree on a compression method";
constexpr char kTextNoGroup[] = "Could not agree on a key exchange group";
constexpr char kTextNoScheme[] = "Could not agree on a signature scheme";
constexpr char kTextBadShare[] = "Invalid key share for DHE group";
constexpr char kTextSelectedVersion[] = "Selected TLS Version: ";
constexpr char kTextSelectedSuite[] = "Selected Cipher Suite: ";
constexpr char kTextSelectedGroup[] = "Selected Group: ";
constexpr char kFormatPeerScheme[] = "Selected Tls13_PeerSignatureScheme:%s";
constexpr char kFormatOurScheme[] = "Selected Tls13_OurSignatureScheme:%s";
constexpr char kTextServerHelloSent[] = "ServerHello message sent";
constexpr char kTextRetrySent[] = "HelloRetryRequest message sent";
constexpr char kTextEncryptedExtensionsSent[] = "Encrypted Extensions message sent";
constexpr char kTextServerKeyExchangeDhSent[] = "ServerKeyExchange message with Diffie-Hellman keys sent";
constexpr char kTextServerKeyExchangeRsaSent[] = "ServerKeyExchange message with ephemeral RSA keys sent";
constexpr char kTextCaNamesTruncated[] = "CA certificates list exceeds 16K. The list will be truncated.";
constexpr char kTextCertificateChanged[] = "The certificate is changed in the event SSLConnectionRequest.";
constexpr char kTextCertificateRequestSent[] = "CertificateRequest message sent";
constexpr char kTextServerHelloDoneSent[] = "ServerHelloDone message sent";
constexpr char kTextCertificateSent[] = "Certificate sent to peer";
constexpr char kTextFinishedSent[] = "Finished message sent";
constexpr char kTextNoServerCertificate[] = "No server certificate with a private key is selected.";
constexpr char kTextNoClientCertificate[] =
    "Client did not send any certificates and SSLAuthenticateClients is true";
constexpr char kTextRsaReceived[] = "ClientKeyExchange message with rsa encrypted pre-master-secret received";
constexpr char kTextRsaFallback[] = "Failed to decrypt Client RSA pre-master-secret, generating new random one";
constexpr char kTextDhReceived[] = "ClientKeyExchange with client's diffie-hellman public key received";
constexpr char kTextEcdhReceived[] =
    "ClientKeyExchange with client's Elliptic Curve Diffie-Hellman public key received";
constexpr char kTextNoDhKeys[] = "Client has no certificate and didn't provide DH keys";
constexpr char kTextFixedDh[] = "Certificates with Fixed Diffie-Hellman keys not supported at this time";
constexpr char kTextBadKeyExchange[] = "Malformed ClientKeyExchange message.";
constexpr char kTextBadVerify[] = "Could not validate client certificate verify message";
constexpr char kTextRenegotiationInfo[] = "Secure renegotiation check failed.";
constexpr char kTextInsecureRenegotiation[] = "The client does not support secure renegotiation.";
constexpr char kTextSsl2Short[] = "SSL2 ClientHello challenge too short";
constexpr char kTextSsl2[] = "SSL2 not supported";
constexpr char kTextResuming[] = "Resuming previous SSL session.";
constexpr char kTextMasterSecret[] = "Master Secret Key generated";

constexpr int kSessionIdBytes = 32;

}  // namespace

// ---- The server's states ----

// Without a request no certificate comes, and so no proof of one.
void TlsEngine::Enter(TlsServer12State s) {
  using S = TlsServer12State;
  if (!authenticate_clients_ && s == S::kCertificate) s = S::kClientKeyExchange;
  if (!authenticate_clients_ && s == S::kCertificateVerify) s = S::kChangeCipherSpec;
  state_ = static_cast<uint8_t>(s);
}

void TlsEngine::Enter(TlsServer13State s) {
  using S = TlsServer13State;
  if (!authenticate_clients_ && (s == S::kCertificate || s == S::kCertificateVerify)) s = S::kFinished;
  state_ = static_cast<uint8_t>(s);
}

// ---- The ClientHello ----

TlsStep TlsEngine::OnClientHello(const uint8_t* body, size_t n) {
  Status(kTextClientHelloReceived);
  if (AtDone()) {
    // RFC 5746: only a client that proved secure renegotiation may renegotiate.
    if (!renegotiation_allowed_ || !secure_renegotiation_) {
      Status(renegotiation_allowed_ ? kTextInsecureRenegotiation : kTextRenegotiateDisabled);
      return SendAlert(kAlertLevelWarning, kAlertNoRenegotiation);
    }
    BeginHandshake();
  }
  ClientOffer offer;
  SpanReader in(body, n);
  SpanReader random;
  SpanReader session_id;
  SpanReader suites;
  SpanReader compressions;
  if (!in.ReadU16(&offer.version) || !in.ReadBytes(32, &random) || !in.ReadPrefixed(1, &session_id) ||
      session_id.remaining() > kSessionIdBytes || !in.ReadPrefixed(2, &suites) || suites.empty() ||
      (suites.remaining() & 1) != 0 || !in.ReadPrefixed(1, &compressions) || compressions.empty()) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadClientHello);
  }
  uint16_t id = 0;
  while (suites.ReadU16(&id)) offer.suites.push_back(id);
  offer.null_compression =
      std::memchr(compressions.data(), 0, compressions.remaining()) != nullptr;
  offer.session_id.Set(session_id.data(), static_cast<int>(session_id.remaining()));
  std::memcpy(offer.random, random.data(), 32);
  if (!in.empty()) {
    SpanReader block;
    if (!in.ReadPrefixed(2, &block) || !in.empty() || ParseClientExtensions(block, &offer) != kOk) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadClientHello);
    }
  }
  return AnswerClientHello(offer);
}

int TlsEngine::ParseClientExtensions(SpanReader block, ClientOffer* offer) {
  uint32_t seen = 0;
  while (!block.empty()) {
    uint16_t type = 0;
    SpanReader body;
    if (!block.ReadU16(&type) || !block.ReadPrefixed(2, &body)) return -1;
    int bit = -1;
    SpanReader list;
    uint16_t v = 0;
    switch (type) {
      case kExtSupportedGroups:
        bit = 0;
        if (!body.ReadPrefixed(2, &list) || !body.empty() || (list.remaining() & 1) != 0) return -1;
        while (list.ReadU16(&v)) offer->groups.push_back(v);
        break;
      case kExtSignatureAlgorithms:
        bit = 1;
        if (!body.ReadPrefixed(2, &list) || !body.empty() || (list.remaining() & 1) != 0) return -1;
        while (list.ReadU16(&v)) offer->signature_algorithms.push_back(v);
        break;
      case kExtSupportedVersions:
        bit = 2;
        if (!body.ReadPrefixed(1, &list) || !body.empty() || (list.remaining() & 1) != 0) return -1;
        while (list.ReadU16(&v)) offer->versions.push_back(v);
        break;
      case kExtKeyShare:
        bit = 3;
        if (!body.ReadPrefixed(2, &list) || !body.empty()) return -1;
        while (!list.empty()) {
          SpanReader value;
          if (!list.ReadU16(&v) || !list.ReadPrefixed(2, &value) || value.empty()) return -1;
          offer->share_groups.push_back(v);
          ByteString bytes;
          bytes.Set(value.data(), static_cast<int>(value.remaining()));
          offer->shares.push_back(std::move(bytes));
        }
        break;
      case kExtRenegotiationInfo:
        bit = 4;
        if (!body.ReadPrefixed(1, &list) || !body.empty()) return -1;
        offer->has_renegotiation = true;
        offer->renegotiation.Set(list.data(), static_cast<int>(list.remaining()));
        break;
      case kExtAlpn:
        bit = 5;
        if (!ReadAlpnList(body, &offer->alpn)) return -1;
        break;
      case kExtCookie:
        bit = 6;
        break;
      default:
        break;
    }
    if (bit >= 0) {
      if ((seen & (1u << bit)) != 0) return -1;
      seen |= 1u << bit;
    }
  }
  return kOk;
}

TlsStep TlsEngine::ProcessSsl2Hello(const uint8_t* record, size_t length) {
  Status(kTextSsl2HelloReceived);
  // Two-byte header, then type 1, version, three lengths, the specs, session id and challenge.
  SpanReader in(record + 2, length - 2);
  uint8_t type = 0;
  ClientOffer offer;
  uint16_t specs_length = 0;
  uint16_t sid_length = 0;
  uint16_t challenge_length = 0;
  SpanReader specs;
  SpanReader sid;
  SpanReader challenge;
  if (!in.ReadU8(&type) || type != 1 || !in.ReadU16(&offer.version)) return Fail(kErrTlsUnsupported, kTextSsl2);
  if (offer.version < kSsl30) return Fail(kErrTlsUnsupported, kTextSsl2);
  if (!in.ReadU16(&specs_length) || !in.ReadU16(&sid_length) || !in.ReadU16(&challenge_length) ||
      specs_length % 3 != 0 || !in.ReadBytes(specs_length, &specs) || !in.ReadBytes(sid_length, &sid) ||
      !in.ReadBytes(challenge_length, &challenge) || !in.empty()) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadClientHello);
  }
  if (challenge_length < 16) return Refuse(kAlertHandshakeFailure, kErrTlsProtocol, kTextSsl2Short);
  if (challenge_length > 32 || sid_length > 32) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadClientHello);
  }
  while (!specs.empty()) {
    uint8_t high = 0;
    uint16_t low = 0;
    specs.ReadU8(&high);
    specs.ReadU16(&low);
    // Only the specs that name TLS suites count.
    if (high == 0) offer.suites.push_back(low);
  }
  std::memset(offer.random, 0, 32);
  std::memcpy(offer.random + 32 - challenge_length, challenge.data(), challenge_length);
  offer.null_compression = true;
  offer.ssl2 = true;
  // The transcript holds the message without its record header.
  dispatcher_.transcript().Reset();
  dispatcher_.transcript().Append(record + 2, static_cast<int>(length - 2));
  return AnswerClientHello(offer);
}

TlsStep TlsEngine::AnswerClientHello(const ClientOffer& offer) {
  // A renegotiation is answered from the done state, in a handshake of its own.
  const bool renegotiating = AtDone();
  const bool retry = hs_->hello_retry;
  if (hs_->own_certificate_changed && !retry) {
    if (int rc = LoadOwnCertificate(); rc != kOk) return rc;
  }
  if (!retry) {
    pending_.Reset();
    pending_.is_client = false;
    pending_.is_server_side = true;
    if (int rc = FillHelloRandom(pending_.server_random, 32); rc != kOk) return Fail(rc, "");
  }
  std::memcpy(pending_.client_random, offer.random, 32);
  pending_.hello_version = offer.version;
  hs_->requested_signature_algorithms = offer.signature_algorithms;

  // RFC 5746.
  const bool signalled = offer.has_renegotiation || Contains(offer.suites, kRenegotiationScsv);
  if (renegotiating) {
    if (!offer.has_renegotiation || !offer.renegotiation.Equals(client_verify_data_)) {
      return Refuse(kAlertHandshakeFailure, kErrTlsProtocol, kTextRenegotiationInfo);
    }
  } else {
    if (offer.has_renegotiation && !offer.renegotiation.empty()) {
      return Refuse(kAlertHandshakeFailure, kErrTlsProtocol, kTextRenegotiationInfo);
    }
    secure_renegotiation_ = signalled;
  }

  // Version: supported_versions first, else the legacy field.
  uint16_t version = 0;
  const bool tls13_on = PairOn(protocol_mask_, kTlsProtocolTls13);
  // A certificate that signs no TLS 1.3 scheme is served under an earlier version the client
  // takes; with none, the TLS 1.3 answer refuses it before its ServerHello.
  bool tls13_signs = true;
  bool lower_offered = false;
  if (own_cert_loaded_) {
    TlsIdList schemes;
    FilterSignatureSchemesByKey(&own_cert_, tls13_signature_schemes_.c_str(), &schemes);
    tls13_signs = std::any_of(schemes.begin(), schemes.end(), [](uint16_t s) { return Tls13SchemeAllowed(kTls13, s); });
  }
  for (uint16_t v : offer.versions) lower_offered = lower_offered || (v <= kTls12 && VersionAllowed(protocol_mask_, v));
  const bool tls13_fallback = !tls13_signs && lower_offered;
  if (tls13_on && !renegotiating && Contains(offer.versions, kTls13) && !tls13_fallback) {
    version = kTls13;
  } else {
    uint16_t legacy = offer.version;
    if (!offer.versions.empty()) {
      legacy = 0;
      for (uint16_t v : offer.versions) {
        if (v <= kTls12 && v > legacy && VersionAllowed(protocol_mask_, v)) legacy = v;
      }
      if (legacy == 0) legacy = kSsl30 - 1;
    }
    ByteString text;
    int alert = 0;
    if (int rc = ChooseServerVersion(protocol_mask_, legacy, &version, &text, &alert); rc != kOk) {
      return Refuse(static_cast<uint8_t>(alert != 0 ? alert : kAlertProtocolVersion), rc, text.c_str());
    }
    if (protocol_mask_ == kTlsProtocolTls13) return Refuse(kAlertHandshakeFailure, kErrTlsUnsupported, kTextOnly13);
  }
  if (retry && version != kTls13) return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadClientHello);
  if (!offer.null_compression) return Refuse(kAlertHandshakeFailure, kErrTlsUnsupported, kTextNoCompression);

  // The suite: the server's order, among those the client offered that the certificate serves.
  if (int rc = OfferSuites(); rc != kOk) return rc;
  std::vector<uint16_t> candidates = offered_suites_;
  FilterSuitesForVersion(version, &candidates);
  uint16_t group_for_ecdhe = 0;
  TlsIdList our_groups;
  ParseSupportedGroups(tls13_on ? tls13_groups_.c_str() : tls12_groups_.c_str(), tls13_on, &our_groups);
  for (uint16_t g : our_groups) {
    if (IsEllipticGroup(g) && (offer.groups.empty() ? g == 23 : Contains(offer.groups, g))) {
      group_for_ecdhe = g;
      break;
    }
  }
  const OwnKeyFacts own_key = own_cert_loaded_ ? DescribeOwnKey(own_cert_) : OwnKeyFacts();
  ClientSuiteNeeds needs;
  needs.version = version;
  needs.groups = &offer.groups;
  needs.signatures = &offer.signature_algorithms;
  needs.ecdhe_group = group_for_ecdhe;
  const TlsCipherSuite* suite = nullptr;
  for (uint16_t id : candidates) {
    if (!Contains(offer.suites, id)) continue;
    const TlsCipherSuite* s = FindCipherSuite(id);
    if (s == nullptr || (version != kTls13 && !CertificateServesSuite(*s, own_key, needs))) continue;
    suite = s;
    break;
  }
  if (suite == nullptr) return Refuse(kAlertHandshakeFailure, kErrTlsUnsupported, kTextNoSuite);
  if (!own_cert_loaded_ || !own_cert_.has_private_key()) {
    return Refuse(kAlertHandshakeFailure, kErrCertSelection, kTextNoServerCertificate);
  }
  if (retry && suite->id != hs_->retry_suite) return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadClientHello);
  pending_.version = version;
  pending_.SetSuite(suite);
  ByteString line;
  line.SetText(kTextSelectedVersion);
  line.AppendText(VersionName(version));
  Status(line.c_str());
  ByteString text;
  SuiteDisplayText(suite->id, &text);
  line.SetText(kTextSelectedSuite);
  line.AppendString(text);
  Status(line.c_str());
  if (hs_->own_certificate_changed) Status(kTextCertificateChanged);
  if (!offer.alpn.empty()) ChooseAlpn(offer.alpn);

  if (version == kTls13) return AnswerTls13(offer, our_groups);

  // RFC 8446 4.1.3: a TLS 1.3 server answering lower marks its random; not when it answers lower
  // because its certificate cannot serve TLS 1.3, which the client would take for an attack.
  if (tls13_on && !tls13_fallback) {
    std::memcpy(pending_.server_random + 24, kDowngradeSentinel, 7);
    pending_.server_random[31] = version == kTls12 ? 1 : 0;
  }
  if (int rc = MakeServerKeyExchange(*suite, own_cert_, group_for_ecdhe, &hs_->kx, &hs_->temp_rsa_key); rc != kOk) {
    return Fail(rc, "");
  }

  // Resumption: a saved session of this suite and version.
  SessionCacheEntry* saved = renegotiating || offer.session_id.empty() || offer.ssl2
                                 ? nullptr
                                 : session_cache_.Find(offer.session_id);
  if (saved != nullptr && saved->Resumable(suite->id, version, NowSeconds())) {
    pending_.session_id.Assign(saved->session_id);
    pending_.master_secret.Assign(saved->master_secret);
    resumed_ = true;
    Status(kTextResuming);
    BeginFlight();
    int rc = SendServerHello(offer, nullptr);
    if (rc == kOk) rc = InstallKeyBlock(pending_);
    if (rc == kOk) rc = SendChangeCipherSpec();
    if (rc == kOk) rc = SendFinished();
    if (rc != kOk) return TlsStep::Error(rc, "");
    Enter(TlsServer12State::kChangeCipherSpec);
    return TlsStep::Flush();
  }
  resumed_ = false;
  pending_.session_id.SetData(kSessionIdBytes, nullptr);
  FillHelloRandom(pending_.session_id.bytes(), kSessionIdBytes);
  return SendServerFlight12(offer);
}

void TlsEngine::ChooseAlpn(const ByteString& client_list) {
  // The first of our protocols the client offered.
  ForEachListEntry(alpn_.c_str(), ',', [&](ListEntry e) {
    ByteString name;
    name.Set(e.text, e.length);
    if (!AlpnOffered(client_list.c_str(), name)) return false;
    alpn_protocol_.Assign(name);
    return true;
  });
}

int TlsEngine::SendServerHello(const ClientOffer& offer, const ByteString* extensions13) {
  ByteString body;
  SpanWriter w(body);
  w.U16(pending_.version == kTls13 ? kTls12 : pending_.version);
  w.Bytes(pending_.server_random, 32);
  SpanWriter::Field sid = w.Open(1);
  w.Bytes(pending_.version == kTls13 ? offer.session_id : pending_.session_id);
  w.Close(sid);
  w.U16(pending_.suite->id);
  w.U8(0);
  ByteString extensions;
  SpanWriter e(extensions);
  if (extensions13 != nullptr) {
    e.Bytes(*extensions13);
  } else {
    if (secure_renegotiation_) {
      // RFC 5746: empty on the first handshake, both Finished texts when renegotiating.
      ByteString info;
      if (current_.HoldsSession()) {
        info.AppendString(client_verify_data_);
        info.AppendString(server_verify_data_);
      }
      WriteExtension(e, kExtRenegotiationInfo, 1, info);
    }
    if (!alpn_protocol_.empty()) WriteAlpnExtension(e, alpn_protocol_);
    const TlsKeyExchangeKind kx = pending_.suite->kx;
    if (kx == kKxEcdheRsa || kx == kKxEcdheEcdsa || kx == kKxEcdhRsa || kx == kKxEcdhEcdsa) {
      e.U16(kExtEcPointFormats);
      SpanWriter::Field f = e.Open(2);
      e.U8(1);
      e.U8(0);
      e.Close(f);
    }
  }
  if (e.rc() != kOk) return e.rc();
  if (!extensions.empty() && !offer.ssl2) {
    SpanWriter::Field f = w.Open(2);
    w.Bytes(extensions);
    w.Close(f);
  }
  if (w.rc() != kOk) return w.rc();
  const int rc = SendHandshakeMessage(kHsServerHello, body.bytes(), static_cast<size_t>(body.length()));
  if (rc == kOk) Status(kTextServerHelloSent);
  return rc;
}

// The server's signature over client random, server random and the key-exchange parameters.
int TlsEngine::SignServerParams(const uint8_t* params, size_t length, ByteString* out) {
  const char* kind = PeerKeyKind(own_cert_.der(), nullptr);
  ByteString data;
  data.Append(pending_.client_random, 32);
  data.Append(pending_.server_random, 32);
  data.Append(params, static_cast<int>(length));
  uint16_t scheme = 0;
  int hash_id = 0;
  bool pss = false;
  // The suite was chosen only where this succeeds.
  if (!ChooseServerSignature(kind, pending_.version, hs_->requested_signature_algorithms, &scheme, &hash_id, &pss)) {
    return Refuse(kAlertHandshakeFailure, kErrTlsUnsupported, kTextNoScheme);
  }
  ByteString signature;
  int rc = SignWithOwnKey(own_cert_, scheme, hash_id, pss, data.bytes(), static_cast<size_t>(data.length()),
                          &signature);
  if (rc != kOk) return Fail(rc, kTextNoScheme);
  SpanWriter w(*out);
  if (pending_.version >= kTls12) w.U16(scheme);
  SpanWriter::Field f = w.Open(2);
  w.Bytes(signature);
  w.Close(f);
  return w.rc();
}

TlsStep TlsEngine::SendServerFlight12(const ClientOffer& offer) {
  BeginFlight();
  int rc = SendServerHello(offer, nullptr);
  ByteString body;
  CertificateHost host(*this);
  if (rc == kOk) rc = BuildCertificateBody(&host, &own_cert_, false, &body);
  if (rc == kOk) rc = SendHandshakeMessage(kHsCertificate, body.bytes(), static_cast<size_t>(body.length()));
  if (rc == kOk) Status(kTextCertificateSent);
  if (rc == kOk && SendsServerKeyExchange(*pending_.suite, hs_->temp_rsa_key.get())) {
    ByteString ske;
    rc = ServerKeyExchangeParams(hs_->kx.get(), hs_->temp_rsa_key.get(), &ske);
    const size_t params = static_cast<size_t>(ske.length());
    ByteString signature;
    if (rc == kOk) rc = SignServerParams(ske.bytes(), params, &signature);
    if (rc == kOk) rc = ske.AppendString(signature);
    if (rc == kOk) rc = SendHandshakeMessage(kHsServerKeyExchange, ske.bytes(), static_cast<size_t>(ske.length()));
    if (rc == kOk) Status(hs_->temp_rsa_key != nullptr ? kTextServerKeyExchangeRsaSent : kTextServerKeyExchangeDhSent);
  }
  if (rc == kOk && authenticate_clients_) {
    ByteString request;
    bool truncated = false;
    rc = BuildCertificateRequest12(pending_.version, ca_certs_, &request, &truncated);
    if (rc == kOk && truncated) Status(kTextCaNamesTruncated);
    if (rc == kOk) rc = SendHandshakeMessage(kHsCertificateRequest, request.bytes(), static_cast<size_t>(request.length()));
    if (rc == kOk) Status(kTextCertificateRequestSent);
    pending_.client_certificate_requested = true;
  }
  if (rc == kOk) rc = SendHandshakeMessage(kHsServerHelloDone, nullptr, 0);
  if (rc == kOk) Status(kTextServerHelloDoneSent);
  if (rc != kOk) return TlsStep::Error(rc, "");
  Enter(TlsServer12State::kCertificate);
  return TlsStep::Flush();
}

// ---- TLS 1.3 ----

TlsStep TlsEngine::AnswerTls13(const ClientOffer& offer, const std::vector<uint16_t>& our_groups) {
  // The signature scheme first: without one there is nothing to prove the certificate with.
  TlsIdList ours;
  FilterSignatureSchemesByKey(&own_cert_, tls13_signature_schemes_.c_str(), &ours);
  uint16_t scheme = 0;
  for (uint16_t s : ours) {
    if (Contains(offer.signature_algorithms, s) && Tls13SchemeAllowed(kTls13, s)) {
      scheme = s;
      break;
    }
  }
  if (scheme == 0) return Refuse(kAlertHandshakeFailure, -1, kTextNoScheme);
  ByteString line;
  line.Format(kFormatPeerScheme, SignatureSchemeName(offer.signature_algorithms.empty() ? 0 : offer.signature_algorithms[0]));
  Status(line.c_str());
  line.Format(kFormatOurScheme, SignatureSchemeName(scheme));
  Status(line.c_str());
  pending_.own_signature_scheme = scheme;

  // The group: our first one the client sent a share for; else our first it supports (retry).
  uint16_t group = 0;
  size_t share = 0;
  for (uint16_t g : our_groups) {
    auto it = std::find(offer.share_groups.begin(), offer.share_groups.end(), g);
    if (it != offer.share_groups.end()) {
      group = g;
      share = static_cast<size_t>(it - offer.share_groups.begin());
      break;
    }
  }
  if (group == 0) {
    uint16_t wanted = 0;
    for (uint16_t g : our_groups) {
      if (Contains(offer.groups, g)) {
        wanted = g;
        break;
      }
    }
    if (wanted == 0 || hs_->hello_retry) return Refuse(kAlertHandshakeFailure, kErrTlsUnsupported, kTextNoGroup);
    return SendHelloRetryRequest(offer, wanted);
  }
  ByteString name;
  GroupName(group, &name);
  line.SetText(kTextSelectedGroup);
  line.AppendString(name);
  Status(line.c_str());
  std::unique_ptr<KeyExchange> kx;
  if (int rc = MakeGroupKeyExchange(group, &kx); rc != kOk) return Fail(rc, "");
  ByteString shared;
  const ByteString& value = offer.shares[share];
  if (SetPeerValue(*kx, value.bytes(), static_cast<size_t>(value.length())) != kOk ||
      (!kx->ec_mode && value.length() != (kx->p.BitLength() + 7) / 8) ||
      SharedSecret(*kx, true, &shared) != kOk) {
    return Refuse(kx->ec_mode ? kAlertIllegalParameter : kAlertDecodeError, kErrTlsProtocol, kTextBadShare);
  }
  ByteString own;
  if (int rc = OwnPublicValue(*kx, &own); rc != kOk) return Fail(rc, "");
  hs_->kx = std::move(kx);
  tls13_ = true;

  ByteString extensions;
  SpanWriter e(extensions);
  e.U16(kExtSupportedVersions);
  e.U16(2);
  e.U16(kTls13);
  e.U16(kExtKeyShare);
  SpanWriter::Field f = e.Open(2);
  e.U16(group);
  SpanWriter::Field v = e.Open(2);
  e.Bytes(own);
  e.Close(v);
  e.Close(f);
  if (e.rc() != kOk) return Fail(e.rc(), "");

  BeginFlight();
  int rc = SendServerHello(offer, &extensions);
  hs_->schedule = std::make_unique<Tls13KeySchedule>();
  if (rc == kOk) rc = hs_->schedule->HandshakeKeys(pending_.suite, shared, dispatcher_.transcript(), pending_, false);
  WipeString(shared);
  if (rc == kOk) rc = current_.CopyFrom(pending_);
  // EncryptedExtensions: the ALPN choice, nothing else.
  ByteString ee;
  SpanWriter w(ee);
  SpanWriter::Field list = w.Open(2);
  if (!alpn_protocol_.empty()) WriteAlpnExtension(w, alpn_protocol_);
  w.Close(list);
  if (rc == kOk) rc = w.rc();
  if (rc == kOk) rc = SendHandshakeMessage(kHsEncryptedExtensions, ee.bytes(), static_cast<size_t>(ee.length()));
  if (rc == kOk) Status(kTextEncryptedExtensionsSent);
  if (rc == kOk && authenticate_clients_) {
    ByteString request;
    SpanWriter r(request);
    r.U8(0);
    SpanWriter::Field exts = r.Open(2);
    r.U16(kExtSignatureAlgorithms);
    SpanWriter::Field body = r.Open(2);
    SpanWriter::Field schemes = r.Open(2);
    TlsIdList all;
    ParseSignatureSchemes(tls13_signature_schemes_.c_str(), &all);
    for (uint16_t s : all) r.U16(s);
    r.Close(schemes);
    r.Close(body);
    r.Close(exts);
    rc = r.rc();
    if (rc == kOk) rc = SendHandshakeMessage(kHsCertificateRequest, request.bytes(), static_cast<size_t>(request.length()));
    if (rc == kOk) Status(kTextCertificateRequestSent);
    pending_.client_certificate_requested = true;
  }
  ByteString certificate;
  CertificateHost host(*this);
  if (rc == kOk) rc = BuildCertificateBody(&host, &own_cert_, true, &certificate);
  if (rc == kOk) rc = SendHandshakeMessage(kHsCertificate, certificate.bytes(), static_cast<size_t>(certificate.length()));
  if (rc == kOk) {
    Status(kTextCertificateSent);
    ByteString hash;
    ByteString content;
    ByteString signature;
    rc = TranscriptHash(pending_.prf_hash, dispatcher_.transcript(), hash);
    if (rc == kOk) rc = Tls13SignedContent(true, hash, content);
    if (rc == kOk) {
      rc = SignWithOwnKey(own_cert_, scheme, SignatureSchemeHashId(scheme), UsesRsaPssSignature(kTls13, scheme),
                          content.bytes(), static_cast<size_t>(content.length()), &signature);
    }
    ByteString verify;
    SpanWriter cv(verify);
    cv.U16(scheme);
    SpanWriter::Field sig = cv.Open(2);
    cv.Bytes(signature);
    cv.Close(sig);
    if (rc == kOk) rc = cv.rc();
    if (rc == kOk) rc = SendHandshakeMessage(kHsCertificateVerify, verify.bytes(), static_cast<size_t>(verify.length()));
  }
  ByteString finished;
  if (rc == kOk) rc = hs_->schedule->FinishedVerifyData(false, dispatcher_.transcript(), finished);
  if (rc == kOk) rc = SendHandshakeMessage(kHsFinished, finished.bytes(), static_cast<size_t>(finished.length()));
  if (rc == kOk) {
    Status(kTextFinishedSent);
    hs_->finished_sent = true;
    rc = hs_->schedule->ApplicationSecrets(dispatcher_.transcript());
  }
  // From its Finished on the server writes under its application keys (an alert refusing the
  // client's certificate included); it reads the client's flight under the handshake keys.
  TlsRecordState app_read;
  TlsRecordState app_write;
  if (rc == kOk) rc = hs_->schedule->InstallApplicationKeys(app_read, app_write, false);
  if (rc == kOk) rc = current_.write.CopyFrom(app_write);
  if (rc != kOk) return TlsStep::Error(rc, "");
  Enter(TlsServer13State::kCertificate);
  return TlsStep::Flush();
}

int TlsEngine::SendHelloRetryRequest(const ClientOffer& offer, uint16_t group) {
  hs_->hello_retry = true;
  hs_->retry_suite = pending_.suite->id;
  tls13_ = true;
  // The first ClientHello is kept as its hash (RFC 8446 4.4.1).
  ByteString& transcript = dispatcher_.transcript();
  ByteString hash;
  ByteString replaced;
  int rc = TranscriptHash(pending_.suite->prf, transcript, hash);
  SpanWriter t(replaced);
  t.U8(kHsMessageHash);
  t.U24(static_cast<uint32_t>(hash.length()));
  t.Bytes(hash);
  if (rc == kOk) rc = t.rc();
  if (rc == kOk) rc = transcript.Assign(replaced);
  ByteString body;
  SpanWriter w(body);
  w.U16(kTls12);
  w.Bytes(kHelloRetryRandom, 32);
  SpanWriter::Field sid = w.Open(1);
  w.Bytes(offer.session_id);
  w.Close(sid);
  w.U16(pending_.suite->id);
  w.U8(0);
  SpanWriter::Field exts = w.Open(2);
  w.U16(kExtSupportedVersions);
  w.U16(2);
  w.U16(kTls13);
  w.U16(kExtKeyShare);
  w.U16(2);
  w.U16(group);
  w.Close(exts);
  if (rc == kOk) rc = w.rc();
  if (rc == kOk) rc = SendHandshakeMessage(kHsServerHello, body.bytes(), static_cast<size_t>(body.length()));
  if (rc != kOk) return Fail(rc, "");
  Status(kTextRetrySent);
  // The second ClientHello continues this transcript.
  dispatcher_.set_keep_transcript_on_hello(true);
  Enter(TlsServer13State::kClientHello);
  return kOk;
}

// ---- The client's answer ----

TlsStep TlsEngine::OnClientCertificate(const uint8_t* body, size_t n) {
  peer_chain_.clear();
  if (ParseCertificateBody(body, n, tls13_, &peer_chain_) != kOk) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadClientHello);
  }
  if (peer_chain_.empty()) {
    if (authenticate_clients_) return Refuse(kAlertHandshakeFailure, kErrTlsProtocol, kTextNoClientCertificate);
    if (tls13_) {
      Enter(TlsServer13State::kFinished);
    } else {
      Enter(TlsServer12State::kClientKeyExchange);
    }
    return kOk;
  }
  CertificateHost host(*this);
  if (VerifyPeerCertificate(host, &peer_cert_, peer_chain_) == 0) return kErrCertHostName;
  // A certificate obliges its CertificateVerify (after the key exchange under TLS 1.2).
  if (tls13_) {
    Enter(TlsServer13State::kCertificateVerify);
  } else {
    Enter(TlsServer12State::kClientKeyExchange);
  }
  return kOk;
}

TlsStep TlsEngine::OnClientKeyExchange(const uint8_t* body, size_t n) {
  const TlsKeyExchangeKind kind = pending_.suite->kx;
  SpanReader in(body, n);
  ByteString pre_master;
  if (kind == kKxRsa || kind == kKxRsaExport) {
    Status(kTextRsaReceived);
    SpanReader encrypted = in;
    if (pending_.version >= kTls10 && (!in.ReadPrefixed(2, &encrypted) || !in.empty())) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
    }
    ByteString fallback;
    ByteString block;
    int rc = MakeRsaPreMaster(pending_.hello_version, &fallback);
    if (rc == kOk) {
      // A failed private operation and a bad block both take the random secret.
      if (hs_->temp_rsa_key != nullptr) {
        RsaPrivateOpPadded(*hs_->temp_rsa_key, encrypted.data(), encrypted.remaining(), &block);
      } else {
        OwnRsaPrivateOp(own_cert_, encrypted.data(), encrypted.remaining(), &block);
      }
      if (!SelectRsaPreMaster(block, pending_.hello_version, fallback, &pre_master)) Status(kTextRsaFallback);
    }
    WipeString(block);
    WipeString(fallback);
    if (rc != kOk) return Fail(rc, "");
  } else {
    SpanReader value;
    const bool ec = hs_->kx != nullptr && hs_->kx->ec_mode;
    Status(ec ? kTextEcdhReceived : kTextDhReceived);
    if (!in.ReadPrefixed(ec ? 1 : 2, &value) || !in.empty()) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
    }
    if (value.empty()) {
      // A server that asked has the client's certificate by now: its key would be the fixed one.
      return Fail(authenticate_clients_ ? kErrTlsUnsupported : kErrTlsProtocol,
                  authenticate_clients_ ? kTextFixedDh : kTextNoDhKeys);
    }
    if (hs_->kx == nullptr || SetPeerValue(*hs_->kx, value.data(), value.remaining()) != kOk ||
        SharedSecret(*hs_->kx, false, &pre_master) != kOk) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadKeyExchange);
    }
  }
  int rc = DeriveMasterSecret(pending_, pre_master);
  WipeString(pre_master);
  if (rc == kOk) rc = InstallKeyBlock(pending_);
  if (rc != kOk) return Fail(rc, "");
  Status(kTextMasterSecret);
  Enter(TlsServer12State::kCertificateVerify);
  return kOk;
}

TlsStep TlsEngine::OnClientCertificateVerify(const uint8_t* body, size_t n) {
  SpanReader in(body, n);
  uint16_t scheme = 0;
  SpanReader signature;
  const bool with_scheme = tls13_ || pending_.version >= kTls12;
  if ((with_scheme && !in.ReadU16(&scheme)) || !in.ReadPrefixed(2, &signature) || !in.empty()) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadVerify);
  }
  const char* kind = PeerKeyKind(peer_chain_[0], nullptr);
  int hash_id = std::strcmp(kind, "rsa") == 0 ? kHashMd5Sha1 : kHashSha1;
  bool pss = false;
  ByteString content;
  const ByteString* data = &dispatcher_.transcript();
  if (with_scheme) {
    // Only a scheme this server asked for, that the certificate's key makes.
    const SchemeUse use = DescribeScheme(scheme);
    const bool asked = tls13_ ? Tls13SchemeAllowed(kTls13, scheme) : Contains(CertificateRequestSchemes(), scheme);
    if (!asked || !use.MadeBy(kind)) return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadVerify);
    hash_id = use.hash_id;
    pss = use.pss;
  }
  if (tls13_) {
    ByteString hash;
    if (int rc = TranscriptHash(pending_.prf_hash, dispatcher_.transcript(), hash); rc != kOk) return Fail(rc, "");
    if (int rc = Tls13SignedContent(false, hash, content); rc != kOk) return Fail(rc, "");
    data = &content;
  }
  bool valid = false;
  const int rc = VerifyWithPeerKey(peer_chain_[0], scheme, hash_id, pss, data->bytes(),
                                   static_cast<size_t>(data->length()), signature.data(), signature.remaining(),
                                   &valid);
  if (rc != kOk || !valid) return Refuse(kAlertDecryptError, kErrTlsPeerAlert, kTextBadVerify);
  if (tls13_) pending_.peer_signature_scheme = scheme;
  if (tls13_) {
    Enter(TlsServer13State::kFinished);
  } else {
    Enter(TlsServer12State::kChangeCipherSpec);
  }
  return kOk;
}

TlsStep TlsEngine::FinishTls13Server() {
  TlsRecordState app_read;
  TlsRecordState app_write;
  int rc = hs_->schedule->InstallApplicationKeys(app_read, app_write, false);
  if (rc == kOk) rc = current_.read.CopyFrom(app_read);
  if (rc != kOk) return Fail(rc, "");
  return TlsStep::Done();
}


}  // namespace tw
