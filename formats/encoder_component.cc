#include "formats/encoder_component.h"

#include <cstring>

#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "formats/base_n_codec.h"
#include "formats/charset_codec.h"
#include "formats/coder_stream.h"
#include "formats/quoted_printable.h"
#include "formats/url_codec.h"
#include "formats/utf7.h"
#include "formats/uu_codec.h"
#include "formats/yenc_codec.h"
#include "foundation/memory_stream.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

struct CodeText {
  int code;
  const char* text;
};

constexpr CodeText kMessages[] = {
    {1, "Short uuencoded file"},
    {2, "The closing `end' was not found"},
    {3, "Can't create the file for write (illegal name ?)"},
    {4, "Can't open the file for read (doesn't exist?)"},
    {5, "Can't read from file"},
    {6, "Can't write to file"},
    {7, "Please supply a filename for uuencoded data"},
    {8, "File exists and Overwrite is set to FALSE."},
    {9, "There's not enough space in output string"},
    {10, "The given filenames are insuficent to split all the encoded data"},
    {11, "Please supply a filename for the encoded data"},
    {12, "Encoded data is required to be written in more than 100 files."},
    {13, "Couldn't write to file. Permission denied."},
    {14, "Couldn't write to file. Media is full!"},
    {15, "Too many open files. No more file handles are available; so no more files can be "
         "opened."},
    {16, "The given filename doesn't exist"},
    {17, "There are no more files where to read from or write to"},
    {18, "The starting `begin' was not found. Is this uuencoded data?"},
    {19, "The current format does not support decoding."},
    {21, "Format error when YDecoding."},
    {22, "No '=yend' found when YDecoding."},
    {23, "Escape character found at end of line."},
    {24, "CRC check failed when YDecoding (Corrupt data)."},
    {25, "Output buffer length was not calculated."},
    {26, "Invalid character in base64 data."},
    {200, "Out of memory."},
    {500, "Invalid HMACAlgorithm."},
};

// Texts of the refusals this component adds to the table.
constexpr char kPartSizeTooSmall[] = "MaxFileSize is too small for the part headers.";
constexpr char kBadHmacKey[] = "Invalid HMACKey.";

constexpr int kFileModeMax = 4;
constexpr int kDigestReadBytes = 4096;
constexpr int kBufferRounding = 1024;

// "HMACAlgorithm" names, tested in this order (the first one the setting contains wins).
struct HmacName {
  const char* name;
  int hash_id;
};
constexpr HmacName kHmacNames[] = {
    {"SHA1", kHashSha1},       {"MD5", kHashMd5},         {"SHA-224", kHashSha224},
    {"SHA-256", kHashSha256},  {"SHA-384", kHashSha384},  {"SHA-512", kHashSha512},
    {"RIPEMD160", kHashRipemd160},
};

using Coder = int (*)(CoderInput&, CoderOutput&, const CoderSettings&);

int Md5HexStream(CoderInput& in, CoderOutput& out, const CoderSettings& s);
int Sha1HexStream(CoderInput& in, CoderOutput& out, const CoderSettings& s);
int Sha256HexStream(CoderInput& in, CoderOutput& out, const CoderSettings& s);

struct FormatEntry {
  Coder encode;
  Coder decode;  // null: the format has no decoder
};

// By format id. HMAC (10) runs apart, on the raw input stream.
constexpr FormatEntry kFormats[kEncoderFormatCount] = {
    {UuEncode, UuDecode},
    {Base64EncodeStream, Base64DecodeStream},
    {QpEncodeStream, QpDecodeStream},
    {UrlEncodeStream, UrlDecodeStream},
    {JisEncodeStream, JisDecodeStream},
    {YEncEncode, YEncDecode},
    {Md5HexStream, nullptr},
    {Sha1HexStream, nullptr},
    {HexEncodeStream, HexDecodeStream},
    {EntityEncodeStream, EntityDecodeStream},
    {nullptr, nullptr},
    {Utf8EncodeStream, Utf8DecodeStream},
    {Utf7EncodeStream, Utf7DecodeStream},
    {Base32EncodeStream, Base32DecodeStream},
    {Base64EncodeStream, Base64DecodeStream},
    {Sha256HexStream, nullptr},
    {PunycodeEncodeStream, PunycodeDecodeStream},
};

