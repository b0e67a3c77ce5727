// Client-side encryption of blob transfers: keying checks that must fail before anything is
// sent, and encrypted uploads and downloads against the storage emulator, with the stored
// ciphertext read back by the reference SDK and, for a raw key and IV, compared with openssl.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "blob/blob_client.h"
#include "crypto/symmetric/cipher_component.h"
#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace {

using blobtest::Str;
using testsupport::AzuritePeer;

constexpr char kKeyHex[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr char kIvHex[] = "f0e1d2c3b4a5968778695a4b3c2d1e0f";

std::string Sha256(const std::string& data) {
  return testsupport::RunCommand("sha256sum", data).substr(0, 64);
}

// Names in a folder, "." and ".." left out.
std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

bool Exists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

// Counts requests, and can stop an upload after a fragment or a download after its first bytes.
class CryptClient : public blobtest::TestClient {
 public:
  int SendRequest(const char* url, int verb, const void* body, int length, bool parse) override {
    ++requests;
    return BlobClient::SendRequest(url, verb, body, length, parse);
  }
  int FireFragmentComplete(int number, int count, int* interrupt) override {
    last_fragment_count = count;
    if (number == stop_after_fragment) *interrupt = 1;
    return BlobClient::FireFragmentComplete(number, count, interrupt);
  }
  int FireTransfer(int direction, int64_t bytes, int percent, const void* data, int n) override {
    if (direction == 1 && interrupt_download && bytes > 0) {
      interrupt_download = false;
      Interrupt();
    }
    return BlobClient::FireTransfer(direction, bytes, percent, data, n);
  }
  int requests = 0;
  int last_fragment_count = 0;
  int stop_after_fragment = -1;
  bool interrupt_download = false;
};

// A caller's stream over a string: reads from a place a seek can move, collects what is written.
class StringStream : public tw::Stream {
 public:
  explicit StringStream(std::string data) : data_(std::move(data)) { SetSize(data_.size()); }
  int Read(void* buffer, int n) override {
    const size_t k = std::min(static_cast<size_t>(n), data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, k);
    pos_ += k;
    return static_cast<int>(k);
  }
  int ReadLine(char*, int) override { return -1; }
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

size_t PaddedSize(size_t n) { return (n / 16 + 1) * 16; }

// ---- Keying failures: nothing is sent and no temporary file stays behind ----

class EncryptionChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.UsePlainService("acct", 9);  // nothing listens
    client_.access_key().SetText("a2V5");
    client_.container().SetText("box");
    temp_dir_ = testsupport::MakeTempDir();
    client_.SetTempPath(temp_dir_.c_str());
    client_.blob_data().SetText("some plain data that would leave the machine");
  }
  void ExpectRefused(int rc, int code, const std::string& text) {
    EXPECT_EQ(rc, code);
    if (!text.empty()) {
      EXPECT_EQ(client_.Error(), text);
    }
    EXPECT_EQ(client_.requests, 0);
    EXPECT_TRUE(FilesIn(temp_dir_).empty());
  }
  CryptClient client_;
  std::string temp_dir_;
};

TEST_F(EncryptionChecks, KeyWithoutIvIsRefusedForAlgorithmsThatNeedOne) {
  client_.SetEncryptionKey(kKeyHex);
  ExpectRefused(client_.CreateBlob("b", 0, 0), 103, "IV must be specified.");
  client_.set_encryption_algorithm(tw::eaChaCha);
  ExpectRefused(client_.CreateBlob("b", 0, 0), 103, "IV must be specified.");
}

TEST_F(EncryptionChecks, BadKeysFailWithTheCipherCodes) {
  client_.SetEncryptionIV(kIvHex);
  client_.SetEncryptionKey("0102030405");  // 5 bytes: no AES key size
  ExpectRefused(client_.CreateBlob("b", 0, 0), 108, "");
  EXPECT_FALSE(client_.Error().empty());
  client_.SetEncryptionKey("zz-yy!");  // nothing decodes: no key
  ExpectRefused(client_.CreateBlob("b", 0, 0), 102, "");
  client_.SetEncryptionKey(kKeyHex);
  client_.SetEncryptionIV("0011");  // 2 bytes: no AES block
  ExpectRefused(client_.CreateBlob("b", 0, 0), 123, "");
  client_.set_encryption_algorithm(99);
  ExpectRefused(client_.CreateBlob("b", 0, 0), 101, "");
}

TEST_F(EncryptionChecks, MissingTempFolderPassesTheNameCodeThrough) {
  client_.SetEncryptionPassword("secret");
  client_.SetTempPath((temp_dir_ + "/no/such/folder").c_str());
  const int rc = client_.CreateBlob("b", 0, 0);
  EXPECT_TRUE(rc == 11 || rc == 12) << rc;
  EXPECT_EQ(client_.requests, 0);
}

