// Conversions of 8-bit and UTF-16 text, hexadecimal, Base64 and percent-encoded forms, the
// Japanese Shift-JIS / ISO-2022-JP conversions, document encoding marks and small text tools.
//
// UTF-16 in a ByteString is little-endian, two bytes a unit. Operations return 0 or an error
// code: 434 a failed conversion, 200 out of memory; the Base64 decoder returns -1 on bad strict
// input.
#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrInvalidValue = 202;

// ---- ASCII ----

// A space or a tab: the blanks around header values and settings.
constexpr bool IsBlank(int c) { return c == ' ' || c == '\t'; }
// Two whole texts equal when ASCII letters are compared without case.
bool EqualsNoCase(std::string_view a, std::string_view b);
// text begins with prefix, ASCII letters compared without case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// One entry of a separated setting (";" or ","), without the blanks around it.
struct ListEntry {
  const char* text;
  int length;
};

// Calls visit(entry) for each non-empty entry of list until it returns true; true then.
template <typename Visit>
bool ForEachListEntry(const char* list, char separator, Visit visit) {
  const char* p = list;
  while (*p != '\0') {
    const char* end = p;
    while (*end != '\0' && *end != separator) ++end;
    const char* first = p;
    const char* last = end;
    while (first < last && IsBlank(*first)) ++first;
    while (last > first && IsBlank(last[-1])) --last;
    if (last > first && visit(ListEntry{first, static_cast<int>(last - first)})) return true;
    p = *end == separator ? end + 1 : end;
  }
  return false;
}
template <typename Visit>
bool ForEachListEntry(const char* list, Visit visit) {
  return ForEachListEntry(list, ';', visit);
}

// ---- Code pages through the platform ----

// Text in codepage (n < 0: NUL-terminated) to UTF-8, appended without a NUL.
int AppendAsUtf8(ByteString& s, const char* text, int n, unsigned codepage);
inline int AppendAsUtf8(ByteString& s, const char* text, unsigned codepage) {
  return AppendAsUtf8(s, text, -1, codepage);
}

// ---- Own UTF conversions, in place ----

// UTF-8 to UTF-16LE. A sequence cut short (by the end or by a byte that cannot continue it)
// becomes U+FFFD and the byte that broke it is decoded on its own; a stray continuation byte,
// an overlong form, an encoded surrogate or a value above U+10FFFF fails with 434.
int Utf8ToUtf16(ByteString& s);
// The same, but any ill-formed input (a cut-short sequence too) fails with 434.
int Utf8ToUtf16Strict(ByteString& s);
// UTF-16LE to UTF-8; unpaired surrogates and an odd length fail with 434.
int Utf16ToUtf8(ByteString& s);
// UTF-16BE to UTF-8.
int Utf16BeToUtf8(ByteString& s);
// UTF-8 to Latin-1; characters above U+00FF become "?".
int Utf8ToLatin1(ByteString& s);
// UTF-8 to UTF-16BE (the byte order of ASN.1 BMPString): converts, then swaps the byte pairs.
int SwapThenUtf8ToUtf16(ByteString& s);

// ---- Hexadecimal ----

bool IsHexDigit(int c);
// The value of one hex digit, or -1.
int HexDigitValue(int c);
// The byte of two hex digits (either case), or -1 when either is not a hex digit.
int HexPairToByte(const char* pair);

// Two lower-case digits per byte, appended.
template <int N>
int AppendHexLower(InlineString<N>& s, const void* bytes, int n);
extern template int AppendHexLower(InlineString<99>&, const void*, int);
extern template int AppendHexLower(InlineString<20>&, const void*, int);

// Appends the bytes of a NUL-terminated hex text. A non-hex digit or an odd count fails with
// 434 and leaves the string as it was.
int AppendFromHex(ByteString& s, const char* text);

// Hex text to a number, stopping at the first non-hex character; no overflow check (wraps).
uint32_t HexToUInt(const char* text);
// The same with an optional "+" or "-".
int32_t ParseHex(const char* text);
int64_t ParseSignedHex(const char* text);

// ---- Base64 ----

bool IsBase64Char(int c);   // "+", "/", letters, digits
bool IsBase64Space(int c);  // space, tab, CR, LF