int WriteDigest(CoderOutput& out, const ByteString& digest, const CoderSettings& s) {
  if (!s.encode_hash) return out.Write(digest.data(), digest.length());
  ByteString hex;
  if (int rc = AppendHexLower(hex, digest.data(), digest.length()); rc != kOk) return rc;
  if (s.hex_upper_case) hex.ToUpper();
  return out.Write(hex.data(), hex.length());
}

int DigestStream(CoderInput& in, CoderOutput& out, const CoderSettings& s, int hash_id) {
  HashEngine engine;
  int rc = engine.SetAlgorithm(hash_id);
  uint8_t block[kDigestReadBytes];
  int n;
  while (rc == kOk && (n = in.Read(block, sizeof block)) > 0) rc = engine.Update(block, n);
  if (rc == kOk) rc = in.error();
  if (rc == kOk) rc = engine.Final();
  if (rc == kOk) rc = WriteDigest(out, engine.digest(), s);
  return rc;
}

int Md5HexStream(CoderInput& in, CoderOutput& out, const CoderSettings& s) {
  return DigestStream(in, out, s, kHashMd5);
}
int Sha1HexStream(CoderInput& in, CoderOutput& out, const CoderSettings& s) {
  return DigestStream(in, out, s, kHashSha1);
}
int Sha256HexStream(CoderInput& in, CoderOutput& out, const CoderSettings& s) {
  return DigestStream(in, out, s, kHashSha256);
}

int HmacIdOf(const ByteString& algorithm) {
  for (const HmacName& h : kHmacNames) {
    if (StrIStr(algorithm.c_str(), h.name) != nullptr) return h.hash_id;
  }
  return -1;
}

// The output size estimate of a format (-1 for a format without a decoder).
int64_t OutputEstimate(int format, int mode, int64_t n) {
  if (mode == kEncodeMode) {
    switch (format) {
      case kFormatUuencode: return n * 63 / 45 + 1181;
      case kFormatBase64:
      case kFormatBase64Url: return Base64EncodedSizeBound(n);
      case kFormatQuotedPrintable:
      case kFormatUrl: return (n + 1) * 3;
      case kFormatMd5:
      case kFormatSha1: return 30;
      case kFormatEntities: return n * 6 + 2;
      case kFormatBase32: return n / 5 * 8 + 8;
      case kFormatSha256: return 40;
      case kFormatPunycode: return n * 4;
      default: return n * 2 + 2;  // JIS, yEnc, hex, HMAC, UTF-8, UTF-7
    }
  }
  switch (format) {
    case kFormatUuencode: return n * 45 / 46 * 3 / 4 + 1;
    case kFormatBase64:
    case kFormatBase64Url: return n * 3 / 4 + 10;
    case kFormatQuotedPrintable:
    case kFormatUrl: return QpDecodedSizeBound(n);
    case kFormatHex: return n / 2 + 2;
    case kFormatEntities: return n;
    case kFormatBase32: return n * 5 / 8;
    case kFormatPunycode: return n * 2;
    case kFormatMd5:
    case kFormatSha1:
    case kFormatHmac:
    case kFormatSha256: return -1;
    default: return n * 2 + 2;  // JIS, yEnc, UTF-8, UTF-7
  }
}

bool WritesParts(int format) {
  return format == kFormatUuencode || format == kFormatBase64 ||
         format == kFormatQuotedPrintable || format == kFormatBase64Url;
}

// Digits of the first run of "?" in a name (the part number's width).
int PartDigits(const ByteString& name) {
  int at = name.FindChar('?', 0);
  if (at < 0) return 0;
  int n = 0;
  while (name.ByteAt(at + n) == '?') ++n;
  return n;
}

int MaxPartNumber(int digits) {
  int limit = 1;
  for (int i = 0; i < digits && limit <= kMaxPartFiles; ++i) limit *= 10;
  return limit - 1;
}

}  // namespace

const char* UuErrorText(int code) {
  for (const CodeText& m : kMessages) {
    if (m.code == code) return m.text;
  }
  return "";
}

int64_t UuEncodedSizeBound(int64_t n, const char* name) {
  int64_t name_part = (name != nullptr && name[0] != 0) ? static_cast<int64_t>(std::strlen(name))
                                                        : 1024;
  return n * 63 / 45 + name_part + 157;
}

