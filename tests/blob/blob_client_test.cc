// The blob client's core: request URLs (checked against python3's percent-encoding), settings,
// collections, the virtual send as a scripted peer receives it (query merging, OtherHeaders,
// SharedKey signatures re-derived by an independent python3 oracle, the caller's Authorization),
// the service's errors turned into codes and texts, and the event slots.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/blob/blob_test_support.h"
#include "tests/peers/scripted_peer.h"
#include "tests/support/test_support.h"

namespace {

using blobtest::Str;
using blobtest::TestClient;
using testsupport::ScriptedPeer;
using Script = ScriptedPeer::Script;

constexpr char kKey[] =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

Script Reply(const std::string& response) {
  return Script{ScriptedPeer::WaitRequest(), ScriptedPeer::Send(response), ScriptedPeer::Close()};
}

// The request head's header lines (without the request line), in the order sent.
std::vector<std::string> HeaderLines(const std::string& request) {
  std::vector<std::string> out;
  const size_t end = request.find("\r\n\r\n");
  size_t at = request.find("\r\n");
  while (at != std::string::npos && at < end) {
    const size_t next = request.find("\r\n", at + 2);
    out.push_back(request.substr(at + 2, next - at - 2));
    at = next;
  }
  return out;
}

std::string RequestLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

bool HasHeader(const std::string& request, const std::string& line) {
  for (const std::string& h : HeaderLines(request)) {
    if (h == line) return true;
  }
  return false;
}

bool HasHeaderNamed(const std::string& request, const std::string& name) {
  for (const std::string& h : HeaderLines(request)) {
    if (h.compare(0, name.size() + 1, name + ":") == 0) return true;
  }
  return false;
}

// An independent SharedKey check: rebuilds the string-to-sign from the request as received and
// compares the HMAC with the Authorization header. Prints "ok" or what differs, one line per
// request (hex-encoded on input).
constexpr char kSignatureOracle[] = R"PY(
import base64, hashlib, hmac, sys, urllib.parse
ACCOUNT = "acct"
KEY = base64.b64decode(sys.argv[1] if len(sys.argv) > 1 else
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==")
STANDARD = ["content-encoding", "content-language", "content-length", "content-md5",
            "content-type", "date", "if-modified-since", "if-match", "if-none-match",
            "if-unmodified-since", "range"]
for line in sys.stdin:
    raw = bytes.fromhex(line.strip()).decode("utf-8")
    head = raw.split("\r\n\r\n", 1)[0].split("\r\n")
    verb, target, _ = head[0].split(" ")
    headers = []
    for h in head[1:]:
        name, value = h.split(":", 1)
        headers.append((name.strip().lower(), value.strip()))
    values = {}
    for name, value in headers:
        values.setdefault(name, []).append(value)
    lines = [verb]
    for name in STANDARD:
        v = ",".join(values.get(name, []))
        if name == "content-length" and v == "0":
            v = ""
        if name == "date" and "x-ms-date" in values:
            v = ""
        lines.append(v)
    ms = sorted(n for n in values if n.startswith("x-ms-"))
    for n in ms:
        lines.append(n + ":" + ",".join(values[n]))
    path, _, query = target.partition("?")
    resource = "/" + ACCOUNT + path
    params = {}
    for n, v in urllib.parse.parse_qsl(query, keep_blank_values=True):
        params.setdefault(n.lower(), []).append(v)
    for n in sorted(params):
        resource += "\n" + n + ":" + ",".join(sorted(params[n]))
    lines.append(resource)
    text = "\n".join(lines)
    mac = base64.b64encode(hmac.new(KEY, text.encode("utf-8"), hashlib.sha256).digest()).decode()
    got = values.get("authorization", [""])[0]
    want = "SharedKey " + ACCOUNT + ":" + mac
    print("ok" if got == want else "mismatch: " + repr(text) + " " + got + " != " + want)
)PY";

void ExpectSignedCorrectly(const std::vector<std::string>& requests) {
  std::string input;
  for (const std::string& r : requests) input += testsupport::Hex(r.data(), r.size()) + "\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(kSignatureOracle, input, &out);
  ASSERT_EQ(out.size(), requests.size());
  for (const std::string& line : out) EXPECT_EQ(line, "ok");
}

// ---- Request URLs ----

TEST(BlobRequestUrl, SchemeAccountEndpointAndEncodedBlobPath) {
  TestClient client;
  ASSERT_TRUE(client.initialized);
  client.account().SetText("acct");
  EXPECT_EQ(client.Url("c", "a b/c"), "https://acct.blob.core.windows.net/c/a%20b/c");
  client.set_use_ssl(false);
  EXPECT_EQ(client.Url("c", "a b/c"), "http://acct.blob.core.windows.net/c/a%20b/c");
  // An empty container gives the service root, blob or not.
  EXPECT_EQ(client.Url("", ""), "http://acct.blob.core.windows.net/");
  EXPECT_EQ(client.Url("", "orphan"), "http://acct.blob.core.windows.net/");
  EXPECT_EQ(client.Url("c", ""), "http://acct.blob.core.windows.net/c");
  // The default code page is the system's, UTF-8 here: names travel as UTF-8.
  EXPECT_EQ(client.Url("c", "gr\xC3\xBC\xC3\x9F" "e"), "http://acct.blob.core.windows.net/c/gr%C3%BC%C3%9Fe");
}

TEST(BlobRequestUrl, MissingAccountFails) {
  TestClient client;
  tw::ByteString url;
  EXPECT_EQ(client.BuildRequestUrl("c", "b", &url), 603);
  EXPECT_EQ(client.Error(), "Account must be set.");
  EXPECT_TRUE(url.empty());
}

TEST(BlobRequestUrl, CodePageTextIsSentAsUtf8) {
  TestClient client;
  client.account().SetText("acct");
  ASSERT_EQ(client.Set("CodePage=1252"), 0);
  // 0xFC is u-umlaut in Windows-1252.
  EXPECT_EQ(client.Url("c", "\xFC" "ber"), "https://acct.blob.core.windows.net/c/%C3%BCber");
}

TEST(BlobRequestUrl, PercentEncodingMatchesPythonQuote) {
  std::vector<std::string> names = {"plain", "a b", "x+y&z=1?#", "100%", "q'(),-./=_~*!", "tab\there",
                                    "\xE2\x82\xAC", "../up", "semi;colon:at@"};
  std::string bytes;
  for (int c = 1; c < 256; ++c) bytes.push_back(static_cast<char>(c));
  names.push_back(bytes.substr(0, 127));  // the ASCII range in one name
  std::string input;
  for (const std::string& n : names) input += testsupport::Hex(n.data(), n.size()) + "\n";
  std::vector<std::string> expected;
  TW_PYTHON_OR_SKIP(
      "import sys, urllib.parse\n"
      "for line in sys.stdin:\n"
      "    print(urllib.parse.quote(bytes.fromhex(line.strip()), safe=\"'(),-./=_~\"))\n",
      input, &expected);
  ASSERT_EQ(expected.size(), names.size());
  TestClient client;
  client.account().SetText("acct");
  client.set_use_ssl(false);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(client.Url("c", names[i].c_str()), "http://acct.blob.core.windows.net/c/" + expected[i])
        << "name " << i;
  }
}