// ---- Against the storage emulator ----

class AzuriteEncryption : public blobtest::EmulatorFixture {
 protected:
  void SetUp() override {
    EmulatorFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    PointAt(client_);
    client_.container().SetText("crypt");
    client_.set_overwrite(true);
    ASSERT_EQ(client_.SetSimpleUploadLimit(1000), 0);
    ASSERT_EQ(client_.SetFragmentSize(400), 0);
    dir_ = testsupport::MakeTempDir();
    temp_dir_ = testsupport::MakeTempDir();
    client_.SetTempPath(temp_dir_.c_str());
    Sdk(R"([{"op":"container","container":"crypt"}])");
  }
  std::vector<std::string> Sdk(const std::string& steps) { return RunSdk("sdk_transfer.js", steps); }
  std::string SdkRead(const std::string& name) {
    const auto lines = Sdk(R"([{"op":"read","container":"crypt","name":")" + name + "\"}]");
    return lines.empty() ? "" : lines[0];
  }
  static std::string ReadAnswer(size_t length, const std::string& sha256) {
    return R"({"ok":true,"length":)" + std::to_string(length) + R"(,"sha256":")" + sha256 + "\"}";
  }
  int UploadFromMemory(const std::string& name, const std::string& data) {
    client_.SetCallerLocalFile("");
    client_.blob_data().Set(data.data(), static_cast<int>(data.size()));
    return client_.CreateBlob(name.c_str(), 0, 0);
  }
  int DownloadToMemory(const std::string& name) {
    client_.SetCallerLocalFile("");
    client_.blob_data().Reset();
    return client_.GetBlob(name.c_str());
  }

  CryptClient client_;
  std::string dir_;
  std::string temp_dir_;
};


TEST_F(AzuriteEncryption, PasswordUploadStoresPaddedCiphertextAndDownloadRestoresIt) {
  const std::string data = testsupport::RandomBytes(700, 1);
  client_.SetEncryptionPassword("correct horse");
  ASSERT_EQ(UploadFromMemory("pw", data), 0) << client_.Error();
  EXPECT_EQ(client_.requests, 1);  // one PUT of the encrypted body
  const std::string stored = SdkRead("pw");
  EXPECT_NE(stored.find(R"("length":)" + std::to_string(PaddedSize(data.size()))), std::string::npos)
      << stored;
  EXPECT_EQ(stored.find(Sha256(data)), std::string::npos) << "stored in the clear";
  EXPECT_TRUE(FilesIn(temp_dir_).empty());

  ASSERT_EQ(DownloadToMemory("pw"), 0) << client_.Error();
  EXPECT_EQ(Sha256(Str(client_.blob_data())), Sha256(data));
  EXPECT_TRUE(client_.download_temp_file().empty());
  EXPECT_TRUE(FilesIn(temp_dir_).empty());

  // Without the password the client sees the ciphertext the SDK read.
  client_.SetEncryptionPassword("");
  ASSERT_EQ(DownloadToMemory("pw"), 0) << client_.Error();
  EXPECT_EQ(SdkRead("pw"), ReadAnswer(PaddedSize(data.size()), Sha256(Str(client_.blob_data()))));
}

TEST_F(AzuriteEncryption, KeyAndIvGiveTheSameCiphertextAsOpenssl) {
  if (!testsupport::HaveProgram("openssl")) {
    TW_REQUIRE_OR_SKIP("openssl not installed");
  }
  const std::string data = testsupport::RandomBytes(2500, 2);  // above the one-request limit
  const std::string expected = testsupport::RunCommand(
      std::string("openssl enc -aes-256-cbc -K ") + kKeyHex + " -iv " + kIvHex, data);
  ASSERT_EQ(expected.size(), PaddedSize(data.size()));
  const std::string path = dir_ + "/plain.bin";
  testsupport::WriteFile(path, data);
  client_.SetEncryptionKey(kKeyHex);
  client_.SetEncryptionIV(kIvHex);
  client_.blob_data().Reset();
  client_.SetCallerLocalFile(path.c_str());
  ASSERT_EQ(client_.CreateBlob("keyed", 0, 0), 0) << client_.Error();
  EXPECT_EQ(client_.last_fragment_count, 7);  // 2512 encrypted bytes in pieces of 400
  EXPECT_EQ(SdkRead("keyed"), ReadAnswer(expected.size(), Sha256(expected)));
  EXPECT_TRUE(FilesIn(temp_dir_).empty());

  // Into a local file, and into a caller's stream.
  const std::string target = dir_ + "/restored.bin";
  client_.SetCallerLocalFile(target.c_str());
  ASSERT_EQ(client_.GetBlob("keyed"), 0) << client_.Error();
  EXPECT_EQ(Sha256(testsupport::ReadFile(target)), Sha256(data));
  client_.SetCallerLocalFile("");
  StringStream sink("");
  client_.SetCallerDownloadStream(&sink);
  ASSERT_EQ(client_.GetBlob("keyed"), 0) << client_.Error();
  EXPECT_EQ(Sha256(sink.written), Sha256(data));
  EXPECT_TRUE(client_.blob_data().empty());
  EXPECT_TRUE(FilesIn(temp_dir_).empty());

  // The key alone cannot decrypt: refused, and the downloaded ciphertext is kept.
  client_.SetCallerDownloadStream(nullptr);
  client_.SetEncryptionIV("");
  EXPECT_EQ(client_.GetBlob("keyed"), 103);
  EXPECT_EQ(client_.Error(), "IV must be specified.");
  const std::string kept = Str(client_.download_temp_file());
  EXPECT_EQ(Sha256(testsupport::ReadFile(kept)), Sha256(expected));
  std::remove(kept.c_str());
}

