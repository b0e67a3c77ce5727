// The storage service client at the top of the component chain: every blob setting and
// collection, the request URL of each operation, the standard headers, the SharedKey signature
// (or the caller's Authorization), the send through the HTTP client, the service's errors as
// codes and texts, the listings, and the events of the control.
//
// Events (sink slot: arguments, each passed as a pointer; numbers are int32_t unless marked):
//   1 BlobList: name, container, blob type, snapshot, content length (int64_t), content type,
//     created time, modified time, etag, soft deleted, is leased, lease state
//   2 BlockList: id, block type, size
//   3 ContainerList: name, modified time, etag, is leased, lease state
//   4 EndTransfer: direction                      5 Error: code, description
//   6 FragmentComplete: number, count, interrupt (the caller's int: non-zero stops the upload)
//   7 Header: field, value                        8 Log: level, message, type
//   9 MetadataList: container, blob, snapshot, name, value
//  10 PrefixList: prefix
//  11 Progress: direction, bytes done (int64_t), total (int64_t, -1 unknown), percent
//  12 SSLServerAuthentication: certificate (text), its length, subject, issuer, status, accept
//     (the caller's int)
//  13 SSLStatus: message                         14 StartTransfer: direction
//  15 Transfer: direction, bytes so far (int64_t), percent, data (text), its length
#pragma once

#include <cstdint>
#include <functional>

#include "blob/blob_records.h"
#include "blob/shared_key_signer.h"
#include "blob/xml_rest_client.h"
#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/file_replacement.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kErrBlobInvalidIndex = 605;  // "Invalid index." of indexed settings
constexpr int kErrBlobMissing = 604;       // a required container or blob name is missing

constexpr char kBlobApiVersion[] = "2019-02-02";
constexpr char kBlobDefaultEndpoint[] = ".core.windows.net";
constexpr int64_t kBlobDefaultSimpleUploadLimit = 268435456;
constexpr int32_t kBlobDefaultFragmentSize = 104857600;
// The counts of the collections that the control reports as 16-bit numbers (blobs, containers,
// access policies) stay at or below this; a listing that would pass it fails instead.
constexpr int kMaxShortCount = 32767;
// The most blocks one blob can list: 50,000 committed and 100,000 uncommitted.
constexpr int kMaxBlockRecords = 150000;

enum BlobClientEvent : int {
  kBlobEventBlobList = 1,
  kBlobEventBlockList = 2,
  kBlobEventContainerList = 3,
  kBlobEventEndTransfer = 4,
  kBlobEventError = 5,
  kBlobEventFragmentComplete = 6,
  kBlobEventHeader = 7,
  kBlobEventLog = 8,
  kBlobEventMetadataList = 9,
  kBlobEventPrefixList = 10,
  kBlobEventProgress = 11,
  kBlobEventSslServerAuthentication = 12,
  kBlobEventSslStatus = 13,
  kBlobEventStartTransfer = 14,
  kBlobEventTransfer = 15,
};

// The collections whose indexes the control's properties check.
enum class BlobCollection : int {
  kAccessPolicies,
  kBlobs,
  kBlocks,
  kContainers,
  kMetadata,
  kPageRanges,
  kQueryParams,
};

// Block list types of ListBlocks.
constexpr int kBlockListCommitted = 0;
constexpr int kBlockListUncommitted = 1;
constexpr int kBlockListAll = 2;

class BlobClient : public XmlRestClient {
 public:
  BlobClient();
  ~BlobClient() override;

  // Run once after construction: the signer's owner, the XML members, the resets. True on
  // success.
  bool Initialize();
  // The REST, HTTP and XML layers' resets, then the blob settings. 0 or an error code.
  int Reset();
  // The blob settings and collections back to their defaults.
  int ResetSettings();

