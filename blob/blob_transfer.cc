// Blob data transfer: creating blobs, single-request and automatic block uploads, blocks and
// block lists, append blocks, pages, and downloads with ranges and resumption.
#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "blob/blob_client.h"
#include "blob/service_words.h"
#include "crypto/symmetric/random_source.h"
#include "foundation/file_handle.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"
#include "platform/last_error.h"

namespace tw {

namespace {

constexpr int kErrAborted = 606;
constexpr int kErrLocalFileExists = 608;
constexpr int kErrNoDownloadTempFile = 610;
constexpr int kErrLocalFileAccess = 611;
constexpr int kErrUploadStream = 612;
constexpr unsigned kUtf8CodePage = 65001;

constexpr char kTextInterrupted[] = "Interrupted.";
constexpr char kTextContainerMissing[] = "The Container property must be set before calling this method.";
constexpr char kTextBlobMissing[] = "Blob must be specified when calling this method.";
constexpr char kTextBlockBlobMissing[] = "BlockBlob must be specified when calling this method.";
constexpr char kTextAppendBlobMissing[] = "AppendBlob must be specified when calling this method.";
constexpr char kTextPageBlobMissing[] = "PageBlob must be specified when calling this method.";
constexpr char kTextBlockIdMissing[] = "BlockId must be specified when calling this method.";
constexpr char kTextIdMissing[] = "Id must be specified when calling this method.";
constexpr char kTextBlobType[] = "BlobType must be 0, 1, or 2.";
constexpr char kTextBlockListType[] = "BlockListType must be 0, 1, or 2.";
constexpr char kTextPageBlobSize[] =
    "When creating a page blob, PageBlobSize must be greater than or equal to 0, and a multiple "
    "of 512.";
constexpr char kTextWriteOffset[] =
    "WriteOffset must be greater than or equal to 0, and a multiple of 512.";
constexpr char kTextByteOffset[] =
    "ByteOffset must be greater than or equal to 0, and a multiple of 512.";
constexpr char kTextPageCount[] = "PageCount must be greater than or equal to 1.";
constexpr char kTextPageCountTooLarge[] = "PageCount reaches past the largest byte offset.";
constexpr char kTextNotBlockBlob[] = "The specified blob is not a block blob.";
constexpr char kTextMalformedList[] = "Malformed block list string.";
constexpr char kTextMalformedItem[] =
    "Malformed block list string; each item must begin with \"C:\", \"U:\", or \"L:\".";
constexpr char kTextMalformedId[] = "Malformed block string; each item must include a block Id.";
constexpr char kTextAborted[] = "Upload was aborted by user.";
constexpr char kTextLocalFileExists[] = "LocalFile exists and Overwrite is set to False.";
// A body kept in BlobData that announces no length, with no TransferredDataLimit, stops here.
constexpr int64_t kMaxUnannouncedBlobData = 32 * 1024 * 1024;
constexpr char kTextNoDownloadTempFile[] =
    "DownloadTempFile must be specified when resuming download of an encrypted file.";
constexpr char kTextStreamSeekable[] = "Upload stream must support seeking.";
constexpr char kTextStreamSeek[] = "Failed to seek upload stream to StartByte.";
constexpr char kTextRangeFormat[] = "The Range property's value is not formatted correctly.";
constexpr char kTextRangeStart[] =
    "The StartByte property must be less than the size of the byte range specified by the Range "
    "property.";
constexpr char kFormatResumeStart[] = "Cannot resume the download at StartByte %lld: file ";
constexpr char kTextResumeMissing[] = " does not exist, so there is nothing to resume.";
constexpr char kTextResumeSize[] = " holds %lld bytes; a download resumes where its file ends.";
constexpr char kTextResumeCoverage[] =
    "Cannot resume the upload: the block collection does not hold the bytes before StartByte.";

constexpr char kMetaPrefix[] = "x-ms-meta-";

// The blob's settings a block list commit carries over to the new content. The old Content-MD5
// describes other bytes and is never among them.
constexpr const char* kCarriedSettings[][2] = {
    {"Cache-Control", "x-ms-blob-cache-control"},
    {"Content-Disposition", "x-ms-blob-content-disposition"},
    {"Content-Encoding", "x-ms-blob-content-encoding"},
    {"Content-Language", "x-ms-blob-content-language"},
    {"Content-Type", "x-ms-blob-content-type"},
};

bool Empty(const char* text) { return text == nullptr || *text == '\0'; }

// A lower-case GUID text of 16 random bytes, fields read as the platform's GUID lays them out.
int MakeBlockId(ByteString& out) {
  ByteString bytes;
  int rc = FillRandom(16, bytes);
  if (rc != kOk) return rc;
  const uint8_t* b = bytes.bytes();
  const uint32_t d1 = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  const unsigned d2 = b[4] | (b[5] << 8);
  const unsigned d3 = b[6] | (b[7] << 8);
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", d1, d2, d3,
                b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out.SetText(text);
}

int QuotedFileText(ByteString& out, const char* before, const char* name, const char* after) {
  int rc = out.SetText(before);
  if (rc == kOk) rc = out.AppendByte('"');
  if (rc == kOk) rc = out.AppendText(name);
  if (rc == kOk) rc = out.AppendByte('"');
  if (rc == kOk) rc = out.AppendText(after);
  return rc;
}

bool ParseDecimal(const char* p, const char* end, int64_t* value) {
  if (p == end) return false;
  int64_t v = 0;
  for (; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    if (v > (INT64_MAX - (*p - '0')) / 10) return false;
    v = v * 10 + (*p - '0');
  }
  *value = v;
  return true;
}

}  // namespace

int BlobClient::CheckLocalFileWritable() {
  const char* name = local_file_name_.Utf8();
  const bool existed = PathExists(name);
  if (existed && !overwrite_ && start_byte_ <= 0) {
    SetErrorTextCode(kErrLocalFileExists, kTextLocalFileExists);
    return kErrLocalFileExists;
  }
  FileHandle probe;
  if (probe.OpenAppend(local_file_name_) != kOk) {
    ByteString text;
    QuotedFileText(text, "Cannot open file ", name, " for writing.");
    SetErrorTextCode(kErrLocalFileAccess, text.c_str());
    return kErrLocalFileAccess;
  }
  probe.Close();
  if (!existed) DeleteFileByName(name, kUtf8CodePage);
  return kOk;
}

int BlobClient::StartReplacingDownload(FileReplacement& replacement) {
  ByteString text;
  int rc = replacement.Begin(local_file_name_, &text);
  if (rc == kFileOpenWriteFailed) return TransferFailed(kErrLocalFileAccess, text.c_str());
  if (rc == kOk) rc = SetLocalFileWide(replacement.temp().wide());
  if (rc == kOk) return kOk;
  replacement.Discard();
  return TransferFailed(rc, nullptr);
}

int BlobClient::FinishReplacingDownload(FileReplacement& replacement, int rc) {
  if (rc != kOk) {
    replacement.Discard();
    return rc;
  }
  ByteString text;
  if (replacement.Commit(&text) != kOk) return TransferFailed(kErrLocalFileAccess, text.c_str());
  return kOk;
}

int BlobClient::CheckResumeFile(const FilePath& path) {
  FileHandle file;
  int64_t size = -1;
  if (file.OpenRead(path, 0) == kOk) size = file.GetSize();
  file.Close();
  if (size == start_byte_) return kOk;
  // Appending anywhere but at the file's end would leave a hole or a second copy of some bytes.
  ByteString before;
  ByteString after;
  int rc = before.Format(kFormatResumeStart, static_cast<long long>(start_byte_));
  if (rc == kOk) {
    rc = size < 0 ? after.SetText(kTextResumeMissing)
                  : after.Format(kTextResumeSize, static_cast<long long>(size));
  }
  ByteString text;
  if (rc == kOk) rc = QuotedFileText(text, before.c_str(), path.Utf8(), after.c_str());
  return TransferFailed(kErrRestInvalidValue, rc == kOk ? text.c_str() : nullptr);
}

int BlobClient::TransferFailed(int code, const char* text) {
  ClearRequestState();
  SetErrorTextCode(code, text ? text : ::tw::DefaultErrorText(code));
  return code;
}

bool BlobClient::EncryptionConfigured() const {
  return !encryption_password_.empty() || !encryption_iv_.empty() || !encryption_key_.empty();
}

int BlobClient::EncryptUploadToTempFile(ByteString& temp_file, int64_t* size) {
  return EncryptUploadData(temp_file, size);
}

int BlobClient::DecryptDownload() { return DecryptDownloadedData(); }

int BlobClient::AddMetadataHeaders(const ByteStringPairArray& items) {
  ByteString name;
  for (int i = 0; i < items.Count(); ++i) {
    const ByteStringPair* item = items.At(i);
    if (item == nullptr || item->first.empty()) continue;
    int rc = kOk;
    name.Reset();
    if (!item->first.StartsWith(kMetaPrefix)) rc = name.SetText(kMetaPrefix);
    if (rc == kOk) rc = name.AppendString(item->first);
    if (rc == kOk) rc = AddHeader(name.c_str(), item->second.c_str());
    if (rc != kOk) return rc;
  }
  return kOk;
}

int BlobClient::AddBlockChecked(const char* id, int block_type) {
  if (Empty(id)) return TransferFailed(kErrRestInvalidValue, kTextIdMissing);
  if (block_type < kBlockCommitted || block_type > kBlockLatest) {
    return TransferFailed(kErrRestInvalidValue, kTextBlockListType);
  }
  const int rc = AddBlock(id, block_type);
  if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  return rc;
}

// ---- Upload sources ----

int BlobClient::UploadDataSize(int64_t* size) {
  if (upload_source_ != nullptr) {
    *size = static_cast<int64_t>(upload_source_->GetSize());
    return kOk;
  }
  if (local_file_name_.Length() > 0) {
    FileHandle file;
    if (file.OpenRead(local_file_name_, 0) != kOk) {
      ByteString text;
      QuotedFileText(text, "Cannot open file ", local_file_name_.Utf8(), " for reading.");
      return TransferFailed(kErrLocalFileAccess, text.c_str());
    }
    *size = file.GetSize();
    return kOk;
  }
  *size = blob_data_.length();
  return kOk;
}

int BlobClient::UploadData(const char* url, bool encryption_allowed) {
  int64_t size = 0;
  int rc = UploadDataSize(&size);
  if (rc != kOk) return rc;
  ByteString temp_file;
  if (encryption_allowed && EncryptionConfigured() && (size > 0 || upload_source_ != nullptr)) {
    rc = EncryptUploadToTempFile(temp_file, &size);
    if (rc != kOk) return rc;
  }
  bool from_memory = true;
  rc = SetUploadSource(temp_file.c_str(), &from_memory);
  if (rc != kOk) {
    if (!temp_file.empty()) DeleteFileByName(temp_file.c_str(), 0);
    return TransferFailed(rc, nullptr);
  }
  StartUploadProgress(size);
  if (from_memory) {
    rc = SendRequest(url, kRestVerbPut, blob_data_.data(), blob_data_.length(), false);
  } else {
    signer_.SetContentLength(size);
    rc = SendRequest(url, kRestVerbPut, nullptr, 0, false);
  }
  EndProgress(false);
  if (!temp_file.empty()) DeleteFileByName(temp_file.c_str(), 0);
  return rc;
}

// ---- Blocks ----

int BlobClient::PutBlockData(const char* blob, const char* id, const void* piece, int length,
                             bool has_piece, ByteString* sent_id) {
  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), blob, &url);
  if (rc != kOk) return rc;
  ByteString wire_id;
  rc = encode_block_ids_ ? Base64Encode(wire_id, id, static_cast<int>(std::strlen(id)), false, 64,
                                        false)
                         : wire_id.SetText(id);
  if (rc == kOk) rc = SetQueryParam("comp", "block");
  if (rc == kOk) rc = SetQueryParam("blockid", wire_id.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc != kOk) return TransferFailed(rc, nullptr);
  int64_t size = length;
  if (has_piece) {
    rc = SendRequest(url.c_str(), kRestVerbPut, piece, length, false);
  } else {
    rc = UploadDataSize(&size);
    if (rc != kOk) return rc;
    // UploadData runs its own requests; the query and headers above ride along.
    rc = UploadData(url.c_str(), false);
  }
  if (rc != kOk) return rc;
  if (sent_id != nullptr) sent_id->Assign(wire_id);
  if (auto_add_blocks_) {
    BlockRecord record;
    record.block_type = kBlockUncommitted;
    record.size = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    rc = record.id.SetText(id);
    if (rc == kOk) rc = blocks_.InsertCopy(blocks_.Count(), record);
    if (rc != kOk) SetErrorTextCode(rc, ::tw::DefaultErrorText(rc));
  }
  return rc;
}

