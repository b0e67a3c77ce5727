#include "certs/pem_armor.h"

#include <string>
#include <string_view>

#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kInvalidBegin = "Invalid begin: ";
constexpr const char* kInvalidLine = "Invalid PEM line: ";
constexpr const char* kInvalidEnd = "Invalid end: ";
constexpr const char* kBadBody = "Failed to Base64 decode body: ";

// Lines of a text; CR, LF and CR LF each end one. Lines come trimmed of blanks.
class LineReader {
 public:
  LineReader(const char* p, size_t n) : text_(p, n) {}
  bool AtEnd() const { return pos_ >= text_.size(); }
  std::string_view Peek() const {
    size_t next = pos_;
    return Take(&next);
  }
  std::string_view Next() { return Take(&pos_); }

 private:
  std::string_view Take(size_t* pos) const {
    const size_t start = *pos;
    size_t end = start;
    while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n') ++end;
    *pos = end;
    if (*pos < text_.size() && text_[*pos] == '\r') ++*pos;
    if (*pos < text_.size() && text_[*pos] == '\n') ++*pos;
    return Trim(text_.substr(start, end - start));
  }
  std::string_view text_;
  size_t pos_ = 0;

 public:
  static std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  }
};

bool IsBase64Line(std::string_view line) {
  size_t pad = 0;
  while (pad < line.size() && pad < 2 && line[line.size() - 1 - pad] == '=') ++pad;
  for (size_t i = 0; i + pad < line.size(); ++i) {
    if (!IsBase64Char(static_cast<unsigned char>(line[i]))) return false;
  }
  return true;
}

size_t DashRun(std::string_view line, bool from_end) {
  size_t n = 0;
  while (n < line.size() && line[from_end ? line.size() - 1 - n : n] == '-') ++n;
  return n;
}

// The text between two runs of `dashes` dashes, trimmed; false when the line is not framed so.
bool Framed(std::string_view line, size_t dashes, std::string_view* inner) {
  if (line.size() < 2 * dashes || DashRun(line, false) != dashes || DashRun(line, true) != dashes) return false;
  *inner = LineReader::Trim(line.substr(dashes, line.size() - 2 * dashes));
  return true;
}

void SetError(ByteString* error_text, const char* prefix, std::string_view line) {
  if (error_text == nullptr) return;
  error_text->SetText(prefix);
  error_text->Append(line.data(), static_cast<int>(line.size()));
}

}  // namespace

bool IsPemText(const void* data, int length) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (p == nullptr || length <= 0) return false;
  for (int i = 0; i < length; ++i) {
    if (p[i] == 0 || p[i] >= 0x80) return false;
  }
  return true;
}

int PemArmor(ByteString* out, const char* label, const void* bytes, int length) {
  out->Reset();
  int rc = out->AppendFormat("-----BEGIN %s-----\r\n", label);
  if (rc == kOk) rc = Base64Encode(*out, bytes, length, true, 64, false);
  if (rc == kOk) rc = out->AppendFormat("\r\n-----END %s-----\r\n", label);
  if (rc != kOk) out->Reset();
  return rc;
}

int ReadPemBlocks(const void* text, int length, StringList* labels, StringList* headers,
                  StringList* bodies, ByteString* error_text) {
  if (error_text != nullptr) error_text->Reset();
  if (text == nullptr || length <= 0) return -1;
  LineReader lines(static_cast<const char*>(text), static_cast<size_t>(length));
  int found = 0;
  while (!lines.AtEnd()) {
    const std::string_view begin = lines.Next();
    if (begin.size() < 8 || begin.substr(0, 4) != "----" || begin.substr(begin.size() - 4) != "----") continue;
    const size_t dashes = DashRun(begin, false);
    std::string_view inner;
    if ((dashes != 4 && dashes != 5) || !Framed(begin, dashes, &inner) || inner.substr(0, 6) != "BEGIN ") {
      SetError(error_text, kInvalidBegin, begin);
      break;
    }
    const std::string_view label = LineReader::Trim(inner.substr(6));
    std::string header, body;
    const std::string_view first = lines.Peek();
    if (!IsBase64Line(first)) {
      if (first.find(':') == std::string_view::npos) {
        SetError(error_text, kInvalidLine, first);
        break;
      }
      while (!lines.AtEnd()) {
        const std::string_view line = lines.Next();
        if (line.empty()) break;
        if (IsBase64Line(line) && (header.empty() || header.back() != '\\')) {
          body.append(line);
          break;
        }
        if (!header.empty()) header.append("\r\n");
        header.append(line);
      }
    }
    std::string_view end;
    bool ended = false;
    while (!lines.AtEnd()) {
      end = lines.Next();
      if (!IsBase64Line(end)) {
        ended = true;
        break;
      }
      body.append(end);
    }
    ByteString decoded;
    if (decoded.Set(body.data(), static_cast<int>(body.size())) != kOk) return kErrOutOfMemory;
    if (!body.empty() && DecodeBase64(decoded, false, true, true) < 0) {
      SetError(error_text, kBadBody, body);
      break;
    }
    std::string_view end_inner;
    if (!ended || !Framed(end, dashes, &end_inner) || end_inner.substr(0, 4) != "END " ||
        LineReader::Trim(end_inner.substr(4)) != label) {
      SetError(error_text, kInvalidEnd, end);
      break;
    }
    int rc = labels ? labels->Add(label.data(), static_cast<int>(label.size())) : kOk;
    if (rc == kOk && headers) rc = headers->Add(header.data(), static_cast<int>(header.size()));
    if (rc == kOk && bodies) rc = bodies->Add(decoded.data(), decoded.length());
    WipeBytes(decoded.bytes(), static_cast<size_t>(decoded.length()));
    if (rc != kOk) return rc;
    ++found;
  }
  return found > 0 ? kOk : -1;
}

int PemDecodeWithLabel(ByteString* out, const char* label, const void* data, int length) {
  if (!IsPemText(data, length)) return out->Set(data, length < 0 ? 0 : length);
  StringList labels, bodies;
  ReadPemBlocks(data, length, &labels, nullptr, &bodies, nullptr);
  for (int i = 0; i < labels.Count(); ++i) {
    if (std::string_view(labels.Get(i), static_cast<size_t>(labels.GetLength(i))) == label) {
      return out->Set(bodies.Get(i), bodies.GetLength(i));
    }
  }
  return kErrPemLabel;
}

}  // namespace tw
