// The generic archive component: settings shared by the archive classes, the busy state that
// guards them, and the abort, pause and message-pump operations of a long-running job.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/component_base.h"
#include "foundation/config_request.h"

namespace tw {

constexpr int kErrArchiveFooter = 112;
constexpr int kErrArchiveBusy = 125;
constexpr int kErrArchiveNotImplemented = 306;

// Run states; 2 and 3 are busy.
constexpr int kArchiveIdle = 0;
constexpr int kArchiveCompressing = 2;
constexpr int kArchiveExtracting = 3;

constexpr int kDefaultCompressionLevel = 4;

class ArchiveComponent : public ComponentBase {
 public:
  ArchiveComponent();
  ~ArchiveComponent() override;

  // The archive settings; other names go to the base. Writes fail with 125 while busy.
  int Config(ConfigRequest& request, const char** answer) override;

  // 125 while busy.
  virtual int SetHashAlgorithm(const char* name);
  virtual int SetArchiveFile(const char* name);
  // Archive editing is not offered by any class here: 306.
  virtual int AppendToArchive();
  virtual int DeleteFromArchive();
  virtual void SetAbort(bool on) { abort_ = on; }
  // Takes one pending window message and dispatches it. 1 to go on pumping; 0 after WM_CLOSE or
  // on WM_QUIT (which is posted again so that the caller's loop sees it too).
  virtual int DoEvents();
  // Stops the running job.
  virtual int Abort() = 0;
  virtual void SetPause() { paused_ = true; }
  virtual void ClearPause() { paused_ = false; }
  // Takes a piece of finished archive output.
  virtual int WriteArchive(const uint8_t* data, int n) { return kOk; }
  // Readies the output before the first piece.
  virtual int PrepareOutput() { return kOk; }
  // Aborts a running job, goes idle and sets the settings to their defaults.
  virtual int Reset();

  bool busy() const {
    return run_state_ == kArchiveCompressing || run_state_ == kArchiveExtracting;
  }
  int run_state() const { return run_state_; }
  bool abort_requested() const { return abort_; }
  bool paused() const { return paused_; }
  int level() const { return level_; }
  // Compression level 0 (store) to 9, or -1 for zlib's default; others fail when the job starts.
  void set_level(int level) { level_ = level; }
  const ByteString& archive_file() const { return archive_file_; }
  const ByteString& hash_algorithm() const { return hash_algorithm_; }
  const ByteString& excluded_attributes() const { return excluded_attributes_; }
  bool overwrite_read_only() const { return overwrite_read_only_; }
  bool write_to_progress_event() const { return write_to_progress_event_; }
  bool write_to_file() const { return write_to_file_; }
  bool write_to_properties() const { return write_to_properties_; }
  bool delete_on_abort() const { return delete_on_abort_; }
  bool preserve_modified_time() const { return preserve_modified_time_; }
  bool check_for_file_locks() const { return check_for_file_locks_; }
  bool close_stream_after_compress() const { return close_after_compress_; }
  bool close_stream_after_extract() const { return close_after_extract_; }

 protected:
  void set_run_state(int state) { run_state_ = state; }
  // Sets 125 "Component is busy." and returns it.
  int FailBusy();

 private:
  void SetDefaults();

  ByteString archive_file_;
  int level_ = kDefaultCompressionLevel;
  bool overwrite_read_only_ = false;
  bool write_to_progress_event_ = false;
  bool write_to_file_ = true;
  bool delete_on_abort_ = true;
  bool preserve_modified_time_ = true;
  int run_state_ = kArchiveIdle;
  bool abort_ = false;
  bool paused_ = false;
  ByteString excluded_attributes_;
  bool write_to_properties_ = false;
  ByteString hash_algorithm_;
  bool check_for_file_locks_ = false;
  bool close_after_compress_ = true;
  bool close_after_extract_ = true;
};

}  // namespace tw
