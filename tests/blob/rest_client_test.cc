#include "blob/rest_client.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "blob/xml_rest_client.h"
#include "net/library_startup.h"
#include "tests/peers/scripted_peer.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScriptedPeer;

struct ProgressEvent {
  int direction;
  int64_t done;
  int64_t total;
  int percent;
};

// The XML REST client with the send a service client would have: the URL's query merged, the
// service version and the caller's extra header lines added, then the shared transfer.
class Client : public tw::XmlRestClient {
 public:
  int SendRequest(const char* url, int verb, const void* body, int length, bool parse) override {
    tw::ByteString full;
    int rc = MergeUrlQuery(url, full);
    if (rc == tw::kOk) rc = AddHeader("x-ms-version", "2019-02-02");
    if (rc == tw::kOk) rc = AddHeaderLines(extra_lines.c_str());
    if (rc == tw::kOk && !authorization.empty()) rc = SetAuthorization(authorization.c_str());
    if (rc != tw::kOk) return rc;
    sent_url = full.c_str();
    return TransferRequest(full.c_str(), verb, body, length, parse);
  }
  int FireProgress(int direction, int64_t done, int64_t total, int percent) override {
    progress.push_back({direction, done, total, percent});
    if (on_progress) on_progress();
    return 0;
  }
  std::string Setting(const char* text) {
    const char* answer = "";
    last_config_rc = ConfigText(text, &answer);
    return answer != nullptr ? answer : "";
  }
  int Send(const std::string& url, int verb, const std::string& body = "", bool parse = false) {
    return SendRequest(url.c_str(), verb, body.data(), static_cast<int>(body.size()), parse);
  }
  std::string ErrorText() const { return error_text().c_str(); }

  std::string extra_lines;
  std::string authorization;
  std::string sent_url;
  std::vector<ProgressEvent> progress;
  std::function<void()> on_progress;
  int last_config_rc = 0;
};

class RestClientTest : public ::testing::Test {
 protected:
  void SetUp() override { tw::LibraryStartup(); }

  // Starts a peer that answers every connection with the reply after reading the request.
  static void Serve(ScriptedPeer& peer, const std::string& reply) {
    peer.SetScripts({{ScriptedPeer::WaitRequest(), ScriptedPeer::Send(reply), ScriptedPeer::Close()}});
    ASSERT_TRUE(peer.Start());
  }

  static std::string HeadOf(const std::string& request) {
    const size_t end = request.find("\r\n\r\n");
    return end == std::string::npos ? request : request.substr(0, end + 2);
  }
};

// ---- The request on the wire ----

