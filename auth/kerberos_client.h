// A Kerberos client of its own: the AS and TGS exchanges with a KDC over UDP or TCP, with a
// password, a keytab or a credentials cache, and the AP-REQ for one service as a GSS-API token
// for a Negotiate header. Runs on the caller's thread; every wait ends at the time-out.
#pragma once

#include <cstdint>
#include <memory>

#include "auth/ccache_credential.h"
#include "auth/kdc_transport.h"
#include "auth/kerberos_crypto.h"
#include "auth/keytab_entry.h"
#include "foundation/byte_string.h"

namespace tw {

class KerberosClient {
 public:
  enum State { kIdle = 0, kAsReqSent, kTgtHeld, kTgsReqSent, kTicketHeld, kAsReqAgain, kDone };

  KerberosClient();
  virtual ~KerberosClient();
  KerberosClient(const KerberosClient&) = delete;
  KerberosClient& operator=(const KerberosClient&) = delete;

  // Settings by name (EncryptionTypes, UseTCP, KDCOptions, KeytabFile, CredentialsCacheFile, ...).
  // With answer non-null the value is read back instead. 0, 954 for a bad encryption type, 202.
  int Config(const char* name, const char* value, ByteString* answer = nullptr);
  // "user@REALM", "REALM/user" or "user".
  int SetUserPrincipal(const char* text);
  int SetPassword(const char* text);
  int SetServicePrincipal(const char* text) { return spn_.SetText(text != nullptr ? text : ""); }
  int SetKdc(const char* host, int port);
  void set_timeout_ms(int ms) { timeout_ms_ = ms; }

  // One authentication, then up to MaxAuthRetryCount more while it fails; the first failure's code.
  int AuthenticateWithRetry();
  // The token of the last success: raw, or Base64 with EncodeAuthToken.
  int GetAuthToken(ByteString* out) const;

  const char* error_text() const { return error_text_.c_str(); }
  const ByteString& user() const { return user_; }
  const ByteString& realm() const { return realm_; }
  int current_etype() const { return etype_; }
  const KerberosKeytab& keytab() const { return keytab_; }
  const ByteString& keytab_file() const { return keytab_file_; }
  bool use_tcp() const { return use_tcp_; }
  int32_t max_auth_retry_count() const { return max_retry_; }
  // Messages of the last attempt that reached the KDC (for tests of the wire form).
  int requests_sent() const { return requests_sent_; }
  const ByteString& last_request() const { return last_request_; }
  KdcTcpTransport& tcp_transport() { return tcp_; }
  KdcUdpTransport& udp_transport() { return udp_; }

 protected:
  virtual void Log(int level, const char* text, const char* word);
  virtual void PacketEvent(int direction, const char* description);
  int log_level() const { return log_level_; }

 private:
  int Authenticate();
  // The platform's Kerberos package makes the token instead of the exchanges below.
  int AuthenticateWithPlatform();
  int Fail(int code, const char* text);
  int Exchange();
  int SendRequest(const ByteString& message, const char* name);
  int HandleReply(const ByteString& message);
  int HandleKrbError(const ByteString& message);
  int HandleKdcRep(const ByteString& message, bool as_rep);
  int BuildAsReq(ByteString* out);
  int BuildTgsReq(ByteString* out);
  int BuildApReq(ByteString* out);
  int BuildAuthenticator(const ByteString& key, int etype, int usage, const ByteString* body_checksum_of,
                         bool gss_checksum, ByteString* out);
  int LongTermKey(int etype, bool for_timestamp, ByteString* key);
  const KeytabEntry* KeytabEntryFor(int etype) const;
  int LoadCredentialsCache();
  void LogPacket(int direction, const char* name, const ByteString& bytes);
  bool EtypeConfigured(int etype) const;

  // Settings.
  ByteString etypes_;  // configured type ids, one byte each
  bool use_tcp_ = false;
  bool encode_token_ = false;
  bool log_packets_ = false;
  bool include_pac_ = false;
  bool use_platform_ = false;
  int log_level_ = 1;
  uint32_t kdc_options_ = 0;
  int32_t max_retry_ = 0;
  int timeout_ms_ = 60000;
  ByteString keytab_file_;
  ByteString ccache_file_;
  ByteString local_host_;  // the KDC socket's local address; empty and 0 leave it to the system
  int local_port_ = 0;

  // Identity and target.
  ByteString user_;
  ByteString realm_;
  ByteString password_;
  ByteString spn_;
  ByteString kdc_host_;
  int kdc_port_ = 88;

  // One attempt.
  int state_ = kIdle;
  int etype_ = 0;
  ByteString salt_;
  ByteString s2kparams_;
  bool salt_named_ = false;
  uint32_t nonce_ = 0;
  ByteString session_key_;
  int session_etype_ = 0;
  ByteString tgt_;
  ByteString service_key_;
  int service_etype_ = 0;
  ByteString service_ticket_;
  ByteString token_;
  ByteString error_text_;
  int requests_sent_ = 0;
  ByteString last_request_;

  KerberosKeytab keytab_;
  KdcUdpTransport udp_;
  KdcTcpTransport tcp_;
};

}  // namespace tw
