// The client side of the handshake: the ClientHello, every server message in wire order, the
// second flight, resumption and renegotiation.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "certs/certificate.h"
#include "crypto/pubkey/rsa_engine.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "foundation/text_conversion.h"
#include "tls/handshake_common.h"
#include "tls/hello_extensions.h"
#include "tls/tls12_key_derivation.h"
#include "tls/tls_alerts.h"
#include "tls/engine_certificate_host.h"
#include "tls/tls_engine.h"
#include "tls/tls_key_exchange.h"
#include "foundation/span_writer.h"

namespace tw {
namespace {

constexpr char kTextEnabling[] = "Enabling TLS versions: ";
constexpr char kTextCipherSuites[] = "Cipher Suites:\r\n    ";
constexpr char kTextSuiteJoin[] = ";\r\n    ";
constexpr char kTextClientHelloSent[] = "ClientHello message sent";
constexpr char kTextSsl2HelloSent[] = "ClientHello (SSL2) message sent";
constexpr char kTextNoCommonAlgorithm[] =
    "Error during handshake: The client and server cannot communicate, because they do not "
    "possess a common algorithm.";
constexpr char kTextSecondRetry[] = "Received a second HelloRetryRequest.";
constexpr char kTextDowngrade12[] = "tls 1.2 downgrade attack detected.";
constexpr char kTextDowngrade11[] = "tls 1.1 downgrade attack detected.";
constexpr char kTextVersionNotOffered[] = "The server selected a TLS version that was not offered.";
constexpr char kTextSuiteNotOffered[] = "The server selected a cipher suite that was not offered.";
constexpr char kTextCompressionNotOffered[] =
    "The server selected a compression method that was not offered.";
constexpr char kTextBadServerHello[] = "Malformed ServerHello message.";
constexpr char kTextPskRefused[] = "The server selected a pre-shared key that was not offered.";
constexpr char kTextNoKeyShare[] = "The TLS 1.3 ServerHello carries no key share.";
constexpr char kTextGroupNotOffered[] = "The server selected a key share group that was not offered.";
constexpr char kTextBadKeyShare[] = "The server's key share is not usable.";
constexpr char kFormatRetryGroup[] =
    "Can not find a matched group id in HELLO_RETRY_REQUEST, the selected groupid is: %u";
constexpr char kTextAlpnNotOffered[] = "The server selected an ALPN protocol that was not offered.";
constexpr char kTextRenegotiationInfo[] = "Secure renegotiation check failed.";
constexpr char kTextSelectedGroup[] = "Selected Group: ";
constexpr char kFormatSelectedSuite[] = "Selected %s cipher suite";
constexpr char kTextSelectedVersion[] = "Selected TLS Version: ";
constexpr char kTextResuming[] = "Resuming previous SSL session.";
constexpr char kTextResumeMismatch[] =
    "The server resumed a session with another cipher suite or version.";
constexpr char kTextCertificateReceived[] = "Certificate message received";
constexpr char kTextServerKeyExchange[] = "ServerKeyExchange message received";
constexpr char kTextCertificateRequest[] = "CertificateRequest message received";
constexpr char kTextServerHelloDone[] = "ServerHelloDone message received";
constexpr char kTextCertificateVerify[] = "CertificateVerify message received";
constexpr char kTextFinishedSent[] = "Finished message sent";
constexpr char kTextFinishedVerified[] = "Finished message received and verified successfully";
constexpr char kTextBadFinished[] = "Could not verify the Finished message received";
constexpr char kTextWeakDh[] =
    "Received a weak ephemeral Diffie-Hellman key (less than 1024 bits) in Server Key Exchange "
    "handshake message.";
constexpr char kTextBadKeyExchange[] = "Malformed ServerKeyExchange message.";
constexpr char kTextBadSignature[] = "Could not verify the signature of the ServerKeyExchange message.";
constexpr char kTextSignatureNotOffered[] = "The server used a signature algorithm that was not offered.";
constexpr char kTextNoCertificate[] = "The server sent no certificate although the cipher suite needs one.";
constexpr char kTextNoKeyExchange[] =
    "The server sent no ServerKeyExchange although the cipher suite needs one.";
constexpr char kTextNoServerKey[] = "The server's certificate holds no key for this key exchange.";
constexpr char kTextBadCertificateMessage[] = "Malformed Certificate message.";
constexpr char kTextBadCertificateRequest[] = "Malformed CertificateRequest message.";
constexpr char kTextInvalidSchemes[] = "Invalid signature schemes: ";
constexpr char kFormatOurScheme[] = "Selected Tls13_OurSignatureScheme: %s";
constexpr char kFormatUnknownExtension[] =
    "Unknown extention \"%d\" in the CertificateRequest, ignore it.";
constexpr char kTextNoSignatureAlgorithms[] = "The CertificateRequest carries no signature algorithms.";
constexpr char kTextClientCertMissing[] = "Client certificate is not specified.";
constexpr char kTextCertificateSent[] = "Certificate sent to peer";
constexpr char kTextRsaPreMasterSent[] = "ClientKeyExchange message with encrypted pre-master-secret sent";
constexpr char kTextDhSent[] = "ClientKeyExchange message with Diffie-Hellman public key sent";
constexpr char kTextEcdhSent[] =
    "ClientKeyExchange message with Elliptic Curve Diffie-Hellman public key sent";
constexpr char kTextCvFailed[] = "Could not verify certificate verify signature";
constexpr char kFormatCvScheme[] = "CertificateVerify SignatureScheme:%s\n";
constexpr char kTextBadEncryptedExtensions[] = "Malformed EncryptedExtensions message.";
constexpr char kTextForbiddenExtension[] = "Extension not allowed in EncryptedExtensions.";
constexpr char kTextHelloRequest[] =
    "HelloRequest message received; server wants to renegotiate connection";
constexpr char kTextRenegotiateDisabled[] =
    "Renegotiate is disabled. Send NO_RENEGOTIATION alert message.";
constexpr char kTextBadTicket[] = "Malformed NewSessionTicket message.";
constexpr char kTextBadKeyUpdate[] = "Malformed KeyUpdate message.";
constexpr char kTextMasterSecret[] = "Master Secret Key generated";
constexpr char kTextNoOwnKey[] = "The selected certificate has no private key to sign with.";
constexpr char kTextSignFailed[] = "Could not sign the CertificateVerify message.";


constexpr int kMinDhBits = 1024;
constexpr int kMaxSessionId = 32;

struct VersionLabel {
  uint32_t pair;
  const char* label;
};
constexpr VersionLabel kVersionLabels[] = {
    {kTlsProtocolTls13, "TLS1.3 "}, {kTlsProtocolTls12, "TLS1.2 "}, {kTlsProtocolTls11, "TLS1.1 "},
    {kTlsProtocolTls10, "TLS1.0 "}, {kTlsProtocolSsl3, "SSL3.0"},
};

void ScheduleDebug(void* context, const char* label, const uint8_t* bytes, int length) {
  static_cast<TlsEngine*>(context)->KeyDebugLine(label, bytes, static_cast<size_t>(length));
}

// Suites whose server may send a ServerKeyExchange, and those whose server must.
bool MaySendServerKeyExchange(TlsKeyExchangeKind kind) {
  return kind == kKxRsaExport || kind == kKxDheDss || kind == kKxDheDssExport || kind == kKxDheRsa ||
         kind == kKxDheRsaExport || kind == kKxDhAnon || kind == kKxDhAnonExport ||
         kind == kKxEcdheEcdsa || kind == kKxEcdheRsa || kind == kKxEcdhAnon;
}
bool MustSendServerKeyExchange(TlsKeyExchangeKind kind) {
  return kind != kKxRsaExport && MaySendServerKeyExchange(kind);
}

}  // namespace

// ---- The client's states ----

void TlsEngine::Enter(TlsClient12State s) {
  using S = TlsClient12State;
  const TlsCipherSuite* suite = pending_.suite;
  if (suite != nullptr) {
    // An anonymous server has no certificate and asks for none; some suites have no key exchange.
    if (s == S::kCertificate && suite->anonymous()) s = S::kServerKeyExchange;
    if (s == S::kServerKeyExchange && !MaySendServerKeyExchange(suite->kx)) s = S::kCertificateRequest;
    if (s == S::kCertificateRequest && suite->anonymous()) s = S::kServerHelloDone;
  }
  state_ = static_cast<uint8_t>(s);
}

bool TlsEngine::SkipState(uint8_t type, int* rc) {
  // A hello out of place goes by its packet-log name.
  const char* name = type == kHsClientHello ? "ClientHello" : HandshakeMessageName(type);
  if (machine() == kTlsClient12 && hs_ != nullptr && pending_.suite != nullptr) {
    using S = TlsClient12State;
    if (At(S::kServerKeyExchange) && !MustSendServerKeyExchange(pending_.suite->kx)) {
      Enter(S::kCertificateRequest);
      return true;
    }
    if (At(S::kCertificateRequest)) {
      Enter(S::kServerHelloDone);
      return true;
    }
    // The end of the flight names what it lacks.
    if (type == kHsServerHelloDone && At(S::kCertificate)) {
      *rc = Refuse(kAlertUnexpectedMessage, kErrTlsProtocol, kTextNoCertificate);
      return false;
    }
    if (type == kHsServerHelloDone && At(S::kServerKeyExchange)) {
      *rc = Refuse(kAlertUnexpectedMessage, kErrTlsProtocol, kTextNoKeyExchange);
      return false;
    }
    // Inside the server's flight a key exchange out of place goes by its packet-log name.
    if (type == kHsServerKeyExchange && state_ >= static_cast<uint8_t>(S::kCertificate) &&
        state_ <= static_cast<uint8_t>(S::kServerHelloDone)) {
      name = "ServerKeyExchange";
    }
  } else if (machine() == kTlsClient13 && At(TlsClient13State::kCertificateRequest)) {
    Enter(TlsClient13State::kCertificate);
    return true;
  }
  // A server's states wait for required messages only.
  *rc = UnexpectedMessage(name);
  return false;
}

int TlsEngine::Refuse(uint8_t alert, int code, const char* text) {
  if (alert != 0) SendAlert(kAlertLevelFatal, alert);
  return Fail(code, text);
}

void TlsEngine::KeyDebug(const char* label, const uint8_t* bytes, size_t n) {
  if (!key_debug_) return;
  ByteString line;
  line.SetText(label);
  line.AppendText("\r\n");
  line.AppendHexDump(bytes, static_cast<int>(n), "");
  Status(line.c_str());
}

void TlsEngine::BeginHandshake() {
  hs_ = std::make_unique<TlsHandshake>();
  dispatcher_.set_keep_transcript_on_hello(false);
}

// ---- ClientHello ----

bool TlsEngine::TakeOfferedSession() {
  if (!reuse_session_ || !offered_.Valid()) return false;
  if (!offered_.server_name.EqualsBytes(server_name_.data(), server_name_.length())) return false;
  if (NowSeconds() - offered_.time_stamp > SessionCacheEntry::kLifetimeSeconds) return false;
  return pending_.session_id.Assign(offered_.session_id) == kOk &&
         pending_.master_secret.Assign(offered_.master_secret) == kOk;
}

int TlsEngine::PrepareKeyShares(ByteString* entries) {
  hs_->key_shares.clear();
  hs_->key_share_ids.clear();
  TlsIdList groups;
  if (ParseSupportedGroups(key_share_groups_.c_str(), true, &groups) != kOk) return -1;
  SpanWriter w(*entries);
  for (uint16_t group : groups) {
    std::unique_ptr<KeyExchange> kx;
    if (int rc = MakeGroupKeyExchange(group, &kx); rc != kOk) return rc;
    ByteString value;
    if (int rc = OwnPublicValue(*kx, &value); rc != kOk) return rc;
    KeyDebug("send keyshare pbk", value);
    w.U16(group);
    SpanWriter::Field f = w.Open(2);
    w.Bytes(value);
    w.Close(f);
    hs_->key_shares.push_back(std::move(kx));
    hs_->key_share_ids.push_back(group);
  }
  return w.rc();
}

int TlsEngine::SendClientHello() {
  Enter(TlsClient12State::kServerHello);
  const bool retry = hs_->hello_retry && tls13_enabled_for_hello();
  const bool renegotiating = current_.HoldsSession();
  if (!retry) {
    pending_.Reset();
    pending_.is_client = true;
    pending_.version = kTls10;
    dispatcher_.transcript().Reset();
    if (renegotiating) {
      // A renegotiation offers the session in force; the server may resume it or make a new one.
      int rc = pending_.session_id.Assign(current_.session_id);
      if (rc == kOk) rc = pending_.master_secret.Assign(current_.master_secret);
      if (rc != kOk) return Fail(rc, "");
    } else {
      TakeOfferedSession();
    }
    if (int rc = FillHelloRandom(pending_.client_random, 32); rc != kOk) return Fail(rc, "");
  }
  uint16_t hello_version = 0;
  if (int rc = HighestVersion(&hello_version); rc != kOk) return rc;
  pending_.hello_version = hello_version;
  if (!retry) pending_.version = hello_version;

  ByteString line;
  line.SetText(kTextEnabling);
  for (const VersionLabel& v : kVersionLabels) {
    if (PairOn(protocol_mask_, v.pair)) line.AppendText(v.label);
  }
  Status(line.c_str());

  const bool offer13 = tls13_enabled_for_hello();
  if (PairOn(protocol_mask_, kTlsProtocolSsl3) && !offer13 && !renegotiating) {
    return SendSsl2ClientHello(hello_version);
  }
  ClientHelloOffer offer;
  offer.server_name = server_name_.c_str();
  ByteString shares;
  hs_->offered_versions.clear();
  if (offer13) {
    for (uint16_t v = kTls13; v >= kTls10; --v) {
      if (VersionAllowed(protocol_mask_, v)) hs_->offered_versions.push_back(v);
    }
    offer.versions = hs_->offered_versions;
    if (!retry) {
      if (int rc = PrepareKeyShares(&shares); rc != kOk) return Fail(rc, "");
    } else {
      // The retry carries one share, for the group the server asked for.
      SpanWriter w(shares);
      ByteString value;
      if (int rc = OwnPublicValue(*hs_->key_shares.back(), &value); rc != kOk) return Fail(rc, "");
      w.U16(hs_->key_share_ids.back());
      SpanWriter::Field f = w.Open(2);
      w.Bytes(value);
      w.Close(f);
      if (w.rc() != kOk) return Fail(w.rc(), "");
    }
    offer.key_shares = &shares;
    offer.cookie = &hs_->cookie;
  }
  TlsIdList groups;
  ParseSupportedGroups(offer13 ? tls13_groups_.c_str() : tls12_groups_.c_str(), offer13, &groups);
  if (offer13) {
    // A TLS 1.2 answer may still use the prime curves of the TLS 1.2 list.
    TlsIdList groups12;
    ParseSupportedGroups(tls12_groups_.c_str(), false, &groups12);
    for (uint16_t g : groups12) {
      if (!Contains(groups, g)) groups.push_back(g);
    }
  }
  offer.groups = groups;
  offer.point_formats = true;
  hs_->offered_signature_algorithms.clear();
  if (hello_version >= kTls12) {
    TlsIdList schemes;
    if (offer13) ParseSignatureSchemes(tls13_signature_schemes_.c_str(), &schemes);
    TlsIdList pairs;
    ParseTls12SignatureAlgorithms(tls12_signature_algorithms_.c_str(), &pairs, nullptr);
    for (uint16_t p : pairs) {
      if (!Contains(schemes, p)) schemes.push_back(p);
    }
    hs_->offered_signature_algorithms = schemes;
    offer.signature_algorithms = schemes;
  }
  offer.alpn = alpn_.c_str();
  // RFC 5746: empty on the first handshake, the client's last Finished when renegotiating.
  offer.renegotiation = &client_verify_data_;
  if (!renegotiating) client_verify_data_.Reset();

  ByteString extensions;
  if (int rc = BuildClientHelloExtensions(offer, &extensions); rc != kOk) return Fail(rc, "");

  ByteString body;
  SpanWriter w(body);
  w.U16(hello_version);
  w.Bytes(pending_.client_random, 32);
  SpanWriter::Field sid = w.Open(1);
  w.Bytes(pending_.session_id);
  w.Close(sid);
  if (int rc = OfferSuites(); rc != kOk) return rc;
  SpanWriter::Field suites = w.Open(2);
  line.SetText(kTextCipherSuites);
  for (size_t i = 0; i < offered_suites_.size(); ++i) {
    w.U16(offered_suites_[i]);
    const TlsCipherSuite* s = FindCipherSuite(offered_suites_[i]);
    if (i > 0) line.AppendText(kTextSuiteJoin);
    line.AppendText(s != nullptr ? s->name : "");
  }
  w.Close(suites);
  Status(line.c_str());
  w.U8(1);
  w.U8(0);
  if (!extensions.empty()) {
    SpanWriter::Field ext = w.Open(2);
    w.Bytes(extensions);
    w.Close(ext);
  }
  if (w.rc() != kOk) return Fail(w.rc(), "");
  if (int rc = SendHandshakeMessage(kHsClientHello, body.bytes(), static_cast<size_t>(body.length()));
      rc != kOk) {
    return Fail(rc, "");
  }
  Status(kTextClientHelloSent);
  return kOk;
}

// The SSL 2.0-format hello of RFC 5246 appendix E.2: no session id and no extensions, so
// secure renegotiation is signalled with its SCSV.
int TlsEngine::SendSsl2ClientHello(uint16_t hello_version) {
  WipeString(pending_.session_id);
  WipeString(pending_.master_secret);
  if (int rc = OfferSuites(); rc != kOk) return rc;
  ByteString message;
  SpanWriter w(message);
  w.U8(kHsClientHello);
  w.U16(hello_version);
  w.U16(static_cast<uint16_t>(3 * (offered_suites_.size() + 1)));
  w.U16(0);
  w.U16(32);
  ByteString line;
  line.SetText(kTextCipherSuites);
  for (size_t i = 0; i < offered_suites_.size(); ++i) {
    w.U8(0);
    w.U16(offered_suites_[i]);
    const TlsCipherSuite* suite = FindCipherSuite(offered_suites_[i]);
    if (i > 0) line.AppendText(kTextSuiteJoin);
    line.AppendText(suite != nullptr ? suite->name : "");
  }
  w.U8(0);
  w.U16(kRenegotiationScsv);
  w.Bytes(pending_.client_random, 32);
  Status(line.c_str());
  if (w.rc() != kOk) return Fail(w.rc(), "");
  // The TLS transcript takes the message without its two-byte record header.
  if (int rc = dispatcher_.transcript().AppendString(message); rc != kOk) return Fail(rc, "");
  ByteString record;
  SpanWriter r(record);
  r.U16(static_cast<uint16_t>(0x8000 | message.length()));
  r.Bytes(message);
  if (r.rc() != kOk) return Fail(r.rc(), "");
  if (int rc = Emit(record.bytes(), static_cast<size_t>(record.length())); rc != kOk) return Fail(rc, "");
  Status(kTextSsl2HelloSent);
  return kOk;
}

// ---- ServerHello ----

TlsStep TlsEngine::OnServerHello(const uint8_t* body, size_t n) {
  SpanReader in(body, n);
  uint16_t server_version = 0;
  SpanReader random;
  SpanReader session_id;
  uint16_t suite_id = 0;
  uint8_t compression = 0;
  if (!in.ReadU16(&server_version) || !in.ReadBytes(32, &random) ||
      !in.ReadPrefixed(1, &session_id) || session_id.remaining() > kMaxSessionId ||
      !in.ReadU16(&suite_id) || !in.ReadU8(&compression)) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadServerHello);
  }
  const bool hello_retry = std::memcmp(random.data(), kHelloRetryRandom, 32) == 0;
  ServerHelloExtensions ext;
  if (!in.empty()) {
    SpanReader block;
    if (!in.ReadPrefixed(2, &block) || !in.empty()) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadServerHello);
    }
    if (int alert = ParseServerHelloExtensions(block, hello_retry, &ext); alert != 0) {
      return Refuse(static_cast<uint8_t>(alert), kErrTlsProtocol, kTextBadServerHello);
    }
  }
  const uint16_t version = ext.has_version ? ext.version : server_version;
  if (hello_retry && version != kTls13) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadServerHello);
  }
  if (version == kTls13) {
    // Only a TLS 1.2 legacy version carries supported_versions, and only if it was offered.
    if (server_version != kTls12 || !Contains(hs_->offered_versions, kTls13)) {
      return Refuse(kAlertProtocolVersion, kErrTlsProtocol, kTextVersionNotOffered);
    }
  } else if (ext.has_version) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextVersionNotOffered);
  }
  const bool offered = version == kTls13 ? Contains(hs_->offered_versions, kTls13) : version <= pending_.hello_version;
  if (!VersionAllowed(protocol_mask_, version) || !offered) {
    return Refuse(kAlertProtocolVersion, kErrTlsProtocol, kTextNoCommonAlgorithm);
  }
  if (!Contains(offered_suites_, suite_id)) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextSuiteNotOffered);
  }
  const TlsCipherSuite* suite = FindCipherSuite(suite_id);
  if (suite == nullptr || (version == kTls13) != (suite->kx == kKxTls13) ||
      (version != kTls13 && suite->min_version > version)) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextSuiteNotOffered);
  }
  if (compression != 0) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextCompressionNotOffered);
  }
  if (!ext.alpn.empty() && !AlpnOffered(alpn_.c_str(), ext.alpn)) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextAlpnNotOffered);
  }
  if (hello_retry) return OnHelloRetryRequest(suite_id, n + kTlsHandshakeHeaderBytes, ext);

  std::memcpy(pending_.server_random, random.data(), 32);
  // RFC 8446 4.1.3: a TLS 1.3 client answered below TLS 1.3 checks for the downgrade sentinel.
  if (version != kTls13 && PairOn(protocol_mask_, kTlsProtocolTls13) &&
      std::memcmp(pending_.server_random + 24, kDowngradeSentinel, 7) == 0 &&
      (pending_.server_random[31] == 0 || pending_.server_random[31] == 1)) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol,
                  pending_.server_random[31] == 1 ? kTextDowngrade12 : kTextDowngrade11);
  }
  pending_.version = version;
  pending_.SetSuite(suite);
  if (version == kTls13) {
    // The legacy session id comes back as it was sent.
    if (!pending_.session_id.EqualsBytes(session_id.data(), static_cast<int>(session_id.remaining()))) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadServerHello);
    }
    return OnServerHello13(suite_id, ext);
  }

  // RFC 5746: on the first handshake the extension is empty; renegotiating it must carry both
  // Finished texts of the session.
  if (!current_.HoldsSession()) {
    if (ext.has_renegotiation && !ext.renegotiation.empty()) {
      return Refuse(kAlertHandshakeFailure, kErrTlsProtocol, kTextRenegotiationInfo);
    }
    secure_renegotiation_ = ext.has_renegotiation;
  } else {
    ByteString expected;
    expected.AppendString(client_verify_data_);
    expected.AppendString(server_verify_data_);
    if (!ext.has_renegotiation || ext.renegotiation.length() != expected.length() ||
        !MacEquals(ext.renegotiation.bytes(), expected.bytes(), static_cast<size_t>(expected.length()))) {
      return Refuse(kAlertHandshakeFailure, kErrTlsProtocol, kTextRenegotiationInfo);
    }
  }
  alpn_protocol_.Assign(ext.alpn);

  ByteString text;
  SuiteDisplayText(suite_id, &text);
  ByteString line;
  line.Format(kFormatSelectedSuite, text.c_str());
  Status(line.c_str());
  line.SetText(kTextSelectedVersion);
  line.AppendText(VersionName(version));
  Status(line.c_str());
  resumed_ = false;
  Enter(TlsClient12State::kCertificate);

  const bool echoed = !pending_.session_id.empty() &&
                      pending_.session_id.EqualsBytes(session_id.data(), static_cast<int>(session_id.remaining()));
  if (echoed && !pending_.master_secret.empty()) {
    // The saved session must come back with the suite and version it was made with.
    const bool same = current_.HoldsSession()
                          ? current_.suite != nullptr && current_.suite->id == suite_id && current_.version == version
                          : offered_.Resumable(suite_id, version, NowSeconds());
    if (!same) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextResumeMismatch);
    }
    if (int rc = InstallKeyBlock(pending_); rc != kOk) return Fail(rc, "");
    Enter(TlsClient12State::kChangeCipherSpec);
    resumed_ = true;
    Status(kTextResuming);
    return kOk;
  }
  WipeString(pending_.master_secret);
  return pending_.session_id.Set(session_id.data(), static_cast<int>(session_id.remaining()));
}

