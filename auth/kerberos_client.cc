#include "auth/kerberos_client.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "auth/kerberos_crypto.h"
#include "auth/kerberos_der.h"
#include "auth/sspi_auth_context.h"
#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "crypto/symmetric/random_source.h"
#include "foundation/byte_ops.h"
#include "foundation/date_time.h"
#include "foundation/text_conversion.h"
#include "platform/time.h"

namespace tw {
namespace {

constexpr uint8_t kTagAsReq = 0x6A;
constexpr uint8_t kTagAsRep = 0x6B;
constexpr uint8_t kTagTgsReq = 0x6C;
constexpr uint8_t kTagTgsRep = 0x6D;
constexpr uint8_t kTagApReq = 0x6E;
constexpr uint8_t kTagKrbError = 0x7E;
constexpr uint8_t kTagAuthenticator = 0x62;
constexpr uint8_t kTagEncAsRepPart = 0x79;
constexpr uint8_t kTagEncTgsRepPart = 0x7A;
constexpr uint8_t kTagTicket = 0x61;
constexpr int kPaTgsReq = 1;
constexpr int kPaEncTimestamp = 2;
constexpr int kPaEtypeInfo = 11;
constexpr int kPaEtypeInfo2 = 19;
constexpr int kErrPreauthRequired = 25;
constexpr uint32_t kAsReqOptionMask = 0xD7FFFFF4u;
constexpr int kGssChecksumType = 0x8003;
constexpr uint8_t kKrb5Oid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};
constexpr uint8_t kDefaultEtypes[] = {kEtypeDesCbcMd5, kEtypeRc4Hmac, kEtypeAes128};

struct ErrorName {
  int code;
  const char* name;
  const char* text;
};
constexpr ErrorName kErrorNames[] = {
    {1, "KDC_ERR_NAME_EXP", "Client's entry in KDC database has expired"},
    {2, "KDC_ERR_SERVICE_EXP", "Server's entry in KDC database has expired"},
    {3, "KDC_ERR_BAD_PVNO", "Requested Kerberos version number not supported"},
    {4, "KDC_ERR_C_OLD_MAST_KVNO", "Client's key encrypted in old master key"},
    {5, "KDC_ERR_S_OLD_MAST_KVNO", "Server's key encrypted in old master key"},
    {6, "KDC_ERR_C_PRINCIPAL_UNKNOWN", "Client not found in Kerberos database"},
    {7, "KDC_ERR_S_PRINCIPAL_UNKNOWN", "Server not found in Kerberos database"},
    {8, "KDC_ERR_PRINCIPAL_NOT_UNIQUE", "Multiple principal entries in KDC database"},
    {9, "KDC_ERR_NULL_KEY", "The client or server has a null key (master key)"},
    {10, "KDC_ERR_CANNOT_POSTDATE", "Ticket (TGT) not eligible for postdating"},
    {11, "KDC_ERR_NEVER_VALID", "Requested start time is later than end time"},
    {12, "KDC_ERR_POLICY", "Requested start time is later than end time"},
    {13, "KDC_ERR_BADOPTION", "KDC cannot accommodate requested option"},
    {14, "KDC_ERR_ETYPE_NOSUPP", "KDC has no support for encryption type"},
    {15, "KDC_ERR_SUMTYPE_NOSUPP", "KDC has no support for checksum type"},
    {16, "KDC_ERR_PADATA_TYPE_NOSUPP", "KDC has no support for PADATA type (pre-authentication data)"},
    {17, "KDC_ERR_TRTYPE_NOSUPP", "KDC has no support for transited type"},
    {18, "KDC_ERR_CLIENT_REVOKED", "Client's credentials have been revoked"},
    {19, "KDC_ERR_SERVICE_REVOKED", "Credentials for server have been revoked"},
    {20, "KDC_ERR_TGT_REVOKED", "TGT has been revoked"},
    {21, "KDC_ERR_CLIENT_NOTYET", "Client not yet valid-try again later"},
    {22, "KDC_ERR_SERVICE_NOTYET", "Server not yet valid-try again later"},
    {23, "KDC_ERR_KEY_EXPIRED", "Password has expired-change password to reset"},
    {24, "KDC_ERR_PREAUTH_FAILED", "Pre-authentication information was invalid"},
    {25, "KDC_ERR_PREAUTH_REQUIRED", "Additional preauthentication required"},
    {26, "KDC_ERR_SERVER_NOMATCH", "KDC does not know about the requested server"},
    {27, "KDC_ERR_MUST_USE_USER2USER", "KDC_ERR_MUST_USE_USER2USER"},
    {28, "KDC_ERR_PATH_NOT_ACCEPTED", "KDC_ERR_PATH_NOT_ACCEPTED"},
    {29, "KDC_ERR_SVC_UNAVAILABLE", "KDC is unavailable"},
    {31, "KRB_AP_ERR_BAD_INTEGRITY", "Integrity check on decrypted field failed"},
    {32, "KRB_AP_ERR_TKT_EXPIRED", "The ticket has expired"},
    {33, "KRB_AP_ERR_TKT_NYV", "The ticket is not yet valid"},
    {34, "KRB_AP_ERR_REPEAT", "The request is a replay"},
    {35, "KRB_AP_ERR_NOT_US", "The ticket is not for us"},
    {36, "KRB_AP_ERR_BADMATCH", "The ticket and authenticator do not match"},
    {37, "KRB_AP_ERR_SKEW", "The clock skew is too great"},
    {38, "KRB_AP_ERR_BADADDR", "Network address in network layer header doesn't match address inside ticket"},
    {39, "KRB_AP_ERR_BADVERSION", "Protocol version numbers don't match (PVNO)"},
    {40, "KRB_AP_ERR_MSG_TYPE", "Message type is unsupported"},
    {41, "KRB_AP_ERR_MODIFIED", "Message stream modified and checksum didn't match"},
    {42, "KRB_AP_ERR_BADORDER", "Message out of order (possible tampering)"},
    {44, "KRB_AP_ERR_BADKEYVER", "Specified version of key is not available"},
    {45, "KRB_AP_ERR_NOKEY", "Service key not available"},
    {46, "KRB_AP_ERR_MUT_FAIL", "Mutual authentication failed"},
    {47, "KRB_AP_ERR_BADDIRECTION", "Incorrect message direction"},
    {48, "KRB_AP_ERR_METHOD", "Alternative authentication method required"},
    {49, "KRB_AP_ERR_BADSEQ", "Incorrect sequence number in message"},
    {50, "KRB_AP_ERR_INAPP_CKSUM", "Inappropriate type of checksum in message (checksum may be unsupported)"},
    {51, "KRB_AP_PATH_NOT_ACCEPTED", "Desired path is unreachable"},
    {52, "KRB_ERR_REP_TOO_BIG", "Too much data"},
    {60, "KRB_ERR_GENERIC", "Generic error; the description is in the e-data field"},
    {61, "KRB_ERR_FIELD_TOOLONG", "Field is too long for this implementation"},
    {62, "KDC_ERROR_CLIENT_NOT_TRUSTED", "The client trust failed or is not implemented"},
    {63, "KDC_ERROR_KDC_NOT_TRUSTED", "The KDC server trust failed or could not be verified"},
    {64, "KDC_ERROR_INVALID_SIG", "The signature is invalid"},
    {65, "KDC_ERR_KEY_TOO_WEAK", "A higher encryption level is needed"},
    {66, "KDC_ERR_CERTIFICATE_MISMATCH", "Certificate mismatched"},
    {67, "KRB_AP_ERR_NO_TGT", "No TGT was presented or available"},
    {68, "KDC_ERR_WRONG_REALM", "Incorrect domain or principal"},
    {69, "KRB_AP_ERR_USER_TO_USER_REQUIRED", "User-to-user authorization is required"},
    {70, "KDC_ERR_CANT_VERIFY_CERTIFICATE", "KDC_ERR_CANT_VERIFY_CERTIFICATE"},
    {71, "KDC_ERR_INVALID_CERTIFICATE", "KDC_ERR_INVALID_CERTIFICATE"},
    {72, "KDC_ERR_REVOKED_CERTIFICATE", "The certificate has be revoked"},
    {73, "KDC_ERR_REVOCATION_STATUS_UNKNOWN", "Revocation status unknown"},
    {74, "KDC_ERR_REVOCATION_STATUS_UNAVAILABLE", "Revocation status unavailable"},
    {75, "KDC_ERR_CLIENT_NAME_MISMATCH", "Client name mismatched"},
    {76, "KDC_ERR_KDC_NAME_MISMATCH", "KDC name mismatched"},
};

const ErrorName& LookupError(int code) {
  static constexpr ErrorName kUnknown = {0, "UNKNOWN", "UNKNOWN"};
  for (const ErrorName& e : kErrorNames) {
    if (e.code == code) return e;
  }
  return kUnknown;
}

// EncryptedData: etype and cipher.
int ReadEncrypted(const DerCursor& field, int* etype, ByteString* cipher) {
  KerberosFields ed;
  int64_t v = 0;
  int rc = KerberosFieldsOf(field, 0, &ed);
  if (rc == kOk && (!ed.has[0] || !ed.has[2])) rc = kErrDerMalformed;
  if (rc == kOk) rc = KerberosReadInt(ed.f[0], &v);
  if (rc == kOk) rc = KerberosReadBytes(ed.f[2], 0x04, cipher);
  *etype = static_cast<int>(v);
  return rc;
}

// ---- writing ----

int PutInt(DerWriter& w, int field, int64_t value) {
  int rc = w.DerOpenConstructed(0xA0 + field);
  if (rc == kOk) {
    // UInt32 values such as the nonce must stay non-negative.
    uint8_t b[5];
    int n = 0;
    uint64_t u = static_cast<uint64_t>(value);
    if (value < 0) {
      rc = w.DerAppendInteger(0x02, static_cast<int32_t>(value));
    } else {
      do {
        b[4 - n++] = static_cast<uint8_t>(u);
        u >>= 8;
      } while (u != 0);
      if (b[5 - n] & 0x80) b[4 - n++] = 0;
      rc = w.DerAppendTlv(0x02, b + 5 - n, n);
    }
  }
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  return rc;
}

int PutTlv(DerWriter& w, int field, int tag, const void* bytes, int length) {
  int rc = w.DerOpenConstructed(0xA0 + field);
  if (rc == kOk) rc = w.DerAppendTlv(tag, bytes, length);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  return rc;
}

int PutRaw(DerWriter& w, int field, const ByteString& der) {
  int rc = w.DerOpenConstructed(0xA0 + field);
  if (rc == kOk) rc = w.AppendRaw(der.data(), der.length());
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  return rc;
}

int PutPrincipal(DerWriter& w, int field, int name_type, const ByteString& name) {
  int rc = w.DerOpenConstructed(0xA0 + field);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutInt(w, 0, name_type);
  if (rc == kOk) rc = w.DerOpenConstructed(0xA1);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  int start = 0;
  for (int i = 0; rc == kOk && i <= name.length(); ++i) {
    if (i == name.length() || name.ByteAt(i) == '/') {
      rc = w.DerAppendTlv(0x1B, name.data() + start, i - start);
      start = i + 1;
    }
  }
  for (int i = 0; rc == kOk && i < 4; ++i) rc = w.DerCloseConstructed(false);
  return rc;
}

int PutTime(DerWriter& w, int field, int64_t unix_seconds) {
  char text[32];
  const time_t t = static_cast<time_t>(unix_seconds);
  tm fields{};
  gmtime_r(&t, &fields);
  strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &fields);
  return PutTlv(w, field, 0x18, text, static_cast<int>(strlen(text)));
}

