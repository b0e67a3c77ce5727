#include "crypto/symmetric/hash_engine.h"

#include <new>
#include <utility>

#include "crypto/symmetric/md2.h"
#include "crypto/symmetric/md4.h"
#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/md5_sha1.h"
#include "crypto/symmetric/ripemd160.h"
#include "crypto/symmetric/sha1.h"
#include "crypto/symmetric/sha256.h"
#include "crypto/symmetric/sha3.h"
#include "crypto/symmetric/sha512.h"
#include "platform/heap.h"

namespace tw {
namespace detail {

// The engine's one context, whatever its algorithm.
class DigestSlot {
 public:
  virtual ~DigestSlot() = default;
  virtual void Init() = 0;
  virtual void Update(const uint8_t* p, size_t n) = 0;
  // Points *out at the digest and sets *n to its length; 0 or an error code.
  virtual int Final(const uint8_t** out, int* n) = 0;
  // other is a slot of the same algorithm, hence of the same class.
  virtual void CopyFrom(const DigestSlot& other) = 0;
};

}  // namespace detail

namespace {

using detail::DigestSlot;

// Contexts with Init, Update and a Final that hands back a pointer (null on failure).
template <class Context>
class ContextSlot final : public DigestSlot {
 public:
  template <class... Args>
  explicit ContextSlot(int size, Args&&... args) : context_(std::forward<Args>(args)...), size_(size) {}
  void Init() override { context_.Init(); }
  void Update(const uint8_t* p, size_t n) override { context_.Update(p, n); }
  int Final(const uint8_t** out, int* n) override {
    *out = context_.Final();
    *n = size_;
    return *out ? 0 : kErrHashAlgorithm;
  }
  void CopyFrom(const DigestSlot& other) override {
    const auto& from = static_cast<const ContextSlot&>(other);
    context_ = from.context_;
    size_ = from.size_;
  }

 private:
  Context context_;
  int size_;
};

class SpongeSlot final : public DigestSlot {
 public:
  explicit SpongeSlot(Sha3Variant variant) : sponge_(variant) {}
  void Init() override { sponge_.Reset(); }
  void Update(const uint8_t* p, size_t n) override { sponge_.Absorb(p, n); }
  int Final(const uint8_t** out, int* n) override {
    int rc = sponge_.Final();
    *out = sponge_.output().bytes();
    *n = sponge_.output().length();
    return rc;
  }
  void CopyFrom(const DigestSlot& other) override { sponge_ = static_cast<const SpongeSlot&>(other).sponge_; }

 private:
  Sha3 sponge_;
};

// Contexts live on the platform heap so that allocation failure can be injected in tests.
template <class Slot, class... Args>
DigestSlot* NewSlot(Args... args) {
  void* block = win::HeapAlloc(sizeof(Slot));
  return block ? new (block) Slot(args...) : nullptr;
}

void DeleteSlot(DigestSlot* slot) {
  if (slot == nullptr) return;
  slot->~DigestSlot();
  win::HeapFree(slot);
}

struct HashAlgorithm {
  int digestSize;
  int blockSize;
  DigestSlot* (*create)();
};

constexpr HashAlgorithm kAlgorithms[kHashIdCount] = {
    {20, 64, [] { return NewSlot<ContextSlot<Sha1Context>>(20); }},
    {16, 64, [] { return NewSlot<ContextSlot<Md5Context>>(16); }},
    {32, 64, [] { return NewSlot<ContextSlot<Sha256Context>>(32, Sha256Variant::kSha256); }},
    {28, 64, [] { return NewSlot<ContextSlot<Sha256Context>>(28, Sha256Variant::kSha224); }},
    {64, 128, [] { return NewSlot<ContextSlot<Sha512Context>>(64, Sha512Variant::kSha512); }},
    {28, 128, [] { return NewSlot<ContextSlot<Sha512Context>>(28, Sha512Variant::kSha512_224); }},
    {32, 128, [] { return NewSlot<ContextSlot<Sha512Context>>(32, Sha512Variant::kSha512_256); }},
    {48, 128, [] { return NewSlot<ContextSlot<Sha512Context>>(48, Sha512Variant::kSha384); }},
    {20, 64, [] { return NewSlot<ContextSlot<Ripemd160Context>>(20); }},
    {16, 64, [] { return NewSlot<ContextSlot<Md4Context>>(16); }},
    {16, 16, [] { return NewSlot<ContextSlot<Md2Context>>(16); }},
    {36, 64, [] { return NewSlot<ContextSlot<Md5Sha1Context>>(36); }},
    {28, 144, [] { return NewSlot<SpongeSlot>(Sha3Variant::kKeccak224); }},
    {32, 136, [] { return NewSlot<SpongeSlot>(Sha3Variant::kKeccak256); }},
    {48, 104, [] { return NewSlot<SpongeSlot>(Sha3Variant::kKeccak384); }},
    {64, 72, [] { return NewSlot<SpongeSlot>(Sha3Variant::kKeccak512); }},
    {32, 168, [] { return NewSlot<SpongeSlot>(Sha3Variant::kShake128); }},
    {64, 136, [] { return NewSlot<SpongeSlot>(Sha3Variant::kShake256); }},
};

struct HashName {
  const char* name;
  int id;
};

// Looked up in this order after the name is upper-cased (ASCII letters only).
constexpr HashName kNames[] = {
    {"SHA1", 0},        {"SHA-1", 0},        {"MD5", 1},          {"SHA256", 2},       {"SHA-256", 2},
    {"SHA224", 3},      {"SHA-224", 3},      {"SHA512", 4},       {"SHA-512", 4},      {"SHA512/224", 5},
    {"SHA-512/224", 5}, {"SHA512/256", 6},   {"SHA-512/256", 6},  {"SHA384", 7},       {"SHA-384", 7},
    {"SHA3_224", 12},   {"SHA-3-224", 12},   {"SHA3_256", 13},    {"SHA-3-256", 13},   {"SHA3_384", 14},
    {"SHA-3-384", 14},  {"SHA3_512", 15},    {"SHA-3-512", 15},   {"SHAKE128", 16},    {"SHAKE256", 17},
    {"RIPEMD160", 8},   {"RIPEMD-160", 8},   {"MD160", 8},        {"MD4", 9},          {"MD2", 10},
    {"MD5SHA1", 11},
};

bool ValidId(int id) { return id >= 0 && id < kHashIdCount; }

bool EqualsUpper(const char* given, const char* upper) {
  for (;; ++given, ++upper) {
    char c = *given;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *upper) return false;
    if (c == '\0') return true;
  }
}

}  // namespace

