// Blob data transfer: argument checks (nothing may be sent), and uploads, blocks, pages, append
// blobs and downloads against the storage emulator, with every transferred blob's SHA-256
// compared with what the reference SDK reads or wrote.
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "blob/blob_client.h"
#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace {

using blobtest::Str;
using testsupport::AzuritePeer;

struct SentRequest {
  int verb;
  std::string comp;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string Header(const std::string& name) const {
    for (const auto& [n, v] : headers) {
      if (n == name) return v;
    }
    return "<none>";
  }
};

// Records every request as the client hands it to the HTTP layer, and can stop an upload after
// a given fragment or a download after its first received bytes.
class TransferClient : public blobtest::TestClient {
 public:
  int SendRequest(const char* url, int verb, const void* body, int length, bool parse) override {
    SentRequest r{verb, "", {}};
    std::string u = url ? url : "";
    const size_t q = u.find("comp=");
    if (q != std::string::npos) r.comp = u.substr(q + 5, u.find('&', q) - q - 5);
    for (int i = 0; i < request_query().Count(); ++i) {
      if (Str(request_query().At(i)->first) == "comp") r.comp = Str(request_query().At(i)->second);
    }
    for (int i = 0; i < request_headers().Count(); ++i) {
      r.headers.emplace_back(Str(request_headers().At(i)->first),
                             Str(request_headers().At(i)->second));
    }
    sent.push_back(r);
    if (before_send) std::exchange(before_send, nullptr)();
    return BlobClient::SendRequest(url, verb, body, length, parse);
  }
  int FireFragmentComplete(int number, int count, int* interrupt) override {
    if (number == stop_after_fragment) *interrupt = 1;
    return BlobClient::FireFragmentComplete(number, count, interrupt);
  }
  int FireTransfer(int direction, int64_t bytes, int percent, const void* data, int n) override {
    if (direction == 1 && on_download && bytes > 0) std::exchange(on_download, nullptr)();
    if (direction == 1 && interrupt_download && bytes > 0) {
      interrupt_download = false;
      Interrupt();
    }
    return BlobClient::FireTransfer(direction, bytes, percent, data, n);
  }
  std::string Verbs() const {
    std::string out;
    for (const SentRequest& r : sent) {
      out += (r.verb == tw::kRestVerbPut ? "PUT" : r.verb == tw::kRestVerbHead ? "HEAD" : "GET");
      if (!r.comp.empty()) out += ":" + r.comp;
      out += " ";
    }
    return out;
  }

  std::vector<SentRequest> sent;
  int stop_after_fragment = -1;
  bool interrupt_download = false;
  std::function<void()> on_download, before_send;
};

// A caller's stream over a string: reads from a place that a seek function can move, and
// collects what is written.
class StringSource : public tw::Stream {
 public:
  explicit StringSource(std::string data) : data_(std::move(data)) { SetSize(data_.size()); }
  int Read(void* buffer, int n) override {
    const size_t k = std::min(static_cast<size_t>(n), data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, k);
    pos_ += k;
    return static_cast<int>(k);
  }
  int ReadLine(char* buffer, int n) override { return -1; }
  int PutByte(uint8_t byte) override {
    written += static_cast<char>(byte);
    return 0;
  }
  int WriteText(const char* text, int n) override {
    written.append(text, static_cast<size_t>(n));
    return n;
  }
  int64_t SeekTo(int64_t offset) {
    if (offset < 0 || static_cast<size_t>(offset) > data_.size()) return -1;
    pos_ = static_cast<size_t>(offset);
    return offset;
  }
  std::string written;

 private:
  std::string data_;
  size_t pos_ = 0;
};

std::string Sha256(const std::string& data) {
  return testsupport::RunCommand("sha256sum", data).substr(0, 64);
}

// ---- Argument checks: codes, texts, and nothing sent ----

class TransferChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.UsePlainService("acct", 9);  // nothing listens: a sent request would fail differently
    client_.access_key().SetText("a2V5");
    client_.container().SetText("box");
  }
  void Expect(int rc, int code, const std::string& text) {
    EXPECT_EQ(rc, code);
    EXPECT_EQ(client_.Error(), text);
    EXPECT_TRUE(client_.sent.empty()) << client_.Verbs();
  }
  TransferClient client_;
};