TEST_F(RestClientTest, RequestCarriesVerbHeadersBodyAndMergedQuery) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse(""));
  Client client;
  ASSERT_EQ(client.SetQueryParam("comp", "block"), 0);
  ASSERT_EQ(client.SetQueryParam("x", "0"), 0);
  ASSERT_EQ(client.AddHeader("x-ms-meta-a", "one"), 0);
  ASSERT_EQ(client.AddHeader("x-ms-meta-a", "two"), 0);  // a name may repeat
  ASSERT_EQ(client.AddHeaderIfSet("x-ms-lease-id", ""), 0);
  ASSERT_EQ(client.AddHeaderInt64("x-ms-blob-content-length", -5000000000LL), 0);
  client.extra_lines = "A: 1\r\n  2  \r\n\r\nB:3\nno-header-before-me";
  const std::string url = peer.base_url() + "/c/a%20b?X=1&y&X=1&=dropped& z = 9 ";
  ASSERT_EQ(client.Send(url, tw::kRestVerbPut, "hello body"), 0) << client.ErrorText();
  ASSERT_TRUE(peer.WaitForConnections(1, 5000, true));
  const std::string request = peer.request(0);

  // The URL's x replaced the request's own (names without case), y came with an empty value, the
  // piece beginning with "=" and the repeat were dropped, and each piece was trimmed as a whole.
  EXPECT_EQ(request.rfind("PUT /c/a%20b?comp=block&x=1&y=&z%20=%209 HTTP/1.1\r\n", 0), 0u) << request;
  const std::string head = HeadOf(request);
  EXPECT_NE(head.find("\r\nx-ms-meta-a: one\r\nx-ms-meta-a: two\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("x-ms-lease-id"), std::string::npos);
  EXPECT_NE(head.find("\r\nx-ms-blob-content-length: -5000000000\r\n"), std::string::npos);
  EXPECT_NE(head.find("\r\nx-ms-version: 2019-02-02\r\n"), std::string::npos);
  EXPECT_NE(head.find("\r\nA: 1 2\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nB: 3 no-header-before-me\r\n"), std::string::npos);
  EXPECT_EQ(request.substr(request.size() - 10), "hello body");
  EXPECT_NE(head.find("\r\nContent-Length: 10\r\n"), std::string::npos);

  // Everything of the request is gone afterwards.
  EXPECT_EQ(client.request_headers().Count(), 0);
  EXPECT_EQ(client.request_query().Count(), 0);
  EXPECT_TRUE(client.other_headers().empty());
  EXPECT_TRUE(client.post_data().empty());
}

TEST_F(RestClientTest, QueryMergeKeepsTheLastValueAndEncodesOnce) {
  Client client;
  ASSERT_EQ(client.SetQueryParam("restype", "container"), 0);
  ASSERT_EQ(client.SetQueryParamInt("maxresults", -3), 0);
  ASSERT_EQ(client.SetQueryParamIfSet("prefix", ""), 0);
  ASSERT_EQ(client.SetQueryParam("", "ignored"), 0);
  tw::ByteString out;
  // A signature as a shared access link carries it, already escaped: it must not be escaped twice.
  ASSERT_EQ(client.MergeUrlQuery("  https://acct.blob.example/c?sig=a%2Bb%2Fc%3D&MAXRESULTS=7&x=a b&k=%zz  ", out), 0);
  EXPECT_STREQ(out.c_str(),
               "https://acct.blob.example/c?restype=container&maxresults=7&sig=a%2Bb%2Fc%3D&x=a%20b&k=%25zz");
  ASSERT_EQ(client.request_query().Count(), 5);
  EXPECT_STREQ(client.request_query().At(2)->second.c_str(), "a+b/c=");
}

TEST_F(RestClientTest, QueryEncodingMatchesPythonQuote) {
  std::string input;
  for (int b = 0; b < 256; ++b) input += std::to_string(b) + "\n";
  std::vector<std::string> expected;
  TW_PYTHON_OR_SKIP(
      "import sys, urllib.parse\n"
      "for line in sys.stdin:\n"
      "    print(urllib.parse.quote(bytes([int(line)]), safe='-._~'))\n",
      input, &expected);
  ASSERT_EQ(expected.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    tw::ByteString out;
    ASSERT_EQ(tw::AppendQueryEncoded(&c, 1, out), 0);
    EXPECT_EQ(std::string(out.c_str()), expected[b]) << "byte " << b;
  }
}

TEST_F(RestClientTest, PatchAndMoveGoOutAsTheirOwnVerbsAndTheMethodIsClearedAfter) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse(""));
  Client client;
  ASSERT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbPatch, "p"), 0) << client.ErrorText();
  ASSERT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbMove), 0) << client.ErrorText();
  ASSERT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbDelete), 0) << client.ErrorText();
  ASSERT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbGet), 0) << client.ErrorText();
  ASSERT_TRUE(peer.WaitForConnections(4, 5000, true));
  EXPECT_EQ(peer.request(0).rfind("PATCH /c/b HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(peer.request(1).rfind("MOVE /c/b HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(peer.request(2).rfind("DELETE /c/b HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(peer.request(3).rfind("GET /c/b HTTP/1.1\r\n", 0), 0u);
}

TEST_F(RestClientTest, UnknownVerbFailsWithoutConnecting) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse(""));
  Client client;
  client.AddHeader("a", "b");
  EXPECT_EQ(client.Send(peer.base_url() + "/", 4), tw::kErrRestInvalidValue);
  EXPECT_EQ(client.ErrorText(), "Invalid HTTP action.");
  EXPECT_EQ(client.request_headers().Count(), 0);
  EXPECT_EQ(tw::RestVerbText(4), nullptr);
  EXPECT_STREQ(tw::RestVerbText(tw::kRestVerbMove), "MOVE");
  EXPECT_EQ(peer.connection_count(), 0);
}

TEST_F(RestClientTest, LineBreakInAHeaderValueIsRefused) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse(""));
  Client client;
  client.AddHeader("x-ms-meta-a", "v\r\nx-ms-delete-snapshots: include");
  EXPECT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbPut), tw::kErrRestInvalidValue);
  client.AddHeader("x-ms-meta-b", std::string("v\nw").c_str());
  EXPECT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbPut), tw::kErrRestInvalidValue);
  EXPECT_EQ(peer.connection_count(), 0);
  EXPECT_EQ(client.request_headers().Count(), 0);
}