// ---- Settings ----

TEST(BlobSettings, MaxResultsRange) {
  TestClient client;
  for (const char* good : {"-1", "1", "5000"}) {
    EXPECT_EQ(client.Set(std::string("MaxResults=") + good), 0) << good;
    EXPECT_EQ(client.Get("MaxResults"), good);
  }
  for (const char* bad : {"0", "-2", "5001"}) {
    EXPECT_EQ(client.Set(std::string("MaxResults=") + bad), 202) << bad;
    EXPECT_EQ(client.Error(), "Valid values for MaxResults are -1 or 1-5000 (inclusive).");
    EXPECT_EQ(client.Get("MaxResults"), "5000");
  }
}

TEST(BlobSettings, SimpleUploadLimitRange) {
  TestClient client;
  EXPECT_EQ(client.Set("SimpleUploadLimit=0"), 0);
  EXPECT_EQ(client.Set("SimpleUploadLimit=268435456"), 0);
  EXPECT_EQ(client.Set("SimpleUploadLimit=268435457"), 202);
  EXPECT_EQ(client.Error(), "Invalid SimpleUploadLimit value.");
  EXPECT_EQ(client.Set("SimpleUploadLimit=-1"), 202);
  EXPECT_EQ(client.Get("SimpleUploadLimit"), "268435456");
}