int BlobClient::PutBlock(const char* block_blob, const char* block_id, ByteString* sent_id) {
  if (sent_id != nullptr) sent_id->Reset();
  if (container_.empty()) return TransferFailed(kErrBlobMissing, kTextContainerMissing);
  if (Empty(block_blob)) return TransferFailed(kErrBlobMissing, kTextBlockBlobMissing);
  if (Empty(block_id)) return TransferFailed(kErrRestInvalidValue, kTextBlockIdMissing);
  return PutBlockData(block_blob, block_id, nullptr, 0, false, sent_id);
}

int BlobClient::UploadBlockFragment(const void* piece, int length) {
  const bool saved_auto_add = auto_add_blocks_;
  const bool saved_encode = encode_block_ids_;
  auto_add_blocks_ = true;
  encode_block_ids_ = true;
  ByteString id;
  int rc = MakeBlockId(id);
  if (rc != kOk) {
    TransferFailed(rc, nullptr);
  } else {
    rc = PutBlockData(upload_blob_name_.c_str(), id.c_str(), piece, length, true, nullptr);
    if (rc == kOk) start_byte_ += length;
  }
  auto_add_blocks_ = saved_auto_add;
  encode_block_ids_ = saved_encode;
  return rc;
}

int BlobClient::PutBlockList(const char* block_blob, const char* block_list) {
  if (container_.empty()) return TransferFailed(kErrBlobMissing, kTextContainerMissing);
  if (Empty(block_blob)) return TransferFailed(kErrBlobMissing, kTextBlockBlobMissing);

  // The list text is checked whole before anything is sent or the collection changes.
  std::vector<std::pair<int, std::string>> parsed;
  if (!Empty(block_list)) {
    const char* separators = block_list_separator_.c_str();
    const char* p = block_list;
    while (true) {
      const size_t n = *separators ? std::strcspn(p, separators) : std::strlen(p);
      if (n > 0) {
        const std::string item(p, n);
        int type = -1;
        if (n >= 2 && item[1] == ':') {
          type = item[0] == 'C' ? kBlockCommitted
                 : item[0] == 'U' ? kBlockUncommitted
                 : item[0] == 'L' ? kBlockLatest
                                  : -1;
        }
        if (type < 0) return TransferFailed(kErrRestInvalidValue, kTextMalformedItem);
        if (n == 2) return TransferFailed(kErrRestInvalidValue, kTextMalformedId);
        parsed.emplace_back(type, item.substr(2));
      }
      if (p[n] == '\0') break;
      p += n + 1;
    }
    if (parsed.empty()) return TransferFailed(kErrRestInvalidValue, kTextMalformedList);
  }

  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), block_blob, &url);
  if (rc != kOk) return rc;

  const bool own_capture = !keep_capture_;
  if (own_capture) {
    keep_capture_ = true;
    ClearRawCapture();
  }
  auto finish = [&](int code) {
    if (own_capture) keep_capture_ = false;
    ClearRequestState();
    return code;
  };

  // The blob's present state, read without the caller's extra headers.
  ByteString saved_headers;
  rc = saved_headers.Assign(other_headers_property_);
  if (rc != kOk) return finish(TransferFailed(rc, nullptr));
  other_headers_property_.Reset();
  rc = AddHeaderIfSet("If-Match", if_match_.c_str());
  if (rc == kOk) rc = SendRequest(url.c_str(), kRestVerbHead, nullptr, 0, false);
  other_headers_property_.Assign(saved_headers);
  bool exists = false;
  ByteString etag;
  bool leased = false;
  ByteStringPairArray old_metadata;
  ByteStringPairArray old_settings;
  if (rc == kOk) {
    exists = true;
    const ParsedHeaderStore& headers = parsed_headers();
    if (std::strcmp(headers.Find("x-ms-blob-type"), "BlockBlob") != 0 &&
        !Empty(headers.Find("x-ms-blob-type"))) {
      return finish(TransferFailed(kErrBlobMissing, kTextNotBlockBlob));
    }
    etag.SetText(headers.Find("ETag"));
    leased = LeaseStatusIsLocked(headers.Find("x-ms-lease-status"));
    for (int i = 0; rc == kOk && i < headers.Count(); ++i) {
      const char* name = headers.Name(i);
      if (name != nullptr && std::strlen(name) > 10 && StartsWithNoCase(name, kMetaPrefix)) {
        rc = old_metadata.Add(name, headers.Value(i));
      }
    }
    for (const auto& setting : kCarriedSettings) {
      const char* value = headers.Find(setting[0]);
      if (rc == kOk && !Empty(value)) rc = old_settings.Add(setting[1], value);
    }
    if (rc != kOk) return finish(TransferFailed(rc, nullptr));
  } else if (status_code() != 404) {
    return finish(rc);
  }
  (void)exists;

  if (!parsed.empty()) {
    blocks_.Clear();
    for (const auto& [type, id] : parsed) {
      rc = AddBlock(id.c_str(), type);
      if (rc != kOk) return finish(TransferFailed(rc, nullptr));
    }
  }

  rc = SetQueryParam("comp", "blocklist");
  if (rc == kOk) rc = AddHeaderIfSet("If-Match", etag.empty() ? if_match_.c_str() : etag.c_str());
  if (rc == kOk) {
    if (send_metadata_on_put_block_list_) {
      rc = AddMetadataHeaders(metadata_);
    } else if (!fresh_commit_) {
      rc = AddMetadataHeaders(old_metadata);
    }
  }
  if (rc == kOk && leased) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk && !fresh_commit_ && !other_headers_property_.Contains("x-ms-blob-")) {
    for (int i = 0; rc == kOk && i < old_settings.Count(); ++i) {
      const ByteStringPair* s = old_settings.At(i);
      rc = AddHeader(s->first.c_str(), s->second.c_str());
    }
  }
  if (rc != kOk) return finish(TransferFailed(rc, nullptr));

  ByteString body;
  rc = ResetWriter();
  if (rc == kOk) rc = WriteStartElement("BlockList");
  ByteString wire;
  for (int i = 0; rc == kOk && i < blocks_.Count(); ++i) {
    const BlockRecord* block = blocks_.At(i);
    if (block == nullptr) continue;
    const int type = block->block_type >= kBlockCommitted && block->block_type <= kBlockLatest
                         ? block->block_type
                         : kBlockLatest;
    wire.Reset();
    if (encode_block_ids_ && !block->id_is_encoded) {
      rc = Base64Encode(wire, block->id.data(), block->id.length(), false, 64, false);
    } else {
      rc = wire.Assign(block->id);
    }
    if (rc == kOk) rc = WriteElement(kBlockElements[type], wire.c_str());
  }
  if (rc == kOk) rc = FinishBody(body);
  if (rc != kOk) return finish(TransferFailed(rc, nullptr));
  rc = SendRequest(url.c_str(), kRestVerbPut, body.data(), body.length(), false);
  return finish(rc);
}

