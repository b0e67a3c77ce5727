// Client-side encryption of blob transfers: the upload data encrypted into a temporary file
// before it is sent, and a downloaded temporary file decrypted into the caller's target. Each run
// builds its own cipher component and discards it afterwards.
//
// Keying: a password derives key and IV with the component's defaults and no salt. Blobs stored
// by earlier versions decrypt only with that derivation, so it stays as it is.
#include <cstdint>
#include <optional>

#include "blob/blob_client.h"
#include "crypto/symmetric/cipher_component.h"
#include "foundation/caller_stream.h"
#include "foundation/file_handle.h"

namespace tw {

namespace {

constexpr int kErrUploadStream = 612;
constexpr char kTempPrefix[] = "tmp";
constexpr char kTextCreateTarget[] = "Cannot create OutputFile \"";
constexpr char kTextIvMissing[] = "IV must be specified.";
constexpr char kTextStreamSeekable[] = "Upload stream must support seeking.";
constexpr char kTextStreamSeek[] = "Failed to seek upload stream to StartByte.";

// The client's transfer stream as the component's caller stream. Close only flushes: the
// stream belongs to the caller, who may still use it after the transfer.
class ClientStream final : public CallerStream {
 public:
  explicit ClientStream(Stream* stream) : stream_(stream) {}

  int Read(void* buffer, int n) override {
    const int got = stream_->Read(buffer, n);
    if (got < 0 || (got == 0 && stream_->error() != 0)) return -1;
    return got;
  }
  int Write(const void* buffer, int n) override {
    // WriteText takes a length of 0 as "up to the NUL".
    if (n <= 0) return 0;
    const int rc = stream_->WriteText(static_cast<const char*>(buffer), n);
    if (rc < 0 || stream_->error() != 0) return -1;
    return n;
  }
  void Close() override { stream_->Flush(); }
  uint64_t Size() override { return stream_->GetSize(); }
  int64_t Seek(int64_t, int) override { return -1; }

