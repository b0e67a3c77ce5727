#include "http/hpack.h"

#include <cstring>
#include <strings.h>

#include <mutex>


namespace tw {
namespace {

constexpr int kErrNoMemory = 200;
// Field overhead counted by the table and header list sizes.
constexpr int kEntryOverhead = 32;

struct StaticEntry {
  const char* name;
  const char* value;
};

constexpr StaticEntry kStaticTable[kHpackStaticCount] = {
    {":authority", ""},
    {":method", "GET"},
    {":method", "POST"},
    {":path", "/"},
    {":path", "/index.html"},
    {":scheme", "http"},
    {":scheme", "https"},
    {":status", "200"},
    {":status", "204"},
    {":status", "206"},
    {":status", "304"},
    {":status", "400"},
    {":status", "404"},
    {":status", "500"},
    {"accept-charset", ""},
    {"accept-encoding", "gzip, deflate"},
    {"accept-language", ""},
    {"accept-ranges", ""},
    {"accept", ""},
    {"access-control-allow-origin", ""},
    {"age", ""},
    {"allow", ""},
    {"authorization", ""},
    {"cache-control", ""},
    {"content-disposition", ""},
    {"content-encoding", ""},
    {"content-language", ""},
    {"content-length", ""},
    {"content-location", ""},
    {"content-range", ""},
    {"content-type", ""},
    {"cookie", ""},
    {"date", ""},
    {"etag", ""},
    {"expect", ""},
    {"expires", ""},
    {"from", ""},
    {"host", ""},
    {"if-match", ""},
    {"if-modified-since", ""},
    {"if-none-match", ""},
    {"if-range", ""},
    {"if-unmodified-since", ""},
    {"last-modified", ""},
    {"link", ""},
    {"location", ""},
    {"max-forwards", ""},
    {"proxy-authenticate", ""},
    {"proxy-authorization", ""},
    {"range", ""},
    {"referer", ""},
    {"refresh", ""},
    {"retry-after", ""},
    {"server", ""},
    {"set-cookie", ""},
    {"strict-transport-security", ""},
    {"transfer-encoding", ""},
    {"user-agent", ""},
    {"vary", ""},
    {"via", ""},
    {"www-authenticate", ""},
};

struct HuffmanCode {
  uint32_t code;  // aligned to the least significant bit
  uint8_t bits;
};

// Symbols 0 to 255, then EOS.
constexpr HuffmanCode kHuffman[257] = {
    {0x1ff8, 13},     {0x7fffd8, 23},   {0xfffffe2, 28},  {0xfffffe3, 28},  {0xfffffe4, 28},
    {0xfffffe5, 28},  {0xfffffe6, 28},  {0xfffffe7, 28},  {0xfffffe8, 28},  {0xffffea, 24},
    {0x3ffffffc, 30}, {0xfffffe9, 28},  {0xfffffea, 28},  {0x3ffffffd, 30}, {0xfffffeb, 28},
    {0xfffffec, 28},  {0xfffffed, 28},  {0xfffffee, 28},  {0xfffffef, 28},  {0xffffff0, 28},
    {0xffffff1, 28},  {0xffffff2, 28},  {0x3ffffffe, 30}, {0xffffff3, 28},  {0xffffff4, 28},
    {0xffffff5, 28},  {0xffffff6, 28},  {0xffffff7, 28},  {0xffffff8, 28},  {0xffffff9, 28},
    {0xffffffa, 28},  {0xffffffb, 28},  {0x14, 6},        {0x3f8, 10},      {0x3f9, 10},
    {0xffa, 12},      {0x1ff9, 13},     {0x15, 6},        {0xf8, 8},        {0x7fa, 11},
    {0x3fa, 10},      {0x3fb, 10},      {0xf9, 8},        {0x7fb, 11},      {0xfa, 8},
    {0x16, 6},        {0x17, 6},        {0x18, 6},        {0x0, 5},         {0x1, 5},
    {0x2, 5},         {0x19, 6},        {0x1a, 6},        {0x1b, 6},        {0x1c, 6},
    {0x1d, 6},        {0x1e, 6},        {0x1f, 6},        {0x5c, 7},        {0xfb, 8},
    {0x7ffc, 15},     {0x20, 6},        {0xffb, 12},      {0x3fc, 10},      {0x1ffa, 13},
    {0x21, 6},        {0x5d, 7},        {0x5e, 7},        {0x5f, 7},        {0x60, 7},
    {0x61, 7},        {0x62, 7},        {0x63, 7},        {0x64, 7},        {0x65, 7},
    {0x66, 7},        {0x67, 7},        {0x68, 7},        {0x69, 7},        {0x6a, 7},
    {0x6b, 7},        {0x6c, 7},        {0x6d, 7},        {0x6e, 7},        {0x6f, 7},
    {0x70, 7},        {0x71, 7},        {0x72, 7},        {0xfc, 8},        {0x73, 7},
    {0xfd, 8},        {0x1ffb, 13},     {0x7fff0, 19},    {0x1ffc, 13},     {0x3ffc, 14},
    {0x22, 6},        {0x7ffd, 15},     {0x3, 5},         {0x23, 6},        {0x4, 5},
    {0x24, 6},        {0x5, 5},         {0x25, 6},        {0x26, 6},        {0x27, 6},
    {0x6, 5},         {0x74, 7},        {0x75, 7},        {0x28, 6},        {0x29, 6},
    {0x2a, 6},        {0x7, 5},         {0x2b, 6},        {0x76, 7},        {0x2c, 6},
    {0x8, 5},         {0x9, 5},         {0x2d, 6},        {0x77, 7},        {0x78, 7},
    {0x79, 7},        {0x7a, 7},        {0x7b, 7},        {0x7ffe, 15},     {0x7fc, 11},
    {0x3ffd, 14},     {0x1ffd, 13},     {0xffffffc, 28},  {0xfffe6, 20},    {0x3fffd2, 22},
    {0xfffe7, 20},    {0xfffe8, 20},    {0x3fffd3, 22},   {0x3fffd4, 22},   {0x3fffd5, 22},
    {0x7fffd9, 23},   {0x3fffd6, 22},   {0x7fffda, 23},   {0x7fffdb, 23},   {0x7fffdc, 23},
    {0x7fffdd, 23},   {0x7fffde, 23},   {0xffffeb, 24},   {0x7fffdf, 23},   {0xffffec, 24},
    {0xffffed, 24},   {0x3fffd7, 22},   {0x7fffe0, 23},   {0xffffee, 24},   {0x7fffe1, 23},
    {0x7fffe2, 23},   {0x7fffe3, 23},   {0x7fffe4, 23},   {0x1fffdc, 21},   {0x3fffd8, 22},
    {0x7fffe5, 23},   {0x3fffd9, 22},   {0x7fffe6, 23},   {0x7fffe7, 23},   {0xffffef, 24},
    {0x3fffda, 22},   {0x1fffdd, 21},   {0xfffe9, 20},    {0x3fffdb, 22},   {0x3fffdc, 22},
    {0x7fffe8, 23},   {0x7fffe9, 23},   {0x1fffde, 21},   {0x7fffea, 23},   {0x3fffdd, 22},
    {0x3fffde, 22},   {0xfffff0, 24},   {0x1fffdf, 21},   {0x3fffdf, 22},   {0x7fffeb, 23},
    {0x7fffec, 23},   {0x1fffe0, 21},   {0x1fffe1, 21},   {0x3fffe0, 22},   {0x1fffe2, 21},
    {0x7fffed, 23},   {0x3fffe1, 22},   {0x7fffee, 23},   {0x7fffef, 23},   {0xfffea, 20},
    {0x3fffe2, 22},   {0x3fffe3, 22},   {0x3fffe4, 22},   {0x7ffff0, 23},   {0x3fffe5, 22},
    {0x3fffe6, 22},   {0x7ffff1, 23},   {0x3ffffe0, 26},  {0x3ffffe1, 26},  {0xfffeb, 20},
    {0x7fff1, 19},    {0x3fffe7, 22},   {0x7ffff2, 23},   {0x3fffe8, 22},   {0x1ffffec, 25},
    {0x3ffffe2, 26},  {0x3ffffe3, 26},  {0x3ffffe4, 26},  {0x7ffffde, 27},  {0x7ffffdf, 27},
    {0x3ffffe5, 26},  {0xfffff1, 24},   {0x1ffffed, 25},  {0x7fff2, 19},    {0x1fffe3, 21},
    {0x3ffffe6, 26},  {0x7ffffe0, 27},  {0x7ffffe1, 27},  {0x3ffffe7, 26},  {0x7ffffe2, 27},
    {0xfffff2, 24},   {0x1fffe4, 21},   {0x1fffe5, 21},   {0x3ffffe8, 26},  {0x3ffffe9, 26},
    {0xffffffd, 28},  {0x7ffffe3, 27},  {0x7ffffe4, 27},  {0x7ffffe5, 27},  {0xfffec, 20},
    {0xfffff3, 24},   {0xfffed, 20},    {0x1fffe6, 21},   {0x3fffe9, 22},   {0x1fffe7, 21},
    {0x1fffe8, 21},   {0x7ffff3, 23},   {0x3fffea, 22},   {0x3fffeb, 22},   {0x1ffffee, 25},
    {0x1ffffef, 25},  {0xfffff4, 24},   {0xfffff5, 24},   {0x3ffffea, 26},  {0x7ffff4, 23},
    {0x3ffffeb, 26},  {0x7ffffe6, 27},  {0x3ffffec, 26},  {0x3ffffed, 26},  {0x7ffffe7, 27},
    {0x7ffffe8, 27},  {0x7ffffe9, 27},  {0x7ffffea, 27},  {0x7ffffeb, 27},  {0xffffffe, 28},
    {0x7ffffec, 27},  {0x7ffffed, 27},  {0x7ffffee, 27},  {0x7ffffef, 27},  {0x7fffff0, 27},
    {0x3ffffee, 26},  {0x3fffffff, 30},
};
constexpr int kEos = 256;

// The decoding tree, built once per process: node 0 is the root; a child value below 0 is a
// leaf holding symbol -(child + 1).
struct HuffmanTree {
  int16_t child[512][2];
  int count;
};

const HuffmanTree& Tree() {
  static HuffmanTree tree;
  static std::once_flag once;
  std::call_once(once, [] {
    std::memset(&tree, 0, sizeof(tree));
    tree.count = 1;
    for (int sym = 0; sym <= kEos; ++sym) {
      int node = 0;
      for (int b = kHuffman[sym].bits - 1; b >= 0; --b) {
        const int bit = (kHuffman[sym].code >> b) & 1;
        if (b == 0) {
          tree.child[node][bit] = static_cast<int16_t>(-(sym + 1));
        } else {
          if (tree.child[node][bit] == 0) tree.child[node][bit] = static_cast<int16_t>(tree.count++);
          node = tree.child[node][bit];
        }
      }
    }
  });
  return tree;
}

bool NameListed(const char* list, const ByteString& name) {
  if (list == nullptr) return false;
  const char* p = list;
  while (*p != '\0') {
    const char* end = p;
    while (*end != '\0' && *end != ',') ++end;
    const char* a = p;
    const char* b = end;
    while (a < b && (*a == ' ' || *a == '\t')) ++a;
    while (b > a && (b[-1] == ' ' || b[-1] == '\t')) --b;
    if (b - a == name.length() && strncasecmp(a, name.c_str(), static_cast<size_t>(b - a)) == 0)
      return true;
    p = *end == ',' ? end + 1 : end;
  }
  return false;
}

int AppendLiteral(const ByteString& s, bool huffman, ByteString& out) {
  if (!huffman) {
    if (HpackEncodeInt(static_cast<uint32_t>(s.length()), 7, out) != kOk) return kErrNoMemory;
    return out.Append(s.data(), s.length()) == kOk ? kOk : kErrNoMemory;
  }
  ByteString coded;
  if (HuffmanEncode(s.data(), s.length(), coded) != kOk) return kErrNoMemory;
  const int at = out.length();
  if (HpackEncodeInt(static_cast<uint32_t>(coded.length()), 7, out) != kOk) return kErrNoMemory;
  out.bytes()[at] |= 0x80;
  return out.Append(coded.data(), coded.length()) == kOk ? kOk : kErrNoMemory;
}

}  // namespace

// ---- Table ----

void HpackTable::Refill() {
  dynamic_.clear();
  size_ = 0;
  capacity_ = kHpackDefaultTableSize;
  update_pending_ = false;
  smallest_update_ = kHpackDefaultTableSize;
}

int HpackTable::Insert(const ByteString& name, const ByteString& value) {
  ByteStringPair pair;
  if (pair.first.Assign(name) != kOk || pair.second.Assign(value) != kOk) return kErrNoMemory;
  dynamic_.push_front(std::move(pair));
  size_ += name.length() + value.length() + kEntryOverhead;
  return kOk;
}

void HpackTable::Evict(int limit) {
  while (size_ > limit && !dynamic_.empty()) {
    const ByteStringPair& old = dynamic_.back();
    size_ -= old.first.length() + old.second.length() + kEntryOverhead;
    dynamic_.pop_back();
  }
}

int HpackTable::FindPair(const ByteString& name, const ByteString& value) const {
  for (int i = 0; i < kHpackStaticCount; ++i) {
    if (name.EqualsBytes(kStaticTable[i].name, -1) && value.EqualsBytes(kStaticTable[i].value, -1))
      return i + 1;
  }
  for (size_t i = 0; i < dynamic_.size(); ++i) {
    if (dynamic_[i].first.Equals(name) && dynamic_[i].second.Equals(value))
      return kHpackStaticCount + 1 + static_cast<int>(i);
  }
  return -1;
}

int HpackTable::FindName(const ByteString& name) const {
  for (int i = 0; i < kHpackStaticCount; ++i)
    if (name.EqualsBytes(kStaticTable[i].name, -1)) return i + 1;
  for (size_t i = 0; i < dynamic_.size(); ++i)
    if (dynamic_[i].first.Equals(name)) return kHpackStaticCount + 1 + static_cast<int>(i);
  return -1;
}

bool HpackTable::Get(int index, const char** name, int* name_n, const char** value,
                     int* value_n) const {
  if (index < 1 || index >= Count()) return false;
  if (index <= kHpackStaticCount) {
    *name = kStaticTable[index - 1].name;
    *value = kStaticTable[index - 1].value;
    *name_n = static_cast<int>(std::strlen(*name));
    *value_n = static_cast<int>(std::strlen(*value));
    return true;
  }
  const ByteStringPair& p = dynamic_[static_cast<size_t>(index - kHpackStaticCount - 1)];
  *name = p.first.data();
  *name_n = p.first.length();
  *value = p.second.data();
  *value_n = p.second.length();
  return true;
}

void HpackTable::SetEncoderLimit(int peer_size) {
  if (peer_size < 0) peer_size = 0;
  const int limit = peer_size < kHpackDefaultTableSize ? peer_size : kHpackDefaultTableSize;
  if (limit == capacity_) return;
  capacity_ = limit;
  Evict(limit);
  if (!update_pending_ || limit < smallest_update_) smallest_update_ = limit;
  update_pending_ = true;
}

int HpackTable::TakePendingUpdate(int* smallest, int* last) {
  if (!update_pending_) return 0;
  *smallest = smallest_update_;
  *last = capacity_;
  update_pending_ = false;
  return 1;
}

// ---- Integers and strings ----

int HpackEncodeInt(uint32_t value, int prefix_bits, ByteString& out) {
  const uint32_t max = (1u << prefix_bits) - 1;
  if (value < max) return out.AppendByte(static_cast<uint8_t>(value)) == kOk ? kOk : kErrNoMemory;
  if (out.AppendByte(static_cast<uint8_t>(max)) != kOk) return kErrNoMemory;
  value -= max;
  while (value >= 0x80) {
    if (out.AppendByte(static_cast<uint8_t>((value & 0x7F) | 0x80)) != kOk) return kErrNoMemory;
    value >>= 7;
  }
  return out.AppendByte(static_cast<uint8_t>(value)) == kOk ? kOk : kErrNoMemory;
}

int HpackDecodeInt(ByteReader& r, int prefix_bits, uint32_t* out) {
  const uint32_t max = (1u << prefix_bits) - 1;
  const int64_t first = r.NextU8();
  if (first < 0) return kErrHpackCompression;
  uint64_t value = static_cast<uint64_t>(first) & max;
  if (value < max) {
    *out = static_cast<uint32_t>(value);
    return kOk;
  }
  // Five continuation bytes carry 35 bits, more than any field this side accepts.
  for (int shift = 0; shift <= 28; shift += 7) {
    const int64_t b = r.NextU8();
    if (b < 0) return kErrHpackCompression;
    value += static_cast<uint64_t>(b & 0x7F) << shift;
    if (value > 0x7FFFFFFF) return kErrHpackCompression;
    if ((b & 0x80) == 0) {
      *out = static_cast<uint32_t>(value);
      return kOk;
    }
  }
  return kErrHpackCompression;
}

int HpackDecodeString(ByteReader& r, ByteString& out) {
  const int64_t first = r.PeekU8At(r.position());
  if (first < 0) return kErrHpackCompression;
  uint32_t n = 0;
  if (HpackDecodeInt(r, 7, &n) != kOk) return kErrHpackCompression;
  if (r.CheckRemaining(static_cast<int>(n)) != kOk) return kErrHpackCompression;
  const uint8_t* p = r.Data() + r.position();
  r.Skip(static_cast<int>(n));
  if ((first & 0x80) != 0) {
    out.Reset();
    return HuffmanDecode(p, static_cast<int>(n), out);
  }
  return out.Set(p, static_cast<int>(n)) == kOk ? kOk : kErrNoMemory;
}

int HuffmanEncode(const void* bytes, int n, ByteString& out) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint64_t acc = 0;
  int held = 0;
  for (int i = 0; i < n; ++i) {
    const HuffmanCode& c = kHuffman[p[i]];
    acc = (acc << c.bits) | c.code;
    held += c.bits;
    while (held >= 8) {
      held -= 8;
      if (out.AppendByte(static_cast<uint8_t>(acc >> held)) != kOk) return kErrNoMemory;
    }
  }
  if (held > 0) {
    // The final byte is padded with the leading 1 bits of EOS.
    const uint8_t last = static_cast<uint8_t>((acc << (8 - held)) | (0xFFu >> held));
    if (out.AppendByte(last) != kOk) return kErrNoMemory;
  }
  return kOk;
}