int PutEncrypted(DerWriter& w, int field, int etype, const ByteString& cipher) {
  int rc = w.DerOpenConstructed(0xA0 + field);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutInt(w, 0, etype);
  if (rc == kOk) rc = PutTlv(w, 2, 0x04, cipher.data(), cipher.length());
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  return rc;
}

int PutOptions(DerWriter& w, int field, uint32_t options) {
  const uint8_t b[5] = {0, static_cast<uint8_t>(options >> 24), static_cast<uint8_t>(options >> 16),
                        static_cast<uint8_t>(options >> 8), static_cast<uint8_t>(options)};
  return PutTlv(w, field, 0x03, b, 5);
}

uint32_t NewNonce() {
  ByteString r;
  if (FillRandom(4, r) != kOk) return static_cast<uint32_t>(UnixTimeMillisNow());
  return LoadBe32(r.bytes()) & 0x7FFFFFFF;
}

// An AP-REQ (no options) presenting `ticket` with its encrypted authenticator.
int PutApReq(DerWriter& ap, const ByteString& ticket, int etype, const ByteString& authenticator) {
  int rc = ap.DerOpenConstructed(kTagApReq);
  if (rc == kOk) rc = ap.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutInt(ap, 0, 5);
  if (rc == kOk) rc = PutInt(ap, 1, 14);
  if (rc == kOk) rc = PutOptions(ap, 2, 0);
  if (rc == kOk) rc = PutRaw(ap, 3, ticket);
  if (rc == kOk) rc = PutEncrypted(ap, 4, etype, authenticator);
  if (rc == kOk) rc = ap.DerCloseConstructed(false);
  if (rc == kOk) rc = ap.DerCloseConstructed(false);
  return rc;
}