TEST_F(TransferChecks, CreateBlob) {
  Expect(client_.CreateBlob("", 0, 0), 604, "Blob must be specified when calling this method.");
  Expect(client_.CreateBlob("b", 3, 0), 202, "BlobType must be 0, 1, or 2.");
  Expect(client_.CreateBlob("b", -1, 0), 202, "BlobType must be 0, 1, or 2.");
  const char* page_text =
      "When creating a page blob, PageBlobSize must be greater than or equal to 0, and a multiple "
      "of 512.";
  Expect(client_.CreateBlob("b", 1, 100), 202, page_text);
  Expect(client_.CreateBlob("b", 1, -512), 202, page_text);
  client_.SetCallerLocalFile("/nonexistent/dir/file.bin");
  Expect(client_.CreateBlob("b", 0, 0), 611,
         "Cannot open file \"/nonexistent/dir/file.bin\" for reading.");
  client_.container().Reset();
  Expect(client_.CreateBlob("b", 0, 0), 604,
         "The Container property must be set before calling this method.");
}

TEST_F(TransferChecks, BlocksAndBlockLists) {
  Expect(client_.PutBlock("", "id", nullptr), 604,
         "BlockBlob must be specified when calling this method.");
  Expect(client_.PutBlock("b", "", nullptr), 202,
         "BlockId must be specified when calling this method.");
  Expect(client_.PutBlockList("", ""), 604, "BlockBlob must be specified when calling this method.");
  const char* begin_text =
      "Malformed block list string; each item must begin with \"C:\", \"U:\", or \"L:\".";
  Expect(client_.PutBlockList("b", "a,b"), 202, begin_text);
  Expect(client_.PutBlockList("b", "C:a,x:b"), 202, begin_text);
  Expect(client_.PutBlockList("b", "C:"), 202,
         "Malformed block string; each item must include a block Id.");
  Expect(client_.PutBlockList("b", ",,,"), 202, "Malformed block list string.");
  // A failed text leaves the collection as it was.
  ASSERT_EQ(client_.AddBlockChecked("keep", 0), 0);
  Expect(client_.PutBlockList("b", "C:a,b"), 202, begin_text);
  ASSERT_EQ(client_.blocks().Count(), 1);
  EXPECT_EQ(Str(client_.blocks().At(0)->id), "keep");

  Expect(client_.AddBlockChecked("", 0), 202, "Id must be specified when calling this method.");
  Expect(client_.AddBlockChecked("x", 3), 202, "BlockListType must be 0, 1, or 2.");
  Expect(client_.AddBlockChecked("x", -1), 202, "BlockListType must be 0, 1, or 2.");
  EXPECT_EQ(client_.blocks().Count(), 1);
}

TEST_F(TransferChecks, AppendAndPages) {
  Expect(client_.AppendBlock(""), 604, "AppendBlob must be specified when calling this method.");
  Expect(client_.PutPages("", 0), 604, "PageBlob must be specified when calling this method.");
  const char* write_text = "WriteOffset must be greater than or equal to 0, and a multiple of 512.";
  Expect(client_.PutPages("p", 100), 202, write_text);
  Expect(client_.PutPages("p", -512), 202, write_text);
  Expect(client_.ClearPages("", 0, 1), 604, "PageBlob must be specified when calling this method.");
  Expect(client_.ClearPages("p", 511, 1), 202,
         "ByteOffset must be greater than or equal to 0, and a multiple of 512.");
  Expect(client_.ClearPages("p", 512, 0), 202, "PageCount must be greater than or equal to 1.");
  // A count whose end offset cannot be represented is refused, not wrapped around.
  EXPECT_EQ(client_.ClearPages("p", 512, INT64_MAX / 256), 202);
  EXPECT_TRUE(client_.sent.empty());
}

TEST_F(TransferChecks, RangeTexts) {
  tw::ByteString text;
  auto range = [&](const char* r, int64_t start) {
    client_.SetRangeText(r);
    client_.set_start_byte(start);
    const int rc = client_.BuildRangeText(text);
    return rc == 0 ? Str(text) : "error " + std::to_string(rc) + ": " + client_.Error();
  };
  EXPECT_EQ(range("", 0), "");
  EXPECT_EQ(range("10-20", 0), "bytes=10-20");
  EXPECT_EQ(range("", 7), "bytes=7-");
  EXPECT_EQ(range("100-199", 50), "bytes=150-199");
  EXPECT_EQ(range("100-199", 99), "bytes=199-199");
  const std::string start_text =
      "error 202: The StartByte property must be less than the size of the byte range specified "
      "by the Range property.";
  EXPECT_EQ(range("100-199", 100), start_text);
  EXPECT_EQ(range("100-", 5), "bytes=105-");
  const std::string format_text =
      "error 202: The Range property's value is not formatted correctly.";
  EXPECT_EQ(range("-100", 5), format_text);
  EXPECT_EQ(range("100", 5), format_text);
  EXPECT_EQ(range("x-y", 5), format_text);
  EXPECT_EQ(range("9223372036854775807-", 5), start_text);
}

