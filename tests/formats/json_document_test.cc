// JSON documents: a corpus checked against jq and python3 whole and split at every byte, paths
// compared with python3, the documented edge cases, and hostile input.

#include "formats/json_document.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using tw::JsonDocument;
using tw::JsonNode;

std::string CorpusDir() { return std::string(TW_SOURCE_DIR) + "/tests/formats/data/json"; }

std::map<std::string, std::string> Corpus() {
  std::map<std::string, std::string> docs;
  for (const auto& e : std::filesystem::directory_iterator(CorpusDir())) {
    docs[e.path().stem().string()] = testsupport::ReadFile(e.path().string());
  }
  return docs;
}

void Quote(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// The tree written back as JSON (strings decoded, then escaped again).
void Write(const JsonNode& n, std::string& out) {
  switch (n.type) {
    case tw::kJsonObject:
    case tw::kJsonArray: {
      const bool object = n.type == tw::kJsonObject;
      out += object ? '{' : '[';
      for (size_t i = 0; i < n.children.size(); ++i) {
        if (i > 0) out += ',';
        if (object) {
          Quote(out, n.children[i]->name);
          out += ':';
        }
        Write(*n.children[i], out);
      }
      out += object ? '}' : ']';
      break;
    }
    case tw::kJsonString:
      Quote(out, n.value);
      break;
    case tw::kJsonBoolean:
      out += (n.value[0] == 't' || n.value[0] == 'T') ? "true" : "false";
      break;
    case tw::kJsonNull:
      out += "null";
      break;
    default:
      out += n.value;
  }
}

// Parses the text in the pieces [0, split) and [split, end); the tree as JSON, or "error".
std::string Reparse(const std::string& text, size_t split) {
  JsonDocument d;
  d.set_build_dom(true);
  d.set_string_options(tw::kJsonStripQuotes | tw::kJsonDecodeEscapes);
  if (d.Parse(text.data(), static_cast<int>(split)) != 0) return "error";
  if (d.Parse(text.data() + split, static_cast<int>(text.size() - split)) != 0) return "error";
  if (!d.complete() || d.root() == nullptr) return "incomplete";
  std::string out;
  Write(*d.root(), out);
  return out;
}

class JsonCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::HaveProgram("jq") || !testsupport::HavePython()) {
      TW_REQUIRE_OR_SKIP("jq or /usr/bin/python3 not installed");
    }
    dir_ = testsupport::MakeTempDir();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(JsonCorpus, TreesAgreeWithJqAndPythonAndEverySplitAgrees) {
  const auto docs = Corpus();
  ASSERT_GE(docs.size(), 10u);
  for (const auto& [name, text] : docs) {
    const std::string whole = Reparse(text, text.size());
    testsupport::WriteFile(dir_ + "/" + name + ".json", whole);
    for (size_t k = 0; k < text.size(); ++k) {
      ASSERT_EQ(Reparse(text, k), whole) << name << " split at " << k;
    }
  }
  const std::string jq =
      testsupport::RunCommand("cd " + testsupport::ShellQuote(dir_) +
                              " && for f in *.json; do "
                              "a=$(jq -cS . " +
                              testsupport::ShellQuote(CorpusDir()) +
                              "/$f) || echo \"jq refused $f\"; "
                              "b=$(jq -cS . $f) || echo \"jq refused ours $f\"; [ \"$a\" = \"$b\" "
                              "] || echo \"differs $f\"; done");
  EXPECT_EQ(jq, "");
  const std::string py = testsupport::RunCommand(
      std::string(testsupport::kPython) + " -c 'import json,os,sys\n"
      "for f in sorted(os.listdir(sys.argv[1])):\n"
      "  a=json.load(open(os.path.join(sys.argv[1],f),encoding=\"utf-8\"))\n"
      "  b=json.load(open(os.path.join(sys.argv[2],f),encoding=\"utf-8\"))\n"
      "  print(\"\" if a==b else \"differs \"+f,end=\"\")' " +
      testsupport::ShellQuote(CorpusDir()) + " " + testsupport::ShellQuote(dir_));
  EXPECT_EQ(py, "");
}

