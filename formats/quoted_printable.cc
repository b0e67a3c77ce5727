#include "formats/quoted_printable.h"

#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr int kSoftBreakColumn = 74;    // above it a line is ended before the next byte
constexpr int kEscapeBreakColumn = 72;  // above it a line is ended before an escape
constexpr int kPartMargin = 76;
constexpr int kDecodeLineMax = 65536;

class QpWriter {
 public:
  explicit QpWriter(CoderOutput& out) : out_(out) {}

  int Literal(uint8_t c) {
    ++column_;
    return out_.Put(c);
  }
  int Escape(uint8_t c) {
    if (column_ > kEscapeBreakColumn) {
      if (int rc = EndLine(true); rc != kOk) return rc;
    }
    char e[3] = {'=', kHexUpper[c >> 4], kHexUpper[c & 15]};
    column_ += 3;
    return out_.Write(e, 3);
  }
  int EndLine(bool soft) {
    if (soft) {
      if (int rc = out_.Put('='); rc != kOk) return rc;
    }
    if (int rc = out_.WriteCrLf(); rc != kOk) return rc;
    column_ = 0;
    if (out_.has_parts() && out_.part_position() > out_.part_size() - kPartMargin) {
      return out_.NextPart();
    }
    return kOk;
  }
  int column() const { return column_; }

 private:
  CoderOutput& out_;
  int column_ = 0;
};

}  // namespace

int QpEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  QpWriter w(out);
  int c;
  while ((c = in.Get()) >= 0) {
    const bool crlf = c == '\r' && in.Peek(0) == '\n';
    // A hard break is coming anyway; a soft one before it would only add an empty line.
    if (w.column() > kSoftBreakColumn && !crlf) {
      if (int rc = w.EndLine(true); rc != kOk) return rc;
    }
    int rc;
    if (crlf) {
      in.Get();
      rc = w.EndLine(false);
    } else if (c >= 33 && c <= 126 && c != '=') {
      rc = w.Literal(static_cast<uint8_t>(c));
    } else if (c == ' ' || c == '\t') {
      int next = in.Peek(0);
      bool at_line_end = next < 0 || (next == '\r' && in.Peek(1) == '\n');
      rc = at_line_end ? w.Escape(static_cast<uint8_t>(c)) : w.Literal(static_cast<uint8_t>(c));
    } else {
      rc = w.Escape(static_cast<uint8_t>(c));
    }
    if (rc != kOk) return rc;
  }
  return in.error();
}

int QpDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  ByteString line;
  ByteString decoded;
  while (in.ReadLine(line, kDecodeLineMax)) {
    const uint8_t* p = line.bytes();
    int len = line.length();
    const bool has_lf = len > 0 && p[len - 1] == '\n';
    if (has_lf) {
      --len;
      while (len > 0 && (p[len - 1] == ' ' || p[len - 1] == '\t' || p[len - 1] == '\r')) --len;
    }
    decoded.Resize(0);
    bool joined = false;
    for (int i = 0; i < len; ++i) {
      int rc;
      if (p[i] != '=') {
        rc = decoded.AppendByte(p[i]);
      } else if (i == len - 1) {
        joined = true;
        break;
      } else {
        int hi = HexDigitValue(p[i + 1]);
        int lo = i + 2 < len ? HexDigitValue(p[i + 2]) : -1;
        if (hi >= 0 && lo >= 0) {
          rc = decoded.AppendByte(static_cast<uint8_t>(hi << 4 | lo));
          i += 2;
        } else {
          rc = decoded.AppendByte('=');  // not an escape: kept as it stands
        }
      }
      if (rc != kOk) return rc;
    }
    if (has_lf && !joined) {
      if (int rc = decoded.Append("\r\n", 2); rc != kOk) return rc;
    }
    if (int rc = out.Write(decoded.data(), decoded.length()); rc != kOk) return rc;
  }
  return in.error();
}

}  // namespace tw
