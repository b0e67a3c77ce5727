#include "formats/charset_codec.h"

#include <cstring>

#include "foundation/idn.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"

namespace tw {
namespace {

constexpr int kChunkBytes = 1022;
constexpr int kLongestCharacter = 4;  // bytes of the longest multi-byte character
// Shift-JIS input without a single ASCII byte is cut anyway at this size (the only cost is a
// redundant pair of escapes in the output).
constexpr int kMaxJisCarry = 1 << 16;
constexpr unsigned kUtf8 = 65001;

bool IsSjisLead(int b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF); }
bool IsSjisTrail(int b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

// Reads up to n more bytes onto pending; true when the input is exhausted.
bool ReadMore(CoderInput& in, ByteString& pending, int n, int* rc) {
  uint8_t block[kChunkBytes];
  if (n > kChunkBytes) n = kChunkBytes;
  int got = in.Read(block, n);
  *rc = pending.Append(block, got);
  return got < n;
}

int ConvertToUnits(int code_page, const ByteString& bytes, int n, bool strict, ByteString& units,
                   int* count) {
  const win::DWORD flags = strict ? win::MB_ERR_INVALID_CHARS : 0;
  const auto cp = static_cast<unsigned>(code_page);
  int need = win::MultiByteToWideChar(cp, flags, bytes.data(), n, nullptr, 0);
  if (need <= 0) return kErrTextConversion;
  if (int rc = units.Resize(need * 2); rc != kOk) return rc;
  auto* wide = reinterpret_cast<char16_t*>(units.data());
  *count = win::MultiByteToWideChar(cp, flags, bytes.data(), n, wide, need);
  return *count > 0 ? kOk : kErrTextConversion;
}

int WriteSjisAsJis(CoderOutput& out, const ByteString& pending, int from, int to) {
  ByteString piece;
  ByteString jis;
  while (from < to) {
    const void* nul = std::memchr(pending.data() + from, 0, static_cast<size_t>(to - from));
    int end = nul != nullptr ? static_cast<int>(static_cast<const char*>(nul) - pending.data()) : to;
    if (end > from) {
      jis.Resize(0);
      int rc = piece.Set(pending.data() + from, end - from);
      if (rc == kOk) rc = ShiftJisToJis(jis, piece.c_str());
      if (rc == kOk) rc = out.Write(jis.data(), jis.length());
      if (rc != kOk) return rc;
    }
    if (nul != nullptr) {
      if (int rc = out.Put(0); rc != kOk) return rc;
      ++end;
    }
    from = end;
  }
  return kOk;
}

// The scanning state of ISO-2022-JP input: the escape that set the current mode (empty in the
// single-byte mode), so that text cut at any character can be resumed by repeating it.
struct JisMode {
  char escape[4] = {0, 0, 0, 0};
  bool single() const { return escape[0] == 0; }
};

int WriteJisAsSjis(CoderOutput& out, const JisMode& mode, const char* text, int n) {
  if (n <= 0) return kOk;
  ByteString piece;
  ByteString sjis;
  int rc = piece.SetText(mode.escape);
  if (rc == kOk) rc = piece.Append(text, n);
  if (rc == kOk) rc = JisToShiftJis(sjis, piece.c_str());
  if (rc == kOk) rc = out.Write(sjis.data(), sjis.length());
  return rc;
}

}  // namespace

bool WideChunkReader::Next(ByteString& units, int* count, int* rc) {
  *rc = kOk;
  *count = 0;
  if (!at_end_) at_end_ = ReadMore(in_, pending_, kChunkBytes - pending_.length(), rc);
  if (*rc != kOk) return false;
  if (pending_.empty()) {
    *rc = in_.error();
    return false;
  }
  int n = pending_.length();
  int used = -1;
  if (!at_end_) {
    // A piece that fails only because its last character is cut is converted without it.
    for (int drop = 0; drop < kLongestCharacter && drop < n && used < 0; ++drop) {
      if (ConvertToUnits(code_page_, pending_, n - drop, true, units, count) == kOk) {
        used = n - drop;
      }
    }
  }
  if (used < 0) {
    *rc = ConvertToUnits(code_page_, pending_, n, false, units, count);
    if (*rc != kOk) return false;
    used = n;
  }
  pending_.EraseFront(used);
  return true;
}

int WriteUnits(CoderOutput& out, const char16_t* units, int count, int code_page) {
  if (count <= 0) return kOk;
  const auto cp = static_cast<unsigned>(code_page);
  int need = win::WideCharToMultiByte(cp, 0, units, count, nullptr, 0, nullptr, nullptr);
  if (need <= 0) return kErrTextConversion;
  ByteString text;
  if (int rc = text.Resize(need); rc != kOk) return rc;
  int got = win::WideCharToMultiByte(cp, 0, units, count, text.data(), need, nullptr, nullptr);
  if (got <= 0) return kErrTextConversion;
  return out.Write(text.data(), got);
}

namespace {

int Recode(CoderInput& in, CoderOutput& out, int from_code_page, int to_code_page) {
  WideChunkReader reader(in, from_code_page);
  ByteString units;
  int count = 0;
  int rc = kOk;
  while (reader.Next(units, &count, &rc)) {
    rc = WriteUnits(out, reinterpret_cast<const char16_t*>(units.data()), count, to_code_page);
    if (rc != kOk) return rc;
  }
  return rc;
}

}  // namespace

int Utf8EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  return Recode(in, out, settings.code_page, static_cast<int>(kUtf8));
}

