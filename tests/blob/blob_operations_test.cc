// Container, lease, copy and metadata operations: argument checks that send nothing, exact
// requests against a scripted service (for what the emulator lacks: undelete, copies from
// outside), and round trips with the storage emulator read back through the reference SDK.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/blob/blob_test_support.h"
#include "tests/blob/emulator_fixture.h"
#include "tests/peers/azurite_peer.h"
#include "tests/peers/scripted_peer.h"
#include "tests/support/test_support.h"

namespace {

using blobtest::Event;
using blobtest::Str;
using blobtest::TestClient;
using testsupport::AzuritePeer;
using testsupport::ScriptedPeer;
using Script = ScriptedPeer::Script;

constexpr char kKey[] =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

Script Reply(const std::string& response) {
  return Script{ScriptedPeer::WaitRequest(), ScriptedPeer::Send(response), ScriptedPeer::Close()};
}

std::string RequestLine(const std::string& request) {
  return request.substr(0, request.find("\r\n"));
}

bool HasHeader(const std::string& request, const std::string& line) {
  return request.find("\r\n" + line + "\r\n") != std::string::npos;
}
bool HasHeaderName(const std::string& request, const std::string& name) {
  return request.find("\r\n" + name + ":") != std::string::npos;
}
std::string Body(const std::string& request) {
  const size_t end = request.find("\r\n\r\n");
  return end == std::string::npos ? "" : request.substr(end + 4);
}

// ---- Argument checks ----

struct ArgumentCase {
  const char* name;
  std::function<int(TestClient&)> call;
  int code;
  const char* text;
};

const std::vector<ArgumentCase>& ArgumentCases() {
  static const std::vector<ArgumentCase> cases = {
      {"CreateContainerNoContainer",
       [](TestClient& c) {
         c.container().Reset();
         return c.CreateContainer();
       },
       604, "The Container property must be set before calling this method."},
      {"GetBlobInfoNoBlob", [](TestClient& c) { return c.GetBlobInfo(""); }, 604,
       "Blob must be specified when calling this method."},
      {"UpdateBlobInfoNoRecord",
       [](TestClient& c) {
         tw::BlobRecord snapshot_record;
         snapshot_record.name.SetText("b");
         snapshot_record.snapshot.SetText("2024-01-01T00:00:00.0000000Z");
         c.blobs().InsertCopy(0, snapshot_record);
         tw::BlobRecord other;
         other.name.SetText("B");  // names compare exactly
         c.blobs().InsertCopy(1, other);
         return c.UpdateBlobInfo("b");
       },
       604, "Could not find an item in the Blob properties with the specified blob name."},
      {"DeleteActionOutOfRange", [](TestClient& c) { return c.DeleteBlob("b", 3); }, 202,
       "DeleteAction must be 0, 1, or 2."},
      {"PublicAccessOutOfRange", [](TestClient& c) { return c.SetContainerACL(3); }, 202,
       "PublicAccess must be 0, 1, or 2."},
      {"PageBlobNoName", [](TestClient& c) { return c.UpdatePageBlob("", -1, 0, 0); }, 604,
       "PageBlob must be specified when calling this method."},
      {"PageBlobSize", [](TestClient& c) { return c.UpdatePageBlob("p", 1000, 0, 0); }, 202,
       "NewSize must be -1, or a value that is greater than or equal to 0 and a multiple of 512."},
      {"PageBlobNegativeSize", [](TestClient& c) { return c.UpdatePageBlob("p", -512, 0, 0); },
       202,
       "NewSize must be -1, or a value that is greater than or equal to 0 and a multiple of 512."},
      {"SequenceAction", [](TestClient& c) { return c.UpdatePageBlob("p", -1, 4, 0); }, 202,
       "SequenceNumAction must be 0, 1, 2, or 3."},
      {"SequenceNumber", [](TestClient& c) { return c.UpdatePageBlob("p", -1, 3, -1); }, 202,
       "When SequenceNumAction is 2 or 3, NewSequenceNum must be a value in the range 0 to 2^63 - "
       "1."},
      {"LeaseAction", [](TestClient& c) { return c.Lease("b", 5, "", -1); }, 202,
       "LeaseAction must be 0, 1, 2, 3, or 4."},
      {"LeaseRenewWithoutId", [](TestClient& c) { return c.Lease("b", 1, "", -1); }, 202,
       "The LeaseId property must be set before calling this method with a LeaseAction of 1, 2, "
       "or 3."},
      {"LeaseChangeWithoutNewId",
       [](TestClient& c) {
         c.lease_id().SetText("id");
         return c.Lease("", 2, "", -1);
       },
       202, "When LeaseAction is 2, NewLeaseId must be specified."},
      {"AcquireFourteen", [](TestClient& c) { return c.Lease("b", 0, "", 14); }, 202,
       "When LeaseAction is 0, Duration must be -1 (infinite), or a number of seconds in the "
       "range 15 to 60."},
      {"AcquireSixtyOne", [](TestClient& c) { return c.Lease("b", 0, "", 61); }, 202,
       "When LeaseAction is 0, Duration must be -1 (infinite), or a number of seconds in the "
       "range 15 to 60."},
      {"BreakSixtyOne", [](TestClient& c) { return c.Lease("b", 4, "", 61); }, 202,
       "When LeaseAction is 4, Duration must be -1 (unspecified), or a number of seconds in the "
       "range 0 to 60."},
      {"BreakMinusTwo", [](TestClient& c) { return c.Lease("", 4, "", -2); }, 202,
       "When LeaseAction is 4, Duration must be -1 (unspecified), or a number of seconds in the "
       "range 0 to 60."},
      {"AbortNoDestination", [](TestClient& c) { return c.AbortCopy("", "id"); }, 604,
       "DestBlob must be specified when calling this method."},
      {"AbortNoCopyId", [](TestClient& c) { return c.AbortCopy("d", ""); }, 202,
       "CopyId must be specified when calling this method."},
      {"CopyNoSource",
       [](TestClient& c) {
         tw::ByteString id;
         return c.CopyBlob("", "d", "", &id);
       },
       604, "SrcBlob must be specified when calling this method."},
      {"CopyNoDestination",
       [](TestClient& c) {
         tw::ByteString id;
         return c.CopyBlob("s", "", "", &id);
       },
       604, "DestBlob must be specified when calling this method."},
      {"CopySourceUrlWithoutContainer",
       [](TestClient& c) {
         c.container().Reset();
         c.copy_source_url().SetText("https://elsewhere.example/c/b");
         tw::ByteString id;
         return c.CopyBlob("", "d", "", &id);
       },
       202,
       "The destination container must be specified using the Container property or "
       "DestContainer when CopySourceURL is set."},
      {"CopyWithoutContainer",
       [](TestClient& c) {
         c.container().Reset();
         tw::ByteString id;
         return c.CopyBlob("s", "d", "other", &id);
       },
       604, "The Container property must be set before calling this method."},
      {"CustomPatch", [](TestClient& c) { return c.SendCustomRequest("PATCH", "", ""); }, 202,
       "HttpMethod must be GET, HEAD, POST, PUT, or DELETE."},
      {"CustomMove", [](TestClient& c) { return c.SendCustomRequest("MOVE", "b", ""); }, 202,
       "HttpMethod must be GET, HEAD, POST, PUT, or DELETE."},
      {"CustomLowerCaseGet", [](TestClient& c) { return c.SendCustomRequest("get", "", ""); },
       202, "HttpMethod must be GET, HEAD, POST, PUT, or DELETE."},
      {"CustomBlobWithoutContainer",
       [](TestClient& c) {
         c.container().Reset();
         return c.SendCustomRequest("GET", "b", "");
       },
       202, "The Container property must be set if Blob is non-empty."},
      {"MetadataNameWithBlank",
       [](TestClient& c) {
         c.AddMetadata("my name", "v");
         return c.UpdateMetadata("b");
       },
       202,
       "Metadata name \"my name\" cannot be sent: a header name holds only letters, digits and "
       "the characters !#$%&'*+-.^_`|~."},
      {"MetadataNameOnlyThePrefix",
       [](TestClient& c) {
         c.AddMetadata("x-ms-meta-", "v");
         c.set_send_metadata(true);
         return c.CreateBlob("b", 2, 0);
       },
       202,
       "Metadata name \"\" cannot be sent: a header name holds only letters, digits and the "
       "characters !#$%&'*+-.^_`|~."},
  };
  return cases;
}

class ArgumentCheck : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentCheck, FailsWithItsTextAndSendsNothing) {
  ScriptedPeer peer(Reply(ScriptedPeer::HttpResponse("")));
  ASSERT_TRUE(peer.Start());
  TestClient client;
  client.UsePlainService("acct", peer.port());
  client.access_key().SetText(kKey);
  client.container().SetText("c");
  client.AddMetadata("k", "v");
  const ArgumentCase& c = GetParam();
  EXPECT_EQ(c.call(client), c.code);
  EXPECT_EQ(client.error_code(), c.code);
  EXPECT_EQ(client.Error(), c.text);
  EXPECT_EQ(peer.connection_count(), 0);
  // Nothing of the refused call rides along on the next request.
  EXPECT_TRUE(client.request_headers().Count() == 0 && client.request_query().Count() == 0);
}