bool ParseBool(const char* v) { return v != nullptr && (EqualsNoCase(v, "true") || std::strcmp(v, "1") == 0); }

}  // namespace

KerberosClient::KerberosClient() { etypes_.Set(kDefaultEtypes, sizeof kDefaultEtypes); }

KerberosClient::~KerberosClient() {
  WipeString(password_);
  WipeString(session_key_);
  WipeString(service_key_);
}

void KerberosClient::Log(int level, const char* text, const char* word) {}
void KerberosClient::PacketEvent(int direction, const char* description) {}

int KerberosClient::Fail(int code, const char* text) {
  error_text_.SetText(text);
  return code;
}

bool KerberosClient::EtypeConfigured(int etype) const {
  for (int i = 0; i < etypes_.length(); ++i) {
    if (etypes_.ByteAt(i) == etype) return true;
  }
  return false;
}

int KerberosClient::Config(const char* name, const char* value, ByteString* answer) {
  const char* v = value != nullptr ? value : "";
  if (EqualsNoCase(name, "EncryptionTypes")) {
    if (answer != nullptr) {
      answer->Reset();
      for (int i = 0; i < etypes_.length(); ++i) {
        if (i > 0) answer->AppendByte(',');
        answer->AppendText(KerberosEtypeName(etypes_.ByteAt(i)));
      }
      return kOk;
    }
    ByteString list;
    bool bad = false;
    ByteString bad_name;
    ForEachListEntry(v, ',', [&](ListEntry entry) {
      ByteString one;
      one.Set(entry.text, entry.length);
      if (one.EqualsBytes("*", 1)) {
        list.Append(kDefaultEtypes, sizeof kDefaultEtypes);
      } else if (const int id = KerberosEtypeByName(one.c_str()); id != 0) {
        list.AppendByte(static_cast<uint8_t>(id));
      } else if (!one.empty()) {
        bad = true;
        bad_name = one;
        return true;
      }
      return false;
    });
    if (bad || list.empty()) {
      error_text_.SetText("Invalid encryption type: ");
      error_text_.AppendString(bad_name);
      return kErrKerberosEtype;
    }
    return etypes_.Assign(list);
  }
  struct Flag {
    const char* name;
    bool* flag;
  };
  const Flag flags[] = {
      {"LogKerberosPackets", &log_packets_}, {"EncodeAuthToken", &encode_token_}, {"IncludePAC", &include_pac_},
      {"UsePlatformKerberosAPI", &use_platform_}};
  for (const Flag& f : flags) {
    if (EqualsNoCase(name, f.name)) {
      if (answer != nullptr) return answer->SetText(*f.flag ? "True" : "False");
      *f.flag = ParseBool(v);
      return kOk;
    }
  }
  if (EqualsNoCase(name, "UseTCP")) {
    if (answer != nullptr) return answer->SetText(use_tcp_ ? "True" : "False");
    const bool on = ParseBool(v);
    if (on && !use_tcp_ && udp_.IsOpen())
      return Fail(kErrInvalidValue, "TCP cannot be enabled. UDP is already in use.");
    use_tcp_ = on;
    return kOk;
  }
  struct Number {
    const char* name;
    int32_t* value;
  };
  int32_t options = static_cast<int32_t>(kdc_options_);
  const Number numbers[] = {{"LogLevel", &log_level_}, {"KDCOptions", &options}, {"MaxAuthRetryCount", &max_retry_}};
  for (const Number& n : numbers) {
    if (EqualsNoCase(name, n.name)) {
      if (answer != nullptr) return answer->Format("%d", *n.value);
      *n.value = static_cast<int32_t>(strtol(v, nullptr, 0));
      kdc_options_ = static_cast<uint32_t>(options);
      return kOk;
    }
  }
  if (EqualsNoCase(name, "KerberosKeytabFile") || EqualsNoCase(name, "KeytabFile")) {
    if (answer != nullptr) return answer->Assign(keytab_file_);
    keytab_.Reset();
    int rc = keytab_file_.SetText(v);
    if (rc == kOk && *v != '\0') {
      rc = keytab_.Load(v);
      if (rc != kOk) return Fail(rc, keytab_.error_text());
      if (log_level_ >= 3) {
        ByteString hex("Kerberos KeytabFile Hex String: ");
        AppendHexLower(hex, keytab_.file_bytes().data(), keytab_.file_bytes().length());
        Log(3, hex.c_str(), "Info");
      }
    }
    return rc;
  }
  if (EqualsNoCase(name, "CredentialsCacheFile")) {
    if (answer != nullptr) return answer->Assign(ccache_file_);
    return ccache_file_.SetText(v);
  }
  const bool is_host = EqualsNoCase(name, "LocalHost");
  if (is_host || EqualsNoCase(name, "LocalPort")) {
    if (answer != nullptr) return is_host ? answer->Assign(local_host_) : answer->Format("%d", local_port_);
    ByteString host = local_host_;
    int port = local_port_;
    int rc = kOk;
    if (is_host) {
      rc = host.SetText(v);
    } else {
      char* end = nullptr;
      const long n = strtol(v, &end, 10);
      if (*v == '\0' || *end != '\0' || n < 0 || n > 65535) return Fail(kErrInvalidValue, "Invalid local port.");
      port = static_cast<int>(n);
    }
    if (rc == kOk) rc = udp_.SetLocalAddress(host.c_str(), port);
    if (rc == kOk) rc = tcp_.SetLocalAddress(host.c_str(), port);
    if (rc != kOk) return Fail(rc, udp_.error_text());
    // A held connection was made from the old address.
    tcp_.Close();
    local_port_ = port;
    return local_host_.Assign(host);
  }
  return Fail(kErrInvalidValue, "Unknown configuration setting.");
}