  // ---- Overrides of the chain ----
  int Config(ConfigRequest& request, const char** answer) override;
  int SendRequest(const char* url, int verb, const void* body, int length, bool parse) override;
  int ClearRequestState() override;
  int FireProgress(int direction, int64_t done, int64_t total, int percent) override;
  int NotifyFragmentComplete(int fragment_number, int fragment_count, int* interrupt) override;
  // Event slots of the control; the HTTP client's own events without a control event are
  // swallowed so that they cannot arrive in a slot of another meaning.
  int FireConnected(int code, const char* description) override { return 0; }
  int FireDisconnected(int code, const char* description) override { return 0; }
  int FireConnectionStatusEvent(const char* text, int code, const char* description) override {
    return 0;
  }
  int FireSSLStatus(const char* message) override;
  int FireSSLServerAuthentication(const void* encoded, int length, const char* subject,
                                  const char* issuer, const char* status, int* accept) override;
  int FireLog(int level, const char* text, const char* type) override;
  int FireHeader(const char* field, const char* value) override;
  int FireSetCookie(const char* name, const char* value, const char* expires, const char* domain,
                    const char* path, int secure) override {
    return 0;
  }
  int FireRedirect(const char* location, int* accept) override { return 0; }
  int FireStatus(const char* version, int code, const char* reason) override { return 0; }
  int FireStartTransfer(int direction) override;
  int FireTransfer(int direction, int64_t bytes, int percent, const void* data, int n) override;

  // ---- Event operations added by this class ----
  virtual int FireBlobList(const BlobRecord& blob);
  virtual int FireBlockList(const BlockRecord& block);
  virtual int FireContainerList(const ContainerRecord& container);
  virtual int FireFragmentComplete(int fragment_number, int fragment_count, int* interrupt);
  virtual int FireMetadataList(const char* container, const char* blob, const char* snapshot,
                               const char* name, const char* value);
  virtual int FirePrefixList(const char* prefix);

  // ---- Requests ----
  // The URL of a container or blob: scheme, account, ".blob", Endpoint, "/", the container and
  // "/" and the blob name percent-encoded as UTF-8. 603 without an account.
  int BuildRequestUrl(const char* container, const char* blob, ByteString* url);
  // SendRequest with a text body that ends at its first NUL (null or "" sends none).
  int SendServiceRequest(const char* url, int verb, const char* body, bool parse);

  // ---- Shared access ----
  // A signed service link (no request is sent) to Container, or to the blob (with Snapshot when
  // set); the QueryParam items add the other signed fields. 0 or an error code with an empty
  // link.
  int GetLink(const char* blob, const char* permissions, const char* start_time,
              const char* expiry_time, ByteString* link);

  // ---- Listings ----
  int ListContainers();
  int ListBlobs();
  int ListBlocks(const char* block_blob, int block_list_type);
  int ListPageRanges(const char* page_blob);

  // ---- Container, lease, copy and metadata operations ----
  // Each returns 0 or an error code; argument checks fail before anything is sent.
  int CreateContainer();
  int DeleteContainer();
  // Fills the container and metadata collections from the response headers.
  int GetContainerInfo();
  // Fills the access policy collection; *public_access gets 0 (none), 1 (blob), 2 (container).
  int GetContainerACL(int32_t* public_access);
  // Sends the access policy collection with the public access level 0, 1 or 2.
  int SetContainerACL(int32_t public_access);
  // The metadata collection onto the blob, or onto Container when blob is empty.
  int UpdateMetadata(const char* blob);
  int GetBlobInfo(const char* blob);
  // The content headers of the blob's record in the blob collection.
  int UpdateBlobInfo(const char* blob);
  int CreateSnapshot(const char* blob, ByteString* snapshot);
  // Action 0 none, 1 "only" the snapshots, 2 "include" them; ignored with Snapshot set.
  int DeleteBlob(const char* blob, int32_t delete_action);
  int UndeleteBlob(const char* blob);
  // new_size -1 keeps the size; sequence action 0 none, 1 increment, 2 update, 3 max.
  int UpdatePageBlob(const char* page_blob, int64_t new_size, int32_t sequence_action,
                     int64_t new_sequence_num);
  // Action 0 acquire, 1 renew, 2 change, 3 release, 4 break; an empty blob leases Container.
  int Lease(const char* blob, int32_t action, const char* new_lease_id, int32_t duration);
  int AbortCopy(const char* dest_blob, const char* copy_id);
  // *copy_id gets CopyId while the copy is pending, else "".
  int CopyBlob(const char* src_blob, const char* dest_blob, const char* dest_container,
               ByteString* copy_id);
  // method is one of GET, HEAD, POST, PUT and DELETE exactly; the answer goes where GetBlob's
  // would (BlobData without a stream or LocalFile).
  int SendCustomRequest(const char* method, const char* blob, const char* body);
  // The metadata collection as request headers: "x-ms-meta-" + name, or the name as it stands
  // when it already carries that prefix. 0 or 200.
  int AddPrefixedMetadataHeaders();
  // The response's x-ms-meta- headers into the metadata collection (emptied first).
  int ReadMetadataHeaders();

