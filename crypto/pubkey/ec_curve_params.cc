#include "crypto/pubkey/ec_curve_params.h"

#include <cstring>
#include <initializer_list>

namespace tw {
namespace {

struct CurveInfo {
  int key_size;
  const char* oid;
  int slot;
};
constexpr CurveInfo kCurves[] = {
    {32, "1.2.840.10045.3.1.7", 0}, {48, "1.3.132.0.34", 1}, {66, "1.3.132.0.35", 2},
    {32, "1.3.101.112", 3},         {57, "1.3.101.113", 4},  {32, "1.3.101.110", 3},
    {56, "1.3.101.111", 4},
};
constexpr int kCurveCount = sizeof(kCurves) / sizeof(kCurves[0]);

constexpr const char* kPrimeHex[] = {
    "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF",
    "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001",
    "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF",
    "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFF0000000000000000FFFFFFFF",
    "1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
    "FFFFFFFFFFFFFFFFFFFFFFFFFFF",
};
// Degree and lower exponents of the binary-field polynomials, 0x6106 to 0x610A.
constexpr int kBinaryPoly[][4] = {
    {163, 7, 6, 3}, {233, 74, 0, 0}, {283, 12, 7, 5}, {409, 87, 0, 0}, {571, 10, 5, 2},
};

struct NamedSet {
  const char* p;
  const char* a;
  const char* b;
  const char* gx;
  const char* gy;
  const char* n;
  const char* seed;
  int field_id;
  int h;
};
constexpr NamedSet kNamed[] = {
    {kPrimeHex[2], "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC",
     "5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B",
     "6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296",
     "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5",
     "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551", "C49D360886E704936A6678E1139D26B7819F7E90",
     kFieldP256, 1},
    {kPrimeHex[3],
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFF0000000000000000FFFFFFFC",
     "B3312FA7E23EE7E4988E056BE3F82D19181D9C6EFE8141120314088F5013875AC656398D8A2ED19D2A85C8EDD3EC2AEF",
     "AA87CA22BE8B05378EB1C71EF320AD746E1D3B628BA79B9859F741E082542A385502F25DBF55296C3A545E3872760AB7",
     "3617DE4A96262C6F5D9E98BF9292DC29F8F41DBD289A147CE9DA3113B5F0B8C00A60B1CE1D7E819D7A431D7C90EA0E5F",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF581A0DB248B0A77AECEC196ACCC52973",
     "A335926AA319A27A1D00896A6773A4827ACDAC73", kFieldP384, 1},
    {kPrimeHex[4],
     "1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFC",
     "51953EB9618E1C9A1F929A21A0B68540EEA2DA725B99B315F3B8B489918EF109E156193951EC7E937B1652C0BD3BB1BF07357"
     "3DF883D2C34F1EF451FD46B503F00",
     "C6858E06B70404E9CD9E3ECB662395B4429C648139053FB521F828AF606B4D3DBAA14B5E77EFE75928FE1DC127A2FFA8DE334"
     "8B3C1856A429BF97E7E31C2E5BD66",
     "11839296A789A3BC0045C8A5FB42C7D1BD998F54449579B446817AFBD17273E662C97EE72995EF42640C550B9013FAD07613"
     "53C7086A272C24088BE94769FD16650",
     "1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFA51868783BF2F966B7FCC0148F709A5D03B"
     "B5C9B8899C47AEBB6FB71E91386409",
     "D09E8800291CB85396CC6717393284AAA0DA64BA", kFieldP521, 1},
    // Curve25519 moved to short-Weierstrass form.
    {"7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED",
     "2AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA984914A144",
     "7B425ED097B425ED097B425ED097B425ED097B425ED097B4260B5E9C7710C864",
     "2AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAD245A",
     "20AE19A1B8A086B4E01EDD2C7748D14C923D4D7E6D7C61B229E9C5A27ECED3D9",
     "1000000000000000000000000000000014DEF9DEA2F79CD65812631A5CF5D3ED", "", kFieldGenericPrime, 8},
};
constexpr int kTableSlots = 5;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Byte strings equal as numbers: leading zeros ignored on both sides.
bool SameNumber(const ByteString& x, const ByteString& y) {
  int i = 0, j = 0;
  while (i < x.length() && x.bytes()[i] == 0) ++i;
  while (j < y.length() && y.bytes()[j] == 0) ++j;
  if (x.length() - i != y.length() - j) return false;
  return std::memcmp(x.bytes() + i, y.bytes() + j, static_cast<size_t>(x.length() - i)) == 0;
}

int SignificantLength(const ByteString& s) {
  int i = 0;
  while (i < s.length() && s.bytes()[i] == 0) ++i;
  return s.length() - i;
}

struct Table {
  EcCurveParams slots[kTableSlots];
  Table() {
    // A slot that fails to load stays as it stands; index 4 has no set by design.
    for (int i = 0; i < kTableSlots; ++i) slots[i].LoadNamed(i);
  }
};

const Table& TheTable() {
  static const Table table;  // built once; the language makes the first use thread-safe
  return table;
}

// Kept off the first call so the table is ready before any worker thread runs.
[[maybe_unused]] const Table& kWarmTable = TheTable();

}  // namespace

int CurveKeySize(int id) { return id >= 0 && id < kCurveCount ? kCurves[id].key_size : -1; }
const char* CurveOid(int id) { return id >= 0 && id < kCurveCount ? kCurves[id].oid : ""; }
int CurveIdFromOid(const char* oid) {
  if (!oid) return -1;
  for (int i = 0; i < kCurveCount; ++i)
    if (std::strcmp(oid, kCurves[i].oid) == 0) return i;
  return -1;
}
int CurveParamSlot(int id) { return id >= 0 && id < kCurveCount ? kCurves[id].slot : -1; }

int LoadHexNumber(const char* text, int width, ByteString& out) {
  const int len = text ? static_cast<int>(std::strlen(text)) : 0;
  const int bytes = (len + 1) / 2;
  const int pad = width > bytes ? width - bytes : 0;
  if (int rc = out.SetData(pad + bytes, nullptr)) return rc;
  std::memset(out.bytes(), 0, static_cast<size_t>(pad + bytes));
  // An odd text reads as if it had a leading "0".
  for (int i = 0; i < len; ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0) {
      out.Reset();
      return 202;
    }
    const int pos = i + (len & 1);
    out.bytes()[pad + pos / 2] |= static_cast<uint8_t>(pos % 2 ? d : d << 4);
  }
  return 0;
}