int64_t Base64EncodedSizeBound(int64_t n) {
  return ((n / 3 * 4 + 4) / 72 + n / 3 * 2 + 2) * 2;
}

int64_t QpDecodedSizeBound(int64_t n) {
  int64_t scaled = n * 16 / 15;
  return scaled > 1023 ? scaled : 1023;
}

EncoderComponent::~EncoderComponent() { WipeString(hmac_key_); }

int EncoderComponent::SetFileMode(const char* mode) {
  if (mode == nullptr) mode = "";
  size_t n = std::strlen(mode);
  return file_mode_.Set(mode, static_cast<int>(n > kFileModeMax ? kFileModeMax : n));
}

int EncoderComponent::Config(ConfigRequest& request, const char** answer) {
  auto flag = [&](bool& field) -> int {
    if (request.is_read()) return SetConfigAnswer(field ? "1" : "0", answer);
    field = request.ValueAsBool();
    return kOk;
  };
  auto text = [&](ByteString& field) -> int {
    if (request.is_read()) return SetConfigAnswer(field.c_str(), answer);
    return field.Assign(request.value());
  };

  if (request.NameIs("MaxFileSize")) {
    if (request.is_read()) return SetConfigAnswerSigned(max_file_size_, answer);
    max_file_size_ = request.ValueAsInt();
    return kOk;
  }
  if (request.NameIs("HMACKey")) {
    if (!request.is_read()) WipeString(hmac_key_);
    return text(hmac_key_);
  }
  if (request.NameIs("HMACAlgorithm")) return text(hmac_algorithm_);
  if (request.NameIs("UseModifiedUTF7")) return flag(use_modified_utf7_);
  if (request.NameIs("Base64LineBreak")) return flag(base64_line_break_);
  if (request.NameIs("UseExtendedHexBase32")) return flag(use_extended_hex_base32_);
  if (request.NameIs("RequireBase64Chars")) return flag(require_base64_chars_);
  if (request.NameIs("URLUnreservedChars")) return text(url_unreserved_chars_);
  if (request.NameIs("EncodeHash")) {
    if (request.is_read()) return SetConfigAnswerBool(encode_hash_, answer);
    encode_hash_ = request.ValueAsBool();
    return kOk;
  }
  return ComponentBase::Config(request, answer);
}

int EncoderComponent::Fail(int code) {
  const char* text = UuErrorText(code);
  if (text[0] == 0 && refusal_text_ != nullptr) text = refusal_text_;
  SetErrorTextCode(code, text);
  return code;
}

int EncoderComponent::Refuse(const char* text) {
  refusal_text_ = text;
  return kCoderBadSetting;
}

int EncoderComponent::EncodeDispatch(int mode) {
  if (mode != kEncodeMode && mode != kDecodeMode) return kOk;
  int rc = Run(mode);
  return rc == kOk ? kOk : Fail(rc);
}

