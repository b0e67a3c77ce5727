#include "auth/ntlm_context.h"

#include <cstring>

#include "auth/gss_token_description.h"
#include "crypto/symmetric/des.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/md4.h"
#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/random_source.h"
#include "crypto/symmetric/sha256.h"
#include "foundation/span_reader.h"
#include "foundation/span_writer.h"
#include "foundation/text_conversion.h"
#include "platform/time.h"

namespace tw {
namespace {

constexpr char kSignature[] = "NTLMSSP";
constexpr char kTextBadSignature[] =
    "Could not process server's NTLM authentication token: invalid signature.";
constexpr char kTextBadType[] =
    "Could not process server's NTLM authentication token: invalid message type.";
constexpr char kTextNoCharset[] =
    "Could not process server's NTLM authentication token: no charset negotiated.";
constexpr char kTextNoVersion[] =
    "Could not process server's NTLM authentication token: no NTLM version negotiated.";
constexpr char kTextTruncated[] =
    "Could not process server's NTLM authentication token: the message is truncated.";
constexpr char kTextFieldOutside[] =
    "Could not process server's NTLM authentication token: a field lies outside the message.";
constexpr char kTextBadTargetInfo[] =
    "Could not process server's NTLM authentication token: malformed target information.";
constexpr char kTextOutOfMemory[] = "out of memory.";
constexpr char kTextOverflow[] = "Error in WriteInt: Attempt to overflow buffer.";
constexpr char kTextHmac[] = "HmacMd5 error.";
constexpr char kTextBinding[] = "error creating channelbinding.";
constexpr char kTextRandom[] = "error creating the client challenge.";
constexpr char kTextLmResponse[] = "error creating LM response.";
constexpr char kTextBlob[] = "error creating blob.";
constexpr char kTextNtResponse[] = "error creating NT challenge response.";

constexpr uint32_t kFlagOemDomainSupplied = 0x1000;
constexpr uint32_t kFlagOemWorkstationSupplied = 0x2000;
constexpr uint32_t kFlagLmCopy = 0x400;
constexpr uint16_t kAvEol = 0;
constexpr uint16_t kAvChannelBindings = 10;
constexpr uint8_t kVersion[8] = {0, 0, 0, 0, 0, 0, 0, 15};
constexpr uint8_t kLmMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};

struct AvName {
  uint16_t id;
  const char* name;
};
constexpr AvName kAvNames[] = {{1, "1 (Server name)"},     {2, "2 (Domain name)"},
                               {3, "3 (DNS server name)"}, {4, "4 (DNS domain name)"},
                               {7, "7 (Timestamp)"}};

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// A (length, maximum length, offset) field, resolved against the whole message.
struct SecurityBuffer {
  uint16_t length = 0;
  uint32_t offset = 0;
};
bool ReadSecurityBuffer(SpanReader& r, SecurityBuffer* out) {
  uint16_t max = 0;
  return r.ReadU16Le(&out->length) && r.ReadU16Le(&max) && r.ReadU32Le(&out->offset);
}
// The bytes a field points at; an empty field is empty wherever it points.
bool Resolve(const SpanReader& msg, const SecurityBuffer& b, SpanReader* out) {
  *out = SpanReader();
  return b.length == 0 || msg.SubAt(b.offset, b.length, out);
}

// Appends the data and points its reserved field at it; a field with no data stays eight zeros.
template <int N>
void PutField(SpanWriter& w, const SpanWriter::Field& field, const InlineString<N>& data) {
  if (data.empty()) return;
  // A field's length has 16 bits: longer data (from a server's oversized target information)
  // fails the message rather than being cut.
  if (data.length() > 0xFFFF) return w.FailTooLong();
  ByteString head;
  SpanWriter h(head);
  h.U16Le(static_cast<uint16_t>(data.length()));
  h.U16Le(static_cast<uint16_t>(data.length()));
  h.U32Le(static_cast<uint32_t>(w.length()));
  w.Fill(field, head);
  w.Bytes(data.data(), static_cast<size_t>(data.length()));
}

// The failure of a message writer: a field that overflows, or no memory.
int WriterFailure(int rc) { return rc == kErrFieldTooLong ? kErrNtlmWriter : rc; }

template <int N>
int ToUtf16(ByteString& out, const InlineString<N>& text) {
  int rc = out.Assign(text);
  if (rc == kOk) rc = Utf8ToUtf16(out);
  return rc;
}

// The 56 bits of seven bytes spread over eight, each with odd parity.
void DesKeyFrom7(const uint8_t* in, uint8_t* key) {
  key[0] = in[0];
  key[1] = static_cast<uint8_t>(in[0] << 7 | in[1] >> 1);
  key[2] = static_cast<uint8_t>(in[1] << 6 | in[2] >> 2);
  key[3] = static_cast<uint8_t>(in[2] << 5 | in[3] >> 3);
  key[4] = static_cast<uint8_t>(in[3] << 4 | in[4] >> 4);
  key[5] = static_cast<uint8_t>(in[4] << 3 | in[5] >> 5);
  key[6] = static_cast<uint8_t>(in[5] << 2 | in[6] >> 6);
  key[7] = static_cast<uint8_t>(in[6] << 1);
  for (int i = 0; i < 8; ++i) {
    uint8_t b = key[i] & 0xFE;
    b |= (__builtin_popcount(b) & 1) == 0 ? 1 : 0;
    key[i] = b;
  }
}

void DesEncrypt7(const uint8_t* key7, const uint8_t* in, uint8_t* out) {
  uint8_t key[8];
  DesKeyFrom7(key7, key);
  DesContext des;
  des.SetKey(key, 8);
  des.EncryptBlock(in, out);
  WipeBytes(key, sizeof key);
}

// The 16-byte key and five zeros as three DES keys over the same 8 bytes.
void Desl(const uint8_t* key16, const uint8_t* data, uint8_t* out24) {
  uint8_t k[21] = {};
  std::memcpy(k, key16, 16);
  DesEncrypt7(k, data, out24);
  DesEncrypt7(k + 7, data, out24 + 8);
  DesEncrypt7(k + 14, data, out24 + 16);
  WipeBytes(k, sizeof k);
}

int NtHash(const ShortString& password, uint8_t out[16]) {
  ByteString wide;
  const int rc = ToUtf16(wide, password);
  if (rc == kOk) {
    Md4Context md4;
    md4.Update(wide.data(), static_cast<size_t>(wide.length()));
    std::memcpy(out, md4.Final(), 16);
  }
  WipeBytes(wide.data(), static_cast<size_t>(wide.length()));
  return rc;
}

void LmHash(const ShortString& password, uint8_t out[16]) {
  uint8_t p[14] = {};
  for (int i = 0; i < password.length() && i < 14; ++i) {
    const uint8_t c = password.bytes()[i];
    p[i] = c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c;
  }
  DesEncrypt7(p, kLmMagic, out);
  DesEncrypt7(p + 7, kLmMagic, out + 8);
  WipeBytes(p, sizeof p);
}

void AppendHexBytes(ByteString& out, const uint8_t* p, size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    out.AppendByte(static_cast<uint8_t>(kHex[p[i] >> 4]));
    out.AppendByte(static_cast<uint8_t>(kHex[p[i] & 15]));
  }
}