INSTANTIATE_TEST_SUITE_P(Operations, ArgumentCheck, ::testing::ValuesIn(ArgumentCases()),
                         [](const ::testing::TestParamInfo<ArgumentCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Exact requests against a scripted service ----

class ScriptedOperation : public ::testing::Test {
 protected:
  void Serve(std::vector<Script> scripts) {
    peer_.SetScripts(std::move(scripts));
    ASSERT_TRUE(peer_.Start());
    client_.UsePlainService("acct", peer_.port());
    client_.access_key().SetText(kKey);
    client_.container().SetText("box");
  }
  ScriptedPeer peer_;
  TestClient client_;
};

// The emulator keeps no soft-deleted blobs: the service's documented answer to an undelete.
TEST_F(ScriptedOperation, UndeleteBlobIsAPutWithCompUndelete) {
  Serve({Reply(ScriptedPeer::HttpResponse("", "x-ms-request-id: 1\r\n"))});
  client_.lease_id().SetText("not-sent");
  ASSERT_EQ(client_.UndeleteBlob("dir/a b.txt"), 0) << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_EQ(RequestLine(request), "PUT /box/dir/a%20b.txt?comp=undelete HTTP/1.1");
  EXPECT_FALSE(HasHeaderName(request, "x-ms-lease-id"));
}

// A copy from another account: the source URL as given, the destination container lowered,
// the overwrite rule, and the pending copy's id.
TEST_F(ScriptedOperation, CopyFromOutsideKeepsTheSourceAndLowersTheContainer) {
  Serve({Reply(ScriptedPeer::HttpResponse(
             "", "x-ms-copy-id: 1f3c-77\r\nx-ms-copy-status: pending\r\n", 202, "Accepted")),
         Reply(ScriptedPeer::HttpResponse(
             "", "x-ms-copy-id: 9a\r\nx-ms-copy-status: success\r\nx-ms-copy-progress: 5/5\r\n",
             202, "Accepted"))});
  client_.copy_source_url().SetText("https://other.blob.core.windows.net/src/a.txt?sv=x&sig=y");
  client_.AddMetadata("Origin", "far");
  client_.set_send_metadata_on_copy(true);
  tw::ByteString id;
  ASSERT_EQ(client_.CopyBlob("", "copy.txt", "MyBox", &id), 0) << client_.Error();
  EXPECT_EQ(Str(id), "1f3c-77");
  EXPECT_EQ(Str(client_.copy_status()), "pending");
  std::string request = peer_.request(0);
  EXPECT_EQ(RequestLine(request), "PUT /mybox/copy.txt HTTP/1.1");
  EXPECT_TRUE(HasHeader(
      request, "x-ms-copy-source: https://other.blob.core.windows.net/src/a.txt?sv=x&sig=y"));
  EXPECT_TRUE(HasHeader(request, "If-None-Match: *"));
  EXPECT_TRUE(HasHeader(request, "x-ms-meta-Origin: far"));

  // With Overwrite on, If-Match replaces If-None-Match; a finished copy returns no id.
  client_.set_overwrite(true);
  client_.if_match().SetText("\"0x8D\"");
  ASSERT_EQ(client_.CopyBlob("", "copy.txt", "", &id), 0) << client_.Error();
  EXPECT_EQ(Str(id), "");
  EXPECT_EQ(Str(client_.copy_id()), "9a");
  EXPECT_EQ(Str(client_.copy_progress()), "5/5");
  request = peer_.request(1);
  EXPECT_EQ(RequestLine(request), "PUT /box/copy.txt HTTP/1.1");
  EXPECT_TRUE(HasHeader(request, "If-Match: \"0x8D\""));
  EXPECT_FALSE(HasHeaderName(request, "If-None-Match"));
}

TEST_F(ScriptedOperation, CopySourceIsHttpsWithTheEncodedSnapshot) {
  Serve({Reply(ScriptedPeer::HttpResponse("", "x-ms-copy-status: success\r\n", 202, "Accepted"))});
  client_.snapshot().SetText("2024-05-01T10:00:00.1234567Z");
  tw::ByteString id;
  ASSERT_EQ(client_.CopyBlob("a b.txt", "c.txt", "", &id), 0) << client_.Error();
  const std::string expected = "x-ms-copy-source: https://acct.blob.localhost:" +
                               std::to_string(peer_.port()) +
                               "/box/a%20b.txt?snapshot=2024-05-01T10%3A00%3A00.1234567Z";
  EXPECT_TRUE(HasHeader(peer_.request(0), expected)) << peer_.request(0);
}

TEST_F(ScriptedOperation, MetadataNamesAndContainerMetadataQuery) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  client_.AddMetadata("x-ms-meta-a", "1");
  client_.AddMetadata("b", "2");
  client_.AddMetadata("X-MS-META-Cap", "3");
  ASSERT_EQ(client_.UpdateMetadata(""), 0) << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_EQ(RequestLine(request), "PUT /box?restype=container&comp=metadata HTTP/1.1");
  EXPECT_TRUE(HasHeader(request, "x-ms-meta-a: 1"));
  EXPECT_TRUE(HasHeader(request, "x-ms-meta-b: 2"));
  EXPECT_TRUE(HasHeader(request, "X-MS-META-Cap: 3"));
  EXPECT_EQ(request.find("x-ms-meta-x-ms-meta"), std::string::npos);
}

TEST_F(ScriptedOperation, PageBlobPropertiesHeaders) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  client_.lease_id().SetText("L1");
  ASSERT_EQ(client_.UpdatePageBlob("disk.vhd", 4096, 3, 42), 0) << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_EQ(RequestLine(request), "PUT /box/disk.vhd?comp=properties HTTP/1.1");
  EXPECT_TRUE(HasHeader(request, "x-ms-lease-id: L1"));
  EXPECT_TRUE(HasHeader(request, "x-ms-blob-content-length: 4096"));
  EXPECT_TRUE(HasHeader(request, "x-ms-sequence-number-action: max"));
  EXPECT_TRUE(HasHeader(request, "x-ms-blob-sequence-number: 42"));
}