TEST_F(TransferChecks, GetBlobLocalFileAndEncryptedResume) {
  Expect(client_.GetBlob(""), 604, "Blob must be specified when calling this method.");
  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/exists.bin";
  testsupport::WriteFile(path, "old content");
  client_.SetCallerLocalFile(path.c_str());
  Expect(client_.GetBlob("b"), 608, "LocalFile exists and Overwrite is set to False.");
  EXPECT_EQ(testsupport::ReadFile(path), "old content");
  client_.SetCallerLocalFile((dir + "/no/such/dir/x.bin").c_str());
  client_.set_overwrite(true);
  Expect(client_.GetBlob("b"), 611,
         "Cannot open file \"" + dir + "/no/such/dir/x.bin\" for writing.");
  client_.SetCallerLocalFile("");
  client_.SetEncryptionPassword("secret");
  client_.set_start_byte(10);
  Expect(client_.GetBlob("b"), 610,
         "DownloadTempFile must be specified when resuming download of an encrypted file.");
  client_.SetRangeText("5");
  Expect(client_.GetBlob("b"), 202, "The Range property's value is not formatted correctly.");
}

// ---- Against the storage emulator ----

class AzuriteTransfer : public blobtest::EmulatorFixture {
 protected:
  void SetUp() override {
    EmulatorFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    PointAt(client_);
    client_.container().SetText("xfer");
    ASSERT_EQ(client_.SetSimpleUploadLimit(1000), 0);
    ASSERT_EQ(client_.SetFragmentSize(400), 0);
    dir_ = testsupport::MakeTempDir();
    Sdk(R"([{"op":"container","container":"xfer"}])");
  }
  std::vector<std::string> Sdk(const std::string& steps) { return RunSdk("sdk_transfer.js", steps); }
  std::string SdkRead(const std::string& name) {
    const auto lines = Sdk(R"([{"op":"read","container":"xfer","name":")" + name + "\"}]");
    return lines.empty() ? "" : lines[0];
  }
  static std::string ReadAnswer(const std::string& data) {
    return R"({"ok":true,"length":)" + std::to_string(data.size()) + R"(,"sha256":")" +
           Sha256(data) + "\"}";
  }
  int Upload(const std::string& name, const std::string& data, bool from_file) {
    if (from_file) {
      const std::string path = dir_ + "/" + name;
      testsupport::WriteFile(path, data);
      client_.blob_data().Reset();
      client_.SetCallerLocalFile(path.c_str());
    } else {
      client_.SetCallerLocalFile("");
      client_.blob_data().Set(data.data(), static_cast<int>(data.size()));
    }
    return client_.CreateBlob(name.c_str(), 0, 0);
  }

  TransferClient client_;
  std::string dir_;
};


TEST_F(AzuriteTransfer, SimpleUploadLimitAndOneByteMoreFromMemoryAndFile) {
  for (const bool from_file : {false, true}) {
    SCOPED_TRACE(from_file ? "file" : "memory");
    const std::string at_limit = testsupport::RandomBytes(1000, from_file ? 1 : 2);
    const std::string above = testsupport::RandomBytes(1001, from_file ? 3 : 4);
    const std::string a = from_file ? "limit-file" : "limit-mem";
    const std::string b = from_file ? "above-file" : "above-mem";

    client_.sent.clear();
    ASSERT_EQ(Upload(a, at_limit, from_file), 0) << client_.Error();
    EXPECT_EQ(client_.Verbs(), "PUT ");
    EXPECT_EQ(client_.sent[0].Header("If-None-Match"), "*");
    EXPECT_EQ(SdkRead(a), ReadAnswer(at_limit));

    client_.sent.clear();
    ASSERT_EQ(Upload(b, above, from_file), 0) << client_.Error();
    EXPECT_EQ(client_.Verbs(), "PUT PUT:block PUT:block PUT:block HEAD PUT:blocklist ");
    EXPECT_EQ(SdkRead(b), ReadAnswer(above));
    EXPECT_EQ(client_.start_byte(), 0);
    EXPECT_EQ(client_.blocks().Count(), 3);
    // Block ids are GUID texts, sent in Base64.
    EXPECT_EQ(Str(client_.blocks().At(0)->id).size(), 36u);
    EXPECT_EQ(client_.blocks().At(2)->size, 201);

    // With Overwrite off an existing blob is refused.
    EXPECT_EQ(Upload(a, at_limit, from_file), 600);
  }
}