// "\t<name>: <text or hex>\r\n" for a field of an NTLM message, clipped to the message.
void DescribeField(ByteString& out, const SpanReader& msg, SpanReader& r, const char* name, bool text) {
  SecurityBuffer b;
  SpanReader field;
  out.AppendFormat("\t%s: ", name);
  if (ReadSecurityBuffer(r, &b) && Resolve(msg, b, &field)) {
    const uint8_t* p = field.data();
    if (text) {
      for (size_t i = 0; i < field.remaining(); ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F) out.AppendByte(p[i]);
      }
    } else {
      AppendHexBytes(out, p, field.remaining());
    }
  }
  out.AppendText("\r\n");
}

void DescribeNtlm(ByteString& out, const uint8_t* token, size_t size) {
  const SpanReader msg(token, size);
  SpanReader r = msg, sig;
  uint32_t type = 0, flags = 0;
  out.AppendFormat("Found NTLM token:\r\n\tLength: %d\r\n", static_cast<int>(size));
  if (!r.ReadBytes(8, &sig) || !r.ReadU32Le(&type)) return;
  out.AppendFormat("\tNTLMSSP Signature: %.7s\r\n", reinterpret_cast<const char*>(sig.data()));
  if (type == 1) {
    r.ReadU32Le(&flags);
    out.AppendFormat("\tNTLM Message Type: Negotiate\r\n\tFlags: 0x%x\r\n", flags);
    DescribeField(out, msg, r, "Supplied Domain", true);
    DescribeField(out, msg, r, "Supplied Workstation", true);
    uint8_t major = 0, minor = 0, revision = 0;
    uint16_t build = 0;
    if (r.ReadU8(&major) && r.ReadU8(&minor) && r.ReadU16Le(&build) && r.Skip(3) && r.ReadU8(&revision)) {
      out.AppendFormat("\tOS Version: Version %u.%u (Build %u); NTLM Current Revision %u\r\n",
                       unsigned{major}, unsigned{minor}, unsigned{build}, unsigned{revision});
    }
  } else if (type == 2) {
    SecurityBuffer name, info;
    SpanReader challenge, reserved, field;
    if (!ReadSecurityBuffer(r, &name) || !r.ReadU32Le(&flags) || !r.ReadBytes(8, &challenge) ||
        !r.ReadBytes(8, &reserved)) {
      return;
    }
    out.AppendFormat("\tNTLM Message Type: Challenge\r\n\tFlags: 0x%x\r\n", flags);
    out.AppendText("\tTarget Name: ");
    if (Resolve(msg, name, &field)) AppendHexBytes(out, field.data(), field.remaining());
    out.AppendText("\r\n\tChallenge: ");
    AppendHexBytes(out, challenge.data(), 8);
    out.AppendText("\r\n\tReserved: ");
    AppendHexBytes(out, reserved.data(), 8);
    out.AppendText("\r\n\tTarget Information: \r\n");
    if (ReadSecurityBuffer(r, &info) && Resolve(msg, info, &field)) {
      uint16_t id = 0;
      SpanReader value;
      while (field.ReadU16Le(&id) && id != kAvEol && field.ReadPrefixedLe(2, &value)) {
        const char* label = nullptr;
        for (const AvName& n : kAvNames) {
          if (n.id == id) label = n.name;
        }
        if (label != nullptr) {
          out.AppendFormat("\t\tType: %s, Data: ", label);
        } else {
          out.AppendFormat("\t\tType: %u, Data: ", unsigned{id});
        }
        AppendHexBytes(out, value.data(), value.remaining());
        out.AppendText("\r\n");
      }
    }
  } else if (type == 3) {
    SpanReader fields = r;
    SecurityBuffer b;
    for (int i = 0; i < 6; ++i) ReadSecurityBuffer(r, &b);
    r.ReadU32Le(&flags);
    out.AppendFormat("\tNTLM Message Type: Authenticate\r\n\tFlags: 0x%x\r\n", flags);
    constexpr const char* kNames[] = {"LM/LMv2 Response", "NTLM/NTLMv2 Response", "Domain Name",
                                      "User", "Workstation", "Session Key"};
    // Described names first, then the responses and the key, whatever their order in the header.
    for (int i : {2, 3, 4, 0, 1, 5}) {
      SpanReader at = fields;
      at.Skip(8 * static_cast<size_t>(i));
      DescribeField(out, msg, at, kNames[i], i >= 2 && i <= 4);
    }
  }
}

}  // namespace