// ---- Server flight of TLS 1.2 and earlier ----

TlsStep TlsEngine::OnCertificate(const uint8_t* body, size_t n) {
  Status(kTextCertificateReceived);
  peer_chain_.clear();
  if (ParseCertificateBody(body, n, tls13_, &peer_chain_) != kOk) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadCertificateMessage);
  }
  if (peer_chain_.empty()) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextNoCertificate);
  }
  CertificateHost host(*this);
  if (VerifyPeerCertificate(host, &peer_cert_, peer_chain_) == 0) return kErrCertHostName;
  if (tls13_) {
    Enter(TlsClient13State::kCertificateVerify);
  } else {
    Enter(TlsClient12State::kServerKeyExchange);
  }
  return kOk;
}

int TlsEngine::VerifyServerSignature(SpanReader& in, const uint8_t* params, size_t params_length) {
  const uint16_t version = pending_.version;
  uint16_t scheme = 0;
  uint16_t group = 0;
  const char* key_kind = PeerKeyKind(peer_chain_.empty() ? ByteString() : peer_chain_[0], &group);
  SchemeUse use;
  if (version >= kTls12) {
    if (!in.ReadU16(&scheme)) return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
    use = DescribeScheme(scheme);
    if (!Contains(hs_->offered_signature_algorithms, scheme) || !use.MadeBy(key_kind)) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextSignatureNotOffered);
    }
  } else {
    use.key_kind = key_kind;
    use.hash_id = std::strcmp(key_kind, "rsa") == 0 ? kHashMd5Sha1 : kHashSha1;
  }
  SpanReader signature;
  if (!in.ReadPrefixed(2, &signature) || !in.empty()) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
  }
  ByteString signed_data;
  signed_data.Append(pending_.client_random, 32);
  signed_data.Append(pending_.server_random, 32);
  signed_data.Append(params, static_cast<int>(params_length));
  bool valid = false;
  const int rc = VerifyWithPeerKey(peer_chain_[0], scheme, use.hash_id, use.pss, signed_data.bytes(),
                                   static_cast<size_t>(signed_data.length()), signature.data(),
                                   signature.remaining(), &valid);
  if (rc != kOk || !valid) return Refuse(kAlertDecryptError, kErrTlsPeerAlert, kTextBadSignature);
  return kOk;
}