int EcCurveParams::SetFieldId(int id) {
  if (id == kFieldGenericPrime) {
    field_id = id;
    return 0;
  }
  if (id >= kFieldP192 && id <= kFieldP521) {
    field_kind = kFieldKindPrime;
    ByteString mod;
    if (int rc = LoadHexNumber(kPrimeHex[id - kFieldP192], 0, mod)) return rc;
    if (int rc = SetModulus(mod)) return rc;
    field_id = id;
    return 0;
  }
  if (id >= kFieldB163 && id <= kFieldB571) {
    field_kind = kFieldKindBinary;
    const int* e = kBinaryPoly[id - kFieldB163];
    ByteString poly;
    const int nbytes = e[0] / 8 + 1;
    if (int rc = poly.SetData(nbytes, nullptr)) return rc;
    std::memset(poly.bytes(), 0, static_cast<size_t>(nbytes));
    for (int bit : {e[0], e[1], e[2], e[3], 0}) poly.bytes()[nbytes - 1 - bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    if (int rc = SetModulus(poly)) return rc;
    field_id = id;
    return 0;
  }
  return kErrEcFieldId;
}

int EcCurveParams::SetModulus(const ByteString& modulus) {
  if (int rc = p.Assign(modulus)) return rc;
  m = k1 = k2 = k3 = 0;
  if (p.length() == 0 || field_kind != kFieldKindBinary) return 0;
  // Degree and up to three lower exponents, read from the set bits below the top.
  int found[4] = {0, 0, 0, 0}, count = 0;
  const int nbits = 8 * p.length();
  for (int bit = nbits - 1; bit > 0 && count < 4; --bit) {
    if (p.bytes()[p.length() - 1 - bit / 8] >> (bit % 8) & 1) found[count++] = bit;
  }
  m = found[0];
  k1 = found[1];
  k2 = found[2];
  k3 = found[3];
  return 0;
}

int EcCurveParams::FieldByteSize() const {
  if (field_kind == kFieldKindBinary) return (m + 7) / 8;
  return p.length();
}

int EcCurveParams::FieldBits() const {
  if (field_kind == kFieldKindBinary) return m;
  for (int i = 0; i < p.length(); ++i) {
    if (p.bytes()[i]) return 8 * (p.length() - i) - __builtin_clz(p.bytes()[i]) + 24;
  }
  return 0;
}

bool EcCurveParams::IsValid() const {
  return named_id >= 0 && named_id <= kNamedIdExplicit &&
         (field_kind == kFieldKindPrime || field_kind == kFieldKindBinary) && field_id >= kFieldGenericPrime &&
         field_id <= kFieldB571 && p.length() && a.length() && b.length() && n.length() && gx.length() &&
         gy.length();
}

int EcCurveParams::Copy(const EcCurveParams& o) {
  ByteString* dst[] = {&p, &a, &b, &gx, &gy, &seed, &n};
  const ByteString* src[] = {&o.p, &o.a, &o.b, &o.gx, &o.gy, &o.seed, &o.n};
  for (int i = 0; i < 7; ++i)
    if (int rc = dst[i]->Assign(*src[i])) return rc;
  h = o.h;
  m = o.m;
  k1 = o.k1;
  k2 = o.k2;
  k3 = o.k3;
  field_id = o.field_id;
  field_kind = o.field_kind;
  named_id = o.named_id;
  return 0;
}

int EcCurveParams::LoadNamed(int index) {
  if (index < 0 || index >= static_cast<int>(sizeof(kNamed) / sizeof(kNamed[0]))) return kErrEcFieldId;
  const NamedSet& s = kNamed[index];
  if (s.field_id == kFieldGenericPrime) {
    field_kind = kFieldKindPrime;
    field_id = kFieldGenericPrime;
    ByteString mod;
    if (int rc = LoadHexNumber(s.p, 0, mod)) return rc;
    if (int rc = SetModulus(mod)) return rc;
  } else if (int rc = SetFieldId(s.field_id)) {
    return rc;
  }
  const int w = p.length();
  if (int rc = LoadHexNumber(s.a, w, a)) return rc;
  if (int rc = LoadHexNumber(s.b, w, b)) return rc;
  if (int rc = LoadHexNumber(s.n, 0, n)) return rc;
  h = s.h;
  if (int rc = LoadHexNumber(s.gx, w, gx)) return rc;
  if (int rc = LoadHexNumber(s.gy, w, gy)) return rc;
  if (int rc = LoadHexNumber(s.seed, 0, seed)) return rc;
  named_id = index;
  return 0;
}

int EcCurveParams::NamedCurveId() {
  if (named_id != -1) return named_id;
  const Table& t = TheTable();
  for (const EcCurveParams& s : t.slots) {
    if (s.named_id < 0) continue;
    if (SignificantLength(p) == 0) break;
    if (SameNumber(p, s.p) && SameNumber(a, s.a) && SameNumber(b, s.b) && SameNumber(gx, s.gx) &&
        SameNumber(gy, s.gy) && SameNumber(n, s.n)) {
      if (int rc = Copy(s)) return rc;
      return named_id;
    }
  }
  named_id = kNamedIdExplicit;
  return named_id;
}

const EcCurveParams* NamedCurveParams(int id) {
  const Table& t = TheTable();
  for (const EcCurveParams& s : t.slots)
    if (s.named_id >= 0 && s.named_id == id) return &s;
  return nullptr;
}

}  // namespace tw