TEST_F(AzuriteTransfer, AutomaticUploadProgressReachesOneHundredOnce) {
  const std::string data = testsupport::RandomBytes(2500, 5);
  client_.sink.events.clear();
  ASSERT_EQ(Upload("progress", data, false), 0) << client_.Error();
  int hundreds = 0;
  int64_t last_done = -1;
  for (const blobtest::Event& e : client_.sink.Of(tw::kBlobEventProgress)) {
    EXPECT_EQ(e.args[0], "0");
    EXPECT_EQ(e.args[2], "2500");
    EXPECT_GE(std::stoll(e.args[1]), last_done);
    last_done = std::stoll(e.args[1]);
    if (e.args[3] == "100") ++hundreds;
  }
  EXPECT_EQ(hundreds, 1);
  EXPECT_EQ(last_done, 2500);
  const auto fragments = client_.sink.Of(tw::kBlobEventFragmentComplete);
  ASSERT_EQ(fragments.size(), 7u);
  EXPECT_EQ(fragments[0].args[0], "1");
  EXPECT_EQ(fragments[6].args[0], "7");
  EXPECT_EQ(fragments[6].args[1], "7");
  EXPECT_EQ(SdkRead("progress"), ReadAnswer(data));
}

TEST_F(AzuriteTransfer, InterruptedUploadResumesAndRefusesUncoveredResume) {
  const std::string data = testsupport::RandomBytes(1100, 6);
  client_.stop_after_fragment = 2;
  EXPECT_EQ(Upload("resumed", data, true), 606);
  EXPECT_EQ(client_.Error(), "Upload was aborted by user.");
  EXPECT_EQ(client_.start_byte(), 800);
  EXPECT_EQ(client_.fragment_number(), 2);
  EXPECT_EQ(client_.fragment_count(), 3);
  EXPECT_EQ(client_.blocks().Count(), 2);

  // A collection that does not hold the first 800 bytes cannot be committed as the whole blob.
  tw::BlockArray saved;
  for (int i = 0; i < client_.blocks().Count(); ++i) saved.InsertCopy(i, *client_.blocks().At(i));
  client_.blocks().Clear();
  client_.stop_after_fragment = -1;
  client_.sent.clear();
  EXPECT_EQ(Upload("resumed", data, true), 202);
  EXPECT_NE(client_.Error().find("block collection"), std::string::npos) << client_.Error();
  EXPECT_TRUE(client_.sent.empty());
  EXPECT_EQ(client_.start_byte(), 800);

  for (int i = 0; i < saved.Count(); ++i) client_.blocks().InsertCopy(i, *saved.At(i));
  client_.sent.clear();
  ASSERT_EQ(Upload("resumed", data, true), 0) << client_.Error();
  EXPECT_EQ(client_.Verbs(), "PUT:block HEAD PUT:blocklist ");
  EXPECT_EQ(client_.start_byte(), 0);
  EXPECT_EQ(SdkRead("resumed"), ReadAnswer(data));
}

TEST_F(AzuriteTransfer, StreamUploadsResumeOnlyThroughASeekAndDownloadToAStream) {
  const std::string small = testsupport::RandomBytes(900, 30);
  StringSource small_source(small);
  client_.SetCallerUploadStream(&small_source);
  ASSERT_EQ(client_.CreateBlob("stream-small", 0, 0), 0) << client_.Error();
  EXPECT_EQ(SdkRead("stream-small"), ReadAnswer(small));

  const std::string data = testsupport::RandomBytes(1300, 31);
  StringSource source(data);
  client_.SetCallerUploadStream(&source);
  client_.stop_after_fragment = 1;
  EXPECT_EQ(client_.CreateBlob("stream", 0, 0), 606);
  EXPECT_EQ(client_.start_byte(), 400);
  client_.stop_after_fragment = -1;
  client_.sent.clear();
  EXPECT_EQ(client_.CreateBlob("stream", 0, 0), 612);
  EXPECT_EQ(client_.Error(), "Upload stream must support seeking.");
  EXPECT_TRUE(client_.sent.empty());
  client_.SetUploadStreamSeek([](int64_t) { return int64_t{-1}; });
  EXPECT_EQ(client_.CreateBlob("stream", 0, 0), 612);
  EXPECT_EQ(client_.Error(), "Failed to seek upload stream to StartByte.");
  client_.SetUploadStreamSeek([&](int64_t offset) { return source.SeekTo(offset); });
  ASSERT_EQ(client_.CreateBlob("stream", 0, 0), 0) << client_.Error();
  EXPECT_EQ(SdkRead("stream"), ReadAnswer(data));

  client_.SetCallerUploadStream(nullptr);
  StringSource target("");
  client_.SetCallerDownloadStream(&target);
  ASSERT_EQ(client_.GetBlob("stream"), 0) << client_.Error();
  EXPECT_EQ(Sha256(target.written), Sha256(data));
  EXPECT_TRUE(client_.blob_data().empty());
}