TEST_F(ScriptedOperation, AccessPolicyBodyIsTheSignedIdentifiersDocument) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  tw::AccessPolicyRecord p;
  p.id.SetText("read-<all>");
  p.start_time.SetText("2024-01-01T00:00:00Z");
  p.expiry_time.SetText("2025-01-01T00:00:00Z");
  p.permissions.SetText("rl");
  client_.access_policies().InsertCopy(0, p);
  ASSERT_EQ(client_.SetContainerACL(2), 0) << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_EQ(RequestLine(request), "PUT /box?restype=container&comp=acl HTTP/1.1");
  EXPECT_TRUE(HasHeader(request, "x-ms-blob-public-access: container"));
  // The writer's own layout: CR LF line ends and a tab per level.
  EXPECT_EQ(Body(request),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n"
            "<SignedIdentifiers>\r\n\t<SignedIdentifier>\r\n\t\t<Id>read-&lt;all&gt;</Id>\r\n"
            "\t\t<AccessPolicy>\r\n\t\t\t<Start>2024-01-01T00:00:00Z</Start>\r\n"
            "\t\t\t<Expiry>2025-01-01T00:00:00Z</Expiry>\r\n\t\t\t<Permission>rl</Permission>\r\n"
            "\t\t</AccessPolicy>\r\n\t</SignedIdentifier>\r\n</SignedIdentifiers>");
}