TEST(BlobSettings, EndpointIsTrimmedAndRestored) {
  TestClient client;
  EXPECT_EQ(client.Set("Endpoint=  .example.test/ "), 0);
  EXPECT_EQ(client.Get("Endpoint"), ".example.test");
  EXPECT_EQ(client.Set("Endpoint="), 0);
  EXPECT_EQ(client.Get("Endpoint"), ".core.windows.net");
}

TEST(BlobSettings, IndexedSettingsCheckTheirIndex) {
  TestClient client;
  EXPECT_EQ(client.Set("BlobAccessTier[0]"), 605);
  EXPECT_EQ(client.Error(), "Invalid index.");
  EXPECT_EQ(client.Set("Prefix[0]"), 605);
  EXPECT_EQ(client.Set("PageRangeCleared[-1]"), 605);
  ASSERT_EQ(client.blobs().SetCount(2), 0);
  // A slot the caller added shows the record's initial values.
  EXPECT_EQ(client.Get("BlobRetentionDaysLeft[1]"), "-1");
  EXPECT_EQ(client.Set("BlobCacheControl[1]=no-store"), 0);
  EXPECT_EQ(client.Get("BlobCacheControl[1]"), "no-store");
  EXPECT_EQ(client.Set("BlobContentLanguage[0]=fr"), 0);
  EXPECT_EQ(client.Get("BlobContentLanguage[0]"), "fr");
  EXPECT_EQ(client.Get("BlobAccessTierInferred[0]"), "False");
  EXPECT_EQ(client.Set("BlobCacheControl[2]=x"), 605);
}

TEST(BlobSettings, ResetRestoresDefaultsAndEmptiesCollections) {
  TestClient client;
  client.account().SetText("acct");
  client.access_key().SetText(kKey);
  client.AddMetadata("a", "1");
  client.AddQueryParam("b", "2");
  client.containers().GetOrCreate(3);
  client.Set("MaxResults=7");
  client.Set("Endpoint=.x");
  client.set_use_ssl(false);
  ASSERT_EQ(client.Reset(), 0);
  EXPECT_EQ(client.Get("APIVersion"), "2019-02-02");
  EXPECT_EQ(client.Get("AppendedBlockCount"), "-1");
  EXPECT_EQ(client.Get("EncodeBlockIds"), "True");
  EXPECT_EQ(client.Get("SimpleUploadLimit"), "268435456");
  EXPECT_EQ(client.Get("FragmentSize"), "104857600");
  EXPECT_TRUE(client.account().empty());
  EXPECT_TRUE(client.access_key().empty());
  EXPECT_EQ(client.metadata().Count(), 0);
  EXPECT_EQ(client.query_params().Count(), 0);
  EXPECT_EQ(client.containers().Count(), 0);
  EXPECT_EQ(client.Get("MaxResults"), "-1");
  EXPECT_EQ(client.Get("Endpoint"), ".core.windows.net");
  EXPECT_TRUE(client.use_ssl());
}

// ---- Collections ----