int HashDigestSize(int id) { return ValidId(id) ? kAlgorithms[id].digestSize : 0; }

int HashBlockSizeOf(int id) { return ValidId(id) ? kAlgorithms[id].blockSize : 0; }

int HashIdByName(const char* name) {
  if (name == nullptr) return -1;
  for (const HashName& entry : kNames) {
    if (EqualsUpper(name, entry.name)) return entry.id;
  }
  return -1;
}

HashEngine::HashEngine() : id_(kHashSha1), slot_(kAlgorithms[kHashSha1].create()), finished_(false) {}

HashEngine::~HashEngine() {
  Reset();
  WipeBytes(digest_.data(), static_cast<size_t>(digest_.length()));
}

void HashEngine::Reset() {
  DeleteSlot(slot_);
  slot_ = nullptr;
  finished_ = false;
}

int HashEngine::SetAlgorithm(int id) {
  Reset();
  id_ = id;
  if (!ValidId(id)) return kErrHashAlgorithm;
  slot_ = kAlgorithms[id].create();
  return slot_ ? 0 : kErrOutOfMemory;
}

int HashEngine::CopyFrom(const HashEngine& other) {
  if (this == &other) return !ValidId(id_) ? kErrHashAlgorithm : slot_ ? 0 : kErrOutOfMemory;
  if (!ValidId(other.id_) || other.slot_ == nullptr) {
    Reset();
    id_ = other.id_;
    return ValidId(id_) ? kErrOutOfMemory : kErrHashAlgorithm;
  }
  if (id_ != other.id_ || slot_ == nullptr) {
    const int rc = SetAlgorithm(other.id_);
    if (rc != 0) return rc;
  }
  slot_->CopyFrom(*other.slot_);
  finished_ = other.finished_;
  return finished_ ? digest_.Assign(other.digest_) : 0;
}

int HashEngine::SetAlgorithmByName(const char* name) {
  const int id = HashIdByName(name);
  if (id < 0) return kErrHashAlgorithm;
  return SetAlgorithm(id);
}

int HashEngine::Restart() {
  finished_ = false;
  if (!ValidId(id_)) return kErrHashAlgorithm;
  if (slot_ == nullptr) {
    slot_ = kAlgorithms[id_].create();
    return slot_ ? 0 : kErrOutOfMemory;
  }
  slot_->Init();
  return 0;
}

int HashEngine::Update(const void* bytes, int64_t count) {
  if (!ValidId(id_)) return kErrHashAlgorithm;
  if (slot_ == nullptr) return kErrOutOfMemory;
  if (finished_) {
    slot_->Init();
    finished_ = false;
  }
  if (bytes != nullptr && count > 0) slot_->Update(static_cast<const uint8_t*>(bytes), static_cast<size_t>(count));
  return 0;
}

int HashEngine::Final() {
  if (!ValidId(id_)) return kErrHashAlgorithm;
  if (slot_ == nullptr) return kErrOutOfMemory;
  if (finished_) return 0;
  const uint8_t* out = nullptr;
  int n = 0;
  int rc = slot_->Final(&out, &n);
  if (rc != 0) return rc;
  finished_ = true;
  return digest_.Set(out, n);
}

int HashEngine::Absorb(const ByteString* const* parts, int count, ByteString& out) {
  int rc = Restart();
  for (int i = 0; rc == 0 && i < count; ++i) rc = Update(parts[i]->data(), parts[i]->length());
  if (rc == 0) rc = Final();
  if (rc == 0) rc = out.Assign(digest_);
  return rc;
}

int HashEngine::DigestOf(const void* bytes, int64_t count, ByteString& out) {
  int rc = Restart();
  if (rc == 0) rc = Update(bytes, count);
  if (rc == 0) rc = Final();
  if (rc == 0) rc = out.Assign(digest_);
  return rc;
}

int HashEngine::DigestOfPair(const ByteString& first, const ByteString& second, ByteString& out) {
  const ByteString* parts[] = {&first, &second};
  return Absorb(parts, 2, out);
}

int HashEngine::DigestOfTriple(const ByteString& first, const ByteString& second, const ByteString& third,
                               ByteString& out) {
  const ByteString* parts[] = {&first, &second, &third};
  return Absorb(parts, 3, out);
}

int DigestByName(const void* bytes, int64_t count, const char* name, ByteString& out) {
  HashEngine engine;
  int rc = engine.SetAlgorithmByName(name);
  if (rc == 0) rc = engine.DigestOf(bytes, count, out);
  return rc;
}

}  // namespace tw
