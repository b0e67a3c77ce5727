#include "foundation/debug_log.h"

#include "platform/file.h"
#include "platform/handle.h"

namespace tw {

namespace {

constexpr char kPrefixTimeFormat[] = "[%04d/%02d/%02d %02d:%02d:%02d] ";
constexpr char kBlockDumpIndent[] = "    ";
constexpr char kLineEnd[] = "\r\n";

bool HasHighBytes(const char* text) {
  for (; *text != 0; ++text) {
    if (static_cast<unsigned char>(*text) >= 0x80) return true;
  }
  return false;
}

}  // namespace

int AppendDebugLogPrefix(ByteString& line, int64_t instance, const win::SYSTEMTIME& t) {
  int rc = line.AppendText("[");
  if (rc == kOk) rc = line.AppendInt64(instance);
  if (rc == kOk) rc = line.AppendText("]");
  if (rc == kOk) {
    rc = line.AppendFormat(kPrefixTimeFormat, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                           t.wSecond);
  }
  return rc;
}

int AppendDebugLogBlock(ByteString& out, const char* label, const void* bytes, int n) {
  // A negative count would make the dump measure the block as a text; binary data has no NUL.
  if (bytes == nullptr || n < 0) n = 0;
  int rc = out.AppendText("------");
  if (rc == kOk) rc = out.AppendText(label);
  if (rc == kOk) rc = out.AppendText("------(");
  if (rc == kOk) rc = out.AppendInt(n);
  if (rc == kOk) rc = out.AppendText(" bytes)");
  if (rc == kOk) rc = out.AppendText(kLineEnd);
  if (rc == kOk && n > 0) rc = out.AppendHexDump(bytes, n, kBlockDumpIndent);
  if (rc == kOk) rc = out.AppendText(kLineEnd);
  return rc;
}

int AppendToDebugLog(const char* path, int code_page, const void* text, int n) {
  if (path == nullptr || *path == 0) return kErrLogFileOpen;
  // Append-only access: every write lands at the current end even when other writers (or
  // processes) share the file, so whole lines never overwrite each other.
  constexpr win::DWORD kAccess = win::FILE_APPEND_DATA;
  constexpr win::DWORD kShare = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
  win::HANDLE file;
  if (HasHighBytes(path)) {
    // A name outside ASCII is in the component's code page, not necessarily the ANSI one.
    ByteString wide;
    int rc = wide.SetWideFromText(path, static_cast<unsigned>(code_page));
    if (rc == kErrOutOfMemory) return rc;
    if (rc != kOk) return kErrLogFileOpen;
    file = win::CreateFileW(wide.wide(), kAccess, kShare, nullptr, win::OPEN_ALWAYS,
                            win::FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    file = win::CreateFileA(path, kAccess, kShare, nullptr, win::OPEN_ALWAYS,
                            win::FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (file == win::INVALID_HANDLE_VALUE) return kErrLogFileOpen;

  int rc = kOk;
  const char* p = static_cast<const char*>(text);
  while (n > 0) {
    win::DWORD written = 0;
    if (!win::WriteFile(file, p, static_cast<win::DWORD>(n), &written, nullptr) || written == 0) {
      rc = kErrLogFileWrite;
      break;
    }
    p += written;
    n -= static_cast<int>(written);
  }
  win::CloseHandle(file);
  return rc;
}

}  // namespace tw
