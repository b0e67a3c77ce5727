// The new content of an existing file, written under a temporary name and put in place of the
// file only once it is complete, so that a failure leaves the old bytes where they were.
#pragma once

#include "foundation/byte_string.h"
#include "foundation/file_path.h"
#include "platform/handle.h"

namespace tw {

class FileReplacement {
 public:
  FileReplacement() = default;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement() { Discard(); }

  // Makes the empty temporary file "<file name>.download.TMP", for its owner alone, beside
  // target, or, when that folder takes no new file, "<file name>.<hash of the path>.download.TMP"
  // in the temporary folder. A leftover of an earlier run under that name is replaced; one that a running
  // transfer holds is not, and the next name is tried ("the file is in use"). Until Commit or
  // Discard the file is held and its name registered for removal when the process is
  // interrupted. 0, or kFileOpenWriteFailed with *error naming the files and the cause.
  int Begin(const FilePath& target, ByteString* error);
  const FilePath& temp() const { return temp_; }
  bool active() const { return temp_.Length() > 0; }
  // Puts the temporary file's content in place of the target, which keeps its links,
  // permissions, extended attributes and owner (win::ReplaceFileW). 0, or kFileWriteFailed with *error; the
  // temporary file is gone either way.
  int Commit(ByteString* error);
  // Removes the temporary file.
  void Discard();

 private:
  FilePath target_;
  FilePath temp_;
  int slot_ = -1;
  win::HANDLE held_ = nullptr;  // the temporary file, locked while this transfer runs
};

// Removes the temporary files of the replacements in progress. Only unlinks: a host may call it
// from its handler of an interrupting signal.
void RemoveReplacementTempFiles();

}  // namespace tw
