// The encoder component: converts a whole input (a file or a byte buffer) into an output (a
// file, numbered part files, a folder for decoded uuencode and yEnc files, or a byte buffer) with
// one of seventeen formats.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/component_base.h"

namespace tw {

enum EncoderFormat : int {
  kFormatUuencode = 0,
  kFormatBase64 = 1,
  kFormatQuotedPrintable = 2,
  kFormatUrl = 3,
  kFormatJis = 4,
  kFormatYenc = 5,
  kFormatMd5 = 6,
  kFormatSha1 = 7,
  kFormatHex = 8,
  kFormatEntities = 9,
  kFormatHmac = 10,
  kFormatUtf8 = 11,
  kFormatUtf7 = 12,
  kFormatBase32 = 13,
  kFormatBase64Url = 14,
  kFormatSha256 = 15,
  kFormatPunycode = 16,
};
constexpr int kEncoderFormatCount = 17;

constexpr int kEncodeMode = 1;
constexpr int kDecodeMode = 2;

// The message of a code of the encoder ("" for codes it does not know).
const char* UuErrorText(int code);

// Output size bounds (integer arithmetic).
int64_t UuEncodedSizeBound(int64_t n, const char* name);
int64_t Base64EncodedSizeBound(int64_t n);
int64_t QpDecodedSizeBound(int64_t n);

class EncoderComponent : public ComponentBase {
 public:
  EncoderComponent() = default;
  ~EncoderComponent() override;

  // "MaxFileSize", "HMACKey", "HMACAlgorithm", "UseModifiedUTF7", "Base64LineBreak",
  // "UseExtendedHexBase32", "RequireBase64Chars", "URLUnreservedChars", "EncodeHash".
  int Config(ConfigRequest& request, const char** answer) override;

  // Mode 1 encodes, mode 2 decodes, any other mode does nothing. 0 or a code whose text
  // (UuErrorText) becomes the last error.
  int EncodeDispatch(int mode);
  int Encode() { return EncodeDispatch(kEncodeMode); }
  int Decode() { return EncodeDispatch(kDecodeMode); }

  int format() const { return format_; }
  void set_format(int format) { format_ = format; }

  // Input: the file when its name is not "", else the buffer.
  int SetInputData(const void* bytes, int n) { return input_.Set(bytes, n); }
  const ByteString& input_data() const { return input_; }
  int SetInputFile(const char* name) { return input_file_.SetText(name); }
  const ByteString& input_file() const { return input_file_; }

  // Output: the file when its name is not "", else the buffer. A name holding a run of "?"
  // numbers part files (uuencode, Base64, quoted-printable with "MaxFileSize"); a name ending
  // with "/" or "\" is a folder where decoded uuencode and yEnc data is written under the name
  // it carries.
  int SetOutputFile(const char* name) { return output_file_.SetText(name); }
  const ByteString& output_file() const { return output_file_; }
  const ByteString& output_data() const { return output_; }
  int output_length() const { return output_.length(); }

  // The file name written into uuencode and yEnc data; after decoding, the name found there.
  int SetFileName(const char* name) { return file_name_.SetText(name); }
  const ByteString& file_name() const { return file_name_; }
  // The uuencode file mode (at most 4 characters, default "755"); after decoding, the mode found.
  int SetFileMode(const char* mode);
  const ByteString& file_mode() const { return file_mode_; }

  // Whether existing output files are replaced (default true).
  void set_overwrite(bool on) { overwrite_ = on; }
  bool overwrite() const { return overwrite_; }
  // Hex digests in upper case (default lower case).
  void set_hex_upper_case(bool on) { hex_upper_case_ = on; }

  int max_file_size() const { return max_file_size_; }

 private:
  int Run(int mode);
  int Fail(int code);
  // 202 with a text of this component's own (the message table has none for it).
  int Refuse(const char* text);

  const char* refusal_text_ = nullptr;

  bool overwrite_ = true;
  int format_ = kFormatUuencode;
  int max_file_size_ = 0;
  ByteString file_name_;
  ByteString file_mode_{"755"};
  ByteString output_;
  ByteString input_;
  bool encode_hash_ = true;
  bool hex_upper_case_ = false;
  ByteString hmac_key_;
  ByteString hmac_algorithm_{"MD5"};
  bool use_modified_utf7_ = false;
  bool base64_line_break_ = true;
  bool use_extended_hex_base32_ = false;
  bool require_base64_chars_ = true;
  ByteString url_unreserved_chars_{"*"};
  ByteString input_file_;
  ByteString output_file_;
};

}  // namespace tw