TEST(BlobCollections, IndexChecksNameTheCollection) {
  TestClient client;
  struct Case {
    tw::BlobCollection collection;
    const char* text;
  };
  const Case cases[] = {
      {tw::BlobCollection::kAccessPolicies, "Invalid AccessPolicyIndex (out of bounds)."},
      {tw::BlobCollection::kBlobs, "Invalid BlobIndex (out of bounds)."},
      {tw::BlobCollection::kBlocks, "Invalid BlockIndex (out of bounds)."},
      {tw::BlobCollection::kContainers, "Invalid ContainerIndex (out of bounds)."},
      {tw::BlobCollection::kMetadata, "Invalid MetadataIndex (out of bounds)."},
      {tw::BlobCollection::kPageRanges, "Invalid PageRangeIndex (out of bounds)."},
      {tw::BlobCollection::kQueryParams, "Invalid QueryParamIndex (out of bounds)."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(client.CheckIndex(c.collection, 0), 432);
    EXPECT_EQ(client.Error(), c.text);
    EXPECT_EQ(client.CheckIndex(c.collection, -1), 432);
  }
  client.blobs().SetCount(3);
  EXPECT_EQ(client.CheckIndex(tw::BlobCollection::kBlobs, 2), 0);
  EXPECT_EQ(client.CheckIndex(tw::BlobCollection::kBlobs, 3), 432);
}

TEST(BlobCollections, QueryParamsReplaceByNameWithoutCase) {
  TestClient client;
  EXPECT_EQ(client.AddQueryParam("si", "one"), 0);
  EXPECT_EQ(client.AddQueryParam("Sip", "1.2.3.4"), 0);
  EXPECT_EQ(client.AddQueryParam("SI", "two"), 0);
  EXPECT_EQ(client.AddQueryParam("", "ignored"), 0);
  ASSERT_EQ(client.query_params().Count(), 2);
  EXPECT_EQ(Str(client.query_params().At(0)->first), "si");
  EXPECT_EQ(Str(client.query_params().At(0)->second), "two");
  // Metadata items may repeat.
  client.AddMetadata("m", "1");
  client.AddMetadata("m", "2");
  EXPECT_EQ(client.metadata().Count(), 2);
  client.AddBlock("id1", 1);
  ASSERT_EQ(client.blocks().Count(), 1);
  EXPECT_EQ(client.blocks().At(0)->size, -1);
  EXPECT_EQ(client.blocks().At(0)->block_type, 1);
}

// ---- The virtual send, as the service receives it ----

class BlobSendTest : public ::testing::Test {
 protected:
  void Serve(std::vector<Script> scripts) {
    peer_.SetScripts(std::move(scripts));
    ASSERT_TRUE(peer_.Start());
    client_.UsePlainService("acct", peer_.port());
    client_.access_key().SetText(kKey);
  }
  std::string Url(const char* container, const char* blob) { return client_.Url(container, blob); }

  ScriptedPeer peer_;
  TestClient client_;
};

TEST_F(BlobSendTest, MergesQueriesAndOtherHeadersAndSignsWhatIsSent) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  client_.AddQueryParam("qp", "v v/\xC3\xA9");
  client_.other_headers_property().SetText("A: 1\r\n2\n\nB:3\r\nx-ms-meta-Color:  Blue \r\n");
  const std::string url = Url("cont", "dir/my blob") + "?x=1&y& x=2 &=z&&x=1";
  ASSERT_EQ(client_.SendServiceRequest(url.c_str(), tw::kRestVerbGet, "", false), 0)
      << client_.Error();
  const std::string request = peer_.request(0);
  // Same name replaces; the repeat of an identical piece is dropped; "=z" is dropped.
  EXPECT_EQ(RequestLine(request), "GET /cont/dir/my%20blob?qp=v%20v%2F%C3%A9&x=2&y= HTTP/1.1");
  EXPECT_TRUE(HasHeader(request, "A: 1 2"));
  EXPECT_TRUE(HasHeader(request, "B: 3"));
  EXPECT_TRUE(HasHeader(request, "x-ms-meta-Color: Blue"));
  EXPECT_TRUE(HasHeader(request, "x-ms-version: 2019-02-02"));
  EXPECT_TRUE(HasHeaderNamed(request, "x-ms-date"));
  EXPECT_TRUE(HasHeaderNamed(request, "Authorization"));
  ExpectSignedCorrectly({request});
  // The string-to-sign of that request stays readable; the request lists do not.
  EXPECT_EQ(client_.Get("LastStringToSign").rfind("GET\n", 0), 0u);
  EXPECT_EQ(client_.request_headers().Count(), 0);
  EXPECT_EQ(client_.request_query().Count(), 0);
  EXPECT_TRUE(client_.authorization().empty());
}