int KerberosClient::SetUserPrincipal(const char* text) {
  const char* t = text != nullptr ? text : "";
  if (const char* at = std::strchr(t, '@')) {
    int rc = user_.Set(t, static_cast<int>(at - t));
    return rc == kOk ? realm_.SetText(at + 1) : rc;
  }
  if (const char* slash = std::strchr(t, '/')) {
    int rc = realm_.Set(t, static_cast<int>(slash - t));
    return rc == kOk ? user_.SetText(slash + 1) : rc;
  }
  return user_.SetText(t);
}

int KerberosClient::SetPassword(const char* text) {
  WipeString(password_);
  return password_.SetText(text != nullptr ? text : "");
}

int KerberosClient::SetKdc(const char* host, int port) {
  kdc_port_ = port;
  return kdc_host_.SetText(host != nullptr ? host : "");
}

int KerberosClient::GetAuthToken(ByteString* out) const {
  out->Reset();
  if (!encode_token_) return out->Assign(token_);
  return Base64Encode(*out, token_.data(), token_.length(), false, 0, false);
}

int KerberosClient::AuthenticateWithRetry() {
  int first = Authenticate();
  for (int i = 0; first != kOk && i < max_retry_; ++i) {
    ByteString text = error_text_;
    if (Authenticate() == kOk) return kOk;
    error_text_ = text;
  }
  return first;
}

void KerberosClient::LogPacket(int direction, const char* name, const ByteString& bytes) {
  ByteString d(name);
  if (log_packets_ || log_level_ >= 3) {
    d.AppendText("\r\n");
    AppendHexLower(d, bytes.data(), bytes.length());
  }
  PacketEvent(direction, d.c_str());
  ByteString line(direction == 0 ? "Sent " : "Received ");
  line.AppendString(d);
  Log(log_level_, line.c_str(), log_level_ >= 3 ? "Debug" : "Info");
}

int KerberosClient::AuthenticateWithPlatform() {
  token_.Reset();
  SspiAuthContext sspi;
  ByteString user;
  if (!user_.empty()) {
    user = realm_;
    user.AppendByte('\\');
    user.AppendString(user_);
  }
  int rc = sspi.SetCredentials("Kerberos", user.c_str(), password_.c_str());
  if (rc == kOk) rc = sspi.GetToken(&token_, "Kerberos", spn_.c_str(), nullptr, 0, nullptr, false);
  if (rc != kOk) {
    token_.Reset();
    error_text_.SetText(sspi.error_text());
  }
  return rc;
}

int KerberosClient::Authenticate() {
  if (use_platform_) return AuthenticateWithPlatform();
  if (state_ != kIdle) return Fail(kErrKerberosBusy, "Busy performing other action.");
  error_text_.Reset();
  token_.Reset();
  tgt_.Reset();
  service_ticket_.Reset();
  salt_.Reset();
  s2kparams_.Reset();
  salt_named_ = false;
  requests_sent_ = 0;
  etype_ = etypes_.empty() ? 0 : etypes_.ByteAt(0);
  if (kdc_host_.empty()) return Fail(kErrInvalidValue, "Invalid KDC host");
  ByteString line;
  line.Format("Transport Protocol: %s", use_tcp_ ? "TCP" : "UDP");
  Log(1, line.c_str(), "Info");
  Log(1, "Starting authentication", "Info");
  line.Format("Authentication Info:\r\n\tKDC: %s:%d\r\n\tSPN: %s\r\n\tUser: %s", kdc_host_.c_str(), kdc_port_,
              spn_.c_str(), user_.c_str());
  Log(1, line.c_str(), "Info");
  if (keytab_.count() > 0) {
    line.Format("Using Keytab file (version: %d, entries count: %d)", keytab_.version(), keytab_.count());
    Log(1, line.c_str(), "Info");
  }
  int rc = Exchange();
  state_ = kIdle;
  udp_.Close();
  tcp_.Close();
  Log(1, "Authentication complete", "Info");
  return rc;
}

int KerberosClient::Exchange() {
  KdcTransport& t = use_tcp_ ? static_cast<KdcTransport&>(tcp_) : udp_;
  int rc = kOk;
  ByteString request;
  if (!ccache_file_.empty()) {
    rc = LoadCredentialsCache();
    if (rc != kOk) return rc;
    Log(1, "Kerberos Credentials Cache file is set, AS-Req will not be sent.", "Info");
    state_ = kTgtHeld;
  } else {
    if (user_.empty() || realm_.empty()) return Fail(kErrKerberosUser, "Invalid username.");
    state_ = kAsReqSent;
  }
  rc = t.Open(kdc_host_.c_str(), kdc_port_, timeout_ms_);
  if (rc != kOk) return Fail(rc, t.error_text());
  bool resent_after_25 = false;
  for (;;) {
    if (state_ == kAsReqSent && requests_sent_ == 0) {
      rc = BuildAsReq(&request);
      if (rc == kOk) rc = SendRequest(request, "KRB_AS_REQ");
    } else if (state_ == kAsReqAgain) {
      // One more AS-REQ, with pre-authentication, per KDC demand; a second demand is final.
      if (resent_after_25) return Fail(kErrKerberosKrbError, error_text_.c_str());
      resent_after_25 = true;
      state_ = kAsReqSent;
      rc = BuildAsReq(&request);
      if (rc == kOk) rc = SendRequest(request, "KRB_AS_REQ");
    } else if (state_ == kTgtHeld) {
      state_ = kTgsReqSent;
      rc = BuildTgsReq(&request);
      if (rc == kOk) rc = SendRequest(request, "KRB_TGS_REQ");
    } else if (state_ == kTicketHeld) {
      rc = BuildApReq(&token_);
      if (rc == kOk) state_ = kDone;
      return rc;
    }
    if (rc != kOk) return rc;
    ByteString reply;
    // A reply of the other kind (a late copy of one already handled) is no answer to this
    // request: passed over, and the wait goes on within the time-out.
    const uint64_t deadline = win::GetTickCount64() + static_cast<uint64_t>(timeout_ms_ > 0 ? timeout_ms_ : 0);
    for (;;) {
      const uint64_t now = win::GetTickCount64();
      const int left = now < deadline ? static_cast<int>(deadline - now) : 0;
      rc = t.Receive(&reply, left);
      if (rc != kOk) return Fail(rc, t.error_text());
      const uint8_t tag = reply.ByteAt(0);
      if (!(tag == kTagAsRep && state_ == kTgsReqSent) && !(tag == kTagTgsRep && state_ == kAsReqSent)) break;
      Log(1, "Reply that answers no pending request ignored.", "Info");
    }
    LogPacket(1, reply.ByteAt(0) == kTagKrbError ? "KRB_ERROR" : (state_ == kAsReqSent ? "KRB_AS_REP" : "KRB_TGS_REP"),
              reply);
    rc = HandleReply(reply);
    if (rc != kOk) return rc;
  }
}

