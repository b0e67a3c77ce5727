// HMAC (RFC 2104) over the digests of the hash engine, its one-shot forms, and the helpers every
// MAC check and secret holder uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/sha256.h"
#include "foundation/byte_string.h"
#include "foundation/text_conversion.h"  // kErrInvalidValue

namespace tw {

class Stream;

// Compares n bytes in time that depends only on n, so a forged tag learns nothing from how long
// the check took. True when equal.
bool MacEquals(const void* a, const void* b, size_t n);

// Cuts a secret to n bytes without leaving the dropped bytes, or a heap block the string leaves
// for its inline area, unwiped. 0, or 200 when it cannot be cut (it is then emptied).
template <int N>
int TruncateSecret(InlineString<N>& s, int n) {
  if (n < 0) n = 0;
  if (n >= s.length()) return kOk;
  WipeBytes(s.data() + n, static_cast<size_t>(s.length() - n));
  if (!s.OnHeap() || n > N) return s.Resize(n);
  char keep[N];
  std::memcpy(keep, s.data(), static_cast<size_t>(n));
  WipeString(s);
  const int rc = s.Set(keep, n);
  WipeBytes(keep, sizeof keep);
  return rc;
}

// Keyed once, it computes any number of MACs: Update (any number of times, none is fine) and
// Final give one MAC, and the object is then ready for the next message under the same key.
class HmacEngine {
 public:
  // The largest block of any hash id (the SHAKE128 rate).
  static constexpr int kMaxBlock = 168;

  HmacEngine();
  ~HmacEngine();
  HmacEngine(const HmacEngine&) = delete;
  HmacEngine& operator=(const HmacEngine&) = delete;

  // 0, 200 when the key cannot be stored, 2001 for an id outside 0 to 17 (Update and Final then
  // fail with 2001 until a good key is set). A negative length or null key counts as empty.
  int SetKey(int hash_id, const void* key, int key_length);
  // 0, 200 or 2001. A null pointer or a count of 0 or less absorbs nothing.
  int Update(const void* bytes, int64_t count);
  // Finishes the MAC into mac(); 0, 200 or 2001. Success or failure, the next Update begins a
  // new MAC under the same key.
  int Final();
  // Re-keys with the stored id and key, MACs the bytes, and copies the MAC to out.
  int Compute(const void* bytes, int64_t count, ByteString& out);
  // Constant-time check of a tag against the first tag_length bytes of the last MAC; false for a
  // length outside 1 to mac_size(), and unless the last Final succeeded with nothing begun since.
  bool Verify(const void* tag, int tag_length) const;

  const ByteString& mac() const { return engine_.digest(); }
  int hash_id() const { return hashId_; }
  int mac_size() const { return HashDigestSize(hashId_); }
  int pbkdf2_hash_id() const { return pbkdf2HashId_; }
  void set_pbkdf2_hash_id(int id) { pbkdf2HashId_ = id; }

 private:
  int PrepareStates();
  int Start();
  void WipeStates();

  int hashId_ = kHashSha1;
  ByteString key_;
  HashEngine engine_;
  bool restart_ = true;
  bool macValid_ = false;
  // The digest states after the key block XORed with 0x36 and with 0x5C, made once per key and
  // copied into engine_ at the start of each MAC and of its outer digest.
  bool statesReady_ = false;
  HashEngine innerState_;
  HashEngine outerState_;
  int pbkdf2HashId_ = kHashSha1;
};

// HMAC-SHA256 with both pad states made once per key, for callers that MAC many messages under
// one key; its message can be hashed while AES-CBC encrypts other data beside it.
class HmacSha256Cbc {
 public:
  static constexpr int kMacSize = 32;

  HmacSha256Cbc() = default;
  ~HmacSha256Cbc() { Clear(); }
  HmacSha256Cbc(const HmacSha256Cbc&) = delete;
  HmacSha256Cbc& operator=(const HmacSha256Cbc&) = delete;

  void SetKey(const uint8_t* key, size_t n);
  void Clear();
  void Update(const void* bytes, size_t count);
  // Update, with blocks AES blocks of in CBC-encrypted into out meanwhile (Sha256Context).
  void UpdateBesideCbc(const void* bytes, size_t count, const AesContext& aes, const uint8_t* in, uint8_t* out,
                       size_t blocks, uint8_t iv[16]);
  // Writes the MAC; the next Update begins a new message under the same key.
  void Final(uint8_t mac[kMacSize]);

 private:
  void Begin();

  Sha256Context inner_;
  Sha256Context outer_;
  Sha256Context work_;
  bool started_ = false;
};

// HMAC-MD5 of data under key; out receives the 16-byte MAC. 0 or 200.
int HmacMd5(const ByteString& data, const ByteString& key, ByteString& out);

// The keyed-hash format of the encoder component: the MAC of all of the input stream (read line
// by line) under the key text, or under the bytes of the hex digits after a leading "0x", written
// to the output stream. The first output_length bytes are written; -1 or a length above the MAC
// writes all of it, 0 writes nothing. 0, 202 for a bad hex key, 2001, 200 or the stream's code.
int HmacEncode(Stream& input, Stream& output, const char* key_text, int hash_id, int output_length);

}  // namespace tw