TEST_F(JsonCorpus, JsonPathSelectionsAgreeWithPython) {
  const auto docs = Corpus();
  struct Case {
    const char* doc;
    const char* path;
    const char* python_keys;  // the same selection as a JSON list of subscripts
  };
  const Case cases[] = {
      {"nested", "$.store.book[1].title", R"(["store", "book", 1, "title"])"},
      {"nested", "$.store.book[last()]", R"(["store", "book", -1])"},
      {"nested", "$['store']['bicycle']", R"(["store", "bicycle"])"},
      {"nested", "$.STORE.Book[0].price", R"(["store", "book", 0, "price"])"},
      {"nested", "$.store.book[last()-1].price", R"(["store", "book", -2, "price"])"},
      {"keys", "$['a.b']", R"(["a.b"])"},
      {"keys", "$.x\\[1\\]", R"(["x[1]"])"},
      {"objects", "$[3].vals[2]", R"([3, "vals", 2])"},
      {"array_top", "$[2][1][1][0]", R"([2, 1, 1, 0])"},
      {"unicode", "$.smile", R"(["smile"])"},
      {"literals", "$[3].n", R"([3, "n"])"},
      {"deep", "$[0][0][0][0][0]", R"([0, 0, 0, 0, 0])"},
  };
  std::string manifest = "[";
  int i = 0;
  for (const Case& c : cases) {
    JsonDocument d;
    d.set_build_dom(true);
    const std::string& text = docs.at(c.doc);
    ASSERT_EQ(d.Parse(text.data(), static_cast<int>(text.size())), 0) << c.doc;
    ASSERT_EQ(d.Select(c.path), 0) << c.path << ": " << d.error_text().c_str();
    const std::string ours = dir_ + "/sel" + std::to_string(i++) + ".json";
    testsupport::WriteFile(ours, d.CurrentValue());
    if (manifest.size() > 1) manifest += ",";
    manifest +=
        "[\"" + ours + "\", \"" + CorpusDir() + "/" + c.doc + ".json\", " + c.python_keys + "]";
  }
  testsupport::WriteFile(dir_ + "/manifest.json", manifest + "]");
  const std::string out = testsupport::RunCommand(
      std::string(testsupport::kPython) + " -c 'import json,sys\n"
      "for ours, doc, keys in json.load(open(sys.argv[1])):\n"
      "  v = json.load(open(doc, encoding=\"utf-8\"))\n"
      "  for k in keys: v = v[k]\n"
      "  if json.load(open(ours, encoding=\"utf-8\")) != v: print(ours, keys)' " +
      testsupport::ShellQuote(dir_ + "/manifest.json"));
  EXPECT_EQ(out, "");
}

// ---- Documented behaviour ----

struct SelectCase {
  const char* path;
  int result;
  const char* value;  // CurrentValue after a successful selection
};

TEST(JsonDocument, PathsOverOneDocument) {
  const SelectCase cases[] = {
      {"/json/a", 0, "[1, 2, {\"b\": null}]"},
      {"$.a[2].b", 0, "null"},
      {"$.a[last()]", 0, "{\"b\": null}"},
      {"$.a[3]", tw::kErrJsonPath, nullptr},
      {"/json/a/*[2]", 0, "2"},
      {"/json/a/*[last()-2]", 0, "1"},
      {"/json/c", tw::kErrJsonPath, nullptr},
      {"$..b", tw::kErrJsonPath, nullptr},
      {"/json", 0, nullptr},
      {"a", 0, "[1, 2, {\"b\": null}]"},
      {"..", 0, nullptr},
  };
  JsonDocument d;
  d.set_build_dom(true);
  const std::string text = "{\"a\": [1, 2, {\"b\": null}]}";
  ASSERT_EQ(d.Parse(text.data(), static_cast<int>(text.size())), 0);
  for (const SelectCase& c : cases) {
    EXPECT_EQ(d.Select(c.path), c.result) << c.path;
    if (c.result == 0 && c.value != nullptr) {
      EXPECT_STREQ(d.CurrentValue(), c.value) << c.path;
    }
  }
  ASSERT_EQ(d.Select("$.a[2].b"), 0);
  EXPECT_STREQ(d.CurrentPath(), "$['a'][2]['b']");
  EXPECT_EQ(d.CurrentType(), tw::kJsonNull);
}

struct ParseCase {
  const char* text;
  int result;
  const char* error;
};