int KerberosClient::SendRequest(const ByteString& message, const char* name) {
  KdcTransport& t = use_tcp_ ? static_cast<KdcTransport&>(tcp_) : udp_;
  LogPacket(0, name, message);
  ++requests_sent_;
  last_request_ = message;
  const int rc = t.Send(message);
  return rc != kOk ? Fail(rc, t.error_text()) : kOk;
}

int KerberosClient::HandleReply(const ByteString& message) {
  const uint8_t first = message.ByteAt(0);
  int rc = kErrDerMalformed;
  if (first == kTagKrbError) {
    Log(1, "Received KRB_ERROR:", "Info");
    rc = HandleKrbError(message);
  } else if (first == kTagAsRep && state_ == kAsReqSent) {
    rc = HandleKdcRep(message, true);
  } else if (first == kTagTgsRep && state_ == kTgsReqSent) {
    rc = HandleKdcRep(message, false);
  }
  if (rc == kErrDerMalformed || rc == kErrDerIncomplete) return Fail(rc, "Malformed reply from the KDC.");
  return rc;
}

int KerberosClient::HandleKrbError(const ByteString& message) {
  KerberosFields e;
  int64_t code = 0;
  int rc = KerberosFieldsOf(DerCursor(message), kTagKrbError, &e);
  if (rc == kOk && !e.has[6]) rc = kErrDerMalformed;
  if (rc == kOk) rc = KerberosReadInt(e.f[6], &code);
  if (rc != kOk) return rc;
  const ErrorName& name = LookupError(static_cast<int>(code));
  ByteString line;
  line.Format("Error: %s : %s", name.name, name.text);
  Log(1, line.c_str(), "Info");
  error_text_.Format("Received KRB-ERROR response. Error Code: %d (%s). %s.", static_cast<int>(code), name.name,
                     name.text);
  if (code != kErrPreauthRequired || state_ != kAsReqSent) return kErrKerberosKrbError;
  // The KDC's pre-authentication hints, in its own order of preference.
  bool matched = false;
  if (e.has[12]) {
    ByteString edata;
    DerCursor list;
    rc = KerberosReadBytes(e.f[12], 0x04, &edata);
    if (rc == kOk) rc = KerberosOnly(DerCursor(edata), 0x30, &list);
    while (rc == kOk && !list.empty() && !matched) {
      uint8_t tag = 0;
      DerCursor pa;
      KerberosFields pf;
      int64_t type = 0;
      rc = list.Next(&tag, &pa);
      if (rc == kOk) rc = KerberosReadFields(pa, &pf);
      if (rc == kOk && pf.has[1] && pf.has[2]) rc = KerberosReadInt(pf.f[1], &type);
      if (rc != kOk || (type != kPaEtypeInfo2 && type != kPaEtypeInfo)) continue;
      ByteString value;
      DerCursor entries;
      rc = KerberosReadBytes(pf.f[2], 0x04, &value);
      if (rc == kOk) rc = KerberosOnly(DerCursor(value), 0x30, &entries);
      while (rc == kOk && !entries.empty() && !matched) {
        DerCursor entry;
        KerberosFields ef;
        int64_t etype = 0;
        rc = entries.Next(&tag, &entry);
        if (rc == kOk) rc = KerberosReadFields(entry, &ef);
        if (rc == kOk && ef.has[0]) rc = KerberosReadInt(ef.f[0], &etype);
        if (rc != kOk || !EtypeConfigured(static_cast<int>(etype))) continue;
        const KeytabEntry* keyed = KeytabEntryFor(static_cast<int>(etype));
        if (keytab_.count() > 0 && keyed == nullptr) continue;
        matched = true;
        etype_ = static_cast<int>(etype);
        // The keytab's entry names the client the key belongs to.
        if (keyed != nullptr) {
          rc = keyed->PrincipalText(&user_);
          if (rc == kOk) rc = realm_.Assign(keyed->realm);
          if (rc != kOk) return rc;
        }
        salt_.Reset();
        s2kparams_.Reset();
        salt_named_ = ef.has[1];
        if (ef.has[1]) rc = KerberosReadBytes(ef.f[1], type == kPaEtypeInfo2 ? 0x1B : 0x04, &salt_);
        if (rc == kOk && ef.has[2] && type == kPaEtypeInfo2) rc = KerberosReadBytes(ef.f[2], 0x04, &s2kparams_);
      }
    }
    if (rc != kOk) return rc;
  }
  if (!matched) {
    Log(1, "Encryption type could not be matched", "Info");
    // rc4-hmac only when it was asked for.
    if (!EtypeConfigured(kEtypeRc4Hmac)) {
      return Fail(kErrKerberosEtype, "Cannot find encryption type match with server.");
    }
    etype_ = kEtypeRc4Hmac;
  } else {
    line.Format("Encryption type match. Current encryption type is %s (%d).", KerberosEtypeName(etype_), etype_);
    Log(1, line.c_str(), "Info");
    line.Format("Current salt is \"%s\".", salt_.c_str());
    Log(1, line.c_str(), "Info");
  }
  state_ = kAsReqAgain;
  return kOk;
}

const KeytabEntry* KerberosClient::KeytabEntryFor(int etype) const {
  // The configured client's own entry first; else the keytab's entry of that type, whose
  // principal then becomes the client.
  const KeytabEntry* e = keytab_.Find(etype, user_.c_str(), realm_.c_str());
  return e != nullptr ? e : keytab_.Find(etype, nullptr, nullptr);
}