TEST_F(AzuriteTransfer, OverwriteKeepsTheOldBlobUntilTheNewBlocksCommit) {
  const std::string old_data = testsupport::RandomBytes(300, 7);
  ASSERT_EQ(Upload("replaced", old_data, false), 0) << client_.Error();
  client_.set_overwrite(true);
  // Replacing in one request carries no condition while IfMatch is empty.
  client_.sent.clear();
  ASSERT_EQ(Upload("replaced", old_data, false), 0) << client_.Error();
  EXPECT_EQ(client_.sent[0].Header("If-None-Match"), "<none>");
  EXPECT_EQ(client_.sent[0].Header("If-Match"), "<none>");
  const std::string new_data = testsupport::RandomBytes(1500, 8);
  client_.stop_after_fragment = 1;
  client_.sent.clear();
  EXPECT_EQ(Upload("replaced", new_data, false), 606);
  EXPECT_EQ(client_.Verbs(), "PUT:block ");
  EXPECT_EQ(SdkRead("replaced"), ReadAnswer(old_data));
  client_.stop_after_fragment = -1;
  ASSERT_EQ(Upload("replaced", new_data, false), 0) << client_.Error();
  EXPECT_EQ(SdkRead("replaced"), ReadAnswer(new_data));
}

TEST_F(AzuriteTransfer, MetadataRidesOnCreationAndOnTheCommitOfBlocks) {
  client_.set_send_metadata(true);
  client_.AddMetadata("origin", "control");
  client_.AddMetadata("x-ms-meta-Kind", "prefixed");
  ASSERT_EQ(Upload("meta-one", "short", false), 0) << client_.Error();
  EXPECT_EQ(client_.sent.back().Header("x-ms-meta-Kind"), "prefixed");
  client_.set_overwrite(true);
  const std::string data = testsupport::RandomBytes(1200, 40);
  ASSERT_EQ(Upload("meta-one", data, false), 0) << client_.Error();
  const auto with = Sdk(R"([{"op":"props","container":"xfer","name":"meta-one"}])");
  ASSERT_EQ(with.size(), 1u);
  EXPECT_NE(with[0].find(R"("origin":"control")"), std::string::npos) << with[0];
  EXPECT_NE(with[0].find(R"("kind":"prefixed")"), std::string::npos) << with[0];
  // A new upload without SendMetadata replaces the content and keeps none of the old metadata.
  client_.set_send_metadata(false);
  ASSERT_EQ(Upload("meta-one", data, false), 0) << client_.Error();
  const auto without = Sdk(R"([{"op":"props","container":"xfer","name":"meta-one"}])");
  ASSERT_EQ(without.size(), 1u);
  EXPECT_NE(without[0].find(R"("metadata":{})"), std::string::npos) << without[0];
  EXPECT_EQ(SdkRead("meta-one"), ReadAnswer(data));
}

TEST_F(AzuriteTransfer, BlockListCommitsBinaryIdsAndDropsTheOldContentMd5) {
  // The SDK writes a blob in one request (the service keeps its Content-MD5), then stages a
  // block under a binary id.
  const std::string old_data = "old content";
  const std::string path = dir_ + "/old.txt";
  testsupport::WriteFile(path, old_data);
  Sdk(R"([{"op":"uploadFile","container":"xfer","name":"listed","file":")" + path + R"("},
          {"op":"stage","container":"xfer","name":"listed","id":"/wD+AQ==","data":"binary id block"}])");
  const std::string old_md5 =
      testsupport::RunCommand("openssl md5 -binary | base64", old_data).substr(0, 24);
  const auto before = Sdk(R"([{"op":"props","container":"xfer","name":"listed"}])");
  ASSERT_EQ(before.size(), 1u);
  ASSERT_NE(before[0].find("\"contentMD5\":\"" + old_md5), std::string::npos) << before[0];
  // The control's own block under a text id (the service wants ids of one length).
  client_.blob_data().SetText("+text id block");
  tw::ByteString sent;
  ASSERT_EQ(client_.PutBlock("listed", "txt1", &sent), 0) << client_.Error();
  EXPECT_EQ(Str(sent), "dHh0MQ==");
  ASSERT_EQ(client_.ListBlocks("listed", tw::kBlockListUncommitted), 0) << client_.Error();
  ASSERT_EQ(client_.blocks().Count(), 2);
  EXPECT_TRUE(client_.blocks().At(0)->id_is_encoded);
  EXPECT_FALSE(client_.blocks().At(1)->id_is_encoded);
  ASSERT_EQ(client_.PutBlockList("listed", ""), 0) << client_.Error();
  EXPECT_EQ(SdkRead("listed"), ReadAnswer("binary id block+text id block"));
  const auto props = Sdk(R"([{"op":"props","container":"xfer","name":"listed"}])");
  ASSERT_EQ(props.size(), 1u);
  // Any MD5 left on the blob must be the new content's, never the old one's.
  EXPECT_EQ(props[0].find(old_md5), std::string::npos) << props[0];

  // The text form C:/U: list replaces the collection.
  ASSERT_EQ(client_.PutBlock("listed", "2nd!", nullptr), 0);
  ASSERT_EQ(client_.PutBlockList("listed", "C:txt1,U:2nd!"), 0) << client_.Error();
  EXPECT_EQ(SdkRead("listed"), ReadAnswer("+text id block+text id block"));
}