void DescribeAuthToken(ByteString& out, const uint8_t* token, int length) {
  if (token == nullptr || length <= 0) {
    out.AppendText("Token is empty.\r\n");
    return;
  }
  const size_t size = static_cast<size_t>(length);
  if (size >= 8 && std::memcmp(token, kSignature, 8) == 0) {
    DescribeNtlm(out, token, size);
  } else if ((token[0] & 0x60) == 0x60) {
    // A token the description cannot read keeps what it said so far; the raw data follows.
    DescribeGssToken(token, length, &out);
  } else {
    out.AppendText("Unknown token type.\r\n");
  }
  out.AppendText("\tRaw Data: ");
  Base64Encode(out, token, length, true, 64, false);
  out.AppendText("\r\n");
}

NtlmContext::NtlmContext() { package_.SetText("NTLM"); }

NtlmContext::~NtlmContext() {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  WipeBytes(fixed_challenge_, sizeof fixed_challenge_);
}

void NtlmContext::SetFixedClientChallenge(const uint8_t challenge[8]) {
  std::memcpy(fixed_challenge_, challenge, 8);
  has_fixed_challenge_ = true;
}

int NtlmContext::Fail(int code, const char* text) {
  error_text_.SetText(text);
  return code;
}

int NtlmContext::SetCredentials(const char* package, const char* user, const char* password) {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  package_.SetText(OrEmpty(package));
  password_.SetText(OrEmpty(password));
  user_.Reset();
  domain_.Reset();
  return SplitDomainUser(OrEmpty(user), &domain_, &user_);
}