  // ---- Collections ----
  // 0, or 432 with the collection's out-of-bounds text.
  int CheckIndex(BlobCollection collection, int index);
  int CollectionCount(BlobCollection collection) const;
  // Appends a block to the block list (Size -1). 0 or 200.
  int AddBlock(const char* id, int block_type);
  // Appends a metadata item. 0 or 200.
  int AddMetadata(const char* name, const char* value);
  // Sets a QueryParam item, replacing the value of one of the same name (without regard to
  // case); an empty name adds nothing. 0 or 200.
  int AddQueryParam(const char* name, const char* value);

  AccessPolicyArray& access_policies() { return access_policies_; }
  BlobArray& blobs() { return blobs_; }
  BlockArray& blocks() { return blocks_; }
  ContainerArray& containers() { return containers_; }
  ByteStringPairArray& metadata() { return metadata_; }
  PageRangeArray& page_ranges() { return page_ranges_; }
  ByteStringPairArray& query_params() { return query_params_; }
  // The common prefixes of the last blob listing (with StorePrefixList).
  const StringList& prefix_list() const { return prefix_list_; }

  // ---- Properties ----
  ByteString& access_key() { return access_key_; }
  ByteString& account() { return account_; }
  int64_t appended_block_count() const { return appended_block_count_; }
  void set_appended_block_count(int64_t n) { appended_block_count_ = n; }
  bool auto_add_blocks() const { return auto_add_blocks_; }
  void set_auto_add_blocks(bool on) { auto_add_blocks_ = on; }
  ByteString& blob_data() { return blob_data_; }
  ByteString& blob_delimiter() { return blob_delimiter_; }
  ByteString& blob_marker() { return blob_marker_; }
  ByteString& block_list_separator() { return block_list_separator_; }
  ByteString& container() { return container_; }
  ByteString& container_marker() { return container_marker_; }
  ByteString& copy_id() { return copy_id_; }
  ByteString& copy_progress() { return copy_progress_; }
  ByteString& copy_source_url() { return copy_source_url_; }
  ByteString& copy_status() { return copy_status_; }
  ByteString& copy_status_desc() { return copy_status_desc_; }
  bool encode_block_ids() const { return encode_block_ids_; }
  void set_encode_block_ids(bool on) { encode_block_ids_ = on; }
  const ByteString& endpoint() const { return endpoint_; }
  // Trimmed; empty restores the public cloud's domain; one trailing "/" is dropped.
  int SetEndpoint(const char* text);
  ByteString& if_match() { return if_match_; }
  bool include_snapshots() const { return include_snapshots_; }
  void set_include_snapshots(bool on) { include_snapshots_ = on; }
  bool include_soft_deleted() const { return include_soft_deleted_; }
  void set_include_soft_deleted(bool on) { include_soft_deleted_ = on; }
  bool include_uncommitted_blobs() const { return include_uncommitted_blobs_; }
  void set_include_uncommitted_blobs(bool on) { include_uncommitted_blobs_ = on; }
  int32_t lease_break_period() const { return lease_break_period_; }
  void set_lease_break_period(int32_t seconds) { lease_break_period_ = seconds; }
  ByteString& lease_id() { return lease_id_; }
  bool list_with_metadata() const { return list_with_metadata_; }
  void set_list_with_metadata(bool on) { list_with_metadata_ = on; }
  int32_t max_results() const { return max_results_; }
  // -1 or 1 to 5000, else 202 with its message.
  int SetMaxResults(int32_t n);
  ByteString& prefix() { return prefix_; }
  ByteString& previous_snapshot() { return previous_snapshot_; }
  bool send_metadata() const { return send_metadata_; }
  void set_send_metadata(bool on) { send_metadata_ = on; }
  bool send_metadata_on_copy() const { return send_metadata_on_copy_; }
  void set_send_metadata_on_copy(bool on) { send_metadata_on_copy_ = on; }
  bool send_metadata_on_put_block_list() const { return send_metadata_on_put_block_list_; }
  void set_send_metadata_on_put_block_list(bool on) { send_metadata_on_put_block_list_ = on; }
  bool send_metadata_on_snapshot() const { return send_metadata_on_snapshot_; }
  void set_send_metadata_on_snapshot(bool on) { send_metadata_on_snapshot_ = on; }
  int64_t simple_upload_limit() const { return simple_upload_limit_; }
  // 0 to 268435456, else 202 "Invalid SimpleUploadLimit value.".
  int SetSimpleUploadLimit(int64_t n);
  ByteString& snapshot() { return snapshot_; }
  bool store_prefix_list() const { return store_prefix_list_; }
  void set_store_prefix_list(bool on) { store_prefix_list_ = on; }
  ByteString& authorization_property() { return authorization_property_; }
  ByteString& other_headers_property() { return other_headers_property_; }
  bool use_ssl() const { return use_ssl_; }
  void set_use_ssl(bool on) { use_ssl_ = on; }
  ByteString& upload_blob_name() { return upload_blob_name_; }
  SharedKeySigner& signer() { return signer_; }