TEST_F(AzuriteTransfer, DownloadsWithRangeStartByteAndResumption) {
  const std::string data = testsupport::RandomBytes(300000, 9);
  const std::string path = dir_ + "/source.bin";
  testsupport::WriteFile(path, data);
  Sdk(R"([{"op":"uploadFile","container":"xfer","name":"big","file":")" + path + "\"}]");

  // Memory, with a range moved on by StartByte.
  client_.SetRangeText("100-199");
  client_.set_start_byte(50);
  ASSERT_EQ(client_.GetBlob("big"), 0) << client_.Error();
  EXPECT_EQ(client_.sent.back().Header("x-ms-range"), "bytes=150-199");
  EXPECT_EQ(Str(client_.blob_data()), data.substr(150, 50));
  client_.SetRangeText("");
  client_.set_start_byte(0);

  // A file download interrupted after its first bytes, then resumed from the file's size.
  const std::string target = dir_ + "/target.bin";
  client_.SetCallerLocalFile(target.c_str());
  client_.interrupt_download = true;
  EXPECT_EQ(client_.GetBlob("big"), 301);
  const std::string part = testsupport::ReadFile(target);
  ASSERT_LT(part.size(), data.size());
  EXPECT_EQ(part, data.substr(0, part.size()));
  client_.set_start_byte(static_cast<int64_t>(part.size()));
  ASSERT_EQ(client_.GetBlob("big"), 0) << client_.Error();
  EXPECT_EQ(Sha256(testsupport::ReadFile(target)), Sha256(data));

  // An error status neither creates nor touches the local file.
  client_.set_start_byte(0);
  client_.set_overwrite(true);
  EXPECT_EQ(client_.GetBlob("missing"), 600);
  EXPECT_EQ(Sha256(testsupport::ReadFile(target)), Sha256(data));
  // A download cut short over a whole file leaves it whole, with nothing left beside it.
  client_.interrupt_download = true;
  EXPECT_EQ(client_.GetBlob("big"), 301);
  EXPECT_EQ(Sha256(testsupport::ReadFile(target)), Sha256(data));
  for (const auto& e : std::filesystem::directory_iterator(dir_)) EXPECT_NE(e.path().extension(), ".TMP");
  const std::string absent = dir_ + "/absent.bin";
  client_.SetCallerLocalFile(absent.c_str());
  EXPECT_EQ(client_.GetBlob("missing"), 600);
  FILE* created = std::fopen(absent.c_str(), "rb");
  EXPECT_EQ(created, nullptr);
  if (created != nullptr) std::fclose(created);
  // Another process starts writing the new file as this download begins: this one fails and
  // leaves the other's bytes, from which it resumes once the other is gone.
  const std::string shared = dir_ + "/shared.bin";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t writer = -1;
  client_.before_send = [&] {
    tw::FileHandle other;
    if ((writer = fork()) == 0) {
      const bool ok = other.OpenWriteText(shared.c_str(), 0, 65001) == 0 && other.Write(data.data(), 1000) == 0;
      _exit(write(ready[1], ok ? "y" : "n", 1) == 1 ? pause() : 1);
    }
    char held = 0;
    EXPECT_TRUE(read(ready[0], &held, 1) == 1 && held == 'y');
  };
  client_.SetCallerLocalFile(shared.c_str());
  EXPECT_EQ(client_.GetBlob("big"), 302);
  EXPECT_EQ(client_.Error(), "Can't open local file for writing.");
  kill(writer, SIGKILL), waitpid(writer, nullptr, 0), close(ready[0]), close(ready[1]);
  EXPECT_EQ(Sha256(testsupport::ReadFile(shared)), Sha256(data.substr(0, 1000)));
  client_.set_start_byte(1000);
  ASSERT_EQ(client_.GetBlob("big"), 0) << client_.Error();
  EXPECT_EQ(Sha256(testsupport::ReadFile(shared)), Sha256(data));
  // A file that another writer made and finished after the check is not overwritten either.
  const std::string late = dir_ + "/late.bin";
  client_.set_start_byte(0);
  client_.before_send = [&] { testsupport::WriteFile(late, "other"); };
  client_.SetCallerLocalFile(late.c_str());
  EXPECT_EQ(client_.GetBlob("big"), 302);
  EXPECT_TRUE(testsupport::ReadFile(late) == "other") << "the other writer's file was replaced";
}