// ---- Automatic block upload ----

int BlobClient::CheckResumedBlocks(int64_t size) {
  // Every byte before StartByte must be in a block of the collection, or the commit would make
  // a shorter blob than the data and call it a success.
  int64_t covered = 0;
  for (int i = 0; i < blocks_.Count(); ++i) {
    const BlockRecord* block = blocks_.At(i);
    if (block == nullptr || block->size < 0) {
      covered = -1;
      break;
    }
    covered += block->size;
  }
  if (covered != start_byte_ || start_byte_ > size) {
    return TransferFailed(kErrRestInvalidValue, kTextResumeCoverage);
  }
  return kOk;
}

int BlobClient::SendPieces(int64_t size, const ByteString& temp_file) {
  if (size == 0) {
    fragment_count_ = 0;
    fragment_number_ = 0;
    int rc = FireProgress(kProgressUpload, 0, 0, 0);
    const int end = FireProgress(kProgressUpload, 0, 0, 100);
    return rc != kOk ? rc : end;
  }
  FileHandle file;
  const bool from_stream = temp_file.empty() && upload_source_ != nullptr;
  if (!temp_file.empty() || (!from_stream && local_file_name_.Length() > 0)) {
    FilePath path;
    int rc = !temp_file.empty() ? path.SetNarrow(temp_file.c_str()) : kOk;
    const FilePath& name = temp_file.empty() ? local_file_name_ : path;
    if (rc == kOk) rc = file.OpenRead(name, start_byte_);
    if (rc != kOk) {
      ByteString text;
      QuotedFileText(text, "Cannot open file ", name.Utf8(), " for reading; code ");
      text.AppendInt(static_cast<int32_t>(win::GetLastError()));
      return TransferFailed(kErrLocalFileAccess, text.c_str());
    }
  } else if (from_stream && start_byte_ > 0) {
    if (!upload_stream_seek_) return TransferFailed(kErrUploadStream, kTextStreamSeekable);
    if (upload_stream_seek_(start_byte_) != start_byte_) {
      return TransferFailed(kErrUploadStream, kTextStreamSeek);
    }
  }

  const int64_t fragment = fragment_size_ > 0 ? fragment_size_ : kBlobDefaultFragmentSize;
  fragment_count_ = static_cast<int32_t>((size + fragment - 1) / fragment);
  fragment_number_ = static_cast<int32_t>(start_byte_ / fragment);
  if (start_byte_ >= size) {
    start_byte_ = 0;
    fragment_count_ = 0;
    fragment_number_ = 0;
    return kOk;
  }

  // One piece buffer for the whole upload: memory stays at one fragment whatever the size.
  ByteString buffer;
  const bool from_memory = !file.IsOpen() && !from_stream;
  StartUploadProgress(size);
  int rc = kOk;
  while (rc == kOk && start_byte_ < size) {
    const int length = static_cast<int>(std::min<int64_t>(fragment, size - start_byte_));
    const void* piece = nullptr;
    if (from_memory) {
      piece = blob_data_.bytes() + start_byte_;
    } else {
      rc = buffer.Resize(length);
      if (rc != kOk) {
        TransferFailed(rc, nullptr);
        break;
      }
      int got = 0;
      int failure = 0;
      if (file.IsOpen()) {
        size_t n = 0;
        while (got < length && (failure = file.ReadSome(buffer.data() + got, length - got, &n)) == kOk && n > 0) {
          got += static_cast<int>(n);
        }
      } else {
        while (got < length) {
          const int n = upload_source_->Read(buffer.data() + got, length - got);
          if (n <= 0) {
            failure = n < 0 ? upload_source_->error() : 0;
            break;
          }
          got += n;
        }
      }
      if (got < length) {
        ByteString text;
        text.SetText(file.IsOpen() ? "Error when reading file; code " : "Error when reading stream; code ");
        text.AppendInt(failure != 0 ? failure : kFileShortRead);
        rc = TransferFailed(file.IsOpen() ? kErrLocalFileAccess : kErrUploadStream, text.c_str());
        break;
      }
      piece = buffer.data();
    }
    rc = UploadBlockFragment(piece, length);
    if (rc != kOk) break;
    ++fragment_number_;
    int interrupt = 0;
    NotifyFragmentComplete(fragment_number_, fragment_count_, &interrupt);
    if (interrupt != 0) {
      rc = TransferFailed(kErrAborted, kTextAborted);
    } else if (operation_interrupt_requested() && start_byte_ < size) {
      rc = TransferFailed(kErrInterrupted, kTextInterrupted);
    }
  }
  EndProgress(false);
  if (rc == kOk) {
    start_byte_ = 0;
    fragment_count_ = 0;
    fragment_number_ = 0;
  }
  return rc;
}