TEST_F(ScriptedOperation, CustomRequestWithEachVerb) {
  const std::string xml = "<?xml version=\"1.0\"?><R><V>42</V></R>";
  Serve({Reply(ScriptedPeer::HttpResponse(xml, "Content-Type: application/xml\r\n")),
         Reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"),
         Reply(ScriptedPeer::HttpResponse("posted")), Reply(ScriptedPeer::HttpResponse("")),
         Reply(ScriptedPeer::HttpResponse("", "", 202, "Accepted"))});
  client_.snapshot().SetText("snap 1");
  client_.lease_id().SetText("L");
  ASSERT_EQ(client_.SendCustomRequest("GET", "b.txt", ""), 0) << client_.Error();
  EXPECT_EQ(Str(client_.blob_data()), xml);
  EXPECT_EQ(client_.Set("XPath=/R/V"), 0);
  EXPECT_EQ(client_.Get("XText"), "42");
  ASSERT_EQ(client_.SendCustomRequest("HEAD", "", ""), 0) << client_.Error();
  ASSERT_EQ(client_.SendCustomRequest("POST", "b.txt", "payload=1"), 0) << client_.Error();
  EXPECT_EQ(Str(client_.blob_data()), "posted");
  ASSERT_EQ(client_.SendCustomRequest("PUT", "", "<x/>"), 0) << client_.Error();
  client_.container().Reset();
  ASSERT_EQ(client_.SendCustomRequest("DELETE", "", ""), 0) << client_.Error();

  EXPECT_EQ(RequestLine(peer_.request(0)), "GET /box/b.txt?snapshot=snap%201 HTTP/1.1");
  EXPECT_TRUE(HasHeader(peer_.request(0), "x-ms-lease-id: L"));
  EXPECT_EQ(RequestLine(peer_.request(1)), "HEAD /box HTTP/1.1");
  EXPECT_EQ(RequestLine(peer_.request(2)), "POST /box/b.txt?snapshot=snap%201 HTTP/1.1");
  EXPECT_EQ(Body(peer_.request(2)), "payload=1");
  EXPECT_EQ(RequestLine(peer_.request(3)), "PUT /box HTTP/1.1");
  EXPECT_EQ(Body(peer_.request(3)), "<x/>");
  EXPECT_EQ(RequestLine(peer_.request(4)), "DELETE / HTTP/1.1");
}

