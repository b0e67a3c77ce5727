#include "foundation/idn.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTMin = 1;
constexpr uint32_t kTMax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 128;
constexpr char kDelimiter = '-';
constexpr uint32_t kMaxInt = UINT32_MAX;
constexpr char kAcePrefix[] = "xn--";

uint32_t Adapt(uint32_t delta, uint32_t numpoints, bool first) {
  delta = first ? delta / kDamp : delta / 2;
  delta += delta / numpoints;
  uint32_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

char EncodeDigit(uint32_t d) { return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26)); }

int DecodeDigit(int c) {
  if (c >= 'a' && c <= 'z') return c - 'a';
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= '0' && c <= '9') return c - '0' + 26;
  return -1;
}

bool IsLabelDot(uint32_t c) { return c == '.' || c == 0x3002 || c == 0xFF0E || c == 0xFF61; }

// UTF-16 units to code points; a surrogate pair is one character.
std::vector<uint32_t> CodePoints(const char16_t* in, int n) {
  std::vector<uint32_t> cps;
  cps.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
      ++i;
    }
    cps.push_back(c);
  }
  return cps;
}

}  // namespace

int PunycodeEncode(const char16_t* input, int n, char* out, int* out_len) {
  if (!out_len || *out_len < 0 || n < 0 || (n > 0 && !input)) return kPunycodeBadInput;
  std::vector<uint32_t> cps = CodePoints(input, n);
  size_t max_out = static_cast<size_t>(*out_len);
  size_t pos = 0;
  for (uint32_t c : cps) {
    if (c < 0x80) {
      if (pos >= max_out) return kPunycodeBigOutput;
      out[pos++] = static_cast<char>(c);
    }
  }
  size_t basic = pos;
  size_t handled = basic;
  if (basic > 0) {
    if (pos >= max_out) return kPunycodeBigOutput;
    out[pos++] = kDelimiter;
  }
  uint32_t code = kInitialN;
  uint32_t delta = 0;
  uint32_t bias = kInitialBias;
  while (handled < cps.size()) {
    uint32_t m = kMaxInt;
    for (uint32_t c : cps) {
      if (c >= code && c < m) m = c;
    }
    if (m - code > (kMaxInt - delta) / (handled + 1)) return kPunycodeBadInput;
    delta += (m - code) * static_cast<uint32_t>(handled + 1);
    code = m;
    for (uint32_t c : cps) {
      if (c < code && ++delta == 0) return kPunycodeBadInput;
      if (c == code) {
        uint32_t q = delta;
        for (uint32_t k = kBase;; k += kBase) {
          uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
          if (q < t) break;
          if (pos >= max_out) return kPunycodeBigOutput;
          out[pos++] = EncodeDigit(t + (q - t) % (kBase - t));
          q = (q - t) / (kBase - t);
        }
        if (pos >= max_out) return kPunycodeBigOutput;
        out[pos++] = EncodeDigit(q);
        bias = Adapt(delta, static_cast<uint32_t>(handled + 1), handled == basic);
        delta = 0;
        ++handled;
      }
    }
    ++delta;
    ++code;
  }
  *out_len = static_cast<int>(pos);
  return 0;
}

int PunycodeDecode(const char* input, int n, char16_t* out, int* out_len) {
  if (!out_len || *out_len < 0 || n < 0 || (n > 0 && !input)) return kPunycodeBadInput;
  size_t max_out = static_cast<size_t>(*out_len);
  int b = 0;
  for (int j = 0; j < n; ++j) {
    if (input[j] == kDelimiter) b = j;
  }
  std::vector<uint32_t> cps;
  for (int j = 0; j < b; ++j) {
    auto c = static_cast<unsigned char>(input[j]);
    if (c >= 0x80) return kPunycodeBadInput;
    cps.push_back(c);
  }
  uint32_t code = kInitialN;
  uint32_t i = 0;
  uint32_t bias = kInitialBias;
  for (int in = b > 0 ? b + 1 : 0; in < n;) {
    uint32_t oldi = i;
    uint32_t w = 1;
    for (uint32_t k = kBase;; k += kBase) {
      if (in >= n) return kPunycodeBadInput;
      int digit = DecodeDigit(static_cast<unsigned char>(input[in++]));
      if (digit < 0) return kPunycodeBadInput;
      auto d = static_cast<uint32_t>(digit);
      if (d > (kMaxInt - i) / w) return kPunycodeBadInput;
      i += d * w;
      uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
      if (d < t) break;
      if (w > kMaxInt / (kBase - t)) return kPunycodeBadInput;
      w *= kBase - t;
    }
    auto count = static_cast<uint32_t>(cps.size() + 1);
    bias = Adapt(i - oldi, count, oldi == 0);
    if (i / count > kMaxInt - code) return kPunycodeBadInput;
    code += i / count;
    i %= count;
    // Only Unicode scalar values can come out.
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return kPunycodeBadInput;
    cps.insert(cps.begin() + i, code);
    ++i;
  }
  size_t pos = 0;
  for (uint32_t c : cps) {
    size_t units = c >= 0x10000 ? 2 : 1;
    if (pos + units > max_out) return kPunycodeBigOutput;
    if (units == 2) {
      out[pos++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out[pos++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out[pos++] = static_cast<char16_t>(c);
    }
  }
  *out_len = static_cast<int>(pos);
  return 0;
}

int IdnToAscii(ByteString& s, const char* host) {
  ByteString wide;
  int rc = wide.SetText(host ? host : "");
  if (rc != kOk) return rc;
  // Host names must be whole UTF-8: no lenient replacement here.
  rc = Utf8ToUtf16Strict(wide);
  if (rc != kOk) return rc;
  int units = wide.length() / 2;
  std::vector<char16_t> w(static_cast<size_t>(units));
  if (units > 0) std::memcpy(w.data(), wide.data(), static_cast<size_t>(units) * 2);

  ByteString out;
  std::vector<char> ace;
  int start = 0;
  for (int i = 0; i <= units; ++i) {
    if (i < units && !IsLabelDot(w[i])) continue;
    bool ascii = true;
    for (int k = start; k < i; ++k) ascii = ascii && w[k] < 0x80;
    if (ascii) {
      for (int k = start; k < i && rc == kOk; ++k) rc = out.AppendByte(static_cast<uint8_t>(w[k]));
    } else {
      ace.resize(static_cast<size_t>(i - start) * 8 + 16);
      int len = static_cast<int>(ace.size());
      if (PunycodeEncode(w.data() + start, i - start, ace.data(), &len) != 0) {
        return kErrTextConversion;
      }
      rc = out.AppendText(kAcePrefix);
      if (rc == kOk) rc = out.Append(ace.data(), len);
    }
    if (rc == kOk && i < units) rc = out.AppendByte('.');
    if (rc != kOk) return rc;
    start = i + 1;
  }
  return s.Assign(out);
}

int HostToAscii(ByteString& s, const char* host, bool idn_enabled) {
  if (!host) host = "";
  if (idn_enabled && HasNonAscii(host)) return IdnToAscii(s, host);
  return s.SetText(host);
}

}  // namespace tw