TlsStep TlsEngine::OnServerKeyExchange(const uint8_t* body, size_t n) {
  const TlsCipherSuite* suite = pending_.suite;
  const TlsKeyExchangeKind kind = suite->kx;
  Status(kTextServerKeyExchange);
  SpanReader in(body, n);
  const uint8_t* params = body;
  if (kind == kKxRsaExport) {
    SpanReader modulus;
    SpanReader exponent;
    if (!in.ReadPrefixed(2, &modulus) || !in.ReadPrefixed(2, &exponent) || modulus.empty() ||
        exponent.empty()) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
    }
    hs_->temp_rsa_modulus.Set(modulus.data(), static_cast<int>(modulus.remaining()));
    hs_->temp_rsa_exponent.Set(exponent.data(), static_cast<int>(exponent.remaining()));
  } else if (kind == kKxEcdheEcdsa || kind == kKxEcdheRsa || kind == kKxEcdhAnon) {
    uint8_t curve_type = 0;
    uint16_t group = 0;
    SpanReader point;
    if (!in.ReadU8(&curve_type) || !in.ReadU16(&group) || !in.ReadPrefixed(1, &point)) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
    }
    TlsIdList groups;
    ParseSupportedGroups(tls13_enabled_for_hello() ? tls13_groups_.c_str() : tls12_groups_.c_str(),
                         tls13_enabled_for_hello(), &groups);
    TlsIdList groups12;
    ParseSupportedGroups(tls12_groups_.c_str(), false, &groups12);
    // Named curves only, and only those offered.
    if (curve_type != 3 || GroupCurveId(group) == -1 || (!Contains(groups, group) && !Contains(groups12, group))) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextGroupNotOffered);
    }
    if (int rc = MakeGroupKeyExchange(group, &hs_->kx); rc != kOk) return Fail(rc, "");
    if (SetPeerValue(*hs_->kx, point.data(), point.remaining()) != kOk) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadKeyShare);
    }
  } else {
    SpanReader p;
    SpanReader g;
    SpanReader ys;
    if (!in.ReadPrefixed(2, &p) || !in.ReadPrefixed(2, &g) || !in.ReadPrefixed(2, &ys) ||
        p.empty() || g.empty() || ys.empty()) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
    }
    if (MakeDhKeyExchange(p.data(), p.remaining(), g.data(), g.remaining(), &hs_->kx) != kOk) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadKeyExchange);
    }
    if (!weak_allowed_ && hs_->kx->p.BitLength() < kMinDhBits) {
      return Refuse(kAlertInsufficientSecurity, kErrTlsPeerAlert, kTextWeakDh);
    }
    if (SetPeerValue(*hs_->kx, ys.data(), ys.remaining()) != kOk) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadKeyExchange);
    }
  }
  const size_t params_length = n - in.remaining();
  Enter(TlsClient12State::kCertificateRequest);
  if (suite->anonymous()) return in.empty() ? kOk : Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyExchange);
  return VerifyServerSignature(in, params, params_length);
}