TEST_F(BlobSendTest, BodyLengthIsSignedAndPatchGoesAsItsOwnVerb) {
  Serve({Reply(ScriptedPeer::HttpResponse("", "", 201, "Created")),
         Reply(ScriptedPeer::HttpResponse(""))});
  const std::string url = Url("cont", "b") + "?comp=block";
  ASSERT_EQ(client_.SendServiceRequest(url.c_str(), tw::kRestVerbPut, "hello", false), 0)
      << client_.Error();
  ASSERT_EQ(client_.SendServiceRequest(url.c_str(), tw::kRestVerbPatch, "", false), 0)
      << client_.Error();
  ASSERT_TRUE(peer_.WaitForConnections(2, 5000));
  const std::string put = peer_.request(0);
  EXPECT_EQ(RequestLine(put), "PUT /cont/b?comp=block HTTP/1.1");
  EXPECT_NE(put.find("\r\n\r\nhello"), std::string::npos);
  EXPECT_EQ(RequestLine(peer_.request(1)), "PATCH /cont/b?comp=block HTTP/1.1");
  ExpectSignedCorrectly({put, peer_.request(1)});
}

TEST_F(BlobSendTest, CallersAuthorizationGoesVerbatimWithoutDate) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  client_.authorization_property().SetText("Bearer token-123");
  client_.other_headers_property().SetText("B: 2\r\nA: 1");
  ASSERT_EQ(client_.SendServiceRequest(Url("", "").c_str(), tw::kRestVerbGet, "", false), 0)
      << client_.Error();
  const std::string request = peer_.request(0);
  EXPECT_TRUE(HasHeader(request, "Authorization: Bearer token-123"));
  EXPECT_FALSE(HasHeaderNamed(request, "x-ms-date"));
  // Unsigned, the headers keep the order in which they were added.
  const std::vector<std::string> lines = HeaderLines(request);
  size_t version = lines.size(), b = lines.size(), a = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "x-ms-version: 2019-02-02") version = i;
    if (lines[i] == "B: 2") b = i;
    if (lines[i] == "A: 1") a = i;
  }
  ASSERT_LT(a, lines.size());
  EXPECT_LT(version, b);
  EXPECT_LT(b, a);
}

TEST_F(BlobSendTest, EmptyKeySendsUnsigned) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  client_.access_key().Reset();
  ASSERT_EQ(client_.SendServiceRequest(Url("", "").c_str(), tw::kRestVerbGet, "", false), 0);
  EXPECT_FALSE(HasHeaderNamed(peer_.request(0), "Authorization"));
  EXPECT_TRUE(HasHeaderNamed(peer_.request(0), "x-ms-date"));
}

TEST_F(BlobSendTest, RefusedBeforeSending) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  client_.AddQueryParam("leftover", "1");
  EXPECT_EQ(client_.SendServiceRequest(Url("c", "").c_str(), 4, "", false), 202);
  EXPECT_EQ(client_.Error(), "Invalid HTTP action.");
  client_.access_key().SetText("not base64 !!");
  EXPECT_EQ(client_.SendServiceRequest(Url("c", "").c_str(), tw::kRestVerbGet, "", false), 202);
  EXPECT_EQ(client_.Error(), "Invalid AccessKey: The input is not a valid Base-64 string");
  // A header value with a line break could start a request of its own.
  client_.access_key().SetText(kKey);
  client_.lease_id().SetText("x\r\nInjected: 1");
  EXPECT_NE(client_.ListBlocks("b", 0), 0);
  client_.container().SetText("c");
  EXPECT_EQ(client_.ListBlocks("b", 0), 202);
  EXPECT_EQ(peer_.connection_count(), 0);
  EXPECT_EQ(client_.request_headers().Count(), 0);
  EXPECT_EQ(client_.request_query().Count(), 0);
  // An empty account fails in the signer, after the URL was given.
  client_.lease_id().Reset();
  client_.account().Reset();
  EXPECT_EQ(client_.SendServiceRequest("http://127.0.0.1:1/c", tw::kRestVerbGet, "", false), 603);
  EXPECT_EQ(client_.Error(), "Account must be specified.");
}