// ---- Progress ----

TEST_F(RestClientTest, ProgressStepTenOverOneByteStepsFiresElevenTimes) {
  Client client;
  ASSERT_EQ(client.SetProgressStep(10), 0);
  client.StartDownloadProgress(1000);
  client.FireStartTransferHook(tw::kDirectionResponse);
  for (int i = 1; i <= 1000; ++i) client.FireTransferProgress(tw::kDirectionResponse, i, -1, "x", 1);
  client.FireEndTransferHook(tw::kDirectionResponse);
  ASSERT_EQ(client.progress.size(), 11u);
  for (int i = 0; i <= 10; ++i) {
    EXPECT_EQ(client.progress[i].percent, i * 10);
    EXPECT_EQ(client.progress[i].done, i * 100);
    EXPECT_EQ(client.progress[i].total, 1000);
    EXPECT_EQ(client.progress[i].direction, tw::kProgressDownload);
  }
  EXPECT_EQ(client.progress_state(), tw::RestClient::kProgressIdle);
  // Uploads are not counted by a download progress, nor anything while idle.
  client.FireTransferProgress(tw::kDirectionRequest, 5, -1, nullptr, 0);
  EXPECT_EQ(client.progress.size(), 11u);
}

TEST_F(RestClientTest, DownloadProgressOverAWholeResponse) {
  const std::string body(3000, 'd');
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse(body));
  Client client;
  client.StartDownloadProgress(-1);
  ASSERT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbGet), 0) << client.ErrorText();
  ASSERT_GE(client.progress.size(), 2u);
  EXPECT_EQ(client.progress.front().percent, 0);
  EXPECT_EQ(client.progress.front().total, 3000);
  EXPECT_EQ(client.progress.back().percent, 100);
  EXPECT_EQ(client.progress.back().done, 3000);
  int hundreds = 0;
  for (size_t i = 0; i < client.progress.size(); ++i) {
    if (i > 0) {
      EXPECT_GE(client.progress[i].percent, client.progress[i - 1].percent);
    }
    hundreds += client.progress[i].percent == 100;
  }
  EXPECT_EQ(hundreds, 1);
}

TEST_F(RestClientTest, ResumedDownloadCountsFromStartByteWhenAbsolute) {
  const std::string body(500, 'r');
  for (const bool absolute : {true, false}) {
    ScriptedPeer peer;
    Serve(peer, ScriptedPeer::HttpResponse(body));
    Client client;
    client.set_start_byte(500);
    client.set_progress_absolute(absolute);
    client.StartDownloadProgress(-1);
    ASSERT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbGet), 0) << client.ErrorText();
    ASSERT_FALSE(client.progress.empty());
    EXPECT_EQ(client.progress.front().percent, absolute ? 50 : 0);
    EXPECT_EQ(client.progress.front().done, absolute ? 500 : 0);
    EXPECT_EQ(client.progress.back().total, absolute ? 1000 : 500);
    EXPECT_EQ(client.progress.back().done, absolute ? 1000 : 500);
    EXPECT_EQ(client.progress.back().percent, 100);
  }
}

