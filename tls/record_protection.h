// Protection of one direction of TLS records: MAC-then-encrypt with CBC block ciphers or RC4
// (SSL 3.0 to TLS 1.2), AES-GCM and ChaCha20-Poly1305 under TLS 1.2 and TLS 1.3.
//
// A direction is keyed once (SetKeys) and then protects or opens whole records in caller buffers:
// nothing is allocated per record. The CBC chain runs on from record to record, as TLS 1.0
// requires.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/symmetric/aes.h"
#include "crypto/symmetric/chacha20_poly1305.h"
#include "crypto/symmetric/des.h"
#include "crypto/symmetric/gcm.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/random_source.h"
#include "crypto/symmetric/rc4.h"
#include "tls/cipher_suites.h"

namespace tw {

constexpr int kTlsRecordHeaderBytes = 5;
constexpr int kTlsMaxPlaintext = 16384;
// The largest protected body a peer may send.
constexpr int kTlsMaxCiphertext = 16384 + 2048;
// The most Protect adds to a fragment: explicit IV or nonce, MAC or tag, padding, inner type.
constexpr int kTlsMaxOverhead = 16 + 64 + 256 + 1;

constexpr int kErrTlsRecordMac = 286;

enum TlsContentType : uint8_t {
  kContentChangeCipherSpec = 20,
  kContentAlert = 21,
  kContentHandshake = 22,
  kContentApplicationData = 23,
};

enum TlsAlertCode : uint8_t {
  kAlertCloseNotify = 0,
  kAlertUnexpectedMessage = 10,
  kAlertBadRecordMac = 20,
  kAlertRecordOverflow = 22,
  kAlertHandshakeFailure = 40,
  kAlertBadCertificate = 42,
  kAlertCertificateUnknown = 46,
  kAlertIllegalParameter = 47,
  kAlertDecodeError = 50,
  kAlertDecryptError = 51,
  kAlertProtocolVersion = 70,
  kAlertInsufficientSecurity = 71,
  kAlertInternalError = 80,
  kAlertUserCanceled = 90,
  kAlertNoRenegotiation = 100,
  kAlertMissingExtension = 109,
};

// Why a record could not be opened: the alert to send and the failure text.
struct TlsRecordFault {
  int alert = 0;
  const char* text = "";
};

class TlsRecordState {
 public:
  TlsRecordState() = default;
  ~TlsRecordState() { Clear(); }
  TlsRecordState(const TlsRecordState&) = delete;
  TlsRecordState& operator=(const TlsRecordState&) = delete;

  // Keys the direction for `suite` at `version` (tls13: TLS 1.3 records). The MAC key is ignored
  // for AEAD suites; iv is the CBC IV, or the fixed nonce part (4 bytes under TLS 1.2, 12 under
  // TLS 1.3). The sequence restarts at 0; the direction is not yet active. 0 or a code.
  int SetKeys(const TlsCipherSuite* suite, uint16_t version, bool tls13, const uint8_t* mac_key,
              int mac_length, const uint8_t* key, int key_length, const uint8_t* iv, int iv_length);
  // The same keys, chain and counters as other.
  int CopyFrom(const TlsRecordState& other);
  // Wipes every key and returns to the unkeyed, inactive state.
  void Clear();

  // Protects one record: in holds the fragment (n bytes, at most 16384) of a record of `type`
  // carrying `version`; out receives the whole protected record, header included, and must hold
  // n + kTlsMaxOverhead + 5 bytes. in and out must not overlap. 0 or a code.
  int Protect(uint8_t type, uint16_t version, const uint8_t* in, size_t n, uint8_t* out,
              size_t* out_length);
  // Opens one whole record (header and body) in place. On success *type is the content type
  // (TLS 1.3: the inner one) and [*content, *content + *content_length) lies inside record. On
  // failure the fault names the alert and text; the sequence has advanced either way.
  int Unprotect(uint8_t* record, size_t length, uint8_t* type, uint8_t** content,
                size_t* content_length, TlsRecordFault* fault);

  bool active() const { return active_; }
  void set_active(bool on) { active_ = on; }
  uint64_t sequence() const { return sequence_; }
  void set_sequence(uint64_t s) { sequence_ = s; }
  const TlsCipherSuite* suite() const { return suite_; }
  uint16_t version() const { return version_; }
  bool tls13() const { return tls13_; }

 private:
  int BlockBytes() const;
  int KeyCipher(bool encrypt);
  void EncryptCbc(const uint8_t* in, uint8_t* out, size_t n);
  void DecryptCbc(uint8_t* data, size_t n);
  // The record MAC of TLS (HMAC) or SSL 3.0 over seq, type, version and fragment, into mac.
  int ComputeMac(uint64_t seq, uint8_t type, const uint8_t* fragment, size_t n, uint8_t* mac);
  // The TLS record MAC of the fragment into mac, while its first `whole` bytes are CBC-encrypted
  // into out.
  int MacWhileEncrypting(uint64_t seq, uint8_t type, const uint8_t* fragment, size_t n, uint8_t* out,
                         size_t whole, uint8_t* mac);
  int ProtectAead(uint8_t type, uint16_t version, const uint8_t* in, size_t n, uint8_t* out,
                  size_t* out_length);
  int UnprotectAead(uint8_t* record, size_t length, uint8_t* type, uint8_t** content,
                    size_t* content_length, TlsRecordFault* fault);
  int UnprotectMacThenEncrypt(uint8_t* record, size_t length, uint8_t* type, uint8_t** content,
                              size_t* content_length, TlsRecordFault* fault);
  void Nonce(uint64_t seq, uint8_t nonce[12]) const;

  const TlsCipherSuite* suite_ = nullptr;
  uint16_t version_ = 0;
  bool tls13_ = false;
  bool active_ = false;
  bool keyed_ = false;
  uint64_t sequence_ = 0;
  uint8_t mac_key_[64] = {};
  int mac_length_ = 0;
  uint8_t key_[32] = {};
  int key_length_ = 0;
  uint8_t iv_[16] = {};  // CBC chain (last ciphertext block) or fixed nonce part
  int iv_length_ = 0;
  bool encrypting_ = true;
  HmacEngine hmac_;
  // The TLS MAC of the SHA-256 suites, which can run beside the AES-CBC encryption.
  HmacSha256Cbc hmac256_;
  bool use_hmac256_ = false;
  HashEngine hash_;
  AesContext aes_;
  DesContext des_;
  TripleDesContext tdes_;
  Rc4Context rc4_;
  GcmContext gcm_;
  ChaCha20Poly1305Context chacha_;
  // Kept for the explicit IVs, so a record costs no provider start.
  RandomSource random_;
};

// Fills n bytes from the random source; with n above 4 the first four become the current time
// in seconds, big-endian (hello randoms, explicit CBC IVs, pre-master randoms). 0 or a code.
int FillHelloRandom(RandomSource& source, uint8_t* out, int n);
int FillHelloRandom(uint8_t* out, int n);

}  // namespace tw
