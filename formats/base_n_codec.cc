#include "formats/base_n_codec.h"
#include "foundation/text_conversion.h"

#include <array>
#include <cstdint>

namespace tw {
namespace {

constexpr char kBase64Standard[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kBase32Standard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr char kBase32ExtendedHex[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
constexpr char kHexLower[] = "0123456789abcdef";

constexpr int kBase64LineBytes = 54;  // 72 characters
constexpr int kBase64PartMargin = 76;
constexpr int kBase32ReadBytes = 60;
constexpr int kHexReadBytes = 1022;
constexpr int kDecodeLineMax = 4096;

using DecodeTable = std::array<int8_t, 256>;

// value of each byte in the alphabet, -1 outside it; fold_case also takes lower-case letters.
constexpr DecodeTable MakeTable(const char* alphabet, int size, bool fold_case) {
  DecodeTable t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < size; ++i) {
    auto c = static_cast<uint8_t>(alphabet[i]);
    t[c] = static_cast<int8_t>(i);
    if (fold_case && c >= 'A' && c <= 'Z') t[c + 32] = static_cast<int8_t>(i);
  }
  return t;
}

constexpr DecodeTable kBase64StandardTable = MakeTable(kBase64Standard, 64, false);
constexpr DecodeTable kBase64UrlTable = MakeTable(kBase64Url, 64, false);
constexpr DecodeTable kBase32StandardTable = MakeTable(kBase32Standard, 32, true);
constexpr DecodeTable kBase32ExtendedHexTable = MakeTable(kBase32ExtendedHex, 32, true);

bool IsWhite(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Collects 6-bit values and writes each full group of four as three bytes.
class Base64Groups {
 public:
  explicit Base64Groups(CoderOutput& out) : out_(out) {}
  int Add(int v) {
    quad_[count_++] = v;
    if (count_ < 4) return kOk;
    count_ = 0;
    uint8_t b[3] = {static_cast<uint8_t>(quad_[0] << 2 | quad_[1] >> 4),
                    static_cast<uint8_t>((quad_[1] & 15) << 4 | quad_[2] >> 2),
                    static_cast<uint8_t>((quad_[2] & 3) << 6 | quad_[3])};
    return out_.Write(b, 3);
  }
  // A short last group: three characters give two bytes, two give one, one gives nothing.
  int Flush() {
    int n = count_;
    count_ = 0;
    if (n < 2) return kOk;
    uint8_t b[2] = {static_cast<uint8_t>(quad_[0] << 2 | quad_[1] >> 4),
                    static_cast<uint8_t>((quad_[1] & 15) << 4 | (n == 3 ? quad_[2] >> 2 : 0))};
    return out_.Write(b, n - 1);
  }

 private:
  CoderOutput& out_;
  int quad_[4] = {0, 0, 0, 0};
  int count_ = 0;
};

// Collects 5-bit values and writes each group of eight as five bytes.
class Base32Groups {
 public:
  explicit Base32Groups(CoderOutput& out) : out_(out) {}
  int Add(int v) {
    bits_ = bits_ << 5 | static_cast<uint64_t>(v);
    if (++count_ < 8) return kOk;
    return Emit();
  }
  // A short last group gives the whole bytes its characters carry.
  int Flush() {
    if (count_ == 0) return kOk;
    return Emit();
  }

 private:
  int Emit() {
    int n = count_ * 5 / 8;
    uint64_t value = bits_ << (5 * (8 - count_));
    bits_ = 0;
    count_ = 0;
    uint8_t b[5];
    for (int i = 0; i < 5; ++i) b[i] = static_cast<uint8_t>(value >> (32 - 8 * i));
    return out_.Write(b, n);
  }

  CoderOutput& out_;
  uint64_t bits_ = 0;
  int count_ = 0;
};

}  // namespace

int Base64EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  const bool url = settings.url_safe_base64;
  const char* alphabet = url ? kBase64Url : kBase64Standard;
  const bool breaks = !url && settings.base64_line_break;
  uint8_t block[kBase64LineBytes];
  char line[kBase64LineBytes / 3 * 4];
  bool first = true;
  int n;
  while ((n = in.Read(block, kBase64LineBytes)) > 0) {
    if (!first) {
      if (breaks) {
        if (int rc = out.WriteCrLf(); rc != kOk) return rc;
      }
      if (out.has_parts() && out.part_position() > out.part_size() - kBase64PartMargin) {
        if (int rc = out.NextPart(); rc != kOk) return rc;
      }
    }
    first = false;
    int len = 0;
    for (int i = 0; i < n; i += 3) {
      int left = n - i;
      uint32_t v = static_cast<uint32_t>(block[i]) << 16;
      if (left > 1) v |= static_cast<uint32_t>(block[i + 1]) << 8;
      if (left > 2) v |= block[i + 2];
      line[len++] = alphabet[v >> 18 & 63];
      line[len++] = alphabet[v >> 12 & 63];
      if (left > 1) {
        line[len++] = alphabet[v >> 6 & 63];
      } else if (!url) {
        line[len++] = '=';
      }
      if (left > 2) {
        line[len++] = alphabet[v & 63];
      } else if (!url) {
        line[len++] = '=';
      }
    }
    if (int rc = out.Write(line, len); rc != kOk) return rc;
  }
  return in.error();
}

int Base64DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  const DecodeTable& table = settings.url_safe_base64 ? kBase64UrlTable : kBase64StandardTable;
  Base64Groups groups(out);
  ByteString line;
  while (in.ReadLine(line, kDecodeLineMax)) {
    const uint8_t* p = line.bytes();
    int begin = 0;
    int end = line.length();
    while (begin < end && IsBlank(p[begin])) ++begin;
    bool padded = false;
    while (end > begin && table[p[end - 1]] < 0) {
      if (p[end - 1] == '=') padded = true;
      --end;
    }
    for (int i = begin; i < end; ++i) {
      int v = table[p[i]];
      if (v >= 0) {
        if (int rc = groups.Add(v); rc != kOk) return rc;
      } else if (!IsBlank(p[i]) && settings.require_base64_chars) {
        return kCoderBadBase64;
      }
    }
    // Padding closes the group, so data padded piece by piece decodes piece by piece.
    if (padded) {
      if (int rc = groups.Flush(); rc != kOk) return rc;
    }
  }
  if (int rc = in.error(); rc != kOk) return rc;
  return groups.Flush();
}

int Base32EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  const char* alphabet = settings.extended_hex_base32 ? kBase32ExtendedHex : kBase32Standard;
  uint8_t block[kBase32ReadBytes];
  char text[kBase32ReadBytes / 5 * 8];
  int n;
  while ((n = in.Read(block, kBase32ReadBytes)) > 0) {
    int len = 0;
    for (int i = 0; i < n; i += 5) {
      int take = n - i < 5 ? n - i : 5;
      uint64_t v = 0;
      for (int k = 0; k < 5; ++k) v = v << 8 | (k < take ? block[i + k] : 0);
      int chars = (take * 8 + 4) / 5;
      for (int k = 0; k < 8; ++k) {
        text[len++] = k < chars ? alphabet[v >> (35 - 5 * k) & 31] : '=';
      }
    }
    if (int rc = out.Write(text, len); rc != kOk) return rc;
  }
  return in.error();
}