TEST_F(RestClientTest, DownloadWithoutLengthReportsUnknownEveryTime) {
  ScriptedPeer peer;
  peer.SetScripts({{ScriptedPeer::WaitRequest(),
                    ScriptedPeer::Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nfirst"),
                    ScriptedPeer::Sleep(30), ScriptedPeer::Send("second"), ScriptedPeer::Close()}});
  ASSERT_TRUE(peer.Start());
  Client client;
  ASSERT_EQ(client.SetProgressStep(50), 0);
  client.StartDownloadProgress(-1);
  ASSERT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbGet), 0) << client.ErrorText();
  ASSERT_GE(client.progress.size(), 2u);  // the start and at least one count
  for (const ProgressEvent& e : client.progress) {
    EXPECT_EQ(e.total, -1);
    EXPECT_EQ(e.percent, -1);
  }
  EXPECT_EQ(client.progress.back().done, 11);
  EXPECT_EQ(client.progress_state(), tw::RestClient::kProgressIdle);
}

TEST_F(RestClientTest, ThreeBlockUploadRisesOnceToHundred) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse(""));
  Client client;
  const std::string block(40000, 'u');
  client.StartUploadProgress(3 * 40000);
  for (int i = 0; i < 3; ++i) {
    client.StartUploadProgress(40000);  // nested: one per block request
    ASSERT_EQ(client.Send(peer.base_url() + "/c/b?comp=block", tw::kRestVerbPut, block), 0)
        << client.ErrorText();
    client.EndProgress(false);
  }
  client.EndProgress(false);
  ASSERT_GE(client.progress.size(), 4u);
  EXPECT_EQ(client.progress.front().percent, 0);
  int hundreds = 0;
  for (size_t i = 0; i < client.progress.size(); ++i) {
    EXPECT_EQ(client.progress[i].direction, tw::kProgressUpload);
    EXPECT_EQ(client.progress[i].total, 120000);
    if (i > 0) {
      EXPECT_GT(client.progress[i].done, client.progress[i - 1].done) << i;
    }
    hundreds += client.progress[i].percent == 100;
  }
  EXPECT_EQ(hundreds, 1);
  EXPECT_EQ(client.progress.back().percent, 100);
  EXPECT_EQ(client.progress.back().done, 120000);
  EXPECT_EQ(client.progress_state(), tw::RestClient::kProgressIdle);

  // The forced end at the total left no nesting behind: a new upload starts afresh.
  client.progress.clear();
  client.StartUploadProgress(10);
  client.FireStartTransferHook(tw::kDirectionRequest);
  ASSERT_EQ(client.progress.size(), 1u);
  EXPECT_EQ(client.progress[0].total, 10);
}

TEST_F(RestClientTest, PercentRules) {
  Client client;
  client.set_start_byte(0);
  client.StartUploadProgress(0);
  EXPECT_EQ(client.ProgressPercent(), 0);  // pending
  client.FireStartTransferHook(tw::kDirectionRequest);
  EXPECT_EQ(client.ProgressPercent(), 100);  // nothing to send is all sent
  client.EndProgress(true);
  EXPECT_EQ(client.ProgressPercent(), -1);

  client.StartUploadProgress(3);
  client.FireStartTransferHook(tw::kDirectionRequest);
  client.FireTransferProgress(tw::kDirectionRequest, 1, -1, nullptr, 0);
  EXPECT_EQ(client.ProgressPercent(), 33);  // truncated, not rounded
  client.FireTransferProgress(tw::kDirectionRequest, 2, -1, nullptr, 0);
  EXPECT_EQ(client.ProgressPercent(), 66);
  // A count past the total is held at it, and ends the progress.
  client.FireTransferProgress(tw::kDirectionRequest, 9, -1, nullptr, 0);
  EXPECT_EQ(client.progress.back().done, 3);
  EXPECT_EQ(client.progress.back().percent, 100);
  EXPECT_EQ(client.progress_state(), tw::RestClient::kProgressIdle);
}

// ---- Response bodies ----