TlsStep TlsEngine::OnCertificateRequest(const uint8_t* body, size_t n) {
  Status(kTextCertificateRequest);
  SpanReader in(body, n);
  hs_->requested_signature_algorithms.clear();
  if (tls13_) {
    SpanReader context;
    SpanReader extensions;
    if (!in.ReadPrefixed(1, &context) || !in.ReadPrefixed(2, &extensions) || !in.empty()) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadCertificateRequest);
    }
    hs_->certificate_request_context.Set(context.data(), static_cast<int>(context.remaining()));
    while (!extensions.empty()) {
      uint16_t type = 0;
      SpanReader ext;
      if (!extensions.ReadU16(&type) || !extensions.ReadPrefixed(2, &ext)) {
        return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadCertificateRequest);
      }
      if (type == kExtSignatureAlgorithms) {
        SpanReader list;
        if (!ext.ReadPrefixed(2, &list) || list.empty() || (list.remaining() & 1) != 0) {
          return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadCertificateRequest);
        }
        uint16_t scheme = 0;
        while (list.ReadU16(&scheme)) hs_->requested_signature_algorithms.push_back(scheme);
      } else if (type != 47 /* certificate_authorities */) {
        ByteString line;
        line.Format(kFormatUnknownExtension, type);
        Status(line.c_str());
      }
    }
    if (hs_->requested_signature_algorithms.empty()) {
      return Refuse(kAlertMissingExtension, kErrTlsProtocol, kTextNoSignatureAlgorithms);
    }
    Enter(TlsClient13State::kCertificate);
  } else {
    SpanReader types;
    SpanReader names;
    if (!in.ReadPrefixed(1, &types) || types.empty()) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadCertificateRequest);
    }
    if (pending_.version >= kTls12) {
      SpanReader list;
      if (!in.ReadPrefixed(2, &list) || (list.remaining() & 1) != 0) {
        return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadCertificateRequest);
      }
      uint16_t pair = 0;
      while (list.ReadU16(&pair)) hs_->requested_signature_algorithms.push_back(pair);
    }
    if (!in.ReadPrefixed(2, &names) || !in.empty()) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadCertificateRequest);
    }
  }
  if (!tls13_) Enter(TlsClient12State::kServerHelloDone);
  pending_.client_certificate_requested = true;
  return kOk;
}