TEST_F(ScriptedOperation, CustomRequestIntoLocalFile) {
  Serve({Reply(ScriptedPeer::HttpResponse("file body")),
         Reply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")});
  const std::string dir = testsupport::MakeTempDir();
  const std::string full = dir + "/full.bin";
  const std::string empty = dir + "/empty.bin";
  client_.blob_data().SetText("untouched");
  client_.SetCallerLocalFile(full.c_str());
  ASSERT_EQ(client_.SendCustomRequest("GET", "b", ""), 0) << client_.Error();
  EXPECT_EQ(testsupport::ReadFile(full), "file body");
  EXPECT_EQ(Str(client_.blob_data()), "untouched");
  client_.SetCallerLocalFile(empty.c_str());
  ASSERT_EQ(client_.SendCustomRequest("GET", "b", ""), 0) << client_.Error();
  EXPECT_EQ(access(empty.c_str(), F_OK), 0);
  EXPECT_EQ(testsupport::ReadFile(empty), "");
  // An existing file is kept unless Overwrite is on; nothing is sent.
  EXPECT_EQ(client_.SendCustomRequest("GET", "b", ""), 608);
  EXPECT_EQ(client_.Error(), "LocalFile exists and Overwrite is set to False.");
  EXPECT_EQ(peer_.connection_count(), 2);
  const std::string nowhere = dir + "/no/such/dir/x.bin";
  client_.SetCallerLocalFile(nowhere.c_str());
  EXPECT_EQ(client_.SendCustomRequest("GET", "b", ""), 611);
  EXPECT_EQ(client_.Error(), "Cannot open file \"" + nowhere + "\" for writing.");
}

TEST_F(ScriptedOperation, AccessPoliciesFromAnOddAnswer) {
  // Missing fields stay empty; an answer without identifiers empties the collection.
  Serve({Reply(ScriptedPeer::HttpResponse(
             "<?xml version=\"1.0\" encoding=\"utf-8\"?><SignedIdentifiers>"
             "<SignedIdentifier><Id>only-id</Id></SignedIdentifier>"
             "<SignedIdentifier><Id>p2</Id><AccessPolicy><Permission>r</Permission>"
             "</AccessPolicy></SignedIdentifier></SignedIdentifiers>",
             "x-ms-blob-public-access: blob\r\nContent-Type: application/xml\r\n")),
         Reply(ScriptedPeer::HttpResponse("<SignedIdentifiers/>"))});
  int32_t level = -1;
  ASSERT_EQ(client_.GetContainerACL(&level), 0) << client_.Error();
  EXPECT_EQ(RequestLine(peer_.request(0)), "GET /box?restype=container&comp=acl HTTP/1.1");
  EXPECT_EQ(level, tw::kPublicAccessBlob);
  ASSERT_EQ(client_.access_policies().Count(), 2);
  EXPECT_EQ(Str(client_.access_policies().At(0)->id), "only-id");
  EXPECT_EQ(Str(client_.access_policies().At(0)->permissions), "");
  EXPECT_EQ(Str(client_.access_policies().At(1)->permissions), "r");
  EXPECT_EQ(Str(client_.access_policies().At(1)->start_time), "");
  ASSERT_EQ(client_.GetContainerACL(&level), 0) << client_.Error();
  EXPECT_EQ(level, tw::kPublicAccessNone);
  EXPECT_EQ(client_.access_policies().Count(), 0);
}

TEST_F(ScriptedOperation, MetadataWithALineBreakIsRefusedUnsent) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  client_.AddMetadata("a", "1\r\nx-ms-delete-snapshots: include");
  EXPECT_EQ(client_.UpdateMetadata("b"), 202);
  EXPECT_EQ(peer_.connection_count(), 0);
}

TEST_F(ScriptedOperation, LeaseAndDeleteRequestHeaders) {
  const std::string ok =
      ScriptedPeer::HttpResponse("", "x-ms-lease-id: svc-id\r\n", 201, "Created");
  const std::string broken =
      ScriptedPeer::HttpResponse("", "x-ms-lease-time: 7\r\n", 202, "Accepted");
  Serve({Reply(ok), Reply(broken),
         Reply(ScriptedPeer::HttpResponse("", "", 202, "Accepted")),
         Reply(ScriptedPeer::HttpResponse("", "", 202, "Accepted"))});
  client_.if_match().SetText("E1");
  ASSERT_EQ(client_.Lease("", 0, "proposed", -1), 0) << client_.Error();
  EXPECT_EQ(Str(client_.lease_id()), "svc-id");
  std::string request = peer_.request(0);
  EXPECT_EQ(RequestLine(request), "PUT /box?comp=lease&restype=container HTTP/1.1");
  EXPECT_TRUE(HasHeader(request, "x-ms-lease-action: acquire"));
  EXPECT_TRUE(HasHeader(request, "x-ms-proposed-lease-id: proposed"));
  EXPECT_TRUE(HasHeader(request, "x-ms-lease-duration: -1"));
  EXPECT_FALSE(HasHeaderName(request, "If-Match"));  // only a blob's lease is conditional
  EXPECT_FALSE(HasHeaderName(request, "x-ms-lease-id"));

  ASSERT_EQ(client_.Lease("b", 4, "", -1), 0) << client_.Error();
  EXPECT_EQ(client_.lease_break_period(), 7);
  request = peer_.request(1);
  EXPECT_EQ(RequestLine(request), "PUT /box/b?comp=lease HTTP/1.1");
  EXPECT_TRUE(HasHeader(request, "x-ms-lease-action: break"));
  EXPECT_TRUE(HasHeader(request, "If-Match: E1"));
  EXPECT_FALSE(HasHeaderName(request, "x-ms-lease-break-period"));
  EXPECT_FALSE(HasHeaderName(request, "x-ms-lease-id"));

  // A snapshot's deletion carries no snapshot action, whatever the action says.
  client_.snapshot().SetText("S1");
  ASSERT_EQ(client_.DeleteBlob("b", 9), 0) << client_.Error();
  EXPECT_EQ(RequestLine(peer_.request(2)), "DELETE /box/b?snapshot=S1 HTTP/1.1");
  EXPECT_FALSE(HasHeaderName(peer_.request(2), "x-ms-delete-snapshots"));
  client_.snapshot().Reset();
  ASSERT_EQ(client_.DeleteBlob("b", 2), 0) << client_.Error();
  EXPECT_TRUE(HasHeader(peer_.request(3), "x-ms-delete-snapshots: include"));
}

TEST_F(ScriptedOperation, BlobInfoFromHeadersAndCommittedBlockCount) {
  Serve({Reply("HTTP/1.1 200 OK\r\nContent-Length: 1536\r\nContent-Type: app/x\r\n"
               "x-ms-blob-type: PageBlob\r\nx-ms-blob-sequence-number: 7\r\n"
               "x-ms-lease-status: locked\r\nx-ms-lease-state: leased\r\n"
               "x-ms-lease-duration: infinite\r\nx-ms-access-tier-inferred: TRUE\r\n"
               "x-ms-meta-Color: blue\r\nX-MS-META-size: 2\r\nx-ms-copy-status: success\r\n"
               "x-ms-blob-committed-block-count: 3\r\n\r\n")});
  client_.snapshot().SetText("S");
  client_.lease_id().SetText("ignored-on-a-snapshot");
  client_.if_match().SetText("E");
  ASSERT_EQ(client_.GetBlobInfo("p.vhd"), 0) << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_EQ(RequestLine(request), "HEAD /box/p.vhd?snapshot=S HTTP/1.1");
  EXPECT_FALSE(HasHeaderName(request, "x-ms-lease-id"));
  EXPECT_TRUE(HasHeader(request, "If-Match: E"));
  ASSERT_EQ(client_.blobs().Count(), 1);
  const tw::BlobRecord& b = *client_.blobs().At(0);
  EXPECT_EQ(b.content_length, 1536);
  EXPECT_EQ(b.blob_type, tw::kPageBlob);
  EXPECT_EQ(b.sequence_num, 7);
  EXPECT_TRUE(b.is_leased && b.is_lease_infinite && b.access_tier_inferred);
  EXPECT_EQ(b.lease_state, tw::kLeaseLeased);
  EXPECT_EQ(Str(b.snapshot), "S");
  EXPECT_EQ(client_.appended_block_count(), 3);
  EXPECT_EQ(Str(client_.copy_status()), "success");
  ASSERT_EQ(client_.metadata().Count(), 2);
  EXPECT_EQ(Str(client_.metadata().At(0)->first), "Color");
  EXPECT_EQ(Str(client_.metadata().At(1)->first), "size");
  const auto listed = client_.sink.Of(tw::kBlobEventMetadataList);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].args, (std::vector<std::string>{"box", "p.vhd", "S", "Color", "blue"}));
}

