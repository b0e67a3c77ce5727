// PEM armour: DER bytes wrapped in labelled Base64 text, and the reader that splits a text into
// its labelled blocks.
#pragma once

#include "foundation/byte_string.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kErrPemLabel = 1424;  // the expected label or its end line is missing

// "-----BEGIN label-----\r\n", the Base64 in lines of 64 characters, "\r\n-----END label-----\r\n".
// A failure empties the output.
int PemArmor(ByteString* out, const char* label, const void* bytes, int length);

// Every block of the text, in order: label, header lines (joined by CR LF) and decoded body.
// 0 when at least one block was read, else -1; error_text names the first fault met.
int ReadPemBlocks(const void* text, int length, StringList* labels, StringList* headers,
                  StringList* bodies, ByteString* error_text);

// The body of the first block with that label (its header lines are not acted on). Bytes that
// are not text are taken as DER and returned unchanged. 1424 when the label is missing.
int PemDecodeWithLabel(ByteString* out, const char* label, const void* data, int length);

// True when the bytes are 7-bit text without NUL.
bool IsPemText(const void* data, int length);

}  // namespace tw