TlsStep TlsEngine::OnServerHelloDone() {
  Status(kTextServerHelloDone);
  Enter(TlsClient12State::kChangeCipherSpec);
  BeginFlight();
  int rc = kOk;
  bool sent_certificate = false;
  if (pending_.client_certificate_requested) {
    ByteString cert_body;
    CertificateHost host(*this);
    rc = BuildCertificateBody(&host, own_cert_loaded_ ? &own_cert_ : nullptr, false, &cert_body);
    if (rc != kOk) {
      // No certificate of ours: an empty list.
      cert_body.Reset();
      SpanWriter w(cert_body);
      w.U24(0);
      rc = w.rc();
    }
    if (!own_cert_loaded_) Status(kTextClientCertMissing);
    if (rc == kOk) rc = SendHandshakeMessage(kHsCertificate, cert_body.bytes(), static_cast<size_t>(cert_body.length()));
    if (rc == kOk && own_cert_loaded_) Status(kTextCertificateSent);
    sent_certificate = own_cert_loaded_ && cert_body.length() > 3;
  }
  if (rc == kOk) rc = SendClientKeyExchange();
  // A CertificateVerify follows only a certificate that was sent.
  if (rc == kOk && sent_certificate) rc = SendClientCertificateVerify();
  if (rc == kOk) rc = SendChangeCipherSpec();
  if (rc == kOk) {
    rc = SendFinished();
    if (rc == kOk) Status(kTextFinishedSent);
  }
  // Failures inside the flight already reported themselves.
  return rc != kOk ? TlsStep(rc) : TlsStep::Flush();
}