// ---- Against the storage emulator ----

class AzuriteOperation : public blobtest::EmulatorFixture {
 protected:
  void SetUp() override {
    EmulatorFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    PointAt(client_);
  }
  std::vector<std::string> Run(const std::string& script, const std::string& steps) {
    std::vector<std::string> lines = RunSdk(script, steps);
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find("\"error\""), std::string::npos) << line;
    }
    return lines;
  }
  std::string Sdk(const std::string& step) {
    const std::vector<std::string> lines = Run("sdk_ops.js", "[" + step + "]");
    return lines.empty() ? "" : lines[0];
  }
  void Seed(const std::string& steps) { Run("sdk_seed.js", steps); }
  static bool Has(const std::string& line, const std::string& part) {
    return line.find(part) != std::string::npos;
  }

  TestClient client_;
};

TEST_F(AzuriteOperation, ContainerLifeWithMetadataAndInfo) {
  client_.container().SetText("life");
  client_.AddMetadata("Owner", "Ann");
  client_.AddMetadata("x-ms-meta-Tier", "gold");
  client_.set_send_metadata(true);
  ASSERT_EQ(client_.CreateContainer(), 0) << client_.Error();
  std::string line = Sdk(R"({"op":"cprops","container":"life"})");
  EXPECT_TRUE(Has(line, R"("owner":"Ann")") || Has(line, R"("Owner":"Ann")")) << line;
  EXPECT_TRUE(Has(line, R"(ier":"gold")")) << line;

  Sdk(R"({"op":"setmeta","container":"life","metadata":{"MixedCase":"v1","lower":"v2"}})");
  ASSERT_EQ(client_.GetContainerInfo(), 0) << client_.Error();
  ASSERT_EQ(client_.containers().Count(), 1);
  EXPECT_EQ(Str(client_.containers().At(0)->name), "life");
  EXPECT_FALSE(client_.containers().At(0)->etag.empty());
  std::set<std::string> names;
  for (const Event& e : client_.sink.Of(tw::kBlobEventMetadataList)) {
    names.insert(e.args[3] + "=" + e.args[4]);
    EXPECT_EQ(e.args[0], "life");
  }
  EXPECT_EQ(names, (std::set<std::string>{"MixedCase=v1", "lower=v2"}));
  EXPECT_EQ(client_.sink.Count(tw::kBlobEventContainerList), 1);

  ASSERT_EQ(client_.DeleteContainer(), 0) << client_.Error();
  EXPECT_EQ(Sdk(R"({"op":"exists","container":"life"})"), R"({"ok":true,"exists":false})");
  // The collections of a failed read stay as they were.
  EXPECT_EQ(client_.GetContainerInfo(), 600);
  EXPECT_EQ(client_.containers().Count(), 1);
}

TEST_F(AzuriteOperation, AccessPoliciesBothWays) {
  Seed(R"([{"op":"container","name":"acl"}])");
  client_.container().SetText("acl");
  tw::AccessPolicyRecord p;
  p.id.SetText("policy-one");
  p.start_time.SetText("2024-01-01T00:00:00.0000000Z");
  p.expiry_time.SetText("2030-01-01T00:00:00.0000000Z");
  p.permissions.SetText("rwl");
  client_.access_policies().InsertCopy(0, p);
  p.id.SetText("policy-two");
  p.permissions.SetText("r");
  client_.access_policies().InsertCopy(1, p);
  ASSERT_EQ(client_.SetContainerACL(1), 0) << client_.Error();
  std::string line = Sdk(R"({"op":"acl","container":"acl"})");
  EXPECT_TRUE(Has(line, R"("access":"blob")")) << line;
  EXPECT_TRUE(Has(line, R"("id":"policy-one")")) << line;
  EXPECT_TRUE(Has(line, R"("permissions":"rwl")")) << line;
  EXPECT_TRUE(Has(line, R"("id":"policy-two")")) << line;
  EXPECT_TRUE(Has(line, R"("expiry":"2030-01-01T00:00:00)")) << line;

  Sdk(R"({"op":"setacl","container":"acl","access":"container","ids":[
        {"id":"sdk-made","start":"2024-02-03T04:05:06Z","expiry":"2024-03-03T00:00:00Z",
         "permissions":"rd"}]})");
  int32_t level = -1;
  ASSERT_EQ(client_.GetContainerACL(&level), 0) << client_.Error();
  EXPECT_EQ(level, tw::kPublicAccessContainer);
  ASSERT_EQ(client_.access_policies().Count(), 1);
  const tw::AccessPolicyRecord& got = *client_.access_policies().At(0);
  EXPECT_EQ(Str(got.id), "sdk-made");
  EXPECT_EQ(Str(got.permissions), "rd");
  EXPECT_EQ(Str(got.start_time).substr(0, 19), "2024-02-03T04:05:06");
  EXPECT_EQ(Str(got.expiry_time).substr(0, 19), "2024-03-03T00:00:00");

  // Level 0 sends no access header: the container becomes private.
  ASSERT_EQ(client_.SetContainerACL(0), 0) << client_.Error();
  line = Sdk(R"({"op":"acl","container":"acl"})");
  EXPECT_TRUE(Has(line, R"("access":"")")) << line;
}