int BlobClient::AutomaticBlockUpload(const char* blob, int64_t size) {
  ClearOperationInterrupt();
  keep_capture_ = true;
  ClearRawCapture();
  const bool saved_send_metadata = send_metadata_on_put_block_list_;
  ByteString temp_file;
  int rc = kOk;
  // Encrypt first: a resume is measured against the ciphertext that was sent, which is longer
  // than the plain data, so checking against the plain size would commit a truncated blob.
  if (EncryptionConfigured() && (size > 0 || upload_source_ != nullptr)) {
    rc = EncryptUploadToTempFile(temp_file, &size);
  }
  if (rc == kOk && start_byte_ > 0) rc = CheckResumedBlocks(size);
  if (rc == kOk && start_byte_ < size) {
    if (start_byte_ == 0) blocks_.Clear();
    if (rc == kOk) rc = upload_blob_name_.SetText(blob);
    if (rc == kOk) rc = SendPieces(size, temp_file);
  }
  if (rc == kOk) {
    send_metadata_on_put_block_list_ = send_metadata_;
    fresh_commit_ = true;
    rc = PutBlockList(blob, "");
    fresh_commit_ = false;
    if (rc == kOk) start_byte_ = 0;
  }
  keep_capture_ = false;
  send_metadata_on_put_block_list_ = saved_send_metadata;
  if (!temp_file.empty()) DeleteFileByName(temp_file.c_str(), 0);
  ClearRequestState();
  return rc;
}