TEST_F(BlobSendTest, EventsArriveInTheControlsSlots) {
  Serve({Reply(ScriptedPeer::HttpResponse("<a/>", "x-ms-request-id: r1\r\n"))});
  ASSERT_EQ(client_.SendServiceRequest(Url("", "").c_str(), tw::kRestVerbGet, "", true), 0);
  const auto& sink = client_.sink;
  // Connection events of the HTTP layer have no control event: nothing in slots 1 to 3.
  EXPECT_EQ(sink.Count(tw::kBlobEventBlobList), 0);
  EXPECT_EQ(sink.Count(tw::kBlobEventBlockList), 0);
  EXPECT_EQ(sink.Count(tw::kBlobEventContainerList), 0);
  bool saw_header = false;
  for (const auto& e : sink.Of(tw::kBlobEventHeader)) {
    if (e.args == std::vector<std::string>{"x-ms-request-id", "r1"}) saw_header = true;
  }
  EXPECT_TRUE(saw_header);
  ASSERT_GE(sink.Count(tw::kBlobEventStartTransfer), 1);
  EXPECT_EQ(sink.Of(tw::kBlobEventEndTransfer).back().args, std::vector<std::string>{"1"});
  const auto transfers = sink.Of(tw::kBlobEventTransfer);
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].args, (std::vector<std::string>{"1", "4", "100", "<a/>", "4"}));
  for (const auto& e : sink.events) {
    EXPECT_TRUE(e.args.empty() || e.args[0].rfind("<shape", 0) != 0) << "slot " << e.slot;
  }
  // The reader holds the answer for the X settings.
  EXPECT_EQ(client_.Set("XPath=/a"), 0);
  EXPECT_EQ(client_.Get("XElement"), "a");
}

// ---- The service's errors ----