TEST_F(AzuriteTransfer, PageBlobPutClearAndRanges) {
  ASSERT_EQ(client_.CreateBlob("pages", 1, 4096), 0) << client_.Error();
  const std::string chunk = testsupport::RandomBytes(1536, 10);
  client_.blob_data().Set(chunk.data(), static_cast<int>(chunk.size()));
  ASSERT_EQ(client_.PutPages("pages", 512), 0) << client_.Error();
  EXPECT_EQ(client_.sent.back().Header("x-ms-range"), "bytes=512-2047");
  ASSERT_EQ(client_.ClearPages("pages", 1024, 1), 0) << client_.Error();
  EXPECT_EQ(client_.sent.back().Header("x-ms-range"), "bytes=1024-1535");
  ASSERT_EQ(client_.ListPageRanges("pages"), 0) << client_.Error();
  std::string ranges;
  for (int i = 0; i < client_.page_ranges().Count(); ++i) {
    const tw::PageRangeRecord* r = client_.page_ranges().At(i);
    if (!r->cleared) ranges += std::to_string(r->first) + "-" + std::to_string(r->last) + " ";
  }
  EXPECT_EQ(ranges, "512-1023 1536-2047 ");
  std::string expected(4096, '\0');
  expected.replace(512, 512, chunk.substr(0, 512));
  expected.replace(1536, 512, chunk.substr(1024, 512));
  EXPECT_EQ(SdkRead("pages"), ReadAnswer(expected));
  client_.blob_data().Reset();
  ASSERT_EQ(client_.GetBlob("pages"), 0) << client_.Error();
  EXPECT_EQ(Sha256(Str(client_.blob_data())), Sha256(expected));
}

TEST_F(AzuriteTransfer, AppendBlobWithSeveralAppends) {
  ASSERT_EQ(client_.CreateBlob("log", 2, 0), 0) << client_.Error();
  std::string all;
  for (int i = 0; i < 3; ++i) {
    const std::string piece = testsupport::RandomBytes(700 + i, 20 + i);
    all += piece;
    client_.blob_data().Set(piece.data(), static_cast<int>(piece.size()));
    ASSERT_EQ(client_.AppendBlock("log"), 0) << client_.Error();
    EXPECT_EQ(client_.appended_block_count(), i + 1);
  }
  EXPECT_EQ(SdkRead("log"), ReadAnswer(all));
  const auto props = Sdk(R"([{"op":"props","container":"xfer","name":"log"}])");
  ASSERT_EQ(props.size(), 1u);
  EXPECT_NE(props[0].find("\"blobType\":\"AppendBlob\""), std::string::npos) << props[0];
}

// An overwriting download over each kind of existing file: the file keeps its mode, owner and
// links, nothing is left beside it, and a failure leaves the old bytes with a text naming it.
struct ReplaceCase {
  const char* name;
  const char* shape;  // regular, symlink, hardlink, stale, closed (folder), closed-all, cut, hook,
                      // encrypted, custom (request), gone (removed meanwhile), private, attributes
  int code;
  const char* error;  // a part of the error text ("" when rc is 0)
};
constexpr ReplaceCase kReplaceCases[] = {
    {"RegularFileKeepsModeAndOwner", "regular", 0, ""},
    {"SymbolicLinkReplacesItsTarget", "symlink", 0, ""},
    {"HardLinkStaysOneFile", "hardlink", 0, ""},
    {"StaleTemporaryFileIsReplaced", "stale", 0, ""},
    {"UnwritableFolderIsWrittenOver", "closed", 0, ""},
    {"NoFolderTakesATemporaryFile", "closed-all", 611, "/closed/file.bin.download.TMP\" for file"},
    {"InterruptedDownloadLeavesTheOldBytes", "cut", 301, "Interrupted."},
    {"HostCleanupRemovesTheTemporaryFile", "hook", 611, "/file.bin\" with its new content"},
    {"DecryptedDownloadKeepsModeAndOwner", "encrypted", 0, ""},
    {"CustomRequestCutShortLeavesTheOldBytes", "custom", 301, "Interrupted."},
    {"FileRemovedMeanwhileGetsTheDownload", "gone", 0, ""},
    {"TemporaryFileIsPrivateDuringTheDownload", "private", 0, ""},
    {"AccessListAndExtendedAttributesAreKept", "attributes", 0, ""},
};

class ReplacingDownload : public AzuriteTransfer, public ::testing::WithParamInterface<ReplaceCase> {};

