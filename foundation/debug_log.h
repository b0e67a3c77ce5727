// The debug log file: a plain text file to which components append lines and data blocks.
//
// Each line or block is written by itself: the file is opened for appending, written and closed
// again, so several components (and processes) can share one file.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "platform/time.h"

namespace tw {

constexpr int kErrLogFileOpen = 4;   // the file cannot be opened or created
constexpr int kErrLogFileWrite = 7;  // the write failed

// Appends "[instance][yyyy/mm/dd hh:mm:ss] " to line.
int AppendDebugLogPrefix(ByteString& line, int64_t instance, const win::SYSTEMTIME& time);

// Appends a data block after its prefix: "------" label "------(" n " bytes)" CR LF, a hex dump
// of the bytes with four blanks before each line, and CR LF.
int AppendDebugLogBlock(ByteString& out, const char* label, const void* bytes, int n);

// Appends n bytes to the file named by path (8-bit text in code_page; 0 = the ANSI code page),
// creating it when missing. 0, kErrLogFileOpen, kErrLogFileWrite or 200.
int AppendToDebugLog(const char* path, int code_page, const void* text, int n);

}  // namespace tw