int KerberosClient::LongTermKey(int etype, bool for_timestamp, ByteString* key) {
  if (keytab_.count() > 0) {
    const KeytabEntry* e = keytab_.Find(etype, user_.c_str(), realm_.c_str());
    if (e == nullptr) return Fail(kErrKerberosEtype, "No keytab entry for the principal and encryption type.");
    return key->Assign(e->key);
  }
  ByteString salt;
  if (salt_named_) {
    salt = salt_;
  } else {
    // The default salt: the realm, then every name component, with nothing between them.
    salt = realm_;
    for (int i = 0; i < user_.length(); ++i) {
      if (user_.ByteAt(i) != '/') salt.AppendByte(user_.ByteAt(i));
    }
  }
  const ByteString none;
  int rc = KerberosStringToKey(etype, password_, salt, for_timestamp ? none : s2kparams_, key, &error_text_);
  if (rc == kOk && !for_timestamp && log_level_ >= 3) {
    ByteString line("Kerberos Key Hex String: ");
    AppendHexLower(line, key->data(), key->length());
    Log(3, line.c_str(), "Info");
  }
  return rc;
}

int KerberosClient::BuildAsReq(ByteString* out) {
  nonce_ = NewNonce();
  DerWriter w;
  int rc = w.DerOpenConstructed(kTagAsReq);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutInt(w, 1, 5);
  if (rc == kOk) rc = PutInt(w, 2, 10);
  if (rc == kOk && (requests_sent_ > 0 || include_pac_)) {
    // PA-ENC-TIMESTAMP under the long-term key of the current type.
    DerWriter ts;
    const int64_t now_ms = UnixTimeMillisNow();
    rc = ts.DerOpenConstructed(0x30);
    if (rc == kOk) rc = PutTime(ts, 0, now_ms / 1000);
    if (rc == kOk) rc = PutInt(ts, 1, (now_ms % 1000) * 1000);
    if (rc == kOk) rc = ts.DerCloseConstructed(false);
    ByteString key, cipher;
    if (rc == kOk) rc = LongTermKey(etype_, true, &key);
    if (rc == kOk) rc = KerberosEncrypt(etype_, ts.output(), key, kKeyUsageAsReqTimestamp, &cipher, &error_text_);
    WipeString(key);
    DerWriter ed;
    if (rc == kOk) rc = ed.DerOpenConstructed(0x30);
    if (rc == kOk) rc = PutInt(ed, 0, etype_);
    if (rc == kOk) rc = PutTlv(ed, 2, 0x04, cipher.data(), cipher.length());
    if (rc == kOk) rc = ed.DerCloseConstructed(false);
    if (rc == kOk) rc = w.DerOpenConstructed(0xA3);
    if (rc == kOk) rc = w.DerOpenConstructed(0x30);
    if (rc == kOk) rc = w.DerOpenConstructed(0x30);
    if (rc == kOk) rc = PutInt(w, 1, kPaEncTimestamp);
    if (rc == kOk) rc = PutTlv(w, 2, 0x04, ed.output().data(), ed.output().length());
    for (int i = 0; rc == kOk && i < 3; ++i) rc = w.DerCloseConstructed(false);
  }
  const uint32_t options = kdc_options_ & kAsReqOptionMask;
  if (log_level_ >= 2) {
    ByteString line;
    line.Format("KDC Options: %d", static_cast<int>(options));
    Log(2, line.c_str(), "Verbose");
  }
  ByteString krbtgt("krbtgt/");
  krbtgt.AppendString(realm_);
  if (rc == kOk) rc = w.DerOpenConstructed(0xA4);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutOptions(w, 0, options);
  if (rc == kOk) rc = PutPrincipal(w, 1, 1, user_);
  if (rc == kOk) rc = PutTlv(w, 2, 0x1B, realm_.data(), realm_.length());
  if (rc == kOk) rc = PutPrincipal(w, 3, 2, krbtgt);
  if (rc == kOk) rc = PutTlv(w, 5, 0x18, "19700101000000Z", 15);
  if (rc == kOk) rc = PutInt(w, 7, nonce_);
  if (rc == kOk) rc = w.DerOpenConstructed(0xA8);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  for (int i = 0; rc == kOk && i < etypes_.length(); ++i) {
    // After the KDC named a type, that type goes first.
    rc = w.DerAppendInteger(0x02, etypes_.ByteAt(i));
    ByteString line;
    line.Format("etype: %s", KerberosEtypeName(etypes_.ByteAt(i)));
    Log(2, line.c_str(), "Verbose");
  }
  // etype list, req-body field, req-body, the message sequence and its application tag.
  for (int i = 0; rc == kOk && i < 6; ++i) rc = w.DerCloseConstructed(false);
  if (rc == kOk && w.OpenCount() != 0) rc = kErrDerWrite;
  if (rc == kOk) rc = out->Assign(w.output());
  return rc;
}

int KerberosClient::BuildAuthenticator(const ByteString& key, int etype, int usage, const ByteString* checksum_of,
                                       bool gss_checksum, ByteString* out) {
  const int64_t now_ms = UnixTimeMillisNow();
  DerWriter a;
  int rc = a.DerOpenConstructed(kTagAuthenticator);
  if (rc == kOk) rc = a.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutInt(a, 0, 5);
  if (rc == kOk) rc = PutTlv(a, 1, 0x1B, realm_.data(), realm_.length());
  if (rc == kOk) rc = PutPrincipal(a, 2, 1, user_);
  if (rc == kOk && checksum_of != nullptr) {
    ByteString field;
    rc = KerberosBuildChecksumField(session_etype_, session_key_, *checksum_of, &field);
    if (rc == kOk) rc = a.AppendRaw(field.data(), field.length());
  }
  if (rc == kOk && gss_checksum) {
    // The GSS-API checksum: length 16, no channel bindings, no flags.
    uint8_t g[24] = {16};
    DerWriter c;
    rc = c.DerOpenConstructed(0x30);
    if (rc == kOk) rc = PutInt(c, 0, kGssChecksumType);
    if (rc == kOk) rc = PutTlv(c, 1, 0x04, g, sizeof g);
    if (rc == kOk) rc = c.DerCloseConstructed(false);
    if (rc == kOk) rc = PutRaw(a, 3, c.output());
  }
  if (rc == kOk) rc = PutInt(a, 4, (now_ms % 1000) * 1000);
  if (rc == kOk) rc = PutTime(a, 5, now_ms / 1000);
  if (rc == kOk) rc = a.DerCloseConstructed(false);
  if (rc == kOk) rc = a.DerCloseConstructed(false);
  if (rc == kOk) rc = KerberosEncrypt(etype, a.output(), key, usage, out, &error_text_);
  return rc;
}