int SplitDomainUser(const char* text, ShortString* domain, ShortString* user) {
  const char* slash = std::strchr(text, '\\');
  if (slash == nullptr) return user->SetText(text) == kOk ? kOk : kErrOutOfMemory;
  domain->Set(text, static_cast<int>(slash - text));
  return user->SetText(slash + 1) == kOk ? kOk : kErrOutOfMemory;
}

int NtlmContext::GetToken(ByteString* out, const char* package, const char* host,
                          const uint8_t* input, int input_length) {
  if (out != nullptr) out->Reset();
  const bool first = input == nullptr || input_length <= 0;
  if (first) {
    log_.Reset();
    log_.AppendFormat(
        "Getting authentication token.\r\nParameters:\r\n\tprotocol=\"%s\", user=\"%s\", "
        "domain=\"%s\", password(len)=\"%d\", server=\"%s\", server side=\"%s\"\r\n",
        OrEmpty(package), user_.c_str(), domain_.c_str(), password_.length(), OrEmpty(host),
        server_side_ ? "True" : "False");
  }
  if (server_side_) return kOk;
  host_.SetText(OrEmpty(host));
  package_.SetText(OrEmpty(package));
  ByteString token;
  int rc;
  if (first) {
    log_.AppendText("Generating negotiate data.\r\n");
    rc = BuildNegotiate(token);
  } else {
    log_.AppendText("Input token - ");
    DescribeAuthToken(log_, input, input_length);
    log_.AppendText("Generating authentication data.\r\n");
    rc = ParseChallenge(input, input_length);
    if (rc == kOk) rc = BuildAuthenticate(token);
  }
  if (rc != kOk) return rc;
  if (!token.empty()) {
    log_.AppendText("Generated token - ");
    DescribeAuthToken(log_, token.bytes(), token.length());
  }
  log_.AppendText("Finished getting authentication token.\r\n");
  if (out != nullptr && out->Assign(token) != kOk) return Fail(kErrOutOfMemory, kTextOutOfMemory);
  return kOk;
}