TEST_F(AzuriteEncryption, StreamCipherAndRc4KeepTheSizeAndRoundTrip) {
  const std::string data = testsupport::RandomBytes(900, 3);
  client_.SetEncryptionKey(kKeyHex);
  client_.set_encryption_algorithm(tw::eaRC4);  // needs no IV
  ASSERT_EQ(UploadFromMemory("rc4", data), 0) << client_.Error();
  std::string stored = SdkRead("rc4");
  EXPECT_NE(stored.find(R"("length":900,)"), std::string::npos) << stored;
  EXPECT_EQ(stored.find(Sha256(data)), std::string::npos);
  ASSERT_EQ(DownloadToMemory("rc4"), 0) << client_.Error();
  EXPECT_EQ(Str(client_.blob_data()), data);

  client_.set_encryption_algorithm(tw::eaChaCha);
  client_.SetEncryptionIV("000000000000004a00000000");
  ASSERT_EQ(UploadFromMemory("chacha", data), 0) << client_.Error();
  stored = SdkRead("chacha");
  EXPECT_NE(stored.find(R"("length":900,)"), std::string::npos) << stored;
  ASSERT_EQ(DownloadToMemory("chacha"), 0) << client_.Error();
  EXPECT_EQ(Str(client_.blob_data()), data);
}

// An empty upload is stored as 0 bytes under every algorithm and comes back empty.
TEST_F(AzuriteEncryption, EmptyUploadRoundTripsUnderEveryAlgorithm) {
  client_.SetEncryptionPassword("nothing here");
  const std::string target = dir_ + "/empty.bin";
  for (int algorithm = tw::eaAES; algorithm <= tw::eaXSalsa20; ++algorithm) {
    SCOPED_TRACE("algorithm " + std::to_string(algorithm));
    client_.set_encryption_algorithm(algorithm);
    ASSERT_EQ(UploadFromMemory("empty", ""), 0) << client_.Error();
    client_.blob_data().SetText("stale");
    ASSERT_EQ(client_.GetBlob("empty"), 0) << client_.Error();
    EXPECT_TRUE(client_.blob_data().empty());
    testsupport::WriteFile(target, "old bytes");
    client_.SetCallerLocalFile(target.c_str());
    ASSERT_EQ(client_.GetBlob("empty"), 0) << client_.Error();
    EXPECT_EQ(testsupport::ReadFile(target), "");
  }
  EXPECT_EQ(SdkRead("empty"), ReadAnswer(0, Sha256("")));
  EXPECT_TRUE(FilesIn(temp_dir_).empty());
}

TEST_F(AzuriteEncryption, InterruptedDownloadResumesFromItsTemporaryFile) {
  const std::string data = testsupport::RandomBytes(300000, 4);
  ASSERT_EQ(client_.SetSimpleUploadLimit(1 << 20), 0);
  client_.SetEncryptionPassword("resume me");
  ASSERT_EQ(UploadFromMemory("big", data), 0) << client_.Error();

  client_.interrupt_download = true;
  EXPECT_EQ(DownloadToMemory("big"), 301);
  const std::string temp = Str(client_.download_temp_file());
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.rfind(temp_dir_ + "/tmp", 0), 0u) << temp;
  const std::string part = testsupport::ReadFile(temp);
  ASSERT_GT(part.size(), 0u);
  ASSERT_LT(part.size(), PaddedSize(data.size()));
  EXPECT_TRUE(client_.blob_data().empty());

  client_.set_start_byte(static_cast<int64_t>(part.size()));
  ASSERT_EQ(client_.GetBlob("big"), 0) << client_.Error();
  EXPECT_EQ(Sha256(Str(client_.blob_data())), Sha256(data));
  EXPECT_TRUE(client_.download_temp_file().empty());
  EXPECT_FALSE(Exists(temp));
}

