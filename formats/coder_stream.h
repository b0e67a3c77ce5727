// The input and output sides shared by the encoder component's coders: a buffered reader with
// look-ahead and whole-line reads over any Stream, and a writer that counts the bytes of the
// current part file and moves to the next part on request.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/file_stream.h"
#include "foundation/stream.h"

namespace tw {

// Codes of the coders (texts in encoder_component.cc).
constexpr int kCoderShortFile = 1;
constexpr int kCoderNoEnd = 2;
constexpr int kCoderCannotCreate = 3;
constexpr int kCoderCannotOpen = 4;
constexpr int kCoderReadFailed = 5;
constexpr int kCoderWriteFailed = 6;
constexpr int kCoderNoUuName = 7;
constexpr int kCoderFileExists = 8;
constexpr int kCoderNoRoom = 9;
constexpr int kCoderTooFewNames = 10;
constexpr int kCoderNoName = 11;
constexpr int kCoderTooManyParts = 12;
constexpr int kCoderPermissionDenied = 13;
constexpr int kCoderNoMoreFiles = 17;
constexpr int kCoderNoBegin = 18;
constexpr int kCoderNoDecoder = 19;
constexpr int kCoderYencFormat = 21;
constexpr int kCoderYencNoEnd = 22;
constexpr int kCoderYencEscapeAtEnd = 23;
constexpr int kCoderYencCrc = 24;
constexpr int kCoderBadFormat = 25;
constexpr int kCoderBadBase64 = 26;
constexpr int kCoderBadSetting = 202;
constexpr int kCoderBadHmacAlgorithm = 500;

// The most part files one encoding may write.
constexpr int kMaxPartFiles = 100;

// What a coder needs of the component's settings.
struct CoderSettings {
  int code_page = 0;
  bool modified_utf7 = false;
  bool base64_line_break = true;
  bool extended_hex_base32 = false;
  bool require_base64_chars = true;
  bool url_safe_base64 = false;  // format 14
  bool encode_hash = true;
  bool hex_upper_case = false;
  const char* url_unreserved = "*";
  const char* file_name = "";  // uuencode and yEnc name
  const char* file_mode = "755";
  int part_count = 0;  // uuencode: parts announced in the part lines (0: none)
  // Decoders of uuencode and yEnc put the name found in the data here (already a safe base
  // name).
  ByteString* found_name = nullptr;
  ByteString* found_mode = nullptr;
};

class CoderInput {
 public:
  explicit CoderInput(Stream& stream) : stream_(stream) {}
  CoderInput(const CoderInput&) = delete;
  CoderInput& operator=(const CoderInput&) = delete;

  // The next byte, or -1 at the end (or on a read error, kept in error()).
  int Get() {
    if (pos_ >= filled_ && !Fill(1)) return -1;
    return buffer_[pos_++];
  }
  // The byte `ahead` places on (0: the one Get would give), or -1 past the end. ahead < 64.
  int Peek(int ahead);
  // Up to n bytes; fewer only at the end of the input.
  int Read(void* out, int n);
  // One line through its LF (kept), at most max bytes; false at the end of the input (or when
  // memory runs out: see error()).
  bool ReadLine(ByteString& line, int max);
  // Everything that is left.
  int ReadAll(ByteString& all);

  // 200 when a line could not be stored, 5 for the stream's read error, or 0.
  int error() const {
    if (out_of_memory_) return kErrOutOfMemory;
    return stream_.error() != 0 ? kCoderReadFailed : 0;
  }

 private:
  // Makes at least `want` bytes available from pos_ if the stream has them.
  bool Fill(int want);

  static constexpr int kBufferSize = 16384;
  Stream& stream_;
  uint8_t buffer_[kBufferSize];
  int pos_ = 0;
  int filled_ = 0;
  bool at_end_ = false;
  bool out_of_memory_ = false;
};

class CoderOutput {
 public:
  // Writes to an open output file.
  explicit CoderOutput(Stream* stream) : stream_(stream) {}
  // Appends to the output buffer, which grows as needed.
  explicit CoderOutput(ByteString* buffer) : buffer_(buffer) {}
  CoderOutput(const CoderOutput&) = delete;
  CoderOutput& operator=(const CoderOutput&) = delete;
  ~CoderOutput();

  // Part files: a part ends on NextPart; counter is the file stream's part counter, which must
  // not exceed the number of "?" digits nor kMaxPartFiles.
  void SetParts(int64_t part_size, int* counter, int digits);
  // Output into a folder: the decoders of uuencode and yEnc name each file (see OpenNamed).
  void SetFolder(const char* folder, unsigned code_page, bool overwrite);

  int Put(uint8_t byte);
  int Write(const void* bytes, int n);
  int WriteText(const char* text);  // NUL-terminated
  int WriteCrLf() { return Write("\r\n", 2); }

  // Bytes written to the current part.
  int64_t part_position() const { return part_position_; }
  int64_t part_size() const { return part_size_; }
  bool has_parts() const { return part_size_ > 0; }
  int part_number() const { return counter_ != nullptr ? *counter_ : 1; }
  // Ends this part and opens the next one: 0, 10 (no digits left for the number), 12 (more than
  // 100 parts) or the stream's code.
  int NextPart();

  bool folder_mode() const { return folder_mode_; }
  // Folder mode: opens folder + name for writing, unless that file is the one open already. Other
  // modes: nothing. 0 or a code of the coder table.
  int OpenNamed(const char* name);
  // Flushes; 0 or the stream's code.
  int Finish();

 private:
  int Check(int rc);

  Stream* stream_ = nullptr;
  ByteString* buffer_ = nullptr;
  int64_t part_size_ = 0;
  int64_t part_position_ = 0;
  int* counter_ = nullptr;
  int max_counter_ = 0;

  bool folder_mode_ = false;
  bool overwrite_ = true;
  unsigned code_page_ = 0;
  ByteString folder_;
  ByteString open_name_;
  FileStream* named_ = nullptr;
};

// Opens a file stream for the encoder and maps a failure to a code of the coder table: reading
// 4, writing 8 (exists, overwrite off), 13 (permission denied) or 3 (any other reason), 200.
int OpenCoderFile(FileStream& file, const char* name, bool write, uint64_t size_hint);

// Reduces a file name taken from encoded data to its base name. Names that climb out of the
// folder ("..") or are absolute (a leading separator or a drive letter) fail with 3, as does a
// name that leaves nothing usable.
int SafeBaseName(const char* name, int n, ByteString& out);

}  // namespace tw