int NtlmContext::BuildNegotiate(ByteString& out) {
  flags_ = kNtlmInitialFlags;
  uint32_t written = flags_;
  if (!domain_.empty()) written |= kFlagOemDomainSupplied;
  if (!workstation_.empty()) written |= kFlagOemWorkstationSupplied;
  ByteString msg;
  SpanWriter w(msg);
  w.Bytes(kSignature, 8);
  w.U32Le(1);
  w.U32Le(written);
  const SpanWriter::Field domain = w.Reserve(8);
  const SpanWriter::Field workstation = w.Reserve(8);
  w.Bytes(kVersion, 8);
  PutField(w, domain, domain_);
  PutField(w, workstation, workstation_);
  int rc = WriterFailure(w.rc());
  if (rc == kOk) rc = out.Assign(msg);
  return rc == kOk ? kOk : Fail(rc, rc == kErrNtlmWriter ? kTextOverflow : kTextOutOfMemory);
}

int NtlmContext::ParseChallenge(const uint8_t* token, int length) {
  const SpanReader msg(token, static_cast<size_t>(length));
  SpanReader r = msg, sig;
  if (!r.ReadBytes(8, &sig) || std::memcmp(sig.data(), kSignature, 8) != 0) {
    return Fail(kErrNtlmChallenge, kTextBadSignature);
  }
  uint32_t type = 0, server_flags = 0;
  SecurityBuffer target_name, target_info;
  if (!r.ReadU32Le(&type)) return Fail(kErrNtlmChallenge, kTextTruncated);
  if (type != 2) return Fail(kErrNtlmChallenge, kTextBadType);
  if (!ReadSecurityBuffer(r, &target_name) || !r.ReadU32Le(&server_flags)) {
    return Fail(kErrNtlmChallenge, kTextTruncated);
  }
  if ((server_flags & kNtlmNegotiateUnicode) != 0) {
    flags_ &= ~kNtlmNegotiateOem;
  } else if ((server_flags & kNtlmNegotiateOem) == 0) {
    return Fail(kErrNtlmChallenge, kTextNoCharset);
  }
  if ((server_flags & (kNtlmNegotiateNtlm | kNtlmExtendedSessionSecurity)) == 0) {
    return Fail(kErrNtlmChallenge, kTextNoVersion);
  }
  SpanReader challenge, reserved;
  if (!r.ReadBytes(8, &challenge) || !r.ReadBytes(8, &reserved)) {
    return Fail(kErrNtlmChallenge, kTextTruncated);
  }
  // Older servers end the message after the challenge; the target information is then absent.
  if (!r.empty() && !ReadSecurityBuffer(r, &target_info)) {
    return Fail(kErrNtlmChallenge, kTextTruncated);
  }
  // Some servers (squid's test helper among them) send a target name field that points
  // nowhere. The name is never used in the answer, so such a field is skipped, not read.
  if ((server_flags & kNtlmRequestTarget) != 0) flags_ |= kNtlmNegotiateTargetInfo;
  challenge.CopyBytes(server_challenge_, 8);
  av_pairs_.Reset();
  if ((server_flags & kNtlmNegotiateTargetInfo) != 0) {
    SpanReader info;
    if (!Resolve(msg, target_info, &info)) {
      return Fail(kErrNtlmChallenge, kTextFieldOutside);
    }
    SpanWriter pairs(av_pairs_);
    for (;;) {
      uint16_t id = 0, len = 0;
      SpanReader value;
      if (!info.ReadU16Le(&id) || !info.ReadU16Le(&len)) return Fail(kErrNtlmChallenge, kTextBadTargetInfo);
      if (id == kAvEol) break;
      if (!info.ReadBytes(len, &value)) return Fail(kErrNtlmChallenge, kTextBadTargetInfo);
      pairs.U16Le(id);
      const SpanWriter::Field pair = pairs.OpenLe(2);
      pairs.Bytes(value.data(), value.remaining());
      pairs.Close(pair);
      if (pairs.rc() != kOk) return Fail(kErrOutOfMemory, kTextOutOfMemory);
    }
  }
  return kOk;
}

