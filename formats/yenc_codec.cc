#include "formats/yenc_codec.h"

#include <cstring>

#include "formats/crc32.h"

namespace tw {
namespace {

constexpr int kLineLength = 128;
constexpr int kDecodeLineMax = 65536;

bool IsCritical(uint8_t c) { return c == 0 || c == '\n' || c == '\r' || c == '=' || c == '.'; }

// The value text of " key=" in line: up to the next space or tab, or, for the name, to the end.
// Null when absent.
const char* FindField(const ByteString& line, const char* key) {
  int at = line.Find(key, 0);
  return at < 0 ? nullptr : line.c_str() + at + std::strlen(key);
}

int FieldLength(const char* value) {
  int n = 0;
  while (value[n] != 0 && value[n] != ' ' && value[n] != '\t' && value[n] != '\r' &&
         value[n] != '\n') {
    ++n;
  }
  return n;
}

// A CRC field as a number: 1 to 8 hex digits (leading zeros allowed, either case).
bool ParseCrc(const char* value, uint32_t* crc) {
  int n = FieldLength(value);
  if (n == 0 || n > 8) return false;
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) {
    int c = static_cast<uint8_t>(value[i]);
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *crc = v;
  return true;
}

int TakeName(const ByteString& line, const CoderSettings& settings, CoderOutput& out) {
  const char* value = FindField(line, " name=");
  if (value == nullptr) return kCoderYencFormat;
  // Trimmed of blanks and line ends; a path in the name is reduced (or refused) below.
  const char* end = line.c_str() + line.length();
  while (*value == ' ' || *value == '\t') ++value;
  while (end > value && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) {
    --end;
  }
  ByteString safe;
  if (int rc = SafeBaseName(value, static_cast<int>(end - value), safe); rc != kOk) return rc;
  if (settings.found_name != nullptr) settings.found_name->Assign(safe);
  return out.OpenNamed(safe.c_str());
}

}  // namespace

int YEncEncode(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  if (settings.file_name == nullptr || settings.file_name[0] == 0) return kCoderNoName;
  ByteString data;
  if (int rc = in.ReadAll(data); rc != kOk) return rc;
  ByteString text;
  int rc = text.Format("=ybegin line=%d size=%d name=", kLineLength, data.length());
  if (rc == kOk) rc = text.AppendText(settings.file_name);
  if (rc == kOk) rc = text.Append("\r\n", 2);
  if (rc == kOk) rc = out.Write(text.data(), text.length());
  if (rc != kOk) return rc;

  Crc32 crc;
  crc.Update(data.data(), static_cast<size_t>(data.length()));
  char line[kLineLength + 4];
  int len = 0;
  for (int i = 0; i < data.length(); ++i) {
    auto c = static_cast<uint8_t>(data.ByteAt(i) + 42);
    if (IsCritical(c)) {
      line[len++] = '=';
      c = static_cast<uint8_t>(c + 64);
    }
    line[len++] = static_cast<char>(c);
    if (len >= kLineLength) {
      line[len++] = '\r';
      line[len++] = '\n';
      if ((rc = out.Write(line, len)) != kOk) return rc;
      len = 0;
    }
  }
  if (len > 0) {
    line[len++] = '\r';
    line[len++] = '\n';
    if ((rc = out.Write(line, len)) != kOk) return rc;
  }
  rc = text.Format("=yend size=%d crc32=%x\r\n", data.length(), crc.value());
  if (rc == kOk) rc = out.Write(text.data(), text.length());
  return rc;
}

int YEncDecode(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  ByteString line;
  ByteString decoded;
  Crc32 part_crc;
  Crc32 whole_crc;
  for (;;) {
    bool found = false;
    while (in.ReadLine(line, kDecodeLineMax)) {
      if (line.StartsWith("=ybegin ")) {
        found = true;
        break;
      }
    }
    if (!found) return in.error();

    const bool multipart = FindField(line, " part=") != nullptr;
    if (int rc = TakeName(line, settings, out); rc != kOk) return rc;
    part_crc.Reset();
    // A new file starts its whole-file CRC; the further parts of one continue it.
    const char* part_value = FindField(line, " part=");
    if (!multipart || (FieldLength(part_value) == 1 && part_value[0] == '1')) whole_crc.Reset();
    if (multipart) {
      if (!in.ReadLine(line, kDecodeLineMax)) {
        return in.error() != kOk ? in.error() : kCoderYencNoEnd;
      }
      if (!line.StartsWith("=ypart ")) return kCoderYencFormat;
    }

    bool ended = false;
    while (in.ReadLine(line, kDecodeLineMax)) {
      if (line.StartsWith("=yend")) {
        ended = true;
        break;
      }
      if (line.StartsWith("=ybegin") || line.StartsWith("=ypart")) return kCoderYencFormat;
      decoded.Resize(0);
      const uint8_t* p = line.bytes();
      const int len = line.length();
      for (int i = 0; i < len; ++i) {
        uint8_t c = p[i];
        if (c == '\r' || c == '\n') continue;
        if (c == '=') {
          if (i + 1 >= len || p[i + 1] == '\r' || p[i + 1] == '\n') return kCoderYencEscapeAtEnd;
          c = static_cast<uint8_t>(p[++i] - 64);
        }
        if (int rc = decoded.AppendByte(static_cast<uint8_t>(c - 42)); rc != kOk) return rc;
      }
      part_crc.Update(decoded.data(), static_cast<size_t>(decoded.length()));
      whole_crc.Update(decoded.data(), static_cast<size_t>(decoded.length()));
      if (int rc = out.Write(decoded.data(), decoded.length()); rc != kOk) return rc;
    }
    if (!ended) return in.error() != kOk ? in.error() : kCoderYencNoEnd;

    const bool part_end = FindField(line, " part=") != nullptr;
    const char* value = FindField(line, part_end ? " pcrc32=" : " crc32=");
    uint32_t expected = 0;
    if (value == nullptr || !ParseCrc(value, &expected)) return kCoderYencCrc;
    if (expected != (part_end ? part_crc : whole_crc).value()) return kCoderYencCrc;
  }
}

}  // namespace tw