int HuffmanDecode(const void* bytes, int n, ByteString& out) {
  const HuffmanTree& tree = Tree();
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  int node = 0;
  int depth = 0;
  bool all_ones = true;
  for (int i = 0; i < n; ++i) {
    for (int b = 7; b >= 0; --b) {
      const int bit = (p[i] >> b) & 1;
      const int next = tree.child[node][bit];
      if (next < 0) {
        const int sym = -(next + 1);
        if (sym == kEos) return kErrHpackCompression;
        if (out.AppendByte(static_cast<uint8_t>(sym)) != kOk) return kErrNoMemory;
        node = 0;
        depth = 0;
        all_ones = true;
      } else {
        node = next;
        ++depth;
        all_ones = all_ones && bit == 1;
      }
    }
  }
  // What is left must be a prefix of EOS shorter than a byte.
  if (depth > 7 || !all_ones) return kErrHpackCompression;
  return kOk;
}

bool IsConnectionSpecific(const char* name, const char* value) {
  static constexpr const char* kNames[] = {"connection", "keep-alive", "proxy-connection",
                                           "transfer-encoding", "upgrade"};
  for (const char* n : kNames)
    if (strcasecmp(name, n) == 0) return true;
  return strcasecmp(name, "te") == 0 && strcasecmp(value != nullptr ? value : "", "trailers") != 0;
}