TEST(JsonDocument, AcceptsAndRefuses) {
  const ParseCase cases[] = {
      {"{\"v\": TRUE}", 0, ""},
      {"TRUE ", tw::kErrJsonMarkup, "Invalid JSON markup."},
      {"({\"a\": 1})", 0, ""},
      {"{} x", tw::kErrJsonMarkup, "Unexpected content found after end of JSON document."},
      {"[1e+-5]", 0, ""},
      {"[1, 2,]", 0, ""},
      {"{\"a\": 1,}", 0, ""},
      {"[1,,2]", tw::kErrJsonMarkup, "Invalid JSON markup."},
      {"{\"a\" 1}", tw::kErrJsonMarkup, "Invalid JSON markup."},
      {"[1}", tw::kErrJsonMarkup, "Invalid JSON markup."},
      {"[truer]", tw::kErrJsonMarkup, "Invalid JSON markup."},
      {"[1x]", tw::kErrJsonMarkup, "Invalid JSON markup."},
      {"{\"a\": [1, 2", 0, ""},
  };
  for (const ParseCase& c : cases) {
    JsonDocument d;
    d.set_build_dom(true);
    EXPECT_EQ(d.Parse(c.text, static_cast<int>(std::strlen(c.text))), c.result) << c.text;
    EXPECT_STREQ(d.error_text().c_str(), c.error) << c.text;
  }
}

TEST(JsonDocument, EscapesAndSurrogatePairs) {
  const struct {
    const char* json;
    uint32_t options;
    const char* value;
  } cases[] = {
      {"[\"\\ud83d\\ude00\"]", 3, "\xF0\x9F\x98\x80"},
      {"[\"\\u00e9\\n\"]", 3, "\xC3\xA9\n"},
      {"[\"\\ud83d x\"]", 3, "\xEF\xBF\xBD x"},
      {"[\"\\q\\u12 x\"]", 3, "\\q\\u12 x"},
      {"[\"a\\\"b\"]", 0, "\"a\\\"b\""},
      {"[\"a\\\"b\"]", 1, "a\\\"b"},
  };
  for (const auto& c : cases) {
    JsonDocument d;
    d.set_build_dom(true);
    d.set_string_options(c.options);
    ASSERT_EQ(d.Parse(c.json, static_cast<int>(std::strlen(c.json))), 0) << c.json;
    ASSERT_EQ(d.Select("$[0]"), 0) << c.json;
    EXPECT_STREQ(d.CurrentValue(), c.value) << c.json;
  }
}

// Records framed by delimiters: each record is read, then its tree discarded.
class RecordReader : public JsonDocument {
 public:
  std::vector<std::string> values;
  int records = 0;

 protected:
  void OnValue(const char* text, int type) override { values.push_back(text); }
  void OnRecordEnd() override { ++records; }
};

TEST(JsonDocument, RecordsAndHostileInput) {
  RecordReader r;
  r.SetRecordMode(2, "[", "]");
  const std::string records = "[{\"a\":1}] [{\"a\":2}]";
  EXPECT_EQ(r.Parse(records.data(), static_cast<int>(records.size())), 0);
  EXPECT_EQ(r.records, 2);
  EXPECT_EQ(r.values, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(r.Parse("x", 1), tw::kErrJsonMarkup);
  EXPECT_STREQ(r.error_text().c_str(), "Invalid record start delimiter found.");

  JsonDocument deep;
  deep.set_build_dom(true);
  const std::string nest(100000, '[');
  EXPECT_EQ(deep.Parse(nest.data(), static_cast<int>(nest.size())), tw::kErrJsonMarkup);
  EXPECT_STREQ(deep.error_text().c_str(), "JSON document nested too deeply.");

  JsonDocument number;
  const std::string digits = "[" + std::string(5000, '7') + "]";
  EXPECT_EQ(number.Parse(digits.data(), static_cast<int>(digits.size())), tw::kErrJsonMarkup);

  JsonDocument none;
  EXPECT_EQ(none.Select("/json"), tw::kErrJsonNoDom);
  EXPECT_EQ(none.ChildCount(), -1);
  EXPECT_EQ(none.error_code(), tw::kErrJsonNoSelection);
}

}  // namespace
