#include "formats/archive_component.h"

#include "platform/window.h"

namespace tw {

namespace {

constexpr char kTextBusy[] = "Component is busy.";
constexpr char kTextNotImplemented[] = "This functionality is not yet implemented";

constexpr char kSettingExcludedAttributes[] = "ExcludedAttributes";
constexpr char kSettingHashAlgorithm[] = "fileHashAlgorithm";

}  // namespace

ArchiveComponent::ArchiveComponent() = default;

ArchiveComponent::~ArchiveComponent() = default;

void ArchiveComponent::SetDefaults() {
  level_ = kDefaultCompressionLevel;
  overwrite_read_only_ = false;
  write_to_progress_event_ = false;
  write_to_file_ = true;
  delete_on_abort_ = true;
  preserve_modified_time_ = true;
  abort_ = false;
  paused_ = false;
  excluded_attributes_.Reset();
  write_to_properties_ = false;
  hash_algorithm_.Reset();
  check_for_file_locks_ = false;
  close_after_compress_ = true;
  close_after_extract_ = true;
}

int ArchiveComponent::Reset() {
  if (busy()) Abort();
  run_state_ = kArchiveIdle;
  SetDefaults();
  return kOk;
}

int ArchiveComponent::FailBusy() {
  SetErrorTextCode(kErrArchiveBusy, kTextBusy);
  return kErrArchiveBusy;
}

int ArchiveComponent::Config(ConfigRequest& request, const char** answer) {
  // Switches that are only stored. The close switches read back as "True"/"False", the others
  // as "0"/"1".
  struct FlagSetting {
    const char* name;
    bool ArchiveComponent::*member;
    bool true_false;
  };
  static constexpr FlagSetting kFlags[] = {
      {"OverwriteReadOnlyFiles", &ArchiveComponent::overwrite_read_only_, false},
      {"WriteToProgressEvent", &ArchiveComponent::write_to_progress_event_, false},
      {"DeleteOnAbort", &ArchiveComponent::delete_on_abort_, false},
      {"PreserveModifiedTime", &ArchiveComponent::preserve_modified_time_, false},
      {"WriteToFile", &ArchiveComponent::write_to_file_, false},
      {"WriteToProperties", &ArchiveComponent::write_to_properties_, false},
      {"CheckForFileLocks", &ArchiveComponent::check_for_file_locks_, false},
      {"CloseStreamAfterCompress", &ArchiveComponent::close_after_compress_, true},
      {"CloseStreamAfterExtract", &ArchiveComponent::close_after_extract_, true},
  };
  const bool read = request.is_read();
  for (const FlagSetting& flag : kFlags) {
    if (!request.NameIs(flag.name)) continue;
    if (read) {
      const bool on = this->*flag.member;
      if (flag.true_false) return SetConfigAnswerBool(on, answer);
      return SetConfigAnswer(on ? "1" : "0", answer);
    }
    if (busy()) return FailBusy();
    this->*flag.member = request.ValueAsBool();
    return SetConfigAnswer("", answer);
  }
  if (request.NameIs(kSettingExcludedAttributes)) {
    if (read) return SetConfigAnswer(excluded_attributes_.c_str(), answer);
    if (busy()) return FailBusy();
    int rc = excluded_attributes_.Assign(request.value());
    if (rc == kOk) rc = SetConfigAnswer("", answer);
    return rc;
  }
  if (request.NameIs(kSettingHashAlgorithm)) {
    if (read) return SetConfigAnswer(hash_algorithm_.c_str(), answer);
    int rc = SetHashAlgorithm(request.value().c_str());
    if (rc == kOk) rc = SetConfigAnswer("", answer);
    return rc;
  }
  return ComponentBase::Config(request, answer);
}

int ArchiveComponent::SetHashAlgorithm(const char* name) {
  if (busy()) return FailBusy();
  return hash_algorithm_.SetText(name);
}

int ArchiveComponent::SetArchiveFile(const char* name) {
  if (busy()) return FailBusy();
  return archive_file_.SetText(name);
}

int ArchiveComponent::AppendToArchive() {
  SetErrorTextCode(kErrArchiveNotImplemented, kTextNotImplemented);
  return kErrArchiveNotImplemented;
}

int ArchiveComponent::DeleteFromArchive() {
  SetErrorTextCode(kErrArchiveNotImplemented, kTextNotImplemented);
  return kErrArchiveNotImplemented;
}

int ArchiveComponent::DoEvents() {
  win::MSG msg{};
  if (!win::PeekMessageA(&msg, nullptr, 0, 0, win::PM_REMOVE)) return 1;
  if (msg.message == win::WM_QUIT) {
    // Put back for the loop that owns the thread.
    win::PostQuitMessage(static_cast<int>(msg.wParam));
    return 0;
  }
  win::TranslateMessage(&msg);
  win::DispatchMessageA(&msg);
  return msg.message == win::WM_CLOSE ? 0 : 1;
}

}  // namespace tw