constexpr char kListing[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<EnumerationResults ServiceEndpoint=\"https://acct.blob.example/\">"
    "<Containers>"
    "<Container><Name>alpha</Name><Properties><Etag>\"0x1\"</Etag></Properties></Container>"
    "<Container><Name>beta &amp; co</Name><Properties><Etag>\"0x2\"</Etag></Properties></Container>"
    "</Containers><NextMarker>m2</NextMarker></EnumerationResults>";

TEST_F(RestClientTest, XmlBodyIsParsedAndReachableByPath) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse(kListing, "Content-Type: application/xml\r\n"));
  Client client;
  ASSERT_EQ(client.Send(peer.base_url() + "/?comp=list", tw::kRestVerbGet, "", true), 0)
      << client.ErrorText();
  EXPECT_EQ(std::string(client.last_body().c_str()), kListing);

  EXPECT_EQ(client.Setting("XPath=/EnumerationResults/Containers"), "");
  EXPECT_EQ(client.last_config_rc, 0);
  EXPECT_EQ(client.Setting("XChildCount"), "2");
  EXPECT_EQ(client.Setting("XChildName[1]"), "Container");
  EXPECT_EQ(client.Setting("XChildName[2]"), "");  // index equal to the count: empty, no error
  EXPECT_EQ(client.last_config_rc, 0);
  EXPECT_EQ(client.Setting("XElement"), "Containers");
  EXPECT_EQ(client.Setting("XParent"), "EnumerationResults");
  EXPECT_EQ(client.Setting("XPath"), "/EnumerationResults/Containers");

  ASSERT_TRUE(client.SelectItem("/EnumerationResults/Containers", 2, "/Name"));
  EXPECT_STREQ(client.ElementText(), "beta & co");
  EXPECT_EQ(client.Setting("XText"), "beta & co");
  ASSERT_TRUE(client.SelectItem("/EnumerationResults/Containers", 1, nullptr));
  // Reading elsewhere keeps the place of a walk.
  tw::ByteString text;
  ASSERT_TRUE(client.ReadText("/EnumerationResults/NextMarker", text));
  EXPECT_STREQ(text.c_str(), "m2");
  ASSERT_TRUE(client.ReadAttribute("/EnumerationResults", "ServiceEndpoint", text));
  EXPECT_STREQ(text.c_str(), "https://acct.blob.example/");
  EXPECT_FALSE(client.ReadText("/EnumerationResults/Nowhere", text));
  EXPECT_STREQ(text.c_str(), "https://acct.blob.example/");  // untouched
  ASSERT_TRUE(client.SelectRelative("Properties/Etag"));
  EXPECT_STREQ(client.ElementText(), "\"0x1\"");
  EXPECT_EQ(client.Setting("XSubTree"), "<Etag>\"0x1\"</Etag>");
  EXPECT_FALSE(client.SelectPath("/EnumerationResults/Missing"));
  EXPECT_STREQ(client.ElementText(), "\"0x1\"");  // stayed

  ASSERT_TRUE(client.SelectPath("/EnumerationResults/Containers"));
  tw::ByteString name;
  EXPECT_EQ(client.ChildName(5, name), tw::kXmlErrBadElementIndex);
  EXPECT_STREQ(client.reader().error_text().c_str(), "Invalid element index.");
  ASSERT_TRUE(client.SelectItem("/EnumerationResults/Containers", 1, "/Name"));
  EXPECT_EQ(client.ChildName(0, name), tw::kXmlErrNoElements);
  EXPECT_STREQ(client.reader().error_text().c_str(), "No elements available.");
}

TEST_F(RestClientTest, EmptySuccessBodyParsesToNothing) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse("", "", 202, "Accepted"));
  Client client;
  ASSERT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbDelete, "", true), 0)
      << client.ErrorText();
  EXPECT_EQ(client.Setting("XChildCount"), "0");
  EXPECT_EQ(client.Setting("XText"), "");
}