 private:
  Stream* stream_;
};

// The decoded bytes of a key or IV setting, wiped when the run ends.
class SecretBytes {
 public:
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { WipeBytes(bytes.data(), static_cast<size_t>(bytes.length())); }
  ByteString bytes;
};

}  // namespace

int BlobClient::CryptFailed(int code, const char* text) {
  SetErrorTextCode(code, text != nullptr && *text != '\0' ? text : ::tw::DefaultErrorText(code));
  return code;
}

int BlobClient::ClientSideCrypt(const char* temp_file, int direction, ByteString& data,
                                bool use_stream) {
  const bool encrypting = direction == kCipherEncrypt;
  CipherComponentWithEvents cipher;
  cipher.Reset();
  cipher.set_code_page(GetCodePage());
  std::optional<ClientStream> stream;
  const bool has_local_file = local_file_name_.Length() > 0;
  int rc = kOk;
  if (encrypting) {
    rc = cipher.SetOutputFile(temp_file);
    cipher.set_overwrite(true);
    // The same source, in the same order, as the size the upload announces.
    if (rc == kOk && use_stream) {
      stream.emplace(upload_source_);
      cipher.SetInputStream(&*stream);
      cipher.set_close_input_stream(false);
    } else if (rc == kOk && has_local_file) {
      rc = cipher.SetInputFile(local_file_name_.Utf8());
    } else if (rc == kOk) {
      rc = cipher.SetInputMessage(data.data(), data.length());
    }
  } else {
    rc = cipher.SetInputFile(temp_file);
    if (rc == kOk && use_stream) {
      stream.emplace(download_target_);
      cipher.SetOutputStream(&*stream);
    } else if (rc == kOk && has_local_file) {
      rc = cipher.SetOutputFile(local_file_name_.Utf8());
      cipher.set_overwrite(overwrite_);
    }
  }
  if (rc != kOk) return CryptFailed(rc, nullptr);

  if (cipher.SetAlgorithm(encryption_algorithm_) != kOk) {
    return CryptFailed(cipher.error_code(), cipher.error_text().c_str());
  }

  if (encryption_password_.empty()) {
    SecretBytes iv;
    SecretBytes key;
    rc = DecodeHexSetting(encryption_iv_.c_str(), iv.bytes);
    if (rc == kOk) rc = DecodeHexSetting(encryption_key_.c_str(), key.bytes);
    if (rc != kOk) return CryptFailed(rc, nullptr);
    // Without an IV the component would make a random one and keep it to itself: the blob
    // could never be decrypted. Only RC4 runs without one here (the mode is always CBC).
    if (iv.bytes.empty() && encryption_algorithm_ != eaRC4) {
      return CryptFailed(kErrCipherNoIv, kTextIvMissing);
    }
    rc = cipher.SetIv(iv.bytes.data(), iv.bytes.length());
    if (rc == kOk) rc = cipher.SetKey(key.bytes.data(), key.bytes.length());
    if (rc != kOk) return CryptFailed(rc, nullptr);
  } else if ((rc = cipher.SetKeyPassword(encryption_password_.c_str())) != kOk) {
    return CryptFailed(rc, nullptr);
  }

  // An empty upload is stored as is, without a cipher block: its download is empty as well.
  if (!encrypting && GetFileSizeByName(temp_file, static_cast<unsigned>(GetCodePage())) == 0) {
    if (use_stream) return kOk;
    if (!has_local_file) {
      data.Reset();
      return kOk;
    }
    FileHandle file;
    if (file.OpenWrite(local_file_name_, 0) == kOk && file.Close() == kOk) return kOk;
    ByteString text;
    rc = text.SetText(kTextCreateTarget);
    if (rc == kOk) rc = text.AppendText(local_file_name_.Utf8());
    if (rc == kOk) rc = text.AppendText("\".");
    return CryptFailed(kErrCipherCreateOutput, rc == kOk ? text.c_str() : nullptr);
  }
  rc = cipher.Process(encrypting ? kCipherEncrypt : kCipherDecrypt);
  if (rc != kOk) return CryptFailed(rc, cipher.error_text().c_str());
  if (!encrypting && !use_stream && !has_local_file) {
    rc = data.Assign(cipher.output_message());
    if (rc != kOk) return CryptFailed(rc, nullptr);
  }
  return kOk;
}

int BlobClient::EncryptUploadData(ByteString& temp_file, int64_t* size) {
  const unsigned cp = static_cast<unsigned>(GetCodePage());
  const bool use_stream = upload_source_ != nullptr;
  // A resumed upload encrypts the whole data again, so a stream read by the first attempt must
  // start over; encrypting only its rest would commit a short, undecryptable blob.
  if (use_stream && start_byte_ > 0) {
    if (!upload_stream_seek_) return TransferFailed(kErrUploadStream, kTextStreamSeekable);
    if (upload_stream_seek_(0) != 0) return TransferFailed(kErrUploadStream, kTextStreamSeek);
  }
  ByteString name;
  int rc = MakeTempFileName(name, kTempPrefix, temp_path_.c_str(), cp);
  if (rc != kOk) {
    ClearRequestState();
    return rc;
  }
  rc = ClientSideCrypt(name.c_str(), kCipherEncrypt, blob_data_, use_stream);
  if (rc == kOk) rc = temp_file.Assign(name);
  if (rc != kOk) {
    DeleteFileByName(name.c_str(), cp);
    temp_file.Reset();
    ClearRequestState();
    return rc;
  }
  *size = static_cast<int64_t>(GetFileSizeByName(name.c_str(), cp));
  return kOk;
}

int BlobClient::DecryptDownloadedData() {
  const unsigned cp = static_cast<unsigned>(GetCodePage());
  const int rc = ClientSideCrypt(download_temp_file_.c_str(), kCipherDecrypt, blob_data_,
                                 download_target_ != nullptr);
  // A failed decryption keeps the file and its name: the caller can retry with another key
  // without downloading again.
  if (rc != kOk) return rc;
  DeleteFileByName(download_temp_file_.c_str(), cp);
  download_temp_file_.Reset();
  return kOk;
}

}  // namespace tw
