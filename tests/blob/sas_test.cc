// Shared access signature links: the string-to-sign of container, blob and snapshot links and the
// "si" rule byte for byte, the link's parameters, failures, and the signature against the storage
// SDK's own generateBlobSASQueryParameters (run through node from tests/peers).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "blob/shared_access_signature.h"
#include "blob/shared_key_signer.h"
#include "foundation/component_base.h"
#include "tests/support/test_support.h"

namespace tw {
namespace {

constexpr char kAccount[] = "devstoreaccount1";
constexpr char kDevKey[] =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
constexpr char kBase[] = "http://127.0.0.1:10000/devstoreaccount1/pics";

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Str(const ByteString& s) { return std::string(s.data(), s.length()); }

// The 15 lines of the string-to-sign from the fields that are set.
std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

std::string Decode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The link's query, decoded, in link order.
Pairs QueryOf(const std::string& link) {
  Pairs out;
  const size_t q = link.find('?');
  if (q == std::string::npos) return out;
  std::istringstream pieces(link.substr(q + 1));
  std::string piece;
  while (std::getline(pieces, piece, '&')) {
    const size_t eq = piece.find('=');
    out.emplace_back(Decode(piece.substr(0, eq)), Decode(piece.substr(eq + 1)));
  }
  return out;
}

struct SasCase {
  const char* name;
  std::string blob;
  std::string snapshot;
  std::string permissions;
  std::string start;
  std::string expiry;
  Pairs extra;  // the caller's QueryParam collection
  int codepage;
  std::string expected_string_to_sign;
  std::vector<std::string> expected_names;  // the link's parameters in order, sig last
};

void PrintTo(const SasCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
std::vector<SasCase> Cases() {
  const std::string se = "2030-01-01T00:00:00Z";
  const std::string st = "2024-01-01T00:00:00Z";
  const std::string snap = "2024-06-09T10:20:30.1234567Z";
  const std::string v = "2019-02-02";
  const std::string res = "/blob/devstoreaccount1/pics";
  return {
    {"Container", "", "", "rl", "", se, {}, 0,
     Lines({"rl", "", se, res, "", "", "", v, "c", "", "", "", "", "", ""}),
     {"sv", "sp", "se", "sr", "sig"}},
    {"BlobWithBlank", "my photo.jpg", "", "r", st, se, {}, 0,
     Lines({"r", st, se, res + "/my photo.jpg", "", "", "", v, "b", "", "", "", "", "", ""}),
     {"sv", "sp", "st", "se", "sr", "sig"}},
    {"Snapshot", "dir/b.txt", snap, "rd", "", se, {}, 0,
     Lines({"rd", "", se, res + "/dir/b.txt", "", "", "", v, "bs", snap, "", "", "", "", ""}),
     {"sv", "sp", "se", "snapshot", "sr", "sig"}},
    {"SnapshotIgnoredForContainer", "", snap, "r", "", se, {}, 0,
     Lines({"r", "", se, res, "", "", "", v, "c", "", "", "", "", "", ""}),
     {"sv", "sp", "se", "sr", "sig"}},
    {"StoredPolicyOnly", "", "", "", "", "", {{"si", "policy1"}}, 0,
     Lines({"", "", "", res, "policy1", "", "", v, "c", "", "", "", "", "", ""}),
     {"sv", "sr", "si", "sig"}},
    {"EveryField", "report.txt", "", "racwd", st, se,
     {{"rsct", "text/plain"}, {"SV", "2000-01-01"}, {"sip", "168.1.5.60-168.1.5.70"},
      {"spr", "https"}, {"rscc", "no-cache"}, {"rscd", "attachment; filename=\"r+1.txt\""},
      {"rsce", "gzip"}, {"rscl", "en-US"}, {"si", "p1"}}, 0,
     Lines({"racwd", st, se, res + "/report.txt", "p1", "168.1.5.60-168.1.5.70",
            "https", v, "b", "", "no-cache", "attachment; filename=\"r+1.txt\"", "gzip", "en-US",
            "text/plain"}),
     {"sv", "sp", "st", "se", "sr", "rsct", "sip", "spr", "rscc", "rscd", "rsce", "rscl", "si",
      "sig"}},
    // Names and values are signed and sent as UTF-8, converted from the code page when needed.
    {"NonAsciiUtf8", "caf\xC3\xA9 \xE2\x82\xAC.txt", "", "r", "", se,
     {{"rscd", "inline; filename=\"\xC3\xA9.txt\""}}, 0,
     Lines({"r", "", se, res + "/caf\xC3\xA9 \xE2\x82\xAC.txt", "", "", "", v,
            "b", "", "", "inline; filename=\"\xC3\xA9.txt\"", "", "", ""}),
     {"sv", "sp", "se", "sr", "rscd", "sig"}},
    {"NonAsciiCodePage", "caf\xE9 \x80.txt", "", "r", "", se,
     {{"rscd", "inline; filename=\"\xE9.txt\""}}, 1252,
     Lines({"r", "", se, res + "/caf\xC3\xA9 \xE2\x82\xAC.txt", "", "", "", v,
            "b", "", "", "inline; filename=\"\xC3\xA9.txt\"", "", "", ""}),
     {"sv", "sp", "se", "sr", "rscd", "sig"}},
  };
}
// clang-format on


class SasTest : public ::testing::Test {
 protected:
  void SetUp() override { signer_.SetOwner(&owner_); }

  SasLinkRequest Request(const SasCase& c) {
    params_.Clear();
    for (const auto& [n, v] : c.extra) {
      ByteStringPair* p = params_.GetOrCreate(params_.Count());
      p->first.SetText(n.c_str());
      p->second.SetText(v.c_str());
    }
    owner_.set_code_page(c.codepage);
    SasLinkRequest r;
    r.account = kAccount;
    r.access_key = kDevKey;
    r.container = "pics";
    r.blob = c.blob.c_str();
    r.snapshot = c.snapshot.c_str();
    r.permissions = c.permissions.c_str();
    r.start_time = c.start.c_str();
    r.expiry_time = c.expiry.c_str();
    r.query_params = &params_;
    return r;
  }

  int GetLink(const SasLinkRequest& r, ByteString* link) {
    SharedAccessSignature sas(&owner_, signer_);
    return sas.GetLink(
        r, [](ByteString* url) { return url->SetText(kBase); }, link);
  }

  ComponentBase owner_;
  SharedKeySigner signer_;
  PtrArray<ByteStringPair> params_;
};

class SasGoldenTest : public SasTest, public ::testing::WithParamInterface<SasCase> {};

TEST_P(SasGoldenTest, StringToSignAndLink) {
  const SasCase& c = GetParam();
  ByteString link;
  ASSERT_EQ(GetLink(Request(c), &link), 0) << owner_.error_text().c_str();
  EXPECT_EQ(Str(signer_.string_to_sign()), c.expected_string_to_sign);

  const std::string text = Str(link);
  ASSERT_EQ(text.rfind(std::string(kBase) + "?", 0), 0u) << text;
  // Only unreserved characters stay unencoded in the query.
  for (char ch : text.substr(text.find('?') + 1)) {
    const bool ok = std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '.' ||
                    ch == '_' || ch == '~' || ch == '%' || ch == '=' || ch == '&';
    EXPECT_TRUE(ok) << "unencoded '" << ch << "' in " << text;
  }
  const Pairs query = QueryOf(text);
  std::vector<std::string> names;
  for (const auto& [n, v] : query) names.push_back(n);
  EXPECT_EQ(names, c.expected_names);
  EXPECT_EQ(query.front().second, "2019-02-02");
  EXPECT_EQ(query.back().second.size(), 44u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SasGoldenTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SasTest, ContainerLinkIsExact) {
  ByteString link;
  ASSERT_EQ(GetLink(Request(Cases()[0]), &link), 0);
  // The signature python3 and the SDK give for this string-to-sign.
  EXPECT_EQ(Str(link), std::string(kBase) +
                           "?sv=2019-02-02&sp=rl&se=2030-01-01T00%3A00%3A00Z&sr=c"
                           "&sig=cMmREsuq7kZC71m679aqFWggQr5MqpiMfoyh%2Faxm688%3D");
}

TEST_F(SasTest, ArgumentChecks) {
  struct Check {
    const char* what;
    int code;
    const char* text;
  };
  SasCase base = Cases()[0];
  auto expect = [&](SasLinkRequest r, const Check& check) {
    bool url_built = false;
    ByteString link;
    link.SetText("stale");
    SharedAccessSignature sas(&owner_, signer_);
    const int rc = sas.GetLink(
        r,
        [&](ByteString* url) {
          url_built = true;
          return url->SetText(kBase);
        },
        &link);
    EXPECT_EQ(rc, check.code) << check.what;
    EXPECT_STREQ(owner_.error_text().c_str(), check.text) << check.what;
    EXPECT_TRUE(link.empty()) << check.what;
    EXPECT_FALSE(url_built) << check.what;
  };
  SasLinkRequest r = Request(base);
  r.container = "";
  expect(r, {"container", 604, "The Container property must be set before calling this method."});
  r = Request(base);
  r.account = "";
  expect(r, {"account", 202, "The Account property must be set before calling this method."});
  r = Request(base);
  r.access_key = "";
  expect(r, {"key", 202, "The AccessKey property must be set before calling this method."});
  r = Request(base);
  r.permissions = "";
  expect(r, {"permissions", 202,
             "Permissions must be specified when calling this method unless a non-empty \"si\" "
             "query parameter is present."});
  r = Request(base);
  r.expiry_time = "";
  expect(r, {"expiry", 202,
             "ExpiryTime must be specified when calling this method unless a non-empty \"si\" "
             "query parameter is present."});
  SasCase empty_si = base;
  empty_si.permissions = "";
  empty_si.extra = {{"si", ""}};
  expect(Request(empty_si), {"empty si", 202,
                             "Permissions must be specified when calling this method unless a "
                             "non-empty \"si\" query parameter is present."});
}

TEST_F(SasTest, BlankKeyFailsInTheSigner) {
  const SasCase c = Cases()[0];
  SasLinkRequest r = Request(c);
  r.access_key = " \t ";
  ByteString link;
  EXPECT_EQ(GetLink(r, &link), 603);
  EXPECT_STREQ(owner_.error_text().c_str(), "AccessKey must be specified.");
  EXPECT_TRUE(link.empty());
}

TEST_F(SasTest, UrlBuilderFailurePassesThrough) {
  SharedAccessSignature sas(&owner_, signer_);
  ByteString link;
  EXPECT_EQ(sas.GetLink(
                Request(Cases()[0]), [](ByteString*) { return 603; }, &link),
            603);
  EXPECT_TRUE(link.empty());
}

TEST_F(SasTest, CallerListIsLeftAlone) {
  SasCase c = Cases()[5];
  ByteString link;
  ASSERT_EQ(GetLink(Request(c), &link), 0);
  ASSERT_EQ(params_.Count(), static_cast<int>(c.extra.size()));
  EXPECT_STREQ(params_.At(1)->second.c_str(), "2000-01-01");
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

// The sig of every case equals the SDK's for the same fields.
TEST_F(SasTest, SignatureMatchesStorageSdk) {
  const std::string peers = std::string(TW_SOURCE_DIR) + "/tests/peers";
  if (!testsupport::HaveProgram("node") ||
      testsupport::ReadFile(peers + "/node_modules/@azure/storage-blob/package.json").empty()) {
    TW_REQUIRE_OR_SKIP("node or the npm peers in tests/peers are not installed");
  }
  std::string json = "[";
  std::vector<std::string> ours;
  const std::vector<SasCase> cases = Cases();
  for (const SasCase& c : cases) {
    ByteString link;
    ASSERT_EQ(GetLink(Request(c), &link), 0) << c.name;
    ours.push_back(QueryOf(Str(link)).back().second);
    // The SDK takes UTF-8 text; the code-page case gives it the same text in UTF-8.
    const SasCase& same = std::string(c.name) == "NonAsciiCodePage" ? cases[6] : c;
    std::string item = "{\"account\":" + JsonText(kAccount) + ",\"key\":" + JsonText(kDevKey) +
                       ",\"container\":\"pics\"";
    auto field = [&](const char* name, const std::string& value) {
      if (!value.empty()) item += std::string(",\"") + name + "\":" + JsonText(value);
    };
    field("blob", same.blob);
    field("snapshot", same.blob.empty() ? "" : same.snapshot);  // the SDK refuses it alone
    field("permissions", same.permissions);
    field("start", same.start);
    field("expiry", same.expiry);
    for (const auto& [n, v] : same.extra) {
      if (n != "SV") field(n.c_str(), v);
    }
    json += (json.size() > 1 ? "," : "") + item + "}";
  }
  json += "]";
  int status = -1;
  const std::string out =
      testsupport::RunCommand("cd '" + peers + "' && node sas_reference.js", json, &status);
  ASSERT_EQ(status, 0) << out;
  std::istringstream lines(out);
  std::string line;
  size_t i = 0;
  while (std::getline(lines, line)) {
    ASSERT_LT(i, ours.size()) << line;
    EXPECT_EQ(ours[i], line) << cases[i].name;
    ++i;
  }
  EXPECT_EQ(i, ours.size());
}

}  // namespace
}  // namespace tw