TEST_F(RestClientTest, MalformedSuccessBodyFailsWithTheReadersCode) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse("<a><b></a>"));
  Client client;
  const int rc = client.Send(peer.base_url() + "/c", tw::kRestVerbGet, "", true);
  EXPECT_NE(rc, 0);
  EXPECT_EQ(rc, client.reader().error_code());
  EXPECT_FALSE(client.ErrorText().empty());
  EXPECT_EQ(client.ErrorText(), std::string(client.reader().error_text().c_str()));
}

TEST_F(RestClientTest, WriterBuildsABodyWithDeclarationAndTabIndentation) {
  Client client;
  tw::ByteString body;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(client.ResetWriter(), 0);
    ASSERT_EQ(client.WriteStartElement("BlockList"), 0);
    ASSERT_EQ(client.WriteElement("Committed", "a&b"), 0);
    ASSERT_EQ(client.WriteElement("Uncommitted", "b"), 0);
    // The open element is ended by the finish.
    ASSERT_EQ(client.FinishBody(body), 0);
    EXPECT_STREQ(body.c_str(),
                 "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n"
                 "<BlockList>\r\n\t<Committed>a&amp;b</Committed>\r\n\t<Uncommitted>b</Uncommitted>\r\n"
                 "</BlockList>");
  }
  EXPECT_NE(client.WriteStartElement("bad name"), 0);
  EXPECT_FALSE(client.ErrorText().empty());
}

// ---- Failures ----

struct ErrorCase {
  int status;
  std::string body;
  int code;
  std::string text;
};

TEST_F(RestClientTest, ErrorStatusBodiesBecomeServiceErrors) {
  const std::vector<ErrorCase> cases = {
      {404,
       "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>ContainerNotFound</Code>"
       "<Message>The specified container does not exist.\nRequestId:1</Message></Error>",
       600, "Server Error [ContainerNotFound]: The specified container does not exist.\nRequestId:1"},
      // The service's bodies may begin with a byte order mark.
      {409, "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>LeaseIdMissing</Code></Error>",
       600, "Server Error [LeaseIdMissing]"},
      {403,
       "<Error><Code>AuthenticationFailed</Code><Message>Server failed to authenticate.</Message>"
       "<AuthenticationErrorDetail>bad sig</AuthenticationErrorDetail></Error>",
       603, "Server Error [AuthenticationFailed]: Server failed to authenticate."},
      {400,
       "<Error><Code>InvalidHeaderValue</Code><Message>m</Message><Reason>r</Reason>"
       "<HeaderName>x-ms-version</HeaderName><QueryParameterName>q</QueryParameterName></Error>",
       600, "Server Error [InvalidHeaderValue]: m (Reason: r) (HeaderName: x-ms-version) (QueryParameterName: q)"},
      {500, "upstream exploded", 600, "upstream exploded"},
      {400, "<Error><Message>no code</Message></Error>", 600, "<Error><Message>no code</Message></Error>"},
      {401, "AuthenticationFailed (plain)", 603, "AuthenticationFailed (plain)"},
  };
  for (const ErrorCase& c : cases) {
    ScriptedPeer peer;
    Serve(peer, ScriptedPeer::HttpResponse(c.body, "", c.status, "Failed"));
    Client client;
    EXPECT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbGet, "", true), c.code) << c.body;
    EXPECT_EQ(client.ErrorText(), c.text);
    EXPECT_EQ(client.error_code(), c.code);
  }
}

TEST_F(RestClientTest, HeadFailureReadsTheErrorHeader) {
  ScriptedPeer peer;
  Serve(peer, "HTTP/1.1 404 The specified blob does not exist.\r\nContent-Length: 215\r\n"
              "x-ms-error-code: BlobNotFound\r\n\r\n");
  Client client;
  EXPECT_EQ(client.Send(peer.base_url() + "/c/b", tw::kRestVerbHead), 600);
  EXPECT_EQ(client.ErrorText(), "Server Error [BlobNotFound]: The specified blob does not exist.");

  ScriptedPeer plain;
  Serve(plain, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(client.Send(plain.base_url() + "/c/b", tw::kRestVerbHead), tw::kErrHttpProtocol);
  EXPECT_NE(client.ErrorText().find("404"), std::string::npos);
}

TEST_F(RestClientTest, FailureWithoutBodyKeepsTheHttpError) {
  ScriptedPeer peer;
  Serve(peer, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n"
              "x-ms-error-code: InternalError\r\n\r\n");
  Client client;
  EXPECT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbGet), tw::kErrHttpProtocol);
  EXPECT_EQ(client.ErrorText(), "HTTP protocol error. 500 Internal Server Error.");
}

