#include "tls/tls_key_exchange.h"

#include <cstring>

#include "crypto/pubkey/curve25519.h"
#include "crypto/pubkey/ec_key_data.h"
#include "crypto/pubkey/rsa_engine.h"
#include "foundation/span_writer.h"
#include "crypto/symmetric/random_source.h"
#include "tls/record_protection.h"

namespace tw {
namespace {

constexpr int kMasterBytes = 48;

struct GroupCurve {
  uint16_t group;
  int curve;
};
constexpr GroupCurve kGroupCurves[] = {
    {23, kCurveP256}, {24, kCurveP384}, {25, kCurveP521}, {29, kCurveX25519}, {30, kCurveX448},
};

// The RFC 7919 groups with the exponent length their security level needs (RFC 7919 5.2: at
// least twice the strength): a full-size exponent would cost ten times as much for nothing.
struct FfdheGroup {
  uint16_t group;
  int bits;
  int exponent_bits;
};
constexpr FfdheGroup kFfdheGroups[] = {
    {256, 2048, 225}, {257, 3072, 275}, {258, 4096, 325}, {259, 6144, 375}, {260, 8192, 400}};

// x random of exponent_bits (0: the prime's size, below it), own public g^x mod p.
int MakeOwnDhPair(KeyExchange& kx, int exponent_bits = 0) {
  RandomSource random;
  const int bits = exponent_bits > 0 ? exponent_bits : kx.p.BitLength() - 1;
  for (int tries = 0; tries < 64; ++tries) {
    if (int rc = kx.x.SetRandomBits(bits, random)) return rc;
    if (kx.x.Compare(BigNumber::One()) > 0) break;
  }
  BigNumber own;
  const int walk = (kx.x.BitLength() + 63) / 64 * 64;
  if (int rc = BigNumber::ModExpSecret(kx.g, kx.x, kx.p, own, walk)) return rc;
  return kx.SetOwnPublic(own);
}

}  // namespace

int GroupCurveId(uint16_t group) {
  for (const GroupCurve& g : kGroupCurves) {
    if (g.group == group) return g.curve;
  }
  return kCurveNone;
}

uint16_t CurveGroup(int curve_id) {
  if (curve_id == kCurveEd25519) return 29;
  if (curve_id == kCurveEd448) return 30;
  for (const GroupCurve& g : kGroupCurves) {
    if (g.curve == curve_id) return g.group;
  }
  return 0;
}

uint16_t FfdheGroupOfBits(int bits) {
  for (const FfdheGroup& g : kFfdheGroups) {
    if (g.bits == bits) return g.group;
  }
  return 0;
}

int MakeGroupKeyExchange(uint16_t group, std::unique_ptr<KeyExchange>* out) {
  auto kx = std::make_unique<KeyExchange>(1);
  const int curve = GroupCurveId(group);
  if (curve != kCurveNone) {
    kx->ec_mode = 1;
    if (int rc = EcGenerateKey(curve, kx->own_ec)) return rc;
    kx->prime_bits = 8 * CurveKeySize(curve);
    *out = std::move(kx);
    return kOk;
  }
  for (const FfdheGroup& g : kFfdheGroups) {
    if (g.group != group) continue;
    if (int rc = kx->ChoosePrime(false, g.bits, true)) return rc;
    if (int rc = MakeOwnDhPair(*kx, g.exponent_bits)) return rc;
    *out = std::move(kx);
    return kOk;
  }
  return -1;
}

int MakeDhKeyExchange(const uint8_t* p, size_t p_length, const uint8_t* g, size_t g_length,
                      std::unique_ptr<KeyExchange>* out) {
  auto kx = std::make_unique<KeyExchange>(1);
  ByteString bytes;
  if (int rc = bytes.Set(p, static_cast<int>(p_length))) return rc;
  kx->SetPrime(bytes);
  // The prime's size is its real bit length, whatever zero bytes led it.
  kx->prime_bits = kx->p.BitLength();
  if (int rc = bytes.Set(g, static_cast<int>(g_length))) return rc;
  kx->SetGenerator(bytes);
  BigNumber limit;
  BigNumber::Sub(kx->p, BigNumber::One(), limit);
  if (kx->p.BitLength() < 2 || kx->p.IsEven() || kx->g.Compare(BigNumber::One()) <= 0 ||
      kx->g.Compare(limit) >= 0) {
    return kErrTlsPeerKey;
  }
  if (int rc = MakeOwnDhPair(*kx)) return rc;
  *out = std::move(kx);
  return kOk;
}

int MakeServerDhKeyExchange(bool export_grade, int bits, std::unique_ptr<KeyExchange>* out) {
  auto kx = std::make_unique<KeyExchange>(1);
  if (int rc = kx->ChoosePrime(export_grade, bits, false)) return rc;
  if (int rc = MakeOwnDhPair(*kx)) return rc;
  *out = std::move(kx);
  return kOk;
}

int ServerKeyExchangeParams(const KeyExchange* kx, const RsaKeyData* temp_rsa, ByteString* out) {
  SpanWriter w(*out);
  ByteString values[3];
  int count = 0;
  if (temp_rsa != nullptr) {
    // Unsigned magnitudes, as RFC 2246 7.4.3 sends them.
    BigNumber n;
    BigNumber e;
    n.SetBytes(temp_rsa->N);
    e.SetBytes(temp_rsa->E);
    n.ToMagnitude(values[0]);
    e.ToMagnitude(values[1]);
    count = 2;
  } else if (kx == nullptr) {
    return -1;
  } else if (kx->ec_mode) {
    ByteString own;
    if (int rc = OwnPublicValue(*kx, &own)) return rc;
    w.U8(3);  // named_curve
    w.U16(CurveGroup(kx->own_ec.curve_id));
    SpanWriter::Field f = w.Open(1);
    w.Bytes(own);
    w.Close(f);
    return w.rc();
  } else {
    kx->p.ToMagnitude(values[0]);
    kx->g.ToMagnitude(values[1]);
    if (int rc = OwnPublicValue(*kx, &values[2])) return rc;
    count = 3;
  }
  for (int i = 0; i < count; ++i) {
    SpanWriter::Field f = w.Open(2);
    w.Bytes(values[i]);
    w.Close(f);
  }
  return w.rc();
}

int RsaPrivateOpPadded(RsaEngine& rsa, const uint8_t* data, size_t n, ByteString* out) {
  out->Reset();
  ByteString in;
  int rc = in.Set(data, static_cast<int>(n));
  if (rc == kOk) rc = rsa.RsaPrivateOp(in, *out);
  if (rc == kOk && out->length() < rsa.modulus_bytes()) {
    // Left-padded to the modulus length, so the block's layout does not depend on its value.
    ByteString padded;
    rc = padded.SetData(rsa.modulus_bytes() - out->length(), nullptr);
    if (rc == kOk) {
      std::memset(padded.bytes(), 0, static_cast<size_t>(padded.length()));
      rc = padded.AppendString(*out);
    }
    if (rc == kOk) rc = out->Assign(padded);
    WipeBytes(padded.bytes(), static_cast<size_t>(padded.length()));
  }
  return rc;
}

int RsaPrivateOpPadded(const RsaKeyData& key, const uint8_t* data, size_t n, ByteString* out) {
  out->Reset();
  RsaEngine rsa;
  const int rc = rsa.SetKey(key);
  return rc == kOk ? RsaPrivateOpPadded(rsa, data, n, out) : rc;
}

int OwnPublicValue(const KeyExchange& kx, ByteString* out) {
  if (kx.ec_mode) return kx.GetPublicValue(*out);
  return kx.a.ToMagnitude(*out, (kx.p.BitLength() + 7) / 8);
}

int SetPeerValue(KeyExchange& kx, const uint8_t* value, size_t n) {
  if (n == 0) return kErrTlsPeerKey;
  if (!kx.ec_mode) {
    BigNumber y;
    ByteString bytes;
    if (int rc = bytes.Set(value, static_cast<int>(n))) return rc;
    y.SetBytes(bytes);
    return kx.SetPeerPublic(y);
  }
  const int curve = kx.own_ec.curve_id;
  kx.peer_ec.Clear();
  kx.peer_ec.curve_id = curve;
  ByteString bytes;
  if (int rc = bytes.Set(value, static_cast<int>(n))) return rc;
  if (curve == kCurveX25519 || curve == kCurveX448) {
    if (static_cast<int>(n) != CurveKeySize(curve)) return kErrTlsPeerKey;
    return kx.peer_ec.public_bytes.Assign(bytes);
  }
  // Only the uncompressed form is negotiated.
  if (value[0] != 4 || kx.peer_ec.DecodePoint(bytes) != kOk || !EcPublicPointValid(kx.peer_ec)) {
    return kErrTlsPeerKey;
  }
  return kOk;
}

int SharedSecret(KeyExchange& kx, bool tls13, ByteString* out) {
  int rc = kOk;
  if (kx.ec_mode) {
    rc = kx.GetSharedSecret(*out);
  } else {
    rc = kx.ComputeShared();
    if (rc == kOk) rc = kx.z.ToMagnitude(*out, tls13 ? (kx.p.BitLength() + 7) / 8 : 0);
  }
  if (rc != kOk) return rc == kErrOutOfMemory ? rc : kErrTlsPeerKey;
  // A small-order X25519/X448 value gives the all-zero output: no secret at all.
  if (kx.ec_mode && CurveBytesAllZero(out->bytes(), out->length())) {
    WipeString(*out);
    return kErrTlsPeerKey;
  }
  return kOk;
}

int MakeRsaPreMaster(uint16_t hello_version, ByteString* out) {
  if (int rc = out->SetData(kMasterBytes, nullptr)) return rc;
  if (int rc = FillHelloRandom(out->bytes(), kMasterBytes)) return rc;
  out->bytes()[0] = static_cast<uint8_t>(hello_version >> 8);
  out->bytes()[1] = static_cast<uint8_t>(hello_version);
  return kOk;
}

bool SelectRsaPreMaster(const ByteString& block, uint16_t client_version, const ByteString& fallback,
                        ByteString* out) {
  const int k = block.length();
  const uint8_t* b = block.bytes();
  // good stays 0xFF while every check holds.
  uint32_t bad = static_cast<uint32_t>(k < kMasterBytes + 11 || fallback.length() != kMasterBytes);
  if (bad != 0 || out->SetData(kMasterBytes, nullptr) != kOk) {
    out->Assign(fallback);
    return false;
  }
  bad |= b[0];
  bad |= b[1] ^ 2u;
  for (int i = 2; i < k - kMasterBytes - 1; ++i) bad |= static_cast<uint32_t>(b[i] == 0);
  bad |= b[k - kMasterBytes - 1];
  bad |= b[k - kMasterBytes] ^ static_cast<uint32_t>(client_version >> 8);
  bad |= b[k - kMasterBytes + 1] ^ static_cast<uint32_t>(client_version & 0xFF);
  // mask is 0xFF when good, 0 otherwise.
  const uint8_t mask = static_cast<uint8_t>(((bad | (0u - bad)) >> 31) - 1u);
  for (int i = 0; i < kMasterBytes; ++i) {
    out->bytes()[i] = static_cast<uint8_t>((b[k - kMasterBytes + i] & mask) | (fallback.bytes()[i] & ~mask));
  }
  return mask != 0;
}

}  // namespace tw