int TlsEngine::SendClientKeyExchange() {
  const TlsKeyExchangeKind kind = pending_.suite->kx;
  ByteString pre_master;
  ByteString body;
  SpanWriter w(body);
  int rc = kOk;
  if (kind == kKxRsa || kind == kKxRsaExport) {
    if ((rc = MakeRsaPreMaster(pending_.hello_version, &pre_master)) != kOk) return Fail(rc, "");
    ByteString encrypted;
    if (kind == kKxRsaExport && !hs_->temp_rsa_modulus.empty()) {
      RsaKeyData key;
      RsaEngine rsa;
      rc = key.N.Assign(hs_->temp_rsa_modulus);
      if (rc == kOk) rc = key.E.Assign(hs_->temp_rsa_exponent);
      if (rc == kOk) rc = rsa.SetKey(key);
      if (rc == kOk) rc = rsa.EncryptPkcs1(pre_master, encrypted);
    } else {
      rc = PeerRsaEncrypt(peer_chain_[0], pre_master.bytes(), static_cast<size_t>(pre_master.length()),
                          &encrypted);
    }
    if (rc != kOk) return Refuse(kAlertHandshakeFailure, rc, kTextNoServerKey);
    if (pending_.version >= kTls10) {
      SpanWriter::Field f = w.Open(2);
      w.Bytes(encrypted);
      w.Close(f);
    } else {
      w.Bytes(encrypted);
    }
  } else {
    if (kind == kKxEcdhEcdsa || kind == kKxEcdhRsa || kind == kKxDhDss || kind == kKxDhRsa) {
      // Fixed exchanges take the server's key from its certificate.
      int curve = -1;
      ByteString point;
      if (kind == kKxDhDss || kind == kKxDhRsa ||
          PeerEcPoint(peer_chain_[0], &curve, &point) != kOk ||
          MakeGroupKeyExchange(CurveGroup(curve), &hs_->kx) != kOk ||
          SetPeerValue(*hs_->kx, point.bytes(), static_cast<size_t>(point.length())) != kOk) {
        return Refuse(kAlertHandshakeFailure, kErrTlsUnsupported, kTextNoServerKey);
      }
    }
    if (hs_->kx == nullptr) return Refuse(kAlertHandshakeFailure, kErrTlsProtocol, kTextNoKeyExchange);
    if (SharedSecret(*hs_->kx, false, &pre_master) != kOk) {
      return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadKeyShare);
    }
    ByteString own;
    if ((rc = OwnPublicValue(*hs_->kx, &own)) != kOk) return Fail(rc, "");
    SpanWriter::Field f = w.Open(hs_->kx->ec_mode ? 1 : 2);
    w.Bytes(own);
    w.Close(f);
  }
  if (w.rc() != kOk) return Fail(w.rc(), "");
  KeyDebug("client-random", pending_.client_random, 32);
  KeyDebug("server-random", pending_.server_random, 32);
  KeyDebug("pre-master-secret", pre_master);
  rc = DeriveMasterSecret(pending_, pre_master);
  WipeString(pre_master);
  if (rc != kOk) return Fail(rc, "");
  Status(kTextMasterSecret);
  KeyDebug("master-secret", pending_.master_secret);
  if ((rc = InstallKeyBlock(pending_)) != kOk) return Fail(rc, "");
  rc = SendHandshakeMessage(kHsClientKeyExchange, body.bytes(), static_cast<size_t>(body.length()));
  if (rc != kOk) return Fail(rc, "");
  Status(kind == kKxRsa || kind == kKxRsaExport ? kTextRsaPreMasterSent
         : hs_->kx->ec_mode                        ? kTextEcdhSent
                                               : kTextDhSent);
  return kOk;
}

int TlsEngine::SendClientCertificateVerify() {
  if (!own_cert_.has_private_key()) return Refuse(kAlertInternalError, kErrCertSelection, kTextNoOwnKey);
  TlsIdList ours;
  FilterSignatureSchemesByKey(&own_cert_, tls13_signature_schemes_.c_str(), &ours);
  const bool rsa = Contains(ours, 0x0401) || Contains(ours, 0x0804);
  uint16_t scheme = 0;
  SchemeUse use;
  ByteString content;
  const ByteString* signed_data = &dispatcher_.transcript();
  if (tls13_) {
    // Our first scheme the server accepts, never PKCS #1 v1.5.
    for (uint16_t s : ours) {
      if (Contains(hs_->requested_signature_algorithms, s) && Tls13SchemeAllowed(kTls13, s)) {
        scheme = s;
        break;
      }
    }
    ByteString hash;
    int rc = scheme != 0 ? TranscriptHash(pending_.prf_hash, dispatcher_.transcript(), hash) : kOk;
    if (rc == kOk) rc = Tls13SignedContent(false, hash, content);
    if (rc != kOk) return Fail(rc, "");
    use.hash_id = SignatureSchemeHashId(scheme);
    use.pss = UsesRsaPssSignature(kTls13, scheme);
    signed_data = &content;
  } else if (pending_.version >= kTls12) {
    // The first pair the server asked for that our key can make.
    for (uint16_t s : hs_->requested_signature_algorithms) {
      SchemeUse u = DescribeScheme(s);
      if (u.eddsa || u.pss || u.hash_id < 0 || u.hash_id == kHashMd5) continue;
      if (std::strcmp(u.key_kind, rsa ? "rsa" : "ecdsa") == 0) {
        scheme = s;
        use = u;
        break;
      }
    }
  } else {
    use.hash_id = rsa ? kHashMd5Sha1 : kHashSha1;
  }
  if (scheme == 0 && pending_.version >= kTls12) {
    Status(kTextInvalidSchemes);
    return Refuse(kAlertHandshakeFailure, kErrTlsUnsupported, kTextInvalidSchemes);
  }
  if (tls13_) {
    ByteString line;
    line.Format(kFormatOurScheme, SignatureSchemeName(scheme));
    Status(line.c_str());
    pending_.own_signature_scheme = scheme;
  }
  ByteString signature;
  int rc = SignWithOwnKey(own_cert_, scheme, use.hash_id, use.pss, signed_data->bytes(),
                          static_cast<size_t>(signed_data->length()), &signature);
  if (rc != kOk) return Refuse(kAlertInternalError, rc, kTextSignFailed);
  ByteString body;
  SpanWriter w(body);
  if (pending_.version >= kTls12) w.U16(scheme);
  SpanWriter::Field f = w.Open(2);
  w.Bytes(signature);
  w.Close(f);
  if (w.rc() != kOk) return Fail(w.rc(), "");
  rc = SendHandshakeMessage(kHsCertificateVerify, body.bytes(), static_cast<size_t>(body.length()));
  return rc != kOk ? Fail(rc, "") : kOk;
}

// ---- After the handshake ----

