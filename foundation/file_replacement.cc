#include "foundation/file_replacement.h"

#include <cstdint>
#include <string>

#include "foundation/file_handle.h"
#include "platform/file.h"

namespace tw {

namespace {

constexpr char16_t kSuffix[] = u".download.TMP";
constexpr char kFormatCreate[] = "Cannot create the temporary file \"%s\" for file \"%s\": %s.";
constexpr char kFormatReplace[] =
    "Cannot replace file \"%s\" with its new content from \"%s\": %s.";

struct CauseText {
  win::DWORD code;
  const char* text;
};
constexpr CauseText kCauses[] = {
    {win::ERROR_FILE_NOT_FOUND, "the file does not exist"},
    {win::ERROR_PATH_NOT_FOUND, "a folder on the way does not exist"},
    {win::ERROR_ACCESS_DENIED, "access is denied"},
    {win::ERROR_SHARING_VIOLATION, "the file is in use"},
    {win::ERROR_FILE_EXISTS, "another file of that name is in the way"},
    {win::ERROR_ALREADY_EXISTS, "another file of that name is in the way"},
    {win::ERROR_DISK_FULL, "the disk is full"},
    {win::ERROR_INVALID_NAME, "the name is not valid"},
    {win::ERROR_WRITE_FAULT, "the device failed to write"},
};

void Describe(ByteString* error, const char* format, const char* first, const char* second,
              win::DWORD code) {
  if (error == nullptr) return;
  ByteString cause;
  for (const CauseText& c : kCauses) {
    if (c.code == code) cause.SetText(c.text);
  }
  if (cause.empty()) cause.Format("system error %u", static_cast<unsigned>(code));
  error->Format(format, first, second, cause.c_str());
}

int AppendWide(ByteString& out, const char16_t* text, size_t chars) {
  return out.Append(text, static_cast<int>(chars * sizeof(char16_t)));
}

constexpr win::DWORD kShareAll = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE;
constexpr win::DWORD kLockNow = win::LOCKFILE_EXCLUSIVE_LOCK | win::LOCKFILE_FAIL_IMMEDIATELY;

// A new empty file under name, held locked in *held, after a leftover of that name that no
// running transfer holds. 0, ERROR_SHARING_VIOLATION for one that is held, or the platform error.
win::DWORD CreateFresh(const char16_t* name, win::HANDLE* held) {
  // The handles ask for no access, so they never stand in the way of the transfer's own.
  win::HANDLE old = win::CreateFileW(name, 0, kShareAll, nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL,
                                     nullptr);
  if (old != win::INVALID_HANDLE_VALUE) {
    const bool running = !win::LockFileEx(old, kLockNow, 0, ~0u, ~0u, nullptr);
    win::CloseHandle(old);
    if (running) return win::ERROR_SHARING_VIOLATION;
    win::DeleteFileW(name);
  }
  // A transfer that took the name meanwhile is in the way of the exclusive create. The new
  // content is the owner's alone until the commit gives it the target's mode and owner.
  win::HANDLE h = win::CreateFileW(name, 0, kShareAll, win::OwnerOnlySecurity(), win::CREATE_NEW,
                                   win::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == win::INVALID_HANDLE_VALUE) {
    const win::DWORD code = win::GetLastError();
    if (code == win::ERROR_FILE_EXISTS) return win::ERROR_SHARING_VIOLATION;
    return code != 0 ? code : win::ERROR_ACCESS_DENIED;
  }
  win::LockFileEx(h, kLockNow, 0, ~0u, ~0u, nullptr);
  *held = h;
  return 0;
}

void Release(win::HANDLE* held) {
  if (*held != nullptr) win::CloseHandle(*held);
  *held = nullptr;
}

}  // namespace

int FileReplacement::Begin(const FilePath& target, ByteString* error) {
  Discard();
  ByteString widened;
  const char16_t* wide = target.wide();
  if (!target.is_wide()) {
    if (WidenName(target.narrow(), 0, widened) != kOk) {
      Describe(error, kFormatCreate, "", target.Utf8(), win::ERROR_INVALID_NAME);
      return kFileOpenWriteFailed;
    }
    wide = widened.wide();
  }
  const size_t length = std::char_traits<char16_t>::length(wide);
  size_t base = length;
  while (base > 0 && wide[base - 1] != u'/' && wide[base - 1] != u'\\') --base;
  static constexpr char16_t kNul = 0;

  ByteString beside;
  int rc = AppendWide(beside, wide, length);
  if (rc == kOk) rc = AppendWide(beside, kSuffix, std::char_traits<char16_t>::length(kSuffix));
  if (rc == kOk) rc = AppendWide(beside, &kNul, 1);
  if (rc != kOk) return rc;
  win::DWORD failure = CreateFresh(beside.wide(), &held_);
  ByteString chosen;
  if (failure == 0) {
    chosen = std::move(beside);
  } else {
    // A folder the process cannot add to: the temporary folder, with the path's hash in the name
    // so that files of one name in different folders do not meet.
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) hash = (hash ^ wide[i]) * 16777619u;
    char16_t folder[win::MAX_PATH];
    const win::DWORD n = win::GetTempPathW(win::MAX_PATH, folder);
    char hex[10];
    char16_t tag[10];
    std::snprintf(hex, sizeof hex, ".%08x", hash);
    for (int i = 0; i < 10; ++i) tag[i] = static_cast<char16_t>(hex[i]);
    if (n > 0 && n < win::MAX_PATH) {
      rc = AppendWide(chosen, folder, n);
      if (rc == kOk) rc = AppendWide(chosen, wide + base, length - base);
      if (rc == kOk) rc = AppendWide(chosen, tag, 9);
      if (rc == kOk) rc = AppendWide(chosen, kSuffix, std::char_traits<char16_t>::length(kSuffix));
      if (rc == kOk) rc = AppendWide(chosen, &kNul, 1);
      if (rc != kOk) return rc;
      if (CreateFresh(chosen.wide(), &held_) != 0) chosen.Reset();
    }
    if (chosen.empty()) {
      FilePath named;
      named.SetWide(beside.wide());
      Describe(error, kFormatCreate, named.Utf8(), target.Utf8(), failure);
      return kFileOpenWriteFailed;
    }
  }
  rc = temp_.SetWide(chosen.wide());
  if (rc == kOk) rc = target_.SetWide(wide);
  if (rc != kOk) {
    win::DeleteFileW(chosen.wide());
    Release(&held_);
    temp_ = FilePath();
    return rc;
  }
  slot_ = win::RegisterTempFileForRemoval(temp_.wide());
  return kOk;
}

int FileReplacement::Commit(ByteString* error) {
  if (!active()) return kOk;
  bool done = win::ReplaceFileW(target_.wide(), temp_.wide(), nullptr, 0, nullptr, nullptr);
  // A file removed while the transfer ran: the complete download takes its name.
  if (!done && win::GetLastError() == win::ERROR_FILE_NOT_FOUND) {
    done = win::MoveFileExW(temp_.wide(), target_.wide(), 0);
  }
  if (!done) {
    Describe(error, kFormatReplace, target_.Utf8(), temp_.Utf8(), win::GetLastError());
    Discard();
    return kFileWriteFailed;
  }
  // The temporary name went with the rename; another transfer may already use it again.
  win::UnregisterTempFile(slot_);
  slot_ = -1;
  temp_ = FilePath();
  Release(&held_);
  return kOk;
}

void FileReplacement::Discard() {
  if (!active()) return;
  win::DeleteFileW(temp_.wide());
  win::UnregisterTempFile(slot_);
  slot_ = -1;
  temp_ = FilePath();
  Release(&held_);
}

void RemoveReplacementTempFiles() { win::RemoveRegisteredTempFiles(); }

}  // namespace tw