TEST_P(ReplacingDownload, KeepsTheFileAndLeavesNothingBehind) {
  const ReplaceCase& c = GetParam();
  const std::string shape = c.shape;
  const std::string data = testsupport::RandomBytes(200000, 31);
  testsupport::WriteFile(dir_ + "/up.bin", data);
  Sdk(R"([{"op":"uploadFile","container":"xfer","name":"big","file":")" + dir_ + "/up.bin\"}]");
  const bool closed = shape.starts_with("closed");
  const std::string folder = dir_ + (closed ? "/closed" : ""), scratch = dir_ + "/scratch";
  const std::string file = folder + "/file.bin", real = dir_ + "/real.bin";
  mkdir(folder.c_str(), 0755), mkdir(scratch.c_str(), 0755), chmod(dir_.c_str(), 0755);
  chmod(scratch.c_str(), shape == "closed-all" ? 0755 : 01777);
  testsupport::WriteFile(shape == "symlink" ? real : file, "old bytes");
  if (shape == "symlink") { ASSERT_EQ(symlink(real.c_str(), file.c_str()), 0); }
  if (shape == "hardlink") { ASSERT_EQ(link(file.c_str(), real.c_str()), 0); }
  if (shape == "stale") testsupport::WriteFile(file + ".download.TMP", "stale part");
  const std::string owned = shape == "symlink" ? real : file;
  ASSERT_EQ(chown(owned.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(owned.c_str(), closed ? 0644 : 0640), 0);
  // The mode 0640 with user nobody as a reader, and a user attribute.
  const char* const names[] = {"system.posix_acl_access", "user.origin"};
  const std::string values[] = {std::string("\2\0\0\0\1\0\6\0\xff\xff\xff\xff\2\0\4\0\xfe\xff\0\0\4\0\4\0\xff\xff\xff\xff"
                                            "\x10\0\4\0\xff\xff\xff\xff\x20\0\0\0\xff\xff\xff\xff", 44), "here"};
  for (int i = 0; i < 2 && shape == "attributes"; ++i)
    ASSERT_EQ(setxattr(owned.c_str(), names[i], values[i].data(), values[i].size(), 0), 0) << names[i];
  if (shape == "cut" || shape == "custom") client_.interrupt_download = true;
  if (shape == "hook") {
    client_.on_download = [&] {
      tw::RemoveReplacementTempFiles();
      EXPECT_FALSE(std::filesystem::exists(file + ".download.TMP"));
    };
  }
  if (shape == "gone") client_.on_download = [&] { std::remove(file.c_str()); };
  struct stat temp{};
  if (shape == "private") client_.on_download = [&] { stat((file + ".download.TMP").c_str(), &temp); };
  if (shape == "encrypted") {
    client_.SetEncryptionPassword("pw");
    ASSERT_EQ(client_.SetSimpleUploadLimit(1 << 20), 0);
    client_.blob_data().Set(data.data(), static_cast<int>(data.size()));
    ASSERT_EQ(client_.CreateBlob("enc", 0, 0), 0) << client_.Error();
  }
  client_.SetCallerLocalFile(file.c_str());
  client_.set_overwrite(true);
  const char* saved = std::getenv("TMPDIR");
  const std::string saved_tmp = saved ? saved : "";
  setenv("TMPDIR", scratch.c_str(), 1);
  // This thread alone checks file access as nobody, who may not add to the closed folder.
  if (closed) setfsgid(65534), setfsuid(65534);
  const int rc = shape == "custom" ? client_.SendCustomRequest("GET", "big", "")
                                   : client_.GetBlob(shape == "encrypted" ? "enc" : "big");
  if (closed) setfsuid(0), setfsgid(0);
  saved ? setenv("TMPDIR", saved_tmp.c_str(), 1) : unsetenv("TMPDIR");

  EXPECT_EQ(rc, c.code) << client_.Error();
  EXPECT_NE(client_.Error().find(c.error), std::string::npos) << client_.Error();
  EXPECT_EQ(Sha256(testsupport::ReadFile(shape == "hardlink" ? real : file)),
            Sha256(c.code == 0 ? data : std::string("old bytes")));
  for (const std::string& d : {dir_, folder, scratch})
    for (const auto& e : std::filesystem::directory_iterator(d))
      EXPECT_NE(e.path().extension(), ".TMP") << e.path();
  if (shape == "gone") return;  // a new file: no old mode or owner to keep
  struct stat st{};
  ASSERT_EQ(stat(owned.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, closed ? 0644u : 0640u);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_nlink, shape == "hardlink" ? 2u : 1u);
  EXPECT_EQ(std::filesystem::is_symlink(file), shape == "symlink");
  if (shape == "private") { EXPECT_EQ(temp.st_mode & 07777, 0600u); }
  for (int i = 0; i < 2 && shape == "attributes"; ++i) {
    std::string got(64, '\0');
    got.resize(std::max<ssize_t>(0, getxattr(owned.c_str(), names[i], got.data(), got.size())));
    EXPECT_EQ(got, values[i]) << names[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReplacingDownload, ::testing::ValuesIn(kReplaceCases),
                         testsupport::CaseName{});

}  // namespace