TEST_F(AzuriteOperation, BlobPropertiesAndMixedCaseMetadata) {
  Seed(R"([{"op":"container","name":"props"},
           {"op":"blob","container":"props","name":"a.txt","data":"hello",
            "contentType":"text/plain",
            "metadata":{"CamelName":"x","UPPER":"y"}}])");
  client_.container().SetText("props");
  ASSERT_EQ(client_.GetBlobInfo("a.txt"), 0) << client_.Error();
  ASSERT_EQ(client_.blobs().Count(), 1);
  tw::BlobRecord& b = *client_.blobs().At(0);
  EXPECT_EQ(b.content_length, 5);
  EXPECT_EQ(Str(b.content_type), "text/plain");
  EXPECT_EQ(b.blob_type, tw::kBlockBlob);
  EXPECT_EQ(b.sequence_num, -1);
  std::set<std::string> names;
  for (int i = 0; i < client_.metadata().Count(); ++i) {
    const tw::ByteStringPair& item = *client_.metadata().At(i);
    names.insert(Str(item.first) + "=" + Str(item.second));
  }
  EXPECT_EQ(names, (std::set<std::string>{"CamelName=x", "UPPER=y"}));
  EXPECT_EQ(client_.sink.Count(tw::kBlobEventBlobList), 1);

  b.content_type.SetText("application/json");
  b.content_language.SetText("de-CH");
  b.cache_control.SetText("no-cache");
  ASSERT_EQ(client_.UpdateBlobInfo("a.txt"), 0) << client_.Error();
  client_.metadata().Clear();
  client_.AddMetadata("NewName", "z");
  ASSERT_EQ(client_.UpdateMetadata("a.txt"), 0) << client_.Error();
  const std::string line = Sdk(R"({"op":"props","container":"props","name":"a.txt"})");
  EXPECT_TRUE(Has(line, R"("contentType":"application/json")")) << line;
  EXPECT_TRUE(Has(line, R"("contentLanguage":"de-CH")")) << line;
  EXPECT_TRUE(Has(line, R"("cacheControl":"no-cache")")) << line;
  EXPECT_TRUE(Has(line, R"("metadata":{"NewName":"z"})") ||
              Has(line, R"("metadata":{"newname":"z"})"))
      << line;
}

TEST_F(AzuriteOperation, BlobLeaseLifeCycle) {
  Seed(R"([{"op":"container","name":"leases"},
           {"op":"blob","container":"leases","name":"l.txt","data":"x"}])");
  client_.container().SetText("leases");
  EXPECT_EQ(client_.Lease("l.txt", 0, "", 14), 202);
  ASSERT_EQ(client_.Lease("l.txt", 0, "", 15), 0) << client_.Error();
  const std::string first = Str(client_.lease_id());
  EXPECT_EQ(first.size(), 36u);
  std::string line = Sdk(R"({"op":"props","container":"leases","name":"l.txt"})");
  EXPECT_TRUE(Has(line, R"("leaseState":"leased")") && Has(line, R"("leaseDuration":"fixed")"))
      << line;

  ASSERT_EQ(client_.Lease("l.txt", 1, "", -1), 0) << client_.Error();
  EXPECT_EQ(Str(client_.lease_id()), first);
  const char kNewId[] = "0f8fad5b-d9cb-469f-a165-70867728950e";
  ASSERT_EQ(client_.Lease("l.txt", 2, kNewId, -1), 0) << client_.Error();
  EXPECT_EQ(Str(client_.lease_id()), kNewId);
  EXPECT_EQ(client_.lease_break_period(), -1);
  // The leased blob refuses a write without the id and takes one with it.
  client_.AddMetadata("k", "v");
  client_.lease_id().Reset();
  EXPECT_EQ(client_.UpdateMetadata("l.txt"), 600);
  client_.lease_id().SetText(kNewId);
  ASSERT_EQ(client_.UpdateMetadata("l.txt"), 0) << client_.Error();
  ASSERT_EQ(client_.Lease("l.txt", 3, "", -1), 0) << client_.Error();
  EXPECT_EQ(Str(client_.lease_id()), "");
  line = Sdk(R"({"op":"props","container":"leases","name":"l.txt"})");
  EXPECT_TRUE(Has(line, R"("leaseState":"available")")) << line;

  // An infinite lease with a proposed id, broken with a period and then at once.
  ASSERT_EQ(client_.Lease("l.txt", 0, kNewId, -1), 0) << client_.Error();
  EXPECT_EQ(Str(client_.lease_id()), kNewId);
  line = Sdk(R"({"op":"props","container":"leases","name":"l.txt"})");
  EXPECT_TRUE(Has(line, R"("leaseDuration":"infinite")")) << line;
  ASSERT_EQ(client_.Lease("l.txt", 4, "", 20), 0) << client_.Error();
  EXPECT_GT(client_.lease_break_period(), 0);
  EXPECT_LE(client_.lease_break_period(), 20);
  ASSERT_EQ(client_.Lease("l.txt", 4, "", 0), 0) << client_.Error();
  EXPECT_EQ(client_.lease_break_period(), 0);
  line = Sdk(R"({"op":"props","container":"leases","name":"l.txt"})");
  EXPECT_TRUE(Has(line, R"("leaseState":"broken")")) << line;
}