constexpr char kNotFoundBody[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>ContainerNotFound</Code>"
    "<Message>The specified container does not exist.\nRequestId:1</Message></Error>";

TEST_F(BlobSendTest, ErrorBodyBecomesServerErrorText) {
  Serve({Reply(ScriptedPeer::HttpResponse(kNotFoundBody, "", 404, "Not Found"))});
  client_.container().SetText("nope");
  EXPECT_EQ(client_.ListBlobs(), 600);
  EXPECT_EQ(client_.Error(),
            "Server Error [ContainerNotFound]: The specified container does not exist.\nRequestId:1");
}

TEST_F(BlobSendTest, ErrorBodyWithEveryDetail) {
  const std::string body =
      "<Error><Code>InvalidHeaderValue</Code><Message>m</Message><Reason>r</Reason>"
      "<HeaderName>x-ms-range</HeaderName><QueryParameterName>comp</QueryParameterName></Error>";
  Serve({Reply(ScriptedPeer::HttpResponse(body, "", 400, "Bad Request"))});
  EXPECT_EQ(client_.ListContainers(), 600);
  EXPECT_EQ(client_.Error(),
            "Server Error [InvalidHeaderValue]: m (Reason: r) (HeaderName: x-ms-range) "
            "(QueryParameterName: comp)");
}

TEST_F(BlobSendTest, AuthenticationFailureIs603) {
  const std::string body =
      "<Error><Code>AuthenticationFailed</Code><Message>Server failed to authenticate the "
      "request.</Message><AuthenticationErrorDetail>sig</AuthenticationErrorDetail></Error>";
  Serve({Reply(ScriptedPeer::HttpResponse(body, "", 403, "Forbidden"))});
  EXPECT_EQ(client_.ListContainers(), 603);
  EXPECT_EQ(client_.Error(),
            "Server Error [AuthenticationFailed]: Server failed to authenticate the request.");
}

TEST_F(BlobSendTest, ErrorBodyThatIsNotXmlIsKeptVerbatim) {
  Serve({Reply(ScriptedPeer::HttpResponse("Service busy <try later>", "", 503, "Unavailable"))});
  EXPECT_EQ(client_.ListContainers(), 600);
  EXPECT_EQ(client_.Error(), "Service busy <try later>");
}

TEST_F(BlobSendTest, HeadFailureReportsTheErrorHeader) {
  Serve({Reply("HTTP/1.1 404 The specified blob does not exist.\r\nContent-Length: 0\r\n"
               "x-ms-error-code: BlobNotFound\r\n\r\n")});
  EXPECT_EQ(client_.SendServiceRequest(Url("c", "b").c_str(), tw::kRestVerbHead, "", false), 600);
  EXPECT_EQ(client_.Error(), "Server Error [BlobNotFound]: The specified blob does not exist.");
}

TEST_F(BlobSendTest, FailureWithoutBodyKeepsTheHttpError) {
  Serve({Reply(ScriptedPeer::HttpResponse("", "", 500, "Internal Server Error"))});
  const int rc = client_.SendServiceRequest(Url("c", "b").c_str(), tw::kRestVerbGet, "", false);
  EXPECT_EQ(rc, tw::kErrHttpProtocol);
  EXPECT_EQ(client_.Error().rfind("Server Error [", 0), std::string::npos) << client_.Error();
  EXPECT_NE(client_.Error().find("500"), std::string::npos) << client_.Error();
}

TEST_F(BlobSendTest, ErrorBodyCutShortIsNoServerText) {
  // The status promises 200 bytes of error text; the connection ends after a few.
  Serve({Script{ScriptedPeer::WaitRequest(),
                ScriptedPeer::Send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 200\r\n\r\n"
                                   "<Error><Code>Half"),
                ScriptedPeer::Close()}});
  const int rc = client_.SendServiceRequest(Url("c", "b").c_str(), tw::kRestVerbGet, "", false);
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, 600);
  EXPECT_EQ(client_.Error().rfind("Server Error [", 0), std::string::npos) << client_.Error();
  EXPECT_NE(client_.Error(), "<Error><Code>Half");
}

TEST_F(BlobSendTest, RefusedConnectionKeepsTheSocketError) {
  Serve({Reply(ScriptedPeer::HttpResponse(""))});
  const int port = testsupport::ClosedPort();
  client_.SetEndpoint((".localhost:" + std::to_string(port)).c_str());
  const int rc = client_.ListContainers();
  EXPECT_GE(rc, 10000) << client_.Error();
  EXPECT_EQ(client_.Error().rfind("Server Error [", 0), std::string::npos);
}

TEST_F(BlobSendTest, FailedListingLeavesTheCollection) {
  Serve({Reply(ScriptedPeer::HttpResponse(kNotFoundBody, "", 404, "Not Found"))});
  client_.containers().GetOrCreate(0)->name.SetText("kept");
  client_.container_marker().Reset();
  EXPECT_EQ(client_.ListContainers(), 600);
  ASSERT_EQ(client_.containers().Count(), 1);
  EXPECT_EQ(Str(client_.containers().At(0)->name), "kept");
}

TEST_F(BlobSendTest, MalformedSuccessBodyFailsTheOperation) {
  Serve({Reply(ScriptedPeer::HttpResponse("<EnumerationResults><Containers>"))});
  EXPECT_NE(client_.ListContainers(), 0);
  EXPECT_FALSE(client_.Error().empty());
}

}  // namespace