int TlsEngine::SaveSession() {
  if (current_.version == kTls13 || current_.suite == nullptr || current_.session_id.empty() ||
      current_.master_secret.empty()) {
    return kOk;
  }
  auto* entry = NewRecord<SessionCacheEntry>();
  if (entry == nullptr) return kErrOutOfMemory;
  int rc = entry->session_id.Assign(current_.session_id);
  if (rc == kOk) rc = entry->master_secret.Assign(current_.master_secret);
  if (rc == kOk && is_client_) rc = entry->server_name.Assign(server_name_);
  if (rc == kOk) rc = entry->SetSuiteAndVersion(current_.suite->id, current_.version);
  entry->time_stamp = NowSeconds();
  // A client offers its newest session next time.
  if (rc == kOk && is_client_) rc = offered_.CopyFrom(*entry);
  if (rc != kOk) {
    DeleteRecord(entry);
    return rc;
  }
  return session_cache_.Add(entry);
}

TlsStep TlsEngine::OnHelloRequest() {
  Status(kTextHelloRequest);
  if (!AtDone()) return kOk;
  if (!renegotiation_allowed_ || !secure_renegotiation_) {
    Status(kTextRenegotiateDisabled);
    return SendAlert(kAlertLevelWarning, kAlertNoRenegotiation);
  }
  BeginHandshake();
  return SendClientHello();
}

TlsStep TlsEngine::OnNewSessionTicket(const uint8_t* body, size_t n, size_t* consumed) {
  // Tickets are not used for resumption: read and dropped.
  if (tls13_) {
    TlsRecordFault fault;
    if (ReadNewSessionTicket13(body, n, consumed, &fault) != kOk) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadTicket);
    }
    return kOk;
  }
  SpanReader in(body, n);
  SpanReader ticket;
  if (!in.Skip(4) || !in.ReadPrefixed(2, &ticket)) return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadTicket);
  *consumed = n - in.remaining();
  return kOk;
}

// ---- TLS 1.3 ----

void TlsEngine::KeyDebugLine(const char* label, const uint8_t* bytes, size_t n) {
  KeyDebug(label, bytes, n);
}

TlsStep TlsEngine::OnServerHello13(uint16_t suite_id, const ServerHelloExtensions& ext) {
  if (hs_->hello_retry && suite_id != hs_->retry_suite) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextSuiteNotOffered);
  }
  if (ext.has_pre_shared_key) return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextPskRefused);
  if (!ext.has_key_share) return Refuse(kAlertMissingExtension, kErrTlsProtocol, kTextNoKeyShare);
  size_t index = 0;
  while (index < hs_->key_share_ids.size() && hs_->key_share_ids[index] != ext.key_share_group) ++index;
  if (index == hs_->key_share_ids.size()) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextGroupNotOffered);
  }
  ByteString group;
  GroupName(ext.key_share_group, &group);
  ByteString line;
  line.SetText(kTextSelectedGroup);
  line.AppendString(group);
  Status(line.c_str());
  hs_->kx = std::move(hs_->key_shares[index]);
  hs_->key_shares.clear();
  ByteString shared;
  if (SetPeerValue(*hs_->kx, ext.key_share.bytes(), static_cast<size_t>(ext.key_share.length())) != kOk ||
      SharedSecret(*hs_->kx, true, &shared) != kOk) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadKeyShare);
  }
  tls13_ = true;
  hs_->schedule = std::make_unique<Tls13KeySchedule>();
  if (key_debug_) hs_->schedule->SetDebugSink(ScheduleDebug, this);
  KeyDebug("dhSecret", shared);
  int rc = hs_->schedule->HandshakeKeys(pending_.suite, shared, dispatcher_.transcript(), pending_, true);
  WipeString(shared);
  if (rc == kOk) rc = current_.CopyFrom(pending_);
  if (rc != kOk) return Refuse(kAlertInternalError, rc, "");
  ByteString text;
  SuiteDisplayText(suite_id, &text);
  line.Format(kFormatSelectedSuite, text.c_str());
  Status(line.c_str());
  line.SetText(kTextSelectedVersion);
  line.AppendText(VersionName(kTls13));
  Status(line.c_str());
  resumed_ = false;
  Enter(TlsClient13State::kEncryptedExtensions);
  return kOk;
}

// The group a HelloRetryRequest asks for must be one of ours; the two forms of the message word
// the refusal differently.
int TlsEngine::RefuseUnknownRetryGroup(const ServerHelloExtensions& ext, const char* format) {
  TlsIdList groups;
  ParseSupportedGroups(tls13_groups_.c_str(), true, &groups);
  if (!ext.has_key_share || Contains(groups, ext.key_share_group)) return kOk;
  ByteString text;
  text.Format(format, ext.key_share_group);
  return Refuse(kAlertDecodeError, -1, text.c_str());
}

TlsStep TlsEngine::OnHelloRetryRequest(uint16_t suite_id, size_t message_length,
                                       const ServerHelloExtensions& ext) {
  if (hs_->hello_retry) return Refuse(kAlertUnexpectedMessage, -1, kTextSecondRetry);
  hs_->hello_retry = true;
  hs_->retry_suite = suite_id;
  // From here on the peer speaks TLS 1.3 (a compatibility ChangeCipherSpec may follow).
  tls13_ = true;
  if (const int rc = RefuseUnknownRetryGroup(ext, kFormatRetryGroup); rc != kOk) return rc;
  // A retry must change the hello, and never asks for a share that was sent.
  if ((!ext.has_key_share && ext.cookie.empty()) ||
      (ext.has_key_share && Contains(hs_->key_share_ids, ext.key_share_group))) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextBadServerHello);
  }
  if (ext.has_pre_shared_key) return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextPskRefused);
  hs_->cookie.Assign(ext.cookie);
  // RFC 8446 4.4.1: the first ClientHello enters the transcript as its hash only.
  const TlsCipherSuite* suite = FindCipherSuite(suite_id);
  ByteString& transcript = dispatcher_.transcript();
  const int first = transcript.length() - static_cast<int>(message_length);
  ByteString hello;
  ByteString hash;
  ByteString replaced;
  int rc = hello.Set(transcript.data(), first);
  if (rc == kOk) rc = TranscriptHash(suite->prf, hello, hash);
  if (rc == kOk) {
    SpanWriter w(replaced);
    w.U8(kHsMessageHash);
    w.U24(static_cast<uint32_t>(hash.length()));
    w.Bytes(hash);
    w.Bytes(transcript.bytes() + first, message_length);
    rc = w.rc();
  }
  if (rc == kOk) rc = transcript.Assign(replaced);
  if (rc != kOk) return Fail(rc, "");
  if (ext.has_key_share) {
    std::unique_ptr<KeyExchange> kx;
    if ((rc = MakeGroupKeyExchange(ext.key_share_group, &kx)) != kOk) return Fail(rc, "");
    hs_->key_shares.clear();
    hs_->key_shares.push_back(std::move(kx));
    hs_->key_share_ids.assign(1, ext.key_share_group);
  }
  return SendClientHello();
}