// ---- Blocks ----

int HpackDecodeBlock(const uint8_t* bytes, int n, HpackTable& table, int table_limit,
                     StringList& out, int* size_update, const char** why,
                     const std::function<void(int)>& on_size_update) {
  ByteReader r(bytes, 0, n);
  ByteString name;
  ByteString value;
  int64_t list_bytes = 0;
  bool field_seen = false;
  *size_update = -1;
  *why = "";
  while (r.Remaining() > 0) {
    const uint8_t b = static_cast<uint8_t>(r.PeekU8At(r.position()));
    uint32_t index = 0;
    bool indexing = false;
    if ((b & 0x80) != 0) {
      if (HpackDecodeInt(r, 7, &index) != kOk) return *why = "bad index", kErrHpackCompression;
      const char* np;
      const char* vp;
      int nn;
      int vn;
      if (!table.Get(static_cast<int>(index), &np, &nn, &vp, &vn)) {
        *why = "index 0 or past the table";
        return kErrHpackCompression;
      }
      if (name.Set(np, nn) != kOk || value.Set(vp, vn) != kOk) return kErrNoMemory;
    } else if ((b & 0xE0) == 0x20) {
      uint32_t size = 0;
      if (HpackDecodeInt(r, 5, &size) != kOk) return *why = "bad size update", kErrHpackCompression;
      // Only before the first field, and never above what this side announced.
      if (field_seen || static_cast<int64_t>(size) > table_limit) {
        *why = field_seen ? "size update after a field" : "size update above the announced limit";
        return kErrHpackCompression;
      }
      table.set_capacity(static_cast<int>(size));
      table.Evict(static_cast<int>(size));
      *size_update = static_cast<int>(size);
      if (on_size_update) on_size_update(*size_update);
      continue;
    } else {
      indexing = (b & 0x40) != 0;
      const int prefix = indexing ? 6 : 4;
      if (HpackDecodeInt(r, prefix, &index) != kOk) return *why = "bad index", kErrHpackCompression;
      if (index == 0) {
        if (HpackDecodeString(r, name) != kOk) return *why = "bad name", kErrHpackCompression;
      } else {
        const char* np;
        const char* vp;
        int nn;
        int vn;
        if (!table.Get(static_cast<int>(index), &np, &nn, &vp, &vn)) {
          *why = "index past the table";
          return kErrHpackCompression;
        }
        if (name.Set(np, nn) != kOk) return kErrNoMemory;
      }
      if (HpackDecodeString(r, value) != kOk) return *why = "bad value", kErrHpackCompression;
    }
    field_seen = true;
    list_bytes += name.length() + value.length() + kEntryOverhead;
    if (list_bytes > kHpackMaxHeaderList) {
      *why = "header list too large";
      return kErrHpackCompression;
    }
    if (indexing) {
      if (table.Insert(name, value) != kOk) return kErrNoMemory;
      table.Evict(table.capacity());
    }
    if (out.Add(name.data(), name.length()) != kOk || out.Add(value.data(), value.length()) != kOk)
      return kErrNoMemory;
  }
  return kOk;
}