// ---- Creating blobs ----

int BlobClient::CreateBlob(const char* blob, int blob_type, int64_t page_blob_size) {
  if (container_.empty()) return TransferFailed(kErrBlobMissing, kTextContainerMissing);
  if (Empty(blob)) return TransferFailed(kErrBlobMissing, kTextBlobMissing);
  if (blob_type < kBlockBlob || blob_type > kAppendBlob) {
    return TransferFailed(kErrRestInvalidValue, kTextBlobType);
  }
  if (blob_type == kPageBlob && (page_blob_size < 0 || page_blob_size % 512 != 0)) {
    return TransferFailed(kErrRestInvalidValue, kTextPageBlobSize);
  }
  int64_t size = 0;
  if (blob_type == kBlockBlob) {
    int rc = UploadDataSize(&size);
    if (rc != kOk) return rc;
    if (start_byte_ > 0) return AutomaticBlockUpload(blob, size);
  }
  const bool in_blocks = blob_type == kBlockBlob && size > simple_upload_limit_;
  // Replacing through blocks: the old blob stays whole until the new list commits, so a failed
  // upload loses nothing. Only a blob that must not exist yet is created up front.
  if (in_blocks && overwrite_) return AutomaticBlockUpload(blob, size);

  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), blob, &url);
  if (rc != kOk) return rc;
  rc = AddHeader("x-ms-blob-type", kBlobTypeHeaders[blob_type]);
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk && blob_type == kPageBlob) {
    rc = AddHeaderInt64("x-ms-blob-content-length", page_blob_size);
  }
  if (rc == kOk && send_metadata_) rc = AddMetadataHeaders(metadata_);
  if (rc == kOk) {
    if (!overwrite_) {
      rc = AddHeader("If-None-Match", "*");
    } else {
      rc = AddHeaderIfSet("If-Match", if_match_.c_str());
    }
  }
  if (rc != kOk) return TransferFailed(rc, nullptr);
  if (blob_type == kBlockBlob && !in_blocks) return UploadData(url.c_str(), true);
  rc = SendRequest(url.c_str(), kRestVerbPut, nullptr, 0, false);
  if (rc != kOk || !in_blocks) return rc;
  return AutomaticBlockUpload(blob, size);
}