 protected:
  // Listing steps.
  int ReadContainerItem(const ByteString& item_path, ContainerRecord& record);
  int ReadBlobItem(const ByteString& item_path, const ByteString& container_name,
                   BlobRecord& record);
  int FireItemMetadata(const ByteString& item_path, const char* container, const char* blob,
                       const char* snapshot);
  int ReadBlockList(const char* list_path, int block_type);
  // 0 when the parsed answer's root element is the one at root_path, else 600 with its text.
  int RequireListingRoot(const char* root_path);
  // A listing's GET request once its query and headers are set (setup_rc, 0 when they are): sent,
  // and its answer checked for the listing's root element. 0 or the failure, recorded.
  int SendListRequest(int setup_rc, const char* url, const char* root_path);
  // 600: a listed size or offset of item (counted from 1) cannot be.
  int FailListedNumber(const char* field, int item);
  // The text at item_path + relative into out (left as it was when the element is absent); the
  // reader has already brought it into the client's code page.
  bool ReadField(const ByteString& item_path, const char* relative, ByteString& out);
  // A block id as listed: decoded when EncodeBlockIds is on and the decoded bytes are clean text
  // that encodes back to the same Base64; otherwise kept as listed.
  int DecodeBlockId(const char* listed, ByteString& out);
  int IndexedSetting(ConfigRequest& request, const char** answer, bool* handled);

 private:
  AccessPolicyArray access_policies_;
  BlobArray blobs_;
  BlockArray blocks_;
  ContainerArray containers_;
  ByteStringPairArray metadata_;
  PageRangeArray page_ranges_;
  ByteStringPairArray query_params_;

  ByteString access_key_;
  ByteString account_;
  int64_t appended_block_count_ = -1;
  bool auto_add_blocks_ = true;
  ByteString blob_data_;
  ByteString blob_delimiter_;
  ByteString blob_marker_;
  ByteString block_list_separator_;
  ByteString container_;
  ByteString container_marker_;
  ByteString copy_id_;
  ByteString copy_progress_;
  ByteString copy_source_url_;
  ByteString copy_status_;
  ByteString copy_status_desc_;
  bool encode_block_ids_ = true;
  ByteString endpoint_;
  ByteString if_match_;
  bool include_snapshots_ = false;
  bool include_soft_deleted_ = false;
  bool include_uncommitted_blobs_ = false;
  int32_t lease_break_period_ = -1;
  ByteString lease_id_;
  bool list_with_metadata_ = false;
  int32_t max_results_ = -1;
  ByteString prefix_;
  StringList prefix_list_;
  ByteString previous_snapshot_;
  bool send_metadata_ = false;
  bool send_metadata_on_copy_ = false;
  bool send_metadata_on_put_block_list_ = false;
  bool send_metadata_on_snapshot_ = false;
  int64_t simple_upload_limit_ = kBlobDefaultSimpleUploadLimit;
  ByteString snapshot_;
  bool store_prefix_list_ = false;
  ByteString authorization_property_;
  ByteString other_headers_property_;
  bool use_ssl_ = true;
  SharedKeySigner signer_;
  ByteString upload_blob_name_;

