#include "formats/utf7.h"

#include <array>

#include "formats/charset_codec.h"

namespace tw {
namespace {

constexpr char kBase64Standard[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Modified[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
// Units a decoded run collects before they are written (never between a surrogate pair).
constexpr int kRunFlushUnits = 2048;

using DecodeTable = std::array<int8_t, 256>;

constexpr DecodeTable MakeTable(const char* alphabet) {
  DecodeTable t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}

constexpr DecodeTable kStandardTable = MakeTable(kBase64Standard);
constexpr DecodeTable kModifiedTable = MakeTable(kBase64Modified);

bool IsDirect(char16_t u, bool modified) {
  if (modified) return u >= 0x20 && u <= 0x7E;
  if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')) return true;
  switch (u) {
    case '\'': case '(': case ')': case ',': case '-': case '.': case '/': case ':': case '?':
    case ' ': case '\t': case '\r': case '\n':
      return true;
    default:
      return false;
  }
}

// Writes a run's units as Base64 while they arrive.
class RunEncoder {
 public:
  RunEncoder(CoderOutput& out, bool modified)
      : out_(out), alphabet_(modified ? kBase64Modified : kBase64Standard),
        shift_(modified ? '&' : '+') {}

  int Add(char16_t unit) {
    if (!open_) {
      open_ = true;
      if (int rc = Emit(shift_); rc != kOk) return rc;
    }
    bits_ = bits_ << 16 | unit;
    nbits_ += 16;
    while (nbits_ >= 6) {
      nbits_ -= 6;
      if (int rc = Emit(alphabet_[bits_ >> nbits_ & 63]); rc != kOk) return rc;
    }
    return kOk;
  }
  // Ends an open run: the last bits padded with zeros, then "-".
  int Close() {
    if (!open_) return kOk;
    open_ = false;
    if (nbits_ > 0) {
      if (int rc = Emit(alphabet_[bits_ << (6 - nbits_) & 63]); rc != kOk) return rc;
    }
    nbits_ = 0;
    bits_ = 0;
    return Emit('-');
  }
  int Flush() {
    int rc = out_.Write(text_, len_);
    len_ = 0;
    return rc;
  }
  int Emit(char c) {
    text_[len_++] = c;
    return len_ == static_cast<int>(sizeof text_) ? Flush() : kOk;
  }
  char shift() const { return shift_; }

 private:
  CoderOutput& out_;
  const char* alphabet_;
  char shift_;
  bool open_ = false;
  uint32_t bits_ = 0;
  int nbits_ = 0;
  char text_[1024];
  int len_ = 0;
};

}  // namespace

int Utf7EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  const bool modified = settings.modified_utf7;
  RunEncoder run(out, modified);
  WideChunkReader reader(in, settings.code_page);
  ByteString units;
  int count = 0;
  int rc = kOk;
  while (reader.Next(units, &count, &rc)) {
    const auto* u = reinterpret_cast<const char16_t*>(units.data());
    for (int i = 0; i < count && rc == kOk; ++i) {
      if (u[i] == static_cast<char16_t>(run.shift())) {
        rc = run.Close();
        if (rc == kOk) rc = run.Emit(run.shift());
        if (rc == kOk) rc = run.Emit('-');
      } else if (IsDirect(u[i], modified)) {
        rc = run.Close();
        if (rc == kOk) rc = run.Emit(static_cast<char>(u[i]));
      } else {
        rc = run.Add(u[i]);
      }
    }
    if (rc != kOk) return rc;
  }
  if (rc != kOk) return rc;
  if ((rc = run.Close()) != kOk) return rc;
  return run.Flush();
}

int Utf7DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  const bool modified = settings.modified_utf7;
  const DecodeTable& table = modified ? kModifiedTable : kStandardTable;
  const int shift = modified ? '&' : '+';
  ByteString units;  // decoded UTF-16LE units of the open run
  uint32_t bits = 0;
  int nbits = 0;
  bool in_run = false;
  bool run_empty = true;

  auto flush_units = [&](bool all) {
    int count = units.length() / 2;
    if (!all && count > 0) {
      // Keep a high surrogate back until its partner arrives.
      char16_t last = static_cast<char16_t>(units.ByteAt(2 * count - 2) |
                                            units.ByteAt(2 * count - 1) << 8);
      if (last >= 0xD800 && last <= 0xDBFF) --count;
    }
    int rc = WriteUnits(out, reinterpret_cast<const char16_t*>(units.data()), count,
                        settings.code_page);
    units.EraseFront(2 * count);
    return rc;
  };
  // Ends the open run: leftover bits must be fewer than a character and all zero.
  auto end_run = [&]() {
    in_run = false;
    if (nbits >= 6 || (bits & ((1u << nbits) - 1)) != 0) return kCoderBadBase64;
    nbits = 0;
    bits = 0;
    return flush_units(true);
  };

  int c;
  while ((c = in.Get()) >= 0) {
    int rc = kOk;
    if (!in_run) {
      if (c == shift) {
        in_run = true;
        run_empty = true;
        if (in.Peek(0) == '-') {
          in.Get();
          in_run = false;
          rc = out.Put(static_cast<uint8_t>(shift));
        }
      } else {
        rc = out.Put(static_cast<uint8_t>(c));
      }
    } else if (table[c] >= 0) {
      run_empty = false;
      bits = bits << 6 | static_cast<uint32_t>(table[c]);
      nbits += 6;
      if (nbits >= 16) {
        nbits -= 16;
        auto unit = static_cast<uint16_t>(bits >> nbits);
        bits &= (1u << nbits) - 1;
        rc = units.AppendByte(static_cast<uint8_t>(unit & 0xFF));
        if (rc == kOk) rc = units.AppendByte(static_cast<uint8_t>(unit >> 8));
        if (rc == kOk && units.length() >= 2 * kRunFlushUnits) rc = flush_units(false);
      }
    } else {
      // "+" directly before a character that cannot begin a run is ill-formed.
      if (run_empty && c != '-') return kCoderBadBase64;
      rc = end_run();
      if (rc == kOk && c != '-') rc = out.Put(static_cast<uint8_t>(c));
    }
    if (rc != kOk) return rc;
  }
  if (int rc = in.error(); rc != kOk) return rc;
  return in_run ? end_run() : kOk;
}

}  // namespace tw