int NtlmContext::ClientChallenge(uint8_t out[8]) {
  if (has_fixed_challenge_) {
    std::memcpy(out, fixed_challenge_, 8);
    return kOk;
  }
  RandomSource random;
  const int rc = random.Fill(out, 8);
  return rc == kOk ? kOk : Fail(rc, kTextRandom);
}

int NtlmContext::LmV2Response(const ByteString& key, const uint8_t client_challenge[8], ByteString& lm) {
  ByteString input;
  int rc = input.Set(server_challenge_, 8);
  if (rc == kOk) rc = input.Append(client_challenge, 8);
  if (rc == kOk) rc = HmacMd5(input, key, lm);
  if (rc == kOk) rc = lm.Append(client_challenge, 8);
  return rc == kOk ? kOk : Fail(rc, kTextLmResponse);
}

int NtlmContext::BuildBlob(const uint8_t client_challenge[8], ByteString& blob) {
  uint64_t now = fixed_time_;
  if (!has_fixed_time_) {
    win::FILETIME ft;
    win::GetSystemTimeAsFileTime(&ft);
    now = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    now -= now % 10000;
  }
  SpanWriter b(blob);
  b.U32Le(0x101);
  b.U32Le(0);
  b.U64Le(now);
  b.Bytes(client_challenge, 8);
  b.U32Le(0);
  b.Bytes(av_pairs_);
  if (!server_certificate_.empty()) {
    uint8_t hash[16];
    const int rc = ChannelBindingHash(hash);
    if (rc != kOk) return rc;
    b.U16Le(kAvChannelBindings);
    const SpanWriter::Field pair = b.OpenLe(2);
    b.Bytes(hash, 16);
    b.Close(pair);
  }
  b.Zeros(8);
  return b.rc() == kOk ? kOk : Fail(b.rc(), kTextBlob);
}

int NtlmContext::ChannelBindingHash(uint8_t hash[16]) {
  ByteString der;
  if (SetPemBody(der, "CERTIFICATE", server_certificate_.data(), server_certificate_.length()) != kOk) {
    return Fail(kErrOutOfMemory, kTextBinding);
  }
  Sha256Context sha;
  sha.Update(der.data(), static_cast<size_t>(der.length()));
  const uint8_t* cert_hash = sha.Final();
  static constexpr char kPrefix[] = "tls-server-end-point:";
  ByteString bindings;
  SpanWriter cb(bindings);
  cb.Zeros(16);
  const SpanWriter::Field data = cb.OpenLe(4);
  cb.Text(kPrefix);
  cb.Bytes(cert_hash, 32);
  cb.Close(data);
  if (cb.rc() != kOk) return Fail(cb.rc(), kTextBinding);
  Md5Context md5;
  md5.Update(bindings.data(), static_cast<size_t>(bindings.length()));
  std::memcpy(hash, md5.Final(), 16);
  return kOk;
}

int NtlmContext::NtV2Response(const ByteString& key, const ByteString& blob, ByteString& nt) {
  ByteString input;
  int rc = input.Set(server_challenge_, 8);
  if (rc == kOk) rc = input.AppendString(blob);
  if (rc == kOk) rc = HmacMd5(input, key, nt);
  if (rc == kOk) rc = nt.AppendString(blob);
  return rc == kOk ? kOk : Fail(rc, kTextNtResponse);
}