int HpackEncodeBlock(const ByteStringPairArray& pairs, bool huffman, const char* without_indexing,
                     HpackTable& table, ByteString& out) {
  int smallest = 0;
  int last = 0;
  if (table.TakePendingUpdate(&smallest, &last)) {
    // A limit lowered and raised again is signalled at its lowest first.
    const int at = out.length();
    if (HpackEncodeInt(static_cast<uint32_t>(smallest), 5, out) != kOk) return kErrNoMemory;
    out.bytes()[at] |= 0x20;
    if (last != smallest) {
      const int at2 = out.length();
      if (HpackEncodeInt(static_cast<uint32_t>(last), 5, out) != kOk) return kErrNoMemory;
      out.bytes()[at2] |= 0x20;
    }
  }
  for (int i = 0; i < pairs.Count(); ++i) {
    const ByteStringPair* p = pairs.PairAt(i);
    const bool plain = NameListed(without_indexing, p->first);
    int rc = kOk;
    const int pair_index = plain ? -1 : table.FindPair(p->first, p->second);
    if (pair_index > 0) {
      const int at = out.length();
      if (HpackEncodeInt(static_cast<uint32_t>(pair_index), 7, out) != kOk) return kErrNoMemory;
      out.bytes()[at] |= 0x80;
      continue;
    }
    const int name_index = table.FindName(p->first);
    if (name_index > 0) {
      const int at = out.length();
      if (HpackEncodeInt(static_cast<uint32_t>(name_index), plain ? 4 : 6, out) != kOk)
        return kErrNoMemory;
      if (!plain) out.bytes()[at] |= 0x40;
    } else {
      if (out.AppendByte(plain ? 0x00 : 0x40) != kOk) return kErrNoMemory;
      rc = AppendLiteral(p->first, huffman, out);
      if (rc != kOk) return rc;
    }
    rc = AppendLiteral(p->second, huffman, out);
    if (rc != kOk) return rc;
    if (!plain) {
      if (table.Insert(p->first, p->second) != kOk) return kErrNoMemory;
      table.Evict(table.capacity());
    }
  }
  return kOk;
}

}  // namespace tw
