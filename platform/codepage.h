// Code-page conversion with the home platform's semantics: a result count of 0 is failure
// (the last error says why), unmappable characters become "?" when converting to 8-bit text.
#pragma once

#include "platform/last_error.h"

namespace win {

constexpr unsigned CP_ACP = 0;
constexpr unsigned CP_UTF7 = 65000;
constexpr unsigned CP_UTF8 = 65001;

constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// srclen -1 converts up to and including the NUL. dstlen 0 asks for the size needed.
int MultiByteToWideChar(unsigned codepage, DWORD flags, const char* src, int srclen, char16_t* dst,
                        int dstlen);
int WideCharToMultiByte(unsigned codepage, DWORD flags, const char16_t* src, int srclen, char* dst,
                        int dstlen, const char* default_char, int* used_default);

// The ANSI code page: 65001 unless a test changes it.
unsigned GetACP();
void SetACPForTesting(unsigned codepage);

// True when the code page can be converted on this machine.
bool IsValidCodePage(unsigned codepage);

}  // namespace win