 public:
  // ---- Data transfer ----
  // Uploads come from the caller's stream, else LocalFile, else BlobData; downloads go to the
  // caller's stream, else LocalFile, else BlobData. 0 or an error code for each.
  int CreateBlob(const char* blob, int blob_type, int64_t page_blob_size);
  // The id as sent (Base64 when EncodeBlockIds is on) into sent_id when given.
  int PutBlock(const char* block_blob, const char* block_id, ByteString* sent_id);
  int PutBlockList(const char* block_blob, const char* block_list);
  int AppendBlock(const char* append_blob);
  int PutPages(const char* page_blob, int64_t write_offset);
  int ClearPages(const char* page_blob, int64_t byte_offset, int64_t page_count);
  int GetBlob(const char* blob);
  // AddBlock with the argument checks of the control (202 for an empty id or a bad type).
  int AddBlockChecked(const char* id, int block_type);
  // The x-ms-range value of GetBlob from Range and StartByte ("" for none). 0 or 202.
  int BuildRangeText(ByteString& out);
  // A download may write LocalFile: it does not exist, or may be replaced (Overwrite, or a
  // resumption from StartByte), and it opens for writing. The check neither truncates an existing
  // file nor leaves a new one behind, so a failed download changes nothing on disk. 0, or the
  // code with its error text set.
  int CheckLocalFileWritable();
  // Every x-ms-meta- header of the request has a name a header may have; else 202 with a text
  // naming the metadata item.
  int CheckMetadataNames();
  // Fails with 600 and a text naming the collection and its count property when have plus the
  // children of list_path (only those named element, when given) pass kMaxShortCount.
  int CheckShortCount(const char* list_path, const char* element, int have, const char* what,
                      const char* property);
  // Points the download at the temporary file of a replacement of LocalFile; 0, or the code
  // (611 when the file cannot be made) with its text and the request state cleared.
  int StartReplacingDownload(FileReplacement& replacement);
  // Puts the new content in LocalFile's place when rc is 0, else drops it; the outcome.
  int FinishReplacingDownload(FileReplacement& replacement, int rc);
  // A resumed download's file must exist and hold exactly StartByte bytes; else 202 and its text.
  int CheckResumeFile(const FilePath& path);
  int UploadBlockFragment(const void* piece, int length) override;
  int32_t fragment_count() const { return fragment_count_; }
  int32_t fragment_number() const { return fragment_number_; }
  // How the caller's upload stream moves to an absolute offset (the new position, negative on
  // failure); without one a resumed stream upload fails with 612.
  void SetUploadStreamSeek(std::function<int64_t(int64_t)> seek) {
    upload_stream_seek_ = std::move(seek);
  }
  // True when any of EncryptionPassword, EncryptionKey or EncryptionIV is set.
  bool EncryptionConfigured() const;

 protected:
  // Client-side encryption hooks: the upload data encrypted into a new temporary file (its name
  // and size out), and a finished download's temporary file decrypted into the target.
  virtual int EncryptUploadToTempFile(ByteString& temp_file, int64_t* size);
  virtual int DecryptDownload();
  // The size of the upload source; LocalFile is opened once to check it can be read (611).
  int UploadDataSize(int64_t* size);
  int UploadData(const char* url, bool encryption_allowed);
  int PutBlockData(const char* blob, const char* id, const void* piece, int length,
                   bool has_piece, ByteString* sent_id);
  int AutomaticBlockUpload(const char* blob, int64_t size);
  int SendPieces(int64_t size, const ByteString& temp_file);
  int CheckResumedBlocks(int64_t size);
  int AddMetadataHeaders(const ByteStringPairArray& items);
  int TransferFailed(int code, const char* text);

  // ---- Client-side encryption ----
  // One run of a cipher component over temp_file: direction 1 encrypts the upload source (the
  // caller's stream when use_stream, else LocalFile, else data) into it; direction 0 decrypts it
  // into the download target (the caller's stream when use_stream, else LocalFile, else data).
  // 0 or the component's code, whose text becomes the last error text.
  int ClientSideCrypt(const char* temp_file, int direction, ByteString& data, bool use_stream);
  // The upload data encrypted into a new "tmp" file in TempPath: its name and size out. On
  // failure no file is left. 0, the temporary name's code (11, 12), 612 or the component's code.
  int EncryptUploadData(ByteString& temp_file, int64_t* size);
  // DownloadTempFile decrypted into the target, then deleted and emptied; kept on failure.
  int DecryptDownloadedData();
  int CryptFailed(int code, const char* text);

 private:
  int32_t fragment_count_ = 0;
  int32_t fragment_number_ = 0;
  // Set while an automatic block upload commits: the new content takes none of the old blob's
  // metadata or content settings.
  bool fresh_commit_ = false;
  std::function<int64_t(int64_t)> upload_stream_seek_;
};

}  // namespace tw