// Appends the encoding of n bytes. With line breaks, CR LF goes between lines of line_length
// characters (a multiple of 4; any other value gives 64); line length 0 then fails with 202.
// URL-safe uses "-" and "_" and writes no padding.
template <int N>
int Base64Encode(InlineString<N>& s, const void* bytes, int n, bool line_breaks, int line_length,
                 bool url_safe);
extern template int Base64Encode(InlineString<99>&, const void*, int, bool, int, bool);
extern template int Base64Encode(InlineString<20>&, const void*, int, bool, int, bool);
inline int Base64EncodeShort(ShortString& s, const void* bytes, int n, bool line_breaks,
                             int line_length, bool url_safe) {
  return Base64Encode(s, bytes, n, line_breaks, line_length, url_safe);
}

// Decodes the string in place. The first "=" ends the data. Not strict: characters outside the
// alphabet are ignored. Strict: they fail with -1, as do a final group of one character and
// missing or wrong padding (URL-safe input may omit the padding).
int DecodeBase64(ByteString& s, bool url_safe, bool strict, bool skip_whitespace);

// 1 when the text (n < 0: NUL-terminated) looks like standard Base64 data, else 0.
int LooksLikeBase64(const char* text, int n);

// True when the data is one whole DER SEQUENCE (tag 30, a definite length that covers exactly the
// rest). Short DER such as 30 03 02 01 05 is all 7-bit and would otherwise pass for text.
bool IsDerSequence(const void* data, int n);

// PEM text (no byte of 0x80 or above, and not a DER SEQUENCE): the lines after the one holding
// marker, up to the next "---", Base64-decoded. Other data is taken unchanged as DER.
int SetPemBody(ByteString& s, const char* marker, const void* data, int n);

// ---- Percent-encoding ----

// 96 entries for the bytes 32..127: bit 0 set keeps the byte as it is.
struct PercentTable {
  uint8_t flags[96];
};
// Keeps "A"-"Z", "a"-"z", "0"-"9", "-", ".", "_", "~" and "*".
extern const PercentTable kUnreservedTable;

// Appends the NUL-terminated text, every byte the table does not keep as "%XX".
int PercentEncode(ByteString& s, const char* text, const PercentTable& table);
int UrlEncodeUnreserved(ByteString& s, const char* text);

// ---- Japanese conversions (JIS X 0208 row and cell arithmetic) ----

// Appends the ISO-2022-JP form of a NUL-terminated Shift-JIS text. Half-width katakana become
// the full-width letters (a following voiced or semi-voiced mark merged where it fits).
int ShiftJisToJis(ByteString& s, const char* text);
// Appends the Shift-JIS form of a NUL-terminated ISO-2022-JP text.
int JisToShiftJis(ByteString& s, const char* text);

// ---- Document encoding marks ----

enum DocumentEncoding {
  kDocAscii = 0,  // any encoding other than the ones below
  kDocUtf8 = 1,
  kDocUtf16Le = 2,
  kDocUtf16Be = 3,
  kDocUtf32Le = 4,
  kDocUtf32Be = 5,
};
const char* DocumentEncodingName(int encoding);
// The encoding the first bytes of a document show, and in *mark_length the bytes of its byte
// order mark (0 when it has none).
int DetectDocumentEncoding(const void* bytes, int n, int* mark_length);

// ---- Text tools on NUL-terminated texts ----

// The text without leading and trailing space, tab, CR and LF; empty for null.
int TrimToString(ByteString& s, const char* text);

const char* StrChr(const char* text, int c);
const char* StrStr(const char* haystack, const char* needle);   // "" matches at the start
const char* StrIStr(const char* haystack, const char* needle);  // null for an empty haystack
int StrNCmp(const char* a, const char* b, int n);
int StrNICmp(const char* a, const char* b, int n);
// Cuts the text at the first c (writing a NUL there) and returns the rest, or null when absent.
char* SplitAtChar(char* text, int c);
// 16 bytes as a GUID text; the first three fields are little-endian words.
int FormatGuid(ByteString& s, const uint8_t guid[16]);
bool HasNonAscii(const char* text);
bool IsAllAscii(const char* text);

}  // namespace tw