TEST_F(RestClientTest, ResetMidBodyKeepsTheTransportError) {
  for (const int status : {200, 500}) {
    ScriptedPeer peer;
    const std::string start = "HTTP/1.1 " + std::to_string(status) +
                              " X\r\nContent-Length: 400\r\n\r\n<Error><Code>Half";
    peer.SetScripts({{ScriptedPeer::WaitRequest(), ScriptedPeer::Send(start), ScriptedPeer::Sleep(50),
                      ScriptedPeer::Reset()}});
    ASSERT_TRUE(peer.Start());
    Client client;
    const int rc = client.Send(peer.base_url() + "/c", tw::kRestVerbGet, "", true);
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, tw::kErrServerError);
    EXPECT_NE(rc, tw::kErrServerAuth);
    EXPECT_EQ(client.ErrorText().find("Server Error"), std::string::npos) << client.ErrorText();
    EXPECT_EQ(client.ErrorText().find("<Error>"), std::string::npos) << client.ErrorText();
    EXPECT_FALSE(client.ErrorText().empty());
  }
}

TEST_F(RestClientTest, InterruptDuringAnErrorBodyStaysAnInterrupt) {
  ScriptedPeer peer;
  peer.SetScripts({{ScriptedPeer::WaitRequest(),
                    ScriptedPeer::Send("HTTP/1.1 503 Busy\r\nContent-Length: 100\r\n\r\n<Error><Code>ServerBusy"),
                    ScriptedPeer::Sleep(3000), ScriptedPeer::Close()}});
  ASSERT_TRUE(peer.Start());
  Client client;
  client.StartDownloadProgress(-1);
  client.on_progress = [&client] {
    if (client.progress.back().done > 0) client.Setting("Interrupt");
  };
  EXPECT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbGet, "", true), tw::kErrInterrupted);
  EXPECT_EQ(client.ErrorText(), "Interrupted.");
}

// ---- Capture and settings ----

TEST_F(RestClientTest, RawCaptureNeedsTransferredRequest) {
  ScriptedPeer peer;
  Serve(peer, ScriptedPeer::HttpResponse("pong", "X-A: 1\r\n"));
  Client client;
  client.Setting("RawRequest");
  EXPECT_EQ(client.last_config_rc, tw::kErrCaptureOff);
  EXPECT_EQ(client.ErrorText(), "You must set TransferredRequest to On first.");

  client.Setting("TransferredRequest=on");
  ASSERT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbPut, "ping"), 0) << client.ErrorText();
  const std::string raw_request = client.Setting("RawRequest");
  EXPECT_EQ(raw_request.rfind("PUT /c HTTP/1.1\r\n", 0), 0u) << raw_request;
  EXPECT_EQ(raw_request.substr(raw_request.size() - 8), "\r\n\r\nping");
  EXPECT_EQ(client.Setting("RawResponse"),
            "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-A: 1\r\n\r\npong");

  // While kept (a block upload) every exchange is appended in frames.
  client.set_keep_raw_capture(true);
  client.ClearRawCapture();
  ASSERT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbPut, "one"), 0);
  ASSERT_EQ(client.Send(peer.base_url() + "/c", tw::kRestVerbPut, "two"), 0);
  const std::string kept = client.Setting("RawRequest");
  EXPECT_EQ(kept.rfind("*********BEGIN REQUEST*********\r\nPUT /c", 0), 0u);
  EXPECT_NE(kept.find("one\r\n*********END REQUEST*********\r\n*********BEGIN REQUEST*********\r\n"),
            std::string::npos);
  const std::string response = client.Setting("RawResponse");
  EXPECT_EQ(response.substr(response.size() - 38),
            "pong\r\n*********END RESPONSE*********\r\n");
}

