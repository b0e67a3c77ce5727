// The TLS protocol engine held by every TCP client, and what it needs of its owner.
//
// This build carries the engine's settings, its owner hooks and its entry points, but not the
// protocol itself: starting a handshake fails at once with kErrTlsUnavailable and the text
// kTextTlsUnavailable, reported through the owner's failure hook so that a caller waiting for
// the connection learns it straight away. The platform TLS path is missing the same way.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrTlsUnavailable = 202;
inline constexpr char kTextTlsUnavailable[] = "TLS is not available in this build.";
constexpr int kErrInvalidCipherSuites = 202;
// The peer closed while the handshake ran.
constexpr int kErrTlsPeerClosed = 276;

// Protocol pairs of the protocol mask (a version is on only when both bits of its pair are).
constexpr uint32_t kTlsProtocolSsl3 = 0x0030;
constexpr uint32_t kTlsProtocolTls10 = 0x00C0;
constexpr uint32_t kTlsProtocolTls11 = 0x0300;
constexpr uint32_t kTlsProtocolTls12 = 0x0C00;
constexpr uint32_t kTlsProtocolTls13 = 0x3000;

// The engine's eight hooks land here; each returns 0 or an error code.
class TlsEngineOwner {
 public:
  // An error (code, text) met by the engine.
  virtual int ReportTlsError(int code, const char* text) = 0;
  // A progress line of the handshake.
  virtual int LogTlsStatus(const char* text) = 0;
  // The server's certificate: the encoded bytes, subject, issuer and status text; *accept may be
  // changed by the owner.
  virtual int CheckServerCertificate(const void* encoded, int length, const char* subject,
                                     const char* issuer, const char* status, int* accept) = 0;
  // Record bytes for the wire: 0, an error, or 10035 with the count taken in *sent.
  virtual int SendBytes(const void* bytes, int n, int* sent) = 0;
  // A failure of the handshake or the session: the owner keeps the text and the code.
  virtual int SetErrorCodeText(int code, const char* text) = 0;
  // The handshake ended: null or "" on success, else the failure description.
  virtual int OnWritable(const char* failure) = 0;
  // Decrypted application data.
  virtual int OnIncomingData(const void* bytes, int n, bool end_of_record) = 0;
  // Passed through unchanged.
  virtual int ForwardHook(intptr_t a, intptr_t b, intptr_t c, intptr_t d, intptr_t e,
                          intptr_t f) = 0;

 protected:
  ~TlsEngineOwner() = default;
};

// The client certificate choice copied into the engine.
struct TlsOwnCertificate {
  int32_t store_type = 0;
  ByteString store;
  ByteString password;
  ByteString subject;
};

class TlsEngine {
 public:
  TlsEngine();
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;
  ~TlsEngine();

  // Binds the engine to its owner with the defaults of a new engine. 0.
  int Init(TlsEngineOwner* owner, bool is_client);

  // ---- Settings (copied in by the owner before Start); 0 or 200 ----
  void SetProtocolMask(uint32_t mask) { protocol_mask_ = mask; }
  void SetSecurityFlags(uint32_t flags) { security_flags_ = flags; }
  // "*" when null or empty.
  int SetCipherSuiteList(const char* text);
  int SetServerName(const char* name) { return server_name_.SetText(OrEmpty(name)); }
  void SetReuseSession(bool on) { reuse_session_ = on; }
  int SetCaCerts(const char* text) { return ca_certs_.SetText(OrEmpty(text)); }
  int SetOwnCertificate(int32_t store_type, const ByteString& store, const ByteString& password,
                        const ByteString& subject);
  int SetTls12Groups(const char* text) { return tls12_groups_.SetText(OrEmpty(text)); }
  int SetKeyShareGroups(const char* text) { return key_share_groups_.SetText(OrEmpty(text)); }
  int SetTls13Groups(const char* text) { return tls13_groups_.SetText(OrEmpty(text)); }
  int SetTls13SignatureSchemes(const char* text) {
    return tls13_signature_schemes_.SetText(OrEmpty(text));
  }
  int SetTls12SignatureAlgorithms(const char* text) {
    return tls12_signature_algorithms_.SetText(OrEmpty(text));
  }
  int SetAlpn(const char* text) { return alpn_.SetText(OrEmpty(text)); }
  void SetLogPackets(bool on) { log_packets_ = on; }
  // Every setting of the other engine. 0 or 200.
  int CopyFrom(const TlsEngine& other);