// ---- Append blobs and pages ----

int BlobClient::AppendBlock(const char* append_blob) {
  if (container_.empty()) return TransferFailed(kErrBlobMissing, kTextContainerMissing);
  if (Empty(append_blob)) return TransferFailed(kErrBlobMissing, kTextAppendBlobMissing);
  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), append_blob, &url);
  if (rc != kOk) return rc;
  rc = SetQueryParam("comp", "appendblock");
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("If-Match", if_match_.c_str());
  if (rc != kOk) return TransferFailed(rc, nullptr);
  rc = UploadData(url.c_str(), false);
  if (rc == kOk) {
    const char* count = parsed_headers().Find("x-ms-blob-committed-block-count");
    if (!Empty(count)) appended_block_count_ = std::strtoll(count, nullptr, 10);
  }
  return rc;
}

int BlobClient::PutPages(const char* page_blob, int64_t write_offset) {
  if (container_.empty()) return TransferFailed(kErrBlobMissing, kTextContainerMissing);
  if (Empty(page_blob)) return TransferFailed(kErrBlobMissing, kTextPageBlobMissing);
  if (write_offset < 0 || write_offset % 512 != 0) {
    return TransferFailed(kErrRestInvalidValue, kTextWriteOffset);
  }
  int64_t size = 0;
  int rc = UploadDataSize(&size);
  if (rc != kOk) return rc;
  ByteString url;
  rc = BuildRequestUrl(container_.c_str(), page_blob, &url);
  if (rc != kOk) return rc;
  char range[64];
  std::snprintf(range, sizeof range, "bytes=%" PRId64 "-%" PRId64, write_offset,
                write_offset + size - 1);
  rc = SetQueryParam("comp", "page");
  if (rc == kOk) rc = AddHeader("x-ms-page-write", "update");
  if (rc == kOk) rc = AddHeader("x-ms-range", range);
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("If-Match", if_match_.c_str());
  if (rc != kOk) return TransferFailed(rc, nullptr);
  return UploadData(url.c_str(), false);
}