TlsStep TlsEngine::OnEncryptedExtensions(const uint8_t* body, size_t n, size_t* consumed) {
  SpanReader in(body, n);
  SpanReader list;
  if (!in.ReadPrefixed(2, &list)) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadEncryptedExtensions);
  }
  while (!list.empty()) {
    uint16_t type = 0;
    SpanReader ext;
    if (!list.ReadU16(&type) || !list.ReadPrefixed(2, &ext)) {
      return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadEncryptedExtensions);
    }
    if (type == kExtServerName) continue;
    if (type == kExtSupportedGroups) {
      SpanReader groups;
      if (!ext.ReadPrefixed(2, &groups) || !ext.empty() || (groups.remaining() & 1) != 0) {
        return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadEncryptedExtensions);
      }
      continue;
    }
    if (type == kExtAlpn) {
      ByteString name;
      // Only a protocol that was offered may be selected.
      if (!ReadAlpnList(ext, &name) || !AlpnOffered(alpn_.c_str(), name)) {
        return Refuse(kAlertIllegalParameter, -1, kTextAlpnNotOffered);
      }
      alpn_protocol_.Assign(name);
      continue;
    }
    return Refuse(kAlertIllegalParameter, -1, kTextForbiddenExtension);
  }
  *consumed = n - in.remaining();
  Enter(TlsClient13State::kCertificateRequest);
  return kOk;
}

TlsStep TlsEngine::OnCertificateVerify(const uint8_t* body, size_t n) {
  Status(kTextCertificateVerify);
  SpanReader in(body, n);
  uint16_t scheme = 0;
  SpanReader signature;
  if (!in.ReadU16(&scheme) || !in.ReadPrefixed(2, &signature) || !in.empty()) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextCvFailed);
  }
  uint16_t group = 0;
  const char* key_kind = PeerKeyKind(peer_chain_[0], &group);
  const SchemeUse use = DescribeScheme(scheme);
  if (!Contains(hs_->offered_signature_algorithms, scheme) || !Tls13SchemeAllowed(kTls13, scheme) ||
      !use.MadeBy(key_kind)) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextSignatureNotOffered);
  }
  ByteString line;
  line.Format(kFormatCvScheme, SignatureSchemeName(scheme));
  Status(line.c_str());
  ByteString hash;
  ByteString content;
  int rc = TranscriptHash(pending_.prf_hash, dispatcher_.transcript(), hash);
  if (rc == kOk) rc = Tls13SignedContent(true, hash, content);
  if (rc != kOk) return Fail(rc, "");
  bool valid = false;
  rc = VerifyWithPeerKey(peer_chain_[0], scheme, SignatureSchemeHashId(scheme),
                         UsesRsaPssSignature(kTls13, scheme), content.bytes(),
                         static_cast<size_t>(content.length()), signature.data(),
                         signature.remaining(), &valid);
  if (rc != kOk || !valid) return Refuse(kAlertDecryptError, kErrTlsPeerAlert, kTextCvFailed);
  pending_.peer_signature_scheme = scheme;
  Enter(TlsClient13State::kFinished);
  return kOk;
}

TlsStep TlsEngine::OnFinished13(const uint8_t* body, size_t n) {
  bool ok = false;
  const int rc = hs_->schedule->VerifyFinished(!is_client_, dispatcher_.transcript(), body, n, &ok);
  if (rc != kOk) return Fail(rc, "");
  if (!ok) return Refuse(kAlertHandshakeFailure, kErrTlsPeerAlert, kTextBadFinished);
  Status(kTextFinishedVerified);
  return kOk;
}

TlsStep TlsEngine::FinishTls13Client() {
  int rc = hs_->schedule->ApplicationSecrets(dispatcher_.transcript());
  TlsRecordState app_read;
  TlsRecordState app_write;
  if (rc == kOk) rc = hs_->schedule->InstallApplicationKeys(app_read, app_write, true);
  // The server writes under its application keys from its Finished on.
  if (rc == kOk) rc = current_.read.CopyFrom(app_read);
  if (rc != kOk) return Fail(rc, "");
  BeginFlight();
  if (pending_.client_certificate_requested) {
    ByteString cert_body;
    CertificateHost host(*this);
    const ByteString& context = hs_->certificate_request_context;
    if (!own_cert_loaded_ || BuildCertificateBody(&host, &own_cert_, true, &cert_body, &context) != kOk) {
      Status(kTextClientCertMissing);
      cert_body.Reset();
      SpanWriter w(cert_body);
      SpanWriter::Field f = w.Open(1);
      w.Bytes(context);
      w.Close(f);
      w.U24(0);
      rc = w.rc();
    }
    const bool sent_certificate = own_cert_loaded_ && cert_body.length() > 4 + context.length();
    if (rc == kOk) rc = SendHandshakeMessage(kHsCertificate, cert_body.bytes(), static_cast<size_t>(cert_body.length()));
    if (rc == kOk && sent_certificate) {
      Status(kTextCertificateSent);
      rc = SendClientCertificateVerify();
    }
  }
  ByteString verify;
  if (rc == kOk) rc = hs_->schedule->FinishedVerifyData(true, dispatcher_.transcript(), verify);
  if (rc == kOk) rc = SendHandshakeMessage(kHsFinished, verify.bytes(), static_cast<size_t>(verify.length()));
  WipeString(verify);
  if (rc != kOk) return TlsStep::Error(rc, kTextSignFailed);
  Status(kTextFinishedSent);
  hs_->finished_sent = true;
  // The flight is framed under the handshake keys already; what follows it takes these.
  if ((rc = current_.write.CopyFrom(app_write)) != kOk) return TlsStep::Error(rc, "");
  return TlsStep::Done();
}

TlsStep TlsEngine::OnKeyUpdate(const uint8_t* body, size_t n, size_t* consumed) {
  if (n != 1 || body[0] > 1) return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadKeyUpdate);
  *consumed = 1;
  // A copied engine holds no schedule of the session it carries on.
  if (application_schedule_ == nullptr) return UnexpectedMessage(HandshakeMessageName(kHsKeyUpdate));
  int rc = application_schedule_->UpdateApplicationKeys(!is_client_, current_.read);
  if (rc == kOk && body[0] == 1) {
    // Answered under the old keys, then this side moves on too.
    static constexpr uint8_t kNotRequested[1] = {0};
    rc = SendHandshakeMessage(kHsKeyUpdate, kNotRequested, 1);
    if (rc == kOk) rc = application_schedule_->UpdateApplicationKeys(is_client_, current_.write);
  }
  return rc != kOk ? Fail(rc, "") : kOk;
}

}  // namespace tw