TEST_F(AzuriteEncryption, WrongPasswordFailsAndKeepsTheTemporaryFile) {
  const std::string data = testsupport::RandomBytes(5000, 5);
  ASSERT_EQ(client_.SetSimpleUploadLimit(1 << 20), 0);
  client_.SetEncryptionPassword("right");
  ASSERT_EQ(UploadFromMemory("guarded", data), 0) << client_.Error();

  client_.SetEncryptionPassword("wrong");
  const std::string target = dir_ + "/never.bin";
  client_.SetCallerLocalFile(target.c_str());
  const int rc = client_.GetBlob("guarded");
  EXPECT_NE(rc, 0);
  EXPECT_FALSE(client_.Error().empty());
  EXPECT_FALSE(Exists(target));
  const std::string temp = Str(client_.download_temp_file());
  ASSERT_FALSE(temp.empty());
  const std::string cipher = testsupport::ReadFile(temp);
  EXPECT_EQ(SdkRead("guarded"), ReadAnswer(cipher.size(), Sha256(cipher)));

  // The right password, from the start: the kept file is replaced, decrypted and removed.
  client_.SetEncryptionPassword("right");
  ASSERT_EQ(client_.GetBlob("guarded"), 0) << client_.Error();
  EXPECT_EQ(Sha256(testsupport::ReadFile(target)), Sha256(data));
  EXPECT_FALSE(Exists(temp));
  EXPECT_TRUE(client_.download_temp_file().empty());
}

TEST_F(AzuriteEncryption, ResumedStreamUploadEncryptsTheWholeStreamAgain) {
  const std::string data = testsupport::RandomBytes(1300, 6);
  client_.SetEncryptionPassword("stream");
  // Reference: the same data in one go (the password derivation has no salt, so the
  // ciphertext is the same each time).
  ASSERT_EQ(UploadFromMemory("reference", data), 0) << client_.Error();
  const std::string reference = SdkRead("reference");
  client_.blob_data().Reset();

  StringStream source(data);
  client_.SetCallerUploadStream(&source);
  client_.stop_after_fragment = 2;
  EXPECT_EQ(client_.CreateBlob("streamed", 0, 0), 606);
  EXPECT_EQ(client_.start_byte(), 800);
  client_.stop_after_fragment = -1;
  const int before = client_.requests;
  EXPECT_EQ(client_.CreateBlob("streamed", 0, 0), 612);
  EXPECT_EQ(client_.Error(), "Upload stream must support seeking.");
  EXPECT_EQ(client_.requests, before);
  client_.SetUploadStreamSeek([&](int64_t offset) { return source.SeekTo(offset); });
  ASSERT_EQ(client_.CreateBlob("streamed", 0, 0), 0) << client_.Error();
  EXPECT_EQ(SdkRead("streamed"), reference);
  EXPECT_TRUE(FilesIn(temp_dir_).empty());
  client_.SetCallerUploadStream(nullptr);
  ASSERT_EQ(DownloadToMemory("streamed"), 0) << client_.Error();
  EXPECT_EQ(Str(client_.blob_data()), data);
}

TEST_F(AzuriteEncryption, PutBlockSendsPlainData) {
  const std::string data = "plain block contents";
  client_.SetEncryptionPassword("ignored here");
  client_.blob_data().Set(data.data(), static_cast<int>(data.size()));
  ASSERT_EQ(client_.PutBlock("blocky", "block-1", nullptr), 0) << client_.Error();
  client_.SetEncryptionPassword("");
  ASSERT_EQ(client_.PutBlockList("blocky", "U:block-1"), 0) << client_.Error();
  EXPECT_EQ(SdkRead("blocky"), ReadAnswer(data.size(), Sha256(data)));
}

// Interrupted exactly at the plain size: the resume must send the rest of the ciphertext
// (816 bytes in all), not commit 800 of them as success.
TEST_F(AzuriteEncryption, ResumeAtThePlainSizeSendsTheRestOfTheCiphertext) {
  const std::string data = testsupport::RandomBytes(800, 8);
  ASSERT_EQ(client_.SetSimpleUploadLimit(500), 0);
  client_.SetEncryptionPassword("resume");
  client_.stop_after_fragment = 2;
  EXPECT_EQ(UploadFromMemory("edge", data), 606);
  EXPECT_EQ(client_.start_byte(), 800);
  client_.stop_after_fragment = -1;
  ASSERT_EQ(UploadFromMemory("edge", data), 0) << client_.Error();
  const std::string stored = SdkRead("edge");
  EXPECT_NE(stored.find(R"("length":816,)"), std::string::npos) << stored;
  ASSERT_EQ(DownloadToMemory("edge"), 0) << client_.Error();
  EXPECT_EQ(Str(client_.blob_data()), data);
}

}  // namespace