  // ---- Entry points ----
  // Begins the client handshake. Fails here: kErrTlsUnavailable, through the owner's failure
  // hook as well.
  int Start();
  // The peer closed with `code` (1: during the handshake); clears the established flag.
  int PeerClosed(int code);
  // Record input.
  int Receive(const void* bytes, int n);
  // Encrypts and sends application data; pending output goes first. 0 or an error code.
  int SendAppData(const void* bytes, int n, int* sent);
  // Sends pending output; nonzero while output remains.
  int FlushPending();
  // Tells the peer the session ends (close_notify) and queues it as output.
  int Close();

  // ---- State ----
  bool established() const { return established_; }
  bool is_client() const { return is_client_; }
  // The ALPN protocol the server selected; "" when none.
  const char* negotiated_text() const { return negotiated_text_.c_str(); }
  const char* error_text() const { return error_text_.c_str(); }
  bool settings_copied() const { return settings_copied_; }
  void set_settings_copied(bool on) { settings_copied_ = on; }
  bool HasPendingOutput() const { return !pending_output_.empty(); }

  uint32_t protocol_mask() const { return protocol_mask_; }
  uint32_t security_flags() const { return security_flags_; }
  const ByteString& cipher_suite_text() const { return cipher_suite_text_; }
  const ByteString& server_name() const { return server_name_; }
  bool reuse_session() const { return reuse_session_; }
  const ByteString& ca_certs() const { return ca_certs_; }
  const TlsOwnCertificate& own_certificate() const { return own_certificate_; }
  const ByteString& tls12_groups() const { return tls12_groups_; }
  const ByteString& key_share_groups() const { return key_share_groups_; }
  const ByteString& tls13_groups() const { return tls13_groups_; }
  const ByteString& tls13_signature_schemes() const { return tls13_signature_schemes_; }
  const ByteString& tls12_signature_algorithms() const { return tls12_signature_algorithms_; }
  const ByteString& alpn() const { return alpn_; }
  bool log_packets() const { return log_packets_; }

 private:
  static const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }
  // First the error hook, then (before the handshake completed) keeps the text; then the owner's
  // failure hook. Returns the code.
  int Fail(int code, const char* text);

  TlsEngineOwner* owner_ = nullptr;
  bool is_client_ = true;
  bool reuse_session_ = true;
  bool established_ = false;
  bool log_packets_ = false;
  bool settings_copied_ = false;
  uint32_t security_flags_ = 0;
  uint32_t protocol_mask_ = 0xFFFF;
  ByteString tls12_signature_algorithms_;
  ByteString tls12_groups_;
  ByteString tls13_signature_schemes_;
  ByteString tls13_groups_;
  ByteString key_share_groups_;
  ByteString alpn_;
  ByteString negotiated_text_;
  ByteString server_name_;
  ByteString cipher_suite_text_;
  ByteString error_text_;
  ByteString ca_certs_;
  TlsOwnCertificate own_certificate_;
  ByteString pending_output_;
};

// List settings of the TLS client. Each returns 0, or an error code with the reason in *error.
// The name tables arrive with the engine; until then a list is accepted as given.
using TlsIdList = std::vector<uint16_t>;
int ParseSupportedGroups(const char* text, bool tls13, TlsIdList* out);
int ParseSignatureSchemes(const char* text, TlsIdList* out);
int ParseTls12SignatureAlgorithms(const char* text, TlsIdList* out, ByteString* error);

// SSLEnabledCipherSuites: "*" or empty accepts every suite; otherwise every ";"-separated name
// must be known to the provider (own engine or platform). 0, or 202 with
// "Invalid SSLEnabledCipherSuites Value: <name>." in *error. No suite names are known here.
int ParseEnabledCipherSuites(bool own_engine, const char* text, ByteString* error);

// The platform TLS path: acquiring its credentials fails here with kErrTlsUnavailable and the
// text in *error.
int AcquirePlatformTlsCredentials(ByteString* error);

}  // namespace tw