TEST_F(AzuriteOperation, ContainerLeaseBlocksDeletion) {
  Seed(R"([{"op":"container","name":"held"}])");
  client_.container().SetText("held");
  ASSERT_EQ(client_.Lease("", 0, "", -1), 0) << client_.Error();
  const std::string id = Str(client_.lease_id());
  EXPECT_FALSE(id.empty());
  const std::string line = Sdk(R"({"op":"cprops","container":"held"})");
  EXPECT_TRUE(Has(line, R"("leaseState":"leased")")) << line;
  client_.lease_id().Reset();
  EXPECT_EQ(client_.DeleteContainer(), 600);
  EXPECT_NE(client_.Error().find("LeaseIdMissing"), std::string::npos) << client_.Error();
  // Break with no period: an infinite lease breaks at once.
  ASSERT_EQ(client_.Lease("", 4, "", -1), 0) << client_.Error();
  EXPECT_EQ(client_.lease_break_period(), 0);
  ASSERT_EQ(client_.DeleteContainer(), 0) << client_.Error();
}

TEST_F(AzuriteOperation, SnapshotsAndDeletingWithThem) {
  Seed(R"([{"op":"container","name":"snaps"},
           {"op":"blob","container":"snaps","name":"s.txt","data":"v1"}])");
  client_.container().SetText("snaps");
  tw::ByteString first;
  tw::ByteString second;
  ASSERT_EQ(client_.CreateSnapshot("s.txt", &first), 0) << client_.Error();
  client_.AddMetadata("Version", "two");
  client_.set_send_metadata_on_snapshot(true);
  ASSERT_EQ(client_.CreateSnapshot("s.txt", &second), 0) << client_.Error();
  EXPECT_FALSE(first.empty());
  EXPECT_NE(Str(first), Str(second));
  std::string line = Sdk(R"({"op":"snapshots","container":"snaps","name":"s.txt"})");
  EXPECT_TRUE(Has(line, Str(first)) && Has(line, Str(second))) << line;
  line = Sdk(R"({"op":"props","container":"snaps","name":"s.txt","snapshot":")" + Str(second) +
            "\"}");
  // The emulator folds the case of a snapshot's metadata names.
  EXPECT_TRUE(Has(line, R"("Version":"two")") || Has(line, R"("version":"two")")) << line;

  // Deleting the blob alone is refused while snapshots exist.
  EXPECT_EQ(client_.DeleteBlob("s.txt", 0), 600);
  // With Snapshot set only that snapshot goes, whatever the action says.
  client_.snapshot().Assign(first);
  ASSERT_EQ(client_.GetBlobInfo("s.txt"), 0) << client_.Error();
  EXPECT_EQ(Str(client_.blobs().At(0)->snapshot), Str(first));
  ASSERT_EQ(client_.DeleteBlob("s.txt", 7), 0) << client_.Error();
  line = Sdk(R"({"op":"snapshots","container":"snaps","name":"s.txt"})");
  EXPECT_FALSE(Has(line, Str(first))) << line;
  EXPECT_TRUE(Has(line, Str(second))) << line;
  client_.snapshot().Reset();
  ASSERT_EQ(client_.DeleteBlob("s.txt", 1), 0) << client_.Error();
  EXPECT_EQ(Sdk(R"({"op":"snapshots","container":"snaps","name":"s.txt"})"),
            R"({"ok":true,"snapshots":[]})");
  EXPECT_EQ(Sdk(R"({"op":"exists","container":"snaps","name":"s.txt"})"),
            R"({"ok":true,"exists":true})");
  ASSERT_EQ(client_.CreateSnapshot("s.txt", &first), 0) << client_.Error();
  ASSERT_EQ(client_.DeleteBlob("s.txt", 2), 0) << client_.Error();
  EXPECT_EQ(Sdk(R"({"op":"exists","container":"snaps","name":"s.txt"})"),
            R"({"ok":true,"exists":false})");
}

TEST_F(AzuriteOperation, CopyInsideTheEmulatorAndAbortAfterwards) {
  Seed(R"([{"op":"container","name":"src"},{"op":"container","name":"mybox"},
           {"op":"blob","container":"src","name":"orig.txt","data":"copied text"}])");
  client_.container().SetText("src");
  tw::ByteString id;
  const int rc = client_.CopyBlob("orig.txt", "dup.txt", "MyBox", &id);
  ASSERT_EQ(rc, 0) << client_.Error();
  EXPECT_EQ(Str(client_.copy_status()), "success");
  EXPECT_FALSE(client_.copy_id().empty());
  EXPECT_EQ(Sdk(R"({"op":"download","container":"mybox","name":"dup.txt"})"),
            R"({"ok":true,"data":"copied text"})");
  // Overwrite off: the copy onto an existing blob is refused by the service.
  EXPECT_EQ(client_.CopyBlob("orig.txt", "dup.txt", "MyBox", &id), 600);

  // The finished copy can no longer be aborted: the service's own error.
  client_.container().SetText("mybox");
  EXPECT_EQ(client_.AbortCopy("dup.txt", Str(client_.copy_id()).c_str()), 600);
  EXPECT_NE(client_.Error().find("Server Error ["), std::string::npos) << client_.Error();
}

}  // namespace