int KerberosClient::BuildTgsReq(ByteString* out) {
  nonce_ = NewNonce();
  DerWriter body;
  int rc = body.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutOptions(body, 0, kdc_options_);
  if (rc == kOk) rc = PutTlv(body, 2, 0x1B, realm_.data(), realm_.length());
  if (rc == kOk) rc = PutPrincipal(body, 3, 2, spn_);
  if (rc == kOk) rc = PutTlv(body, 5, 0x18, "19700101000000Z", 15);
  if (rc == kOk) rc = PutInt(body, 7, nonce_);
  if (rc == kOk) rc = body.DerOpenConstructed(0xA8);
  if (rc == kOk) rc = body.DerOpenConstructed(0x30);
  for (int i = 0; rc == kOk && i < etypes_.length(); ++i) rc = body.DerAppendInteger(0x02, etypes_.ByteAt(i));
  for (int i = 0; rc == kOk && i < 3; ++i) rc = body.DerCloseConstructed(false);
  ByteString authenticator;
  if (rc == kOk) {
    rc = BuildAuthenticator(session_key_, session_etype_, kKeyUsageTgsReqAuthenticator, &body.output(), false,
                            &authenticator);
  }
  DerWriter ap;
  if (rc == kOk) rc = PutApReq(ap, tgt_, session_etype_, authenticator);
  DerWriter w;
  if (rc == kOk) rc = w.DerOpenConstructed(kTagTgsReq);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutInt(w, 1, 5);
  if (rc == kOk) rc = PutInt(w, 2, 12);
  if (rc == kOk) rc = w.DerOpenConstructed(0xA3);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = w.DerOpenConstructed(0x30);
  if (rc == kOk) rc = PutInt(w, 1, kPaTgsReq);
  if (rc == kOk) rc = PutTlv(w, 2, 0x04, ap.output().data(), ap.output().length());
  for (int i = 0; rc == kOk && i < 3; ++i) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = PutRaw(w, 4, body.output());
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = w.DerCloseConstructed(false);
  if (rc == kOk) rc = out->Assign(w.output());
  return rc;
}

int KerberosClient::BuildApReq(ByteString* out) {
  ByteString authenticator;
  int rc = BuildAuthenticator(service_key_, service_etype_, kKeyUsageApReqAuthenticator, nullptr, true, &authenticator);
  DerWriter ap;
  if (rc == kOk) rc = PutApReq(ap, service_ticket_, service_etype_, authenticator);
  // The GSS-API framing: the mechanism, the AP-REQ token id 01 00, the message.
  DerWriter g;
  if (rc == kOk) rc = g.AppendRaw(kKrb5Oid, sizeof kKrb5Oid);
  if (rc == kOk) rc = g.AppendRaw("\x01\x00", 2);
  if (rc == kOk) rc = g.AppendRaw(ap.output().data(), ap.output().length());
  if (rc == kOk) rc = g.DerWrapAll(0x60);
  if (rc == kOk) rc = out->Assign(g.output());
  return rc;
}

int KerberosClient::HandleKdcRep(const ByteString& message, bool as_rep) {
  KerberosFields r;
  int rc = KerberosFieldsOf(DerCursor(message), as_rep ? kTagAsRep : kTagTgsRep, &r);
  if (rc == kOk && (!r.has[3] || !r.has[4] || !r.has[5] || !r.has[6])) rc = kErrDerMalformed;
  ByteString crealm, cname, ticket, cipher;
  int etype = 0;
  if (rc == kOk) rc = KerberosReadBytes(r.f[3], 0x1B, &crealm);
  if (rc == kOk) rc = KerberosReadPrincipal(r.f[4], &cname);
  if (rc == kOk) rc = ticket.Set(r.f[5].data(), static_cast<int>(r.f[5].size()));
  if (rc == kOk && ticket.ByteAt(0) != kTagTicket) rc = kErrDerMalformed;
  if (rc == kOk) rc = ReadEncrypted(r.f[6], &etype, &cipher);
  if (rc != kOk) return rc;
  // The reply must be for the client that asked.
  if (!crealm.EqualsNoCase(realm_.c_str()) || !cname.Equals(user_)) {
    return Fail(kErrKerberosIntegrity, "The KDC reply names another client.");
  }
  if (as_rep && r.has[2]) {
    // The salt of the reply's key, when the KDC names one.
    DerCursor list;
    if (KerberosOnly(r.f[2], 0x30, &list) == kOk) {
      while (!list.empty()) {
        uint8_t tag = 0;
        DerCursor pa, entries;
        KerberosFields pf;
        int64_t type = 0;
        ByteString value;
        if (list.Next(&tag, &pa) != kOk || KerberosReadFields(pa, &pf) != kOk || !pf.has[1] || !pf.has[2]) break;
        if (KerberosReadInt(pf.f[1], &type) != kOk || type != kPaEtypeInfo2) continue;
        if (KerberosReadBytes(pf.f[2], 0x04, &value) != kOk || KerberosOnly(DerCursor(value), 0x30, &entries) != kOk)
          break;
        while (!entries.empty()) {
          DerCursor entry;
          KerberosFields ef;
          int64_t et = 0;
          if (entries.Next(&tag, &entry) != kOk || KerberosReadFields(entry, &ef) != kOk || !ef.has[0]) break;
          if (KerberosReadInt(ef.f[0], &et) != kOk || et != etype) continue;
          salt_named_ = ef.has[1] && KerberosReadBytes(ef.f[1], 0x1B, &salt_) == kOk;
          if (!ef.has[2] || KerberosReadBytes(ef.f[2], 0x04, &s2kparams_) != kOk) s2kparams_.Reset();
        }
      }
    }
  }
  ByteString key, plain;
  ByteString line;
  line.Format("Decrypting %s", as_rep ? "AS Reply Part" : "TGS Reply Part");
  Log(1, line.c_str(), "Info");
  if (as_rep) {
    // The key of the type the KDC used, which may differ from the one asked for first.
    if (!EtypeConfigured(etype)) return Fail(kErrKerberosEtype, "Unsupported encryption type.");
    etype_ = etype;
    rc = LongTermKey(etype, false, &key);
  } else {
    if (etype != session_etype_) return Fail(kErrKerberosEtype, "Unsupported encryption type.");
    rc = key.Assign(session_key_);
  }
  if (rc != kOk) return rc;
  if (log_level_ >= 2) {
    line.SetText("cipher: ");
    AppendHexLower(line, cipher.data(), cipher.length());
    line.AppendText(", key: ");
    AppendHexLower(line, key.data(), key.length());
    Log(2, line.c_str(), "Verbose");
  }
  rc = KerberosDecrypt(etype, cipher, key, as_rep ? kKeyUsageAsRepPart : kKeyUsageTgsRepPart, &plain, &error_text_);
  WipeString(key);
  if (rc != kOk) return rc;
  Log(1, as_rep ? "Decrypted AS Reply Part" : "Decrypted TGS Reply Part", "Info");
  // Either application tag: some KDCs answer a TGS-REQ with the AS form.
  DerCursor body(plain), app, seq;
  uint8_t tag = 0;
  KerberosFields p;
  rc = body.Next(&tag, &app);
  if (rc == kOk && tag != kTagEncAsRepPart && tag != kTagEncTgsRepPart) rc = kErrDerMalformed;
  if (rc == kOk) rc = KerberosOnly(app, 0x30, &seq);
  if (rc == kOk) rc = KerberosReadFields(seq, &p);
  if (rc == kOk && (!p.has[0] || !p.has[2])) rc = kErrDerMalformed;
  KerberosFields k;
  int64_t key_type = 0, nonce = -1;
  ByteString session;
  if (rc == kOk) rc = KerberosFieldsOf(p.f[0], 0, &k);
  if (rc == kOk && (!k.has[0] || !k.has[1])) rc = kErrDerMalformed;
  if (rc == kOk) rc = KerberosReadInt(k.f[0], &key_type);
  if (rc == kOk) rc = KerberosReadBytes(k.f[1], 0x04, &session);
  if (rc == kOk) rc = KerberosReadInt(p.f[2], &nonce);
  WipeString(plain);
  if (rc != kOk) return rc;
  if (static_cast<uint32_t>(nonce) != nonce_)
    return Fail(kErrKerberosIntegrity, "The KDC reply answers another request.");
  if (KerberosKeyLength(static_cast<int>(key_type)) != session.length()) {
    return Fail(kErrKerberosEtype, "Unsupported encryption type.");
  }
  line.Format("Parsing %s", as_rep ? "AS Reply Part" : "TGS Reply Part");
  Log(1, line.c_str(), "Info");
  if (as_rep) {
    session_key_ = session;
    session_etype_ = static_cast<int>(key_type);
    tgt_ = ticket;
    state_ = kTgtHeld;
  } else {
    service_key_ = session;
    service_etype_ = static_cast<int>(key_type);
    service_ticket_ = ticket;
    state_ = kTicketHeld;
  }
  WipeString(session);
  return kOk;
}