int NtlmContext::BuildAuthenticate(ByteString& out) {
  uint8_t nt_hash[16];
  if (NtHash(password_, nt_hash) != kOk) return Fail(kErrOutOfMemory, kTextOutOfMemory);
  ByteString lm, nt;
  uint8_t client_challenge[8];
  int rc = kOk;
  if (ntlmv2_) {
    rc = ClientChallenge(client_challenge);
    ByteString identity, upper, domain, key;
    if (rc == kOk) {
      upper.Assign(user_);
      upper.ToUpper();
      if (ToUtf16(identity, upper) != kOk || ToUtf16(domain, domain_) != kOk ||
          identity.AppendString(domain) != kOk) {
        rc = Fail(kErrOutOfMemory, kTextOutOfMemory);
      }
    }
    ByteString secret;
    if (rc == kOk) secret.Set(nt_hash, 16);
    if (rc == kOk) {
      const int hmac = HmacMd5(identity, secret, key);
      if (hmac != kOk) rc = Fail(hmac, kTextHmac);
    }
    WipeBytes(secret.data(), static_cast<size_t>(secret.length()));
    if (rc == kOk && (flags_ & kNtlmNegotiateTargetInfo) == 0) rc = LmV2Response(key, client_challenge, lm);
    ByteString blob;
    if (rc == kOk) rc = BuildBlob(client_challenge, blob);
    if (rc == kOk) rc = NtV2Response(key, blob, nt);
    WipeBytes(key.data(), static_cast<size_t>(key.length()));
  } else if ((flags_ & kNtlmExtendedSessionSecurity) != 0) {
    rc = ClientChallenge(client_challenge);
    if (rc == kOk) {
      Md5Context md5;
      md5.Update(server_challenge_, 8);
      md5.Update(client_challenge, 8);
      uint8_t response[24];
      Desl(nt_hash, md5.Final(), response);
      if (lm.Set(client_challenge, 8) != kOk || lm.AppendRepeated(16, 0) != kOk) {
        rc = Fail(kErrOutOfMemory, kTextLmResponse);
      } else if (nt.Set(response, 24) != kOk) {
        rc = Fail(kErrOutOfMemory, kTextNtResponse);
      }
    }
  } else {
    uint8_t response[24];
    Desl(nt_hash, server_challenge_, response);
    if (nt.Set(response, 24) != kOk) rc = Fail(kErrOutOfMemory, kTextNtResponse);
    if (rc == kOk && (flags_ & kFlagLmCopy) != 0) {
      if (lm.Assign(nt) != kOk) rc = Fail(kErrOutOfMemory, kTextLmResponse);
    } else if (rc == kOk) {
      uint8_t lm_hash[16];
      LmHash(password_, lm_hash);
      Desl(lm_hash, server_challenge_, response);
      if (lm.Set(response, 24) != kOk) rc = Fail(kErrOutOfMemory, kTextLmResponse);
      WipeBytes(lm_hash, sizeof lm_hash);
    }
  }
  WipeBytes(nt_hash, sizeof nt_hash);
  if (rc != kOk) return rc;

  ByteString domain, user, workstation;
  if (ToUtf16(domain, domain_) != kOk || ToUtf16(user, user_) != kOk ||
      ToUtf16(workstation, workstation_) != kOk) {
    return Fail(kErrOutOfMemory, kTextOutOfMemory);
  }
  ByteString msg;
  SpanWriter w(msg);
  w.Bytes(kSignature, 8);
  w.U32Le(3);
  const SpanWriter::Field lm_field = w.Reserve(8);
  const SpanWriter::Field nt_field = w.Reserve(8);
  const SpanWriter::Field domain_field = w.Reserve(8);
  const SpanWriter::Field user_field = w.Reserve(8);
  const SpanWriter::Field workstation_field = w.Reserve(8);
  w.Zeros(8);  // no session key
  w.U32Le(flags_);
  w.Bytes(kVersion, 8);
  PutField(w, domain_field, domain);
  PutField(w, user_field, user);
  PutField(w, workstation_field, workstation);
  PutField(w, lm_field, lm);
  PutField(w, nt_field, nt);
  rc = WriterFailure(w.rc());
  if (rc == kOk) rc = out.Assign(msg);
  return rc == kOk ? kOk : Fail(rc, rc == kErrNtlmWriter ? kTextOverflow : kTextOutOfMemory);
}

}  // namespace tw