TEST_F(RestClientTest, SettingsCheckTheirRanges) {
  Client client;
  EXPECT_EQ(client.Setting("FragmentSize"), "10485760");
  client.Setting("FragmentSize=0");
  EXPECT_EQ(client.last_config_rc, 202);
  EXPECT_EQ(client.ErrorText(), "Valid values for FragmentSize are 1 to 2147483647, inclusive.");
  client.Setting("FragmentSize=2147483648");
  EXPECT_EQ(client.last_config_rc, 202);
  client.Setting("FragmentSize=2147483647");
  EXPECT_EQ(client.last_config_rc, 0);
  EXPECT_EQ(client.Setting("FragmentSize"), "2147483647");

  for (const char* bad : {"ProgressStep=100", "ProgressStep=-1", "ProgressStep=4294967306"}) {
    client.Setting(bad);
    EXPECT_EQ(client.last_config_rc, 202) << bad;
    EXPECT_EQ(client.ErrorText(), "Valid values for ProgressStep are 0 to 99, inclusive.");
  }
  client.Setting("ProgressStep=0");
  EXPECT_EQ(client.Setting("ProgressStep"), "0");
  EXPECT_EQ(client.Setting("ProgressAbsolute"), "True");
  EXPECT_EQ(client.Setting("UsePlatformHash"), "True");
  client.Setting("TransferredDataLimit=5000000000");
  EXPECT_EQ(client.Setting("TransferredDataLimit"), "5000000000");
  client.Setting("EncryptionKey=k1");
  EXPECT_EQ(client.Setting("EncryptionKey"), "k1");
  client.Setting("XText=ignored");  // read-only: a write does nothing
  EXPECT_EQ(client.last_config_rc, 0);

  ASSERT_EQ(client.Reset(), 0);
  EXPECT_EQ(client.Setting("TransferredDataLimit"), "0");
  EXPECT_EQ(client.Setting("EncryptionKey"), "");
  EXPECT_EQ(client.Setting("ProgressStep"), "1");
  EXPECT_EQ(client.Setting("AlwaysFireStartTransfer"), "True");
}

TEST_F(RestClientTest, LocalFileDropsTheCallerStreamsAndBecomesAWideTarget) {
  Client client;
  struct NullStream : tw::Stream {
    int Read(void*, int) override { return 0; }
    int ReadLine(char*, int) override { return 0; }
    int PutByte(uint8_t) override { return 0; }
  } up, down;
  client.SetCallerUploadStream(&up);
  client.SetCallerDownloadStream(&down);
  bool from_memory = true;
  ASSERT_EQ(client.SetUploadSource("", &from_memory), 0);
  EXPECT_FALSE(from_memory);
  EXPECT_EQ(client.upload_stream(), &up);
  ASSERT_EQ(client.SetDownloadTarget(), 0);
  EXPECT_EQ(client.download_stream(), &down);

  ASSERT_EQ(client.SetCallerLocalFile("/tmp/data.bin"), 0);
  EXPECT_EQ(client.caller_upload_stream(), nullptr);
  EXPECT_EQ(client.caller_download_stream(), nullptr);
  ASSERT_EQ(client.SetDownloadTarget(), 0);
  EXPECT_TRUE(client.local_file().is_wide());
  EXPECT_STREQ(client.local_file().Utf8(), "/tmp/data.bin");
  EXPECT_EQ(client.download_stream(), nullptr);
  ASSERT_EQ(client.SetUploadSource("/tmp/enc.tmp", &from_memory), 0);
  EXPECT_STREQ(client.attached_file().Utf8(), "/tmp/enc.tmp");
  ASSERT_EQ(client.ClearRequestState(), 0);
  EXPECT_FALSE(client.HasAttachedFile());
  EXPECT_EQ(client.local_file().Length(), 0);

  ASSERT_EQ(client.SetCallerLocalFile(""), 0);
  ASSERT_EQ(client.SetUploadSource(nullptr, &from_memory), 0);
  EXPECT_TRUE(from_memory);
}

}  // namespace
