// Code-page conversion with the home platform's semantics: a result count of 0 is failure
// (the last error says why), unmappable characters become "?" when converting to 8-bit text.
#pragma once

#include "platform/last_error.h"

namespace win {

constexpr unsigned CP_ACP = 0;
constexpr unsigned CP_OEMCP = 1;
constexpr unsigned CP_MACCP = 2;
constexpr unsigned CP_THREAD_ACP = 3;
constexpr unsigned CP_UTF7 = 65000;
constexpr unsigned CP_UTF8 = 65001;

constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// Set for flags a code page does not take (UTF-7 and UTF-8 take only the *_ERR_INVALID_CHARS bit).
constexpr DWORD ERROR_INVALID_FLAGS = 1004;

// srclen -1 converts up to and including the NUL. dstlen 0 asks for the size needed.
// Failures (result 0): ERROR_INVALID_PARAMETER (bad arguments or code page),
// ERROR_INSUFFICIENT_BUFFER (dst too small), ERROR_NO_UNICODE_TRANSLATION (invalid input under
// the *_ERR_INVALID_CHARS flag), ERROR_INVALID_FLAGS.
// Without MB_ERR_INVALID_CHARS an invalid sequence becomes U+FFFD. In 1252 the five bytes with
// no character (0x81 0x8D 0x8F 0x90 0x9D) pass through as the C1 controls of the same number, both
// ways, as on the home platform.
int MultiByteToWideChar(unsigned codepage, DWORD flags, const char* src, int srclen, char16_t* dst,
                        int dstlen);
// For UTF-7 and UTF-8, default_char and used_default must be null; a lone surrogate becomes
// U+FFFD (or fails under WC_ERR_INVALID_CHARS). Elsewhere an unmappable character becomes
// default_char (its NUL-terminated bytes) or "?", and *used_default is set.
int WideCharToMultiByte(unsigned codepage, DWORD flags, const char16_t* src, int srclen, char* dst,
                        int dstlen, const char* default_char, int* used_default);

// The ANSI code page: 65001 unless a test changes it.
unsigned GetACP();
void SetACPForTesting(unsigned codepage);
// Which UTF-8 decoder runs: 0 portable, 1 SSE2, 2 AVX2; -1 the best the processor offers. Returns
// the level that runs (lower when the processor lacks the one asked for).
int SetUtf8DecoderForTesting(int level);

// True when the code page can be converted on this machine.
bool IsValidCodePage(unsigned codepage);

}  // namespace win
