// The digest object of the system: one of eighteen digests chosen by a fixed hash id or a name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrHashAlgorithm = 2001;

// Hash ids are stored and passed by every subsystem; the numbers never change.
enum HashId : int {
  kHashSha1 = 0,
  kHashMd5 = 1,
  kHashSha256 = 2,
  kHashSha224 = 3,
  kHashSha512 = 4,
  kHashSha512_224 = 5,
  kHashSha512_256 = 6,
  kHashSha384 = 7,
  kHashRipemd160 = 8,
  kHashMd4 = 9,
  kHashMd2 = 10,
  kHashMd5Sha1 = 11,
  kHashKeccak224 = 12,  // Keccak with the original padding, named "SHA3_224"
  kHashKeccak256 = 13,
  kHashKeccak384 = 14,
  kHashKeccak512 = 15,
  kHashShake128 = 16,  // 32 bytes of output
  kHashShake256 = 17,  // 64 bytes of output
};
constexpr int kHashIdCount = 18;

// Digest bytes of an id; 0 for any value outside 0 to 17.
int HashDigestSize(int id);
// Block bytes of an id, as HMAC uses them: the compression block, or the sponge rate for the
// Keccak ids (up to 168 bytes for SHAKE128); 0 outside 0 to 17.
int HashBlockSizeOf(int id);

// The id a name selects ("SHA-256", "sha256", "MD5SHA1", ...; ASCII case ignored), or -1.
int HashIdByName(const char* name);

namespace detail {
class DigestSlot;
}

// Set it to an id (SHA-1 after construction), Update any number of times, Final. The digest
// stays in the engine until the next Final. A Final after a Final keeps the same digest; an
// Update after a Final starts a new message (as Restart would).
class HashEngine {
 public:
  HashEngine();
  ~HashEngine();
  HashEngine(const HashEngine&) = delete;
  HashEngine& operator=(const HashEngine&) = delete;

  // 0, or 2001 for an id outside 0 to 17: the engine then holds no algorithm, and Update and
  // Final fail with 2001 until it is set again. 200 when the context cannot be allocated; Update
  // and Final then fail with 200 until a Restart or SetAlgorithm succeeds.
  int SetAlgorithm(int id);
  // 0, or 2001 for a name not accepted (the engine is left as it was).
  int SetAlgorithmByName(const char* name);
  // Starts the current algorithm over; 0, or 200 when its context still cannot be allocated.
  int Restart();
  // 0, 200 (no context) or 2001 (no algorithm). A null pointer or a count of 0 or less absorbs
  // nothing.
  int Update(const void* bytes, int64_t count);
  // 0, 200 or 2001; the digest is then in digest().
  int Final();
  // Frees the context; Update and Final give 200 until Restart or SetAlgorithm.
  void Reset();
  // Takes other's algorithm and its message so far (and its digest when it is finished), reusing
  // this engine's context when the algorithm is the same. 0; 2001 when other holds no algorithm,
  // 200 when it has no context or one cannot be allocated (this engine then holds none either).
  int CopyFrom(const HashEngine& other);

  // One-shot digests: restart, absorb, finish, copy the digest to out. First non-zero code.
  int DigestOf(const void* bytes, int64_t count, ByteString& out);
  int DigestOfPair(const ByteString& first, const ByteString& second, ByteString& out);
  int DigestOfTriple(const ByteString& first, const ByteString& second, const ByteString& third,
                     ByteString& out);

  int id() const { return id_; }
  int digest_size() const { return HashDigestSize(id_); }
  int block_size() const { return HashBlockSizeOf(id_); }
  const ByteString& digest() const { return digest_; }

 private:
  int Absorb(const ByteString* const* parts, int count, ByteString& out);

  int id_;
  ByteString digest_;
  detail::DigestSlot* slot_;
  bool finished_;
};

// Block bytes of the engine's current id (see HashBlockSizeOf).
inline int HashBlockSize(const HashEngine& engine) { return HashBlockSizeOf(engine.id()); }

// One-shot digest with a temporary engine set by name: 0, 2001 for an unknown name, or 200.
int DigestByName(const void* bytes, int64_t count, const char* name, ByteString& out);

}  // namespace tw