int EncoderComponent::Run(int mode) {
  const bool encoding = mode == kEncodeMode;
  refusal_text_ = nullptr;
  const int code_page = GetCodePage();
  const bool part_format = format_ >= 0 && format_ < kEncoderFormatCount && WritesParts(format_);

  // The input: the file when named, else the input buffer.
  FileStream input_file;
  MemoryStream input_memory(input_.data(), static_cast<uint64_t>(input_.length()));
  int input_counter = 1;
  Stream* input = &input_memory;
  if (!input_file_.empty()) {
    input_file.set_code_page(static_cast<unsigned>(code_page));
    if (part_format) input_file.SetPartFiles(&input_counter, format_);
    if (int rc = OpenCoderFile(input_file, input_file_.c_str(), false, 0); rc != kOk) return rc;
    input = &input_file;
  }
  const auto n = static_cast<int64_t>(input->GetSize());

  // The format, and the output estimate (also the write buffer hint of an output file).
  if (format_ < 0 || format_ >= kEncoderFormatCount) return kCoderBadFormat;
  const int64_t estimate = OutputEstimate(format_, mode, n);
  if (estimate < 0) return kCoderNoDecoder;
  int hmac_id = -1;
  if (format_ == kFormatHmac) {
    hmac_id = HmacIdOf(hmac_algorithm_);
    if (hmac_id < 0) return kCoderBadHmacAlgorithm;
  }

  // The output: a file (with parts), a folder for named decoded files, or the buffer.
  const bool to_file = !output_file_.empty();
  const bool to_folder =
      to_file && (output_file_.EndsWith("/") != 0 || output_file_.EndsWith("\\") != 0);
  const bool names_from_data =
      !encoding && (format_ == kFormatUuencode || format_ == kFormatYenc);
  if (to_folder && !names_from_data) return kCoderCannotCreate;
  if (!to_file) max_file_size_ = 0;  // a buffer has no parts

  int64_t part_size = 0;
  int part_count = 0;
  const int digits = PartDigits(output_file_);
  if (to_file && !to_folder && encoding && part_format && max_file_size_ != 0) {
    if (max_file_size_ < 0) return Refuse(kPartSizeTooSmall);
    part_size = max_file_size_;
    if (format_ == kFormatUuencode) {
      // The part lines alone would fill a part this small.
      if (max_file_size_ <= kUuPartHeaderBytes) return Refuse(kPartSizeTooSmall);
      part_count = UuPartCount(static_cast<uint64_t>(n), file_name_.length(),
                               file_mode_.length(), part_size);
      if (part_count > kMaxPartFiles) return kCoderTooManyParts;
      if (part_count > 1 && (digits == 0 || part_count > MaxPartNumber(digits))) {
        return kCoderTooFewNames;
      }
    }
  }

  CoderSettings settings;
  settings.code_page = code_page;
  settings.modified_utf7 = use_modified_utf7_;
  settings.base64_line_break = base64_line_break_;
  settings.extended_hex_base32 = use_extended_hex_base32_;
  settings.require_base64_chars = require_base64_chars_;
  settings.url_safe_base64 = format_ == kFormatBase64Url;
  settings.encode_hash = encode_hash_;
  settings.hex_upper_case = hex_upper_case_;
  settings.url_unreserved = url_unreserved_chars_.c_str();
  settings.file_name = file_name_.c_str();
  settings.file_mode = file_mode_.c_str();
  settings.part_count = part_count;
  ByteString found_name;
  ByteString found_mode;
  settings.found_name = &found_name;
  settings.found_mode = &found_mode;

  FileStream output_file;
  int output_counter = 1;
  output_.Reset();
  Stream* output = nullptr;
  if (to_file && !to_folder) {
    output_file.set_code_page(static_cast<unsigned>(code_page));
    output_file.set_overwrite(overwrite_);
    if (part_size > 0 && digits > 0) output_file.SetPartFiles(&output_counter, format_);
    int64_t rounded = (estimate + kBufferRounding - 1) / kBufferRounding * kBufferRounding;
    if (int rc = OpenCoderFile(output_file, output_file_.c_str(), true,
                               static_cast<uint64_t>(rounded));
        rc != kOk) {
      return rc;
    }
    output = &output_file;
  }

  CoderInput coder_input(*input);
  CoderOutput coder_output = output != nullptr ? CoderOutput(output) : CoderOutput(&output_);
  if (to_folder) coder_output.SetFolder(output_file_.c_str(), static_cast<unsigned>(code_page),
                                        overwrite_);
  coder_output.SetParts(part_size, &output_counter, part_size > 0 ? digits : 0);

  int rc;
  if (format_ == kFormatHmac) {
    ByteString mac;
    StringStream mac_stream(&mac);
    rc = HmacEncode(*input, mac_stream, hmac_key_.c_str(), hmac_id, -1);
    if (rc == kErrInvalidValue) rc = Refuse(kBadHmacKey);
    if (rc == kOk) rc = WriteDigest(coder_output, mac, settings);
    WipeString(mac);
  } else {
    const FormatEntry& entry = kFormats[format_];
    rc = (encoding ? entry.encode : entry.decode)(coder_input, coder_output, settings);
  }
  int finished = coder_output.Finish();
  if (rc == kOk) rc = finished;
  if (output == &output_file) {
    int closed = output_file.Close();
    if (rc == kOk && closed != kOk) rc = kCoderWriteFailed;
  }
  input_file.Close();
  if (names_from_data && !found_name.empty()) {
    file_name_.Assign(found_name);
    if (format_ == kFormatUuencode && !found_mode.empty()) SetFileMode(found_mode.c_str());
  }
  return rc;
}

}  // namespace tw