int Utf8DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  return Recode(in, out, static_cast<int>(kUtf8), settings.code_page);
}

int JisEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  ByteString pending;
  bool at_end = false;
  int rc = kOk;
  while (!at_end || !pending.empty()) {
    if (!at_end) at_end = ReadMore(in, pending, kChunkBytes, &rc);
    if (rc != kOk) return rc;
    const auto* p = pending.bytes();
    const int n = pending.length();
    // Cut after the last ASCII byte: the escape state is back to ASCII there, so converting
    // the pieces apart gives exactly what converting them together would.
    int cut = 0;
    int boundary = 0;
    for (int i = 0; i < n;) {
      int b = p[i];
      if (IsSjisLead(b) && i + 1 < n && IsSjisTrail(p[i + 1])) {
        i += 2;
      } else if (IsSjisLead(b) && i + 1 >= n && !at_end) {
        break;
      } else {
        ++i;
        if (b < 0x80) cut = i;
      }
      boundary = i;
    }
    if (at_end) {
      cut = n;
    } else if (cut == 0) {
      if (n < kMaxJisCarry) continue;
      cut = boundary;
    }
    if ((rc = WriteSjisAsJis(out, pending, 0, cut)) != kOk) return rc;
    pending.EraseFront(cut);
  }
  return in.error();
}

int JisDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings&) {
  ByteString pending;
  JisMode carried;  // mode at the start of pending
  bool at_end = false;
  int rc = kOk;
  while (!at_end || !pending.empty()) {
    if (!at_end) at_end = ReadMore(in, pending, kChunkBytes, &rc);
    if (rc != kOk) return rc;
    const auto* p = pending.bytes();
    const int n = pending.length();
    JisMode mode = carried;
    JisMode segment_mode = carried;
    bool kana = false;
    int segment = 0;
    int i = 0;
    while (i < n) {
      int b = p[i];
      int left = n - i;
      int unit = 1;
      if (b == 0x1B) {
        int next = left > 1 ? p[i + 1] : -1;
        unit = (next == '$' || next == '(') ? 3 : 2;
        if (left < unit && !at_end) break;
        if (unit > left) unit = left;
        // A NUL is never part of an escape: it is written as a byte of its own.
        if (next == 0) unit = 1;
        if (unit == 3 && p[i + 2] == 0) unit = 2;
        // Any "ESC $ x" means double bytes; the canonical form is what a resumed piece repeats.
        if (next == '$') {
          std::memcpy(mode.escape, "\x1b$B", 4);
          kana = false;
        } else if (next == 'K') {
          std::memcpy(mode.escape, "\x1bK", 3);
          kana = false;
        } else if (next == '(' && unit == 3 && p[i + 2] == 'I') {
          std::memcpy(mode.escape, "\x1b(I", 4);
          kana = true;
        } else {
          mode = JisMode();
          kana = false;
        }
      } else if (b == '\r' || b == '\n') {
        mode = JisMode();
        kana = false;
      } else if (b == 0) {
        if ((rc = WriteJisAsSjis(out, segment_mode, pending.data() + segment, i - segment)) != kOk ||
            (rc = out.Put(0)) != kOk) {
          return rc;
        }
        segment = i + 1;
        segment_mode = mode;
      } else if (!mode.single() && !kana && b >= 0x21 && b <= 0x7E) {
        if (left < 2 && !at_end) break;
        if (left >= 2 && p[i + 1] >= 0x21 && p[i + 1] <= 0x7E) unit = 2;
      }
      i += unit;
    }
    if ((rc = WriteJisAsSjis(out, segment_mode, pending.data() + segment, i - segment)) != kOk) {
      return rc;
    }
    pending.EraseFront(i);
    carried = mode;
    if (at_end) break;
  }
  return in.error();
}

int PunycodeEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  ByteString all;
  if (int rc = in.ReadAll(all); rc != kOk) return rc;
  if (all.empty()) return kOk;
  ByteString units;
  int count = 0;
  if (int rc = ConvertToUnits(settings.code_page, all, all.length(), false, units, &count);
      rc != kOk) {
    return rc;
  }
  ByteString text;
  for (int room = count * 4 + 64; room > 0 && room < (1 << 28); room *= 2) {
    if (int rc = text.Resize(room); rc != kOk) return rc;
    int len = room;
    int rc = PunycodeEncode(reinterpret_cast<const char16_t*>(units.data()), count, text.data(),
                            &len);
    if (rc == kOk) return out.Write(text.data(), len);
    if (rc != kPunycodeBigOutput) return kErrTextConversion;
  }
  return kErrTextConversion;
}

int PunycodeDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings) {
  ByteString all;
  if (int rc = in.ReadAll(all); rc != kOk) return rc;
  if (all.empty()) return kOk;
  ByteString units;
  for (int room = all.length() * 2 + 16; room > 0 && room < (1 << 28); room *= 2) {
    if (int rc = units.Resize(room * 2); rc != kOk) return rc;
    int len = room;
    int rc = PunycodeDecode(all.c_str(), all.length(), reinterpret_cast<char16_t*>(units.data()),
                            &len);
    if (rc == kOk) {
      return WriteUnits(out, reinterpret_cast<const char16_t*>(units.data()), len,
                        settings.code_page);
    }
    if (rc != kPunycodeBigOutput) return kErrTextConversion;
  }
  return kErrTextConversion;
}

}  // namespace tw