int Base32DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  const DecodeTable& table =
      settings.extended_hex_base32 ? kBase32ExtendedHexTable : kBase32StandardTable;
  Base32Groups groups(out);
  ByteString line;
  while (in.ReadLine(line, kDecodeLineMax)) {
    const uint8_t* p = line.bytes();
    for (int i = 0; i < line.length(); ++i) {
      int v = table[p[i]];
      if (v >= 0) {
        if (int rc = groups.Add(v); rc != kOk) return rc;
      } else if (p[i] == '=') {
        if (int rc = groups.Flush(); rc != kOk) return rc;
      } else if (!IsWhite(p[i]) && settings.require_base64_chars) {
        return kCoderBadBase64;
      }
    }
  }
  if (int rc = in.error(); rc != kOk) return rc;
  return groups.Flush();
}

int HexEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  uint8_t block[kHexReadBytes];
  char text[kHexReadBytes * 2];
  int n;
  while ((n = in.Read(block, kHexReadBytes)) > 0) {
    for (int i = 0; i < n; ++i) {
      text[2 * i] = kHexLower[block[i] >> 4];
      text[2 * i + 1] = kHexLower[block[i] & 15];
    }
    if (int rc = out.Write(text, 2 * n); rc != kOk) return rc;
  }
  return in.error();
}

int HexDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  uint8_t block[kHexReadBytes];
  uint8_t bytes[kHexReadBytes / 2 + 1];
  int high = -1;  // a digit waiting for its partner, also across blocks
  int n;
  while ((n = in.Read(block, kHexReadBytes)) > 0) {
    int count = 0;
    for (int i = 0; i < n; ++i) {
      int c = block[i];
      int v = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (v < 0) continue;
      if (high < 0) {
        high = v;
      } else {
        bytes[count++] = static_cast<uint8_t>(high << 4 | v);
        high = -1;
      }
    }
    if (int rc = out.Write(bytes, count); rc != kOk) return rc;
  }
  return in.error();
}

}  // namespace tw