int BlobClient::ClearPages(const char* page_blob, int64_t byte_offset, int64_t page_count) {
  if (container_.empty()) return TransferFailed(kErrBlobMissing, kTextContainerMissing);
  if (Empty(page_blob)) return TransferFailed(kErrBlobMissing, kTextPageBlobMissing);
  if (byte_offset < 0 || byte_offset % 512 != 0) {
    return TransferFailed(kErrRestInvalidValue, kTextByteOffset);
  }
  if (page_count < 1) return TransferFailed(kErrRestInvalidValue, kTextPageCount);
  if (page_count > (INT64_MAX - byte_offset) / 512) {
    return TransferFailed(kErrRestInvalidValue, kTextPageCountTooLarge);
  }
  ByteString url;
  int rc = BuildRequestUrl(container_.c_str(), page_blob, &url);
  if (rc != kOk) return rc;
  char range[64];
  std::snprintf(range, sizeof range, "bytes=%" PRId64 "-%" PRId64, byte_offset,
                byte_offset + page_count * 512 - 1);
  rc = SetQueryParam("comp", "page");
  if (rc == kOk) rc = AddHeader("x-ms-page-write", "clear");
  if (rc == kOk) rc = AddHeader("x-ms-range", range);
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("If-Match", if_match_.c_str());
  if (rc != kOk) return TransferFailed(rc, nullptr);
  return SendRequest(url.c_str(), kRestVerbPut, nullptr, 0, false);
}

// ---- Downloads ----

