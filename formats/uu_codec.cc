#include "formats/uu_codec.h"

#include <cstdio>
#include <cstring>

namespace tw {
namespace {

constexpr int kLineBytes = 45;
constexpr int kPartEndMargin = 235;
constexpr int kDecodeLineMax = 4096;
constexpr char kPartLine[] = "------------ Part %u of %u ------------\r\n";
constexpr char kPartEndLine[] = "-------- End of part %u of %u --------\r\n";

char UuChar(int v) { return v == 0 ? '`' : static_cast<char>(v + 32); }
int UuValue(uint8_t c) { return (c - 32) & 63; }

int LineLength(const char* format, int part, int parts) {
  return std::snprintf(nullptr, 0, format, static_cast<unsigned>(part),
                       static_cast<unsigned>(parts));
}

int WritePartLine(CoderOutput& out, const char* format, int part, int parts) {
  char line[96];
  int n = std::snprintf(line, sizeof line, format, static_cast<unsigned>(part),
                        static_cast<unsigned>(parts));
  return out.Write(line, n);
}

// The part count by replaying the writer's positions, for a given count in the frame lines.
int SimulateParts(uint64_t n, int name_length, int mode_length, int64_t part_size, int parts) {
  int part = 1;
  int64_t pos = LineLength(kPartLine, 1, parts) + 6 + mode_length + 1 + name_length + 2;
  while (n > 0) {
    int take = n < kLineBytes ? static_cast<int>(n) : kLineBytes;
    n -= static_cast<uint64_t>(take);
    pos += 1 + (take + 2) / 3 * 4 + 2;
    if (pos > part_size - kPartEndMargin) {
      ++part;
      pos = LineLength(kPartLine, part, parts);
    }
  }
  return part;
}

bool IsPartFrame(const ByteString& line) {
  unsigned a = 0, b = 0;
  char tail[16] = {0};
  const char* s = line.c_str();
  if (std::sscanf(s, "------------ Part %u of %u %15s", &a, &b, tail) == 3 &&
      std::strcmp(tail, "------------") == 0) {
    return true;
  }
  return std::sscanf(s, "-------- End of part %u of %u %15s", &a, &b, tail) == 3 &&
         std::strcmp(tail, "--------") == 0;
}

// The line without its line break and trailing blanks.
void TrimLineEnd(ByteString& line) {
  int len = line.length();
  while (len > 0 && (line.ByteAt(len - 1) == '\n' || line.ByteAt(len - 1) == '\r' ||
                     line.ByteAt(len - 1) == ' ' || line.ByteAt(len - 1) == '\t')) {
    --len;
  }
  line.Resize(len);
}

int TakeBeginLine(const ByteString& line, const CoderSettings& settings, CoderOutput& out) {
  const char* p = line.c_str() + 6;
  while (*p == ' ') ++p;
  const char* mode = p;
  while (*p >= '0' && *p <= '7') ++p;
  int mode_length = static_cast<int>(p - mode);
  while (*p == ' ') ++p;
  const char* name = p;
  int name_length = line.length() - static_cast<int>(name - line.c_str());
  ByteString safe;
  if (name_length > 0) {
    if (int rc = SafeBaseName(name, name_length, safe); rc != kOk) return rc;
  } else if (out.folder_mode()) {
    return kCoderCannotCreate;
  }
  if (settings.found_name != nullptr) settings.found_name->Assign(safe);
  if (settings.found_mode != nullptr) settings.found_mode->Set(mode, mode_length);
  return out.OpenNamed(safe.c_str());
}

}  // namespace

int UuPartCount(uint64_t n, int name_length, int mode_length, int64_t part_size) {
  // Start from the estimate and settle the count, whose digits change the frame lines' length.
  int64_t estimate = static_cast<int64_t>(n * 63 / 45) + name_length + 22;
  int parts = static_cast<int>(estimate / (part_size - kUuPartHeaderBytes) + 1);
  for (int round = 0; round < 4; ++round) {
    int found = SimulateParts(n, name_length, mode_length, part_size, parts);
    if (found == parts) break;
    parts = found;
  }
  return parts;
}

int UuEncode(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  if (settings.file_name == nullptr || settings.file_name[0] == 0) return kCoderNoUuName;
  const int parts = out.has_parts() ? settings.part_count : 0;
  int part = 1;
  int rc = kOk;
  if (parts > 0) rc = WritePartLine(out, kPartLine, part, parts);
  if (rc == kOk) rc = out.WriteText("begin ");
  if (rc == kOk) rc = out.WriteText(settings.file_mode);
  if (rc == kOk) rc = out.Put(' ');
  if (rc == kOk) rc = out.WriteText(settings.file_name);
  if (rc == kOk) rc = out.WriteCrLf();
  if (rc != kOk) return rc;

  uint8_t block[kLineBytes + 2];
  char line[1 + kLineBytes / 3 * 4 + 2];
  int n;
  while ((n = in.Read(block, kLineBytes)) > 0) {
    block[n] = block[n + 1] = 0;
    int len = 0;
    line[len++] = static_cast<char>((n & 63) + 32);
    for (int i = 0; i < n; i += 3) {
      line[len++] = UuChar(block[i] >> 2);
      line[len++] = UuChar((block[i] & 3) << 4 | block[i + 1] >> 4);
      line[len++] = UuChar((block[i + 1] & 15) << 2 | block[i + 2] >> 6);
      line[len++] = UuChar(block[i + 2] & 63);
    }
    line[len++] = '\r';
    line[len++] = '\n';
    if ((rc = out.Write(line, len)) != kOk) return rc;
    if (parts > 0 && out.part_position() > out.part_size() - kPartEndMargin) {
      if ((rc = WritePartLine(out, kPartEndLine, part, parts)) != kOk) return rc;
      if ((rc = out.NextPart()) != kOk) return rc;
      ++part;
      if ((rc = WritePartLine(out, kPartLine, part, parts)) != kOk) return rc;
    }
  }
  if ((rc = in.error()) != kOk) return rc;
  if ((rc = out.WriteText("`\r\nend\r\n")) != kOk) return rc;
  if (parts > 0) rc = WritePartLine(out, kPartEndLine, part, parts);
  return rc;
}

int UuDecode(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  ByteString line;
  bool begun = false;
  while (!begun && in.ReadLine(line, kDecodeLineMax)) {
    if (!line.StartsWith("begin ")) continue;
    TrimLineEnd(line);
    if (int rc = TakeBeginLine(line, settings, out); rc != kOk) return rc;
    begun = true;
  }
  if (!begun) return in.error() != kOk ? in.error() : kCoderNoBegin;

  uint8_t bytes[64];
  ByteString trimmed;
  while (in.ReadLine(line, kDecodeLineMax)) {
    const bool complete = line.length() > 0 && line.ByteAt(line.length() - 1) == '\n';
    int end = line.length();
    while (end > 0 && (line.ByteAt(end - 1) == '\n' || line.ByteAt(end - 1) == '\r')) --end;
    line.Resize(end);
    if (trimmed.Assign(line) != kOk) return kErrOutOfMemory;
    TrimLineEnd(trimmed);
    if (trimmed.EqualsBytes("end", -1)) return kOk;
    if (trimmed.empty() || IsPartFrame(trimmed)) continue;
    const uint8_t* p = line.bytes();
    int count = UuValue(p[0]);
    int need = (count + 2) / 3 * 4;
    // Characters missing from a whole line are blanks a mailer stripped (zeros); a line cut off
    // by the end of the data is a short file.
    if (line.length() - 1 < need && !complete) return kCoderShortFile;
    int len = 0;
    for (int i = 0; i < need; i += 4) {
      int v[4];
      for (int k = 0; k < 4; ++k) {
        int at = 1 + i + k;
        v[k] = at < line.length() ? UuValue(p[at]) : 0;
      }
      bytes[len++] = static_cast<uint8_t>(v[0] << 2 | v[1] >> 4);
      bytes[len++] = static_cast<uint8_t>((v[1] & 15) << 4 | v[2] >> 2);
      bytes[len++] = static_cast<uint8_t>((v[2] & 3) << 6 | v[3]);
    }
    if (int rc = out.Write(bytes, count); rc != kOk) return rc;
  }
  if (int rc = in.error(); rc != kOk) return rc;
  return kCoderNoEnd;
}

}  // namespace tw
