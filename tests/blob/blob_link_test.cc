// Shared access links made by the blob client, used by curl against the storage emulator: a read
// link fetches the blob's bytes (and a snapshot's own bytes), an expired or altered link is
// refused, a container link lists, and the link leaves nothing behind for the next request.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace {

using blobtest::Str;
using blobtest::TestClient;
using testsupport::AzuritePeer;

// A UTC time seconds from now, as the service writes it.
std::string UtcFromNow(long seconds) {
  const std::time_t t = std::time(nullptr) + seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

struct Fetch {
  int status = 0;  // HTTP status, 0 when curl failed
  std::string body;
};

class AzuriteLink : public blobtest::EmulatorFixture {
 protected:
  static void SetUpTestSuite() {
    const std::string out = StartEmulator(R"([
        {"op":"container","name":"links"},
        {"op":"blob","container":"links","name":"notes/first draft.txt","data":"old words"},
        {"op":"snapshot","container":"links","name":"notes/first draft.txt"},
        {"op":"blob","container":"links","name":"notes/first draft.txt","data":"new words\n"},
        {"op":"blob","container":"links","name":"other.bin","data":"x"}])");
    if (!skip_reason_.empty() || !seed_failure_.empty()) return;
    if (!testsupport::HaveProgram("curl")) {
      skip_reason_ = "curl not installed";
      return;
    }
    const std::vector<std::string> lines = testsupport::Lines(out);
    const std::string key = "\"snapshot\":\"";
    const size_t at = lines.size() > 2 ? lines[2].find(key) : std::string::npos;
    if (at == std::string::npos) {
      seed_failure_ = "seeding failed: " + out;
      return;
    }
    snapshot_ = lines[2].substr(at + key.size(), lines[2].find('"', at + key.size()) -
                                                     (at + key.size()));
  }
  void SetUp() override {
    EmulatorFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    PointAt(client_);
    client_.container().SetText("links");
  }

  // GETs the URL with curl, the product-style host pinned to loopback.
  static Fetch Get(const std::string& url) {
    const std::string host =
        AzuritePeer::account() + ".blob.localhost:" + std::to_string(azurite_->port());
    const std::string dir = testsupport::MakeTempDir();
    const std::string body_file = dir + "/body";
    int status = -1;
    const std::string code = testsupport::RunCommand(
        "curl -s -g --max-time 20 --resolve " + host + ":127.0.0.1 -o '" + body_file +
            "' -w '%{http_code}' '" + url + "'",
        "", &status);
    Fetch f;
    if (status == 0) f.status = std::atoi(code.c_str());
    f.body = testsupport::ReadFile(body_file);
    testsupport::RunCommand("rm -rf '" + dir + "'");
    return f;
  }

  std::string Link(const char* blob, const char* permissions, const std::string& start,
                   const std::string& expiry) {
    tw::ByteString link;
    const int rc = client_.GetLink(blob, permissions, start.c_str(), expiry.c_str(), &link);
    EXPECT_EQ(rc, 0) << client_.Error();
    return Str(link);
  }

  inline static std::string snapshot_;
  TestClient client_;
};

TEST_F(AzuriteLink, ReadLinkFetchesTheBlobsBytes) {
  const std::string link =
      Link("notes/first draft.txt", "r", UtcFromNow(-300), UtcFromNow(3600));
  ASSERT_NE(link.find("/links/notes/first%20draft.txt?sv=2019-02-02&sp=r&st="), std::string::npos)
      << link;
  const Fetch f = Get(link);
  EXPECT_EQ(f.status, 200) << f.body;
  EXPECT_EQ(f.body, "new words\n");

  // The same blob without the link is refused: the grant is the signature, not the emulator.
  const Fetch bare = Get(link.substr(0, link.find('?')));
  EXPECT_NE(bare.status, 200);
}

TEST_F(AzuriteLink, SnapshotLinkFetchesTheSnapshotsBytes) {
  client_.snapshot().SetText(snapshot_.c_str());
  const std::string link = Link("notes/first draft.txt", "r", "", UtcFromNow(3600));
  ASSERT_NE(link.find("&sr=bs&sig="), std::string::npos) << link;
  const Fetch f = Get(link);
  EXPECT_EQ(f.status, 200) << f.body;
  EXPECT_EQ(f.body, "old words");
}

TEST_F(AzuriteLink, ExpiredOrAlteredLinksAreRefused) {
  const Fetch expired = Get(Link("other.bin", "r", "", "2001-02-03T04:05:06Z"));
  EXPECT_EQ(expired.status, 403) << expired.body;

  // Moving the expiry out after signing breaks the signature.
  const std::string good = Link("other.bin", "r", "", UtcFromNow(600));
  const size_t se = good.find("&se=");
  ASSERT_NE(se, std::string::npos);
  const size_t end = good.find('&', se + 1);
  const std::string altered = good.substr(0, se) + "&se=2099-01-01T00%3A00%3A00Z" + good.substr(end);
  const Fetch f = Get(altered);
  EXPECT_EQ(f.status, 403) << f.body;
  EXPECT_EQ(Get(good).status, 200);

  // A link that grants listing only does not read.
  const Fetch list_only = Get(Link("other.bin", "l", "", UtcFromNow(600)));
  EXPECT_EQ(list_only.status, 403) << list_only.body;
}

TEST_F(AzuriteLink, ContainerLinkLists) {
  const std::string link = Link("", "rl", "", UtcFromNow(600));
  ASSERT_NE(link.find("&sr=c&sig="), std::string::npos) << link;
  const Fetch f = Get(link + "&restype=container&comp=list");
  EXPECT_EQ(f.status, 200) << f.body;
  EXPECT_NE(f.body.find("<Name>notes/first draft.txt</Name>"), std::string::npos) << f.body;
  EXPECT_NE(f.body.find("<Name>other.bin</Name>"), std::string::npos) << f.body;
}

TEST_F(AzuriteLink, QueryParamsAreSignedAndNothingStaysForTheNextRequest) {
  // A signed response override the emulator honours: the content type the link asks for.
  ASSERT_EQ(client_.AddQueryParam("rsct", "text/x-link"), 0);
  const std::string link = Link("other.bin", "r", "", UtcFromNow(600));
  ASSERT_NE(link.find("&rsct=text%2Fx-link&sig="), std::string::npos) << link;
  EXPECT_EQ(Get(link).status, 200);

  // The client still signs its own requests with SharedKey afterwards.
  client_.query_params().Clear();
  ASSERT_EQ(client_.ListBlobs(), 0) << client_.Error();
  EXPECT_EQ(client_.blobs().Count(), 2);
}

TEST_F(AzuriteLink, MissingSettingsFailWithAnEmptyLink) {
  tw::ByteString link;
  client_.container().SetText("");
  EXPECT_EQ(client_.GetLink("b", "r", "", "2030-01-01T00:00:00Z", &link), 604);
  EXPECT_TRUE(link.empty());
  client_.container().SetText("links");
  client_.access_key().SetText("");
  EXPECT_EQ(client_.GetLink("b", "r", "", "2030-01-01T00:00:00Z", &link), 202);
  EXPECT_EQ(client_.Error(), "The AccessKey property must be set before calling this method.");
  EXPECT_TRUE(link.empty());
}

}  // namespace