int BlobClient::BuildRangeText(ByteString& out) {
  out.Reset();
  const char* range = range_text_.c_str();
  if (start_byte_ <= 0) {
    if (range_text_.empty()) return kOk;
    int rc = out.SetText("bytes=");
    if (rc == kOk) rc = out.AppendString(range_text_);
    return rc;
  }
  int64_t start = start_byte_;
  int64_t end = -1;
  if (!range_text_.empty()) {
    const char* dash = std::strchr(range, '-');
    int64_t first = 0;
    if (dash == nullptr || dash == range || !ParseDecimal(range, dash, &first)) {
      return TransferFailed(kErrRestInvalidValue, kTextRangeFormat);
    }
    const char* last = dash + 1;
    const char* last_end = last + std::strlen(last);
    if (last != last_end && !ParseDecimal(last, last_end, &end)) {
      return TransferFailed(kErrRestInvalidValue, kTextRangeFormat);
    }
    if (first > INT64_MAX - start_byte_) return TransferFailed(kErrRestInvalidValue, kTextRangeStart);
    start = first + start_byte_;
    if (end >= 0 && start > end) return TransferFailed(kErrRestInvalidValue, kTextRangeStart);
  }
  int rc = out.SetText("bytes=");
  if (rc == kOk) rc = out.AppendInt64(start);
  if (rc == kOk) rc = out.AppendByte('-');
  if (rc == kOk && end >= 0) rc = out.AppendInt64(end);
  return rc;
}

int BlobClient::GetBlob(const char* blob) {
  if (container_.empty()) return TransferFailed(kErrBlobMissing, kTextContainerMissing);
  if (Empty(blob)) return TransferFailed(kErrBlobMissing, kTextBlobMissing);
  ByteString range;
  int rc = BuildRangeText(range);
  if (rc != kOk) return rc;
  const bool encrypted = EncryptionConfigured();
  if (encrypted && download_temp_file_.empty() && start_byte_ > 0) {
    return TransferFailed(kErrNoDownloadTempFile, kTextNoDownloadTempFile);
  }

  const bool to_file = download_target_ == nullptr && local_file_name_.Length() > 0;
  // A resumed download appends to the file it wrote so far, which must end at StartByte.
  if (start_byte_ > 0 && encrypted) {
    FilePath temp;
    rc = temp.SetText(download_temp_file_.c_str(), 0);  // as the HTTP client opens it
    if (rc != kOk) return TransferFailed(rc, nullptr);
    if (rc = CheckResumeFile(temp); rc != kOk) return rc;
  } else if (start_byte_ > 0 && to_file) {
    if (rc = CheckResumeFile(local_file_name_); rc != kOk) return rc;
  }
  bool replace = false;
  if (to_file) {
    replace = !encrypted && start_byte_ <= 0 && PathExists(local_file_name_.Utf8());
    rc = CheckLocalFileWritable();
    if (rc != kOk) {
      ClearRequestState();
      return rc;
    }
  }

  ByteString url;
  rc = BuildRequestUrl(container_.c_str(), blob, &url);
  if (rc != kOk) return rc;
  rc = SetQueryParamIfSet("snapshot", snapshot_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-lease-id", lease_id_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("If-Match", if_match_.c_str());
  if (rc == kOk) rc = AddHeaderIfSet("x-ms-range", range.c_str());
  if (rc != kOk) return TransferFailed(rc, nullptr);

  set_max_transferred_data(transferred_data_limit_);
  if (encrypted) {
    if (download_temp_file_.empty()) {
      ByteString temp;
      rc = MakeTempFileName(temp, "tmp", temp_path_.c_str(), static_cast<unsigned>(GetCodePage()));
      if (rc != kOk) {
        ClearRequestState();
        return rc;
      }
      rc = download_temp_file_.Assign(temp);
    }
    if (rc == kOk) rc = SetDownloadTempTarget();
  } else {
    rc = SetDownloadTarget();
  }
  // An existing file is replaced only by a complete body: a failed download leaves it as it was.
  FileReplacement replacement;
  if (rc != kOk) return TransferFailed(rc, nullptr);
  if (replace && (rc = StartReplacingDownload(replacement)) != kOk) return rc;
  const bool to_memory = !encrypted && download_target_ == nullptr && local_file_name_.Length() == 0;
  set_max_unannounced_body(to_memory ? kMaxUnannouncedBlobData : 0);
  // A resumed download continues the file it has written so far.
  const bool caller_append = append();
  set_append(start_byte_ > 0);
  // A file found absent is created by this download alone; one that another process made or
  // finished meanwhile is not overwritten.
  set_local_file_new(to_file && !replace && !encrypted && start_byte_ <= 0);
  StartDownloadProgress(-1);
  rc = SendRequest(url.c_str(), kRestVerbGet, nullptr, 0, false);
  EndProgress(true);
  set_local_file_new(false);
  set_append(caller_append);
  set_max_unannounced_body(0);
  ClearRequestState();
  if (replacement.active()) rc = FinishReplacingDownload(replacement, rc);
  if (rc != kOk) return rc;
  if (encrypted && !download_temp_file_.empty()) return DecryptDownload();
  // The body moves into BlobData: a copy would hold a large download twice.
  if (download_target_ == nullptr && local_file_name_.Length() == 0) {
    blob_data_ = std::move(transferred_data_);
  }
  return rc;
}

}  // namespace tw