int KerberosClient::LoadCredentialsCache() {
  KerberosCcache cache;
  int rc = cache.Load(ccache_file_.c_str());
  if (rc != kOk) return Fail(rc, cache.error_text());
  const int64_t now = UnixTimeMillisNow();
  const CcacheCredential* chosen = nullptr;
  const CcacheCredential* first = nullptr;
  ByteString line;
  for (int i = 0; i < cache.count(); ++i) {
    const CcacheCredential& c = cache.entry(i);
    if (!c.IsUsableTgt(now)) {
      line.Format(
          "Skip invalid credential entry: client principal: %s, server principal: %s, Key type: %d, Key "
          "length: %d, Ticket length: %d",
          c.client.text.c_str(), c.server.text.c_str(), c.key_type, c.key.length(), c.ticket.length());
      Log(1, line.c_str(), "Info");
      continue;
    }
    if (first == nullptr) first = &c;
    line.Format(
        "Loaded credential entry: Client principal: %s, Server principal: %s, Key type: %d, Key length: %d, "
        "Ticket length: %d",
        c.client.text.c_str(), c.server.text.c_str(), c.key_type, c.key.length(), c.ticket.length());
    Log(1, line.c_str(), "Info");
    ByteString user;
    for (size_t j = 0; j < c.client.components.size(); ++j) {
      if (j > 0) user.AppendByte('/');
      user.AppendString(c.client.components[j]);
    }
    const bool matches = user.Equals(user_) && c.client.realm.Equals(realm_);
    line.Format(matches ? "Loaded credential matches the specified user. Current user = %s, Current realm = %s, "
                          "User = %s, Realm = %s"
                        : "Loaded credential does not match the specified user. Current user = %s, Current "
                          "realm = %s, user = %s, Realm = %s",
                user_.c_str(), realm_.c_str(), user.c_str(), c.client.realm.c_str());
    Log(1, line.c_str(), "Info");
    if (matches) {
      chosen = &c;
      break;
    }
  }
  if (chosen == nullptr) {
    if (first == nullptr) return Fail(kErrInvalidValue, "No valid credential entries fount in the kerberos cache file");
    Log(1,
        "Error: No credential entry matches the value specified in the User property. The first valid credential "
        "entry will be used",
        "Info");
    chosen = first;
    line.Format(
        "First valid credential entry: Client principal: %s, Server principal: %s, Key type: %d, Key length: %d, "
        "Ticket length: %d",
        first->client.text.c_str(), first->server.text.c_str(), first->key_type, first->key.length(),
        first->ticket.length());
    Log(1, line.c_str(), "Info");
    ByteString before;
    before.Assign(user_);
    user_.Reset();
    for (size_t j = 0; j < chosen->client.components.size(); ++j) {
      if (j > 0) user_.AppendByte('/');
      user_.AppendString(chosen->client.components[j]);
    }
    realm_ = chosen->client.realm;
    line.Format("User property populated from the matching credential entry. Current user: %s, User used now: %s",
                before.c_str(), user_.c_str());
    Log(1, line.c_str(), "Info");
  }
  session_etype_ = chosen->key_type;
  session_key_ = chosen->key;
  tgt_ = chosen->ticket;
  if (KerberosKeyLength(session_etype_) != session_key_.length()) {
    return Fail(kErrKerberosEtype, "Unsupported encryption type.");
  }
  return kOk;
}

}  // namespace tw
