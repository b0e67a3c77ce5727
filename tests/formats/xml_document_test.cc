#include "formats/xml_document.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "formats/xml_writer.h"
#include "foundation/caller_stream.h"
#include "platform/heap.h"
#include "tests/formats/xml_test_util.h"
#include "tests/support/test_support.h"

namespace {

using tw::ByteString;
using tw::XmlDocumentComponent;
using tw::XmlWriter;

int ParseDoc(XmlDocumentComponent& doc, const std::string& text) {
  doc.SetInputText(text.data(), static_cast<int>(text.size()));
  return doc.Parse();
}

std::string Path(const XmlDocumentComponent& doc) { return xmltest::Str(doc.path_text()); }
std::string Name(const XmlDocumentComponent& doc) {
  ByteString q;
  doc.QualifiedName(q);
  return xmltest::Str(q);
}

// ---- Paths ----

class XmlPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc.Initialize();
    ASSERT_EQ(ParseDoc(doc, "<r><a/><a x='1'/><b/></r>"), 0);
  }
  XmlDocumentComponent doc;
};

TEST_F(XmlPathTest, DocumentedSelections) {
  ASSERT_EQ(doc.SelectPath("/r/a[2]"), 0);
  EXPECT_STREQ(doc.FindAttribute("x"), "1");
  EXPECT_EQ(Path(doc), "/r/a[2]");
  ASSERT_EQ(doc.SelectPath("/r/a[@x='1']"), 0);
  EXPECT_EQ(Path(doc), "/r/a[2]");
  ASSERT_EQ(doc.SelectPath("/r/a[@x=\"1\"]"), 0);
  ASSERT_EQ(doc.SelectPath("/r/a[@x=1]"), 0);
  ASSERT_EQ(doc.SelectPath("/r/a[@x]"), 0);
  EXPECT_EQ(Path(doc), "/r/a[2]");
  EXPECT_EQ(doc.SelectPath("/r/a[@x='2']"), 208);
  ASSERT_EQ(doc.SelectPath("/r/[last()]"), 0);
  EXPECT_EQ(Name(doc), "b");
  EXPECT_EQ(Path(doc), "/r/[3]");
  ASSERT_EQ(doc.SelectPath("/r/[last()-1]"), 0);
  EXPECT_STREQ(doc.FindAttribute("x"), "1");
  ASSERT_EQ(doc.SelectPath("/r/[LAST()]"), 0);
  ASSERT_EQ(doc.SelectPath("/r/[Last()]"), 0);
  EXPECT_EQ(doc.SelectPath("/r/c"), 208);
  EXPECT_EQ(xmltest::Str(doc.error_text()), "No such child.");
  EXPECT_EQ(doc.SelectPath("/q"), 209);
  EXPECT_EQ(xmltest::Str(doc.error_text()), "Top element does not match start of path.");
  EXPECT_EQ(doc.SelectPath("/r/a[0]"), 207);
  EXPECT_EQ(xmltest::Str(doc.error_text()), "Invalid XPath.");
}

TEST_F(XmlPathTest, RelativeStepsParentAndErrors) {
  ASSERT_EQ(doc.SelectPath("/r"), 0);
  ASSERT_EQ(doc.SelectPath("a[2]"), 0);
  EXPECT_EQ(Path(doc), "/r/a[2]");
  ASSERT_EQ(doc.SelectPath(".."), 0);
  EXPECT_EQ(Path(doc), "/r");
  EXPECT_EQ(doc.SelectPath(".."), 208);
  ASSERT_EQ(doc.SelectPath("//r//b"), 0);
  EXPECT_EQ(Path(doc), "/r/b");
  ASSERT_EQ(doc.SelectPath("../a/../b"), 0);
  EXPECT_EQ(doc.SelectPath("."), 207);
  EXPECT_EQ(doc.SelectPath("..x"), 207);
  EXPECT_EQ(doc.SelectPath("/r/9"), 207);
  EXPECT_EQ(doc.SelectPath("/r/[4]"), 207);
  EXPECT_EQ(doc.SelectPath("/r/[last()+1]"), 207);
  EXPECT_EQ(doc.SelectPath("/r/[last()-3]"), 207);
  EXPECT_EQ(doc.SelectPath("/r/a[x]"), 207);
  EXPECT_EQ(doc.SelectPath("/r[2]"), 207);
  ASSERT_EQ(doc.SelectPath("/r[1]/a"), 0);
  ASSERT_EQ(doc.SelectPath("/[1]/[2]"), 0);
  EXPECT_EQ(Path(doc), "/[1]/[2]");
  ASSERT_EQ(doc.SelectPath("/[last()]/b"), 0);
  // A failure leaves the cursor on the last step reached.
  EXPECT_EQ(doc.SelectPath("/r/a[2]/zz"), 208);
  EXPECT_EQ(Path(doc), "/r/a[2]");
}

TEST_F(XmlPathTest, TrySelectRestores) {
  ASSERT_EQ(doc.SelectPath("/r/b"), 0);
  EXPECT_FALSE(doc.TrySelect("/r/a[2]/zz"));
  EXPECT_EQ(Path(doc), "/r/b");
  EXPECT_EQ(Name(doc), "b");
  EXPECT_TRUE(doc.TrySelect("/r/a"));
  EXPECT_EQ(Path(doc), "/r/a");
}

TEST_F(XmlPathTest, ChildCountAndSelectChild) {
  ASSERT_EQ(doc.SelectPath("/r"), 0);
  EXPECT_EQ(doc.ChildCount(), 3);
  EXPECT_EQ(doc.SelectChild(0), 207);
  EXPECT_EQ(doc.SelectChild(4), 207);
  ASSERT_EQ(doc.SelectChild(3), 0);
  EXPECT_EQ(doc.ChildCount(), -1);  // "<b/>"
  ASSERT_EQ(ParseDoc(doc, "<a></a>"), 0);
  EXPECT_EQ(doc.ChildCount(), 0);
}

TEST_F(XmlPathTest, OffsetPathsTakeOnlyElementRecords) {
  ASSERT_EQ(doc.SelectPath("/r/a[2]"), 0);
  const uint32_t second_a = doc.parser().cursor().Current();
  ASSERT_EQ(doc.SelectPath("/r"), 0);
  ASSERT_EQ(doc.SelectPath(("*" + std::to_string(second_a)).c_str()), 0);
  EXPECT_EQ(Path(doc), "/r/a[2]");
  EXPECT_STREQ(doc.FindAttribute("x"), "1");
  // Every other offset is refused: inside records, attribute records, past the end, garbage.
  const uint32_t size = doc.parser().dom().size();
  int accepted = 0;
  for (uint32_t off = 0; off < size + 64; ++off) {
    const std::string path = "*" + std::to_string(off);
    if (doc.parser().dom().IsElement(off)) {
      EXPECT_EQ(doc.SelectPath(path.c_str()), 0);
      ++accepted;
    } else {
      EXPECT_EQ(doc.SelectPath(path.c_str()), 207) << off;
    }
  }
  EXPECT_EQ(accepted, 4);
  for (const char* bad : {"*", "*-4", "*4x", "*99999999999999999999", "*4294967296", "* 4"}) {
    EXPECT_EQ(doc.SelectPath(bad), 207) << bad;
  }
}

TEST_F(XmlPathTest, NoDom) {
  XmlDocumentComponent empty;
  empty.Initialize();
  EXPECT_EQ(empty.SelectPath("/r"), 210);
  EXPECT_EQ(xmltest::Str(empty.error_text()),
            "DOM tree unavailable (set BuildDOM to TRUE and reparse).");
  EXPECT_EQ(empty.ChildCount(), 0);
  EXPECT_STREQ(empty.Text(), "");
  EXPECT_EQ(empty.SelectPath(""), 210);
}

TEST(XmlPath, LastUnclosedWhileParsing) {
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(doc.ParseChunk("<r><a><b>x</b><c>", 17), 0);
  ASSERT_EQ(doc.SelectPath("/[lastUnclosed()]"), 0);
  EXPECT_EQ(Path(doc), "/r/a/c");
  ASSERT_EQ(doc.SelectPath("/r/a"), 0);
  EXPECT_EQ(doc.ChildCount(), 1);  // c has not ended yet
  ASSERT_EQ(doc.SelectPath("b"), 0);
  EXPECT_STREQ(doc.Text(), "x");
  ASSERT_EQ(doc.ParseChunk("</c></a></r>", 12), 0);
  ASSERT_EQ(doc.FinishParse(), 0);
  ASSERT_EQ(doc.SelectPath("/[lastUnclosed()]"), 0);
  EXPECT_EQ(Path(doc), "/r");
}

TEST(XmlPath, NamespacedSteps) {
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r xmlns='urn:d' xmlns:p='urn:p'><p:a>1</p:a><a>2</a><p:a>3</p:a></r>"), 0);
  ASSERT_EQ(doc.SelectPath("/urn:dr/urn:pa[2]"), 0);
  EXPECT_STREQ(doc.Text(), "3");
  ASSERT_EQ(doc.SelectPath("/r/p:a"), 0);
  EXPECT_STREQ(doc.Text(), "1");
  EXPECT_STREQ(doc.Prefix(), "p");
  EXPECT_STREQ(doc.NamespaceUri(), "urn:p");
  ASSERT_EQ(doc.SelectPath("/r/a[2]"), 0);  // local names match every "a"
  EXPECT_STREQ(doc.Text(), "2");
  EXPECT_EQ(Path(doc), "/r/a[2]");
  ASSERT_EQ(doc.SelectPath("/r/p:a[2]"), 0);
  EXPECT_EQ(Path(doc), "/r/p:a[2]");
  EXPECT_STREQ(doc.Text(), "3");
}

TEST(XmlDocument, Attributes) {
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r xmlns:p='urn:p' x='1' p:y='2'/>"), 0);
  EXPECT_EQ(doc.AttributeCount(), 2);
  EXPECT_STREQ(doc.AttributeName(1), "y");
  EXPECT_STREQ(doc.AttributeValue(1), "2");
  EXPECT_STREQ(doc.AttributeName(2), "");
  const char* v = nullptr;
  ASSERT_EQ(doc.GetAttribute("X", &v), 0);
  EXPECT_STREQ(v, "1");
  ASSERT_EQ(doc.GetAttribute("Y", &v), 0);
  EXPECT_STREQ(v, "2");
  ASSERT_EQ(doc.GetAttribute("z", &v), 0);
  EXPECT_STREQ(v, "");
  doc.ConfigText("ErrorOnEmptyAttr=True", nullptr);
  EXPECT_EQ(doc.GetAttribute("z", &v), 107);
  EXPECT_EQ(xmltest::Str(doc.error_text()), "Attribute does not exist.");
  EXPECT_STREQ(v, "");
}

TEST(XmlDocument, AttributesDuringStartElement) {
  struct Doc : XmlDocumentComponent {
    int StartElement(const char* uri, const char* local, const char* qname, int empty) override {
      seen += std::string(local) + "(" + std::to_string(AttributeCount()) + ":" +
              (FindAttribute("ID") ? FindAttribute("ID") : "-") + ")";
      return 0;
    }
    std::string seen;
  } doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r id='7'><s q:id='8' b='9'/></r>"), 0);
  EXPECT_EQ(doc.seen, "r(1:7)s(2:8)");
}

// ---- Paths against xmllint --xpath ----

struct Oracle {
  // Answers of a batch of XPath expressions from one xmllint --shell run.
  static bool Run(const std::string& file, const std::vector<std::string>& exprs,
                  std::vector<std::string>* answers) {
    std::string input;
    for (const auto& e : exprs) input += "xpath " + e + "\n";
    int status = 0;
    std::string out = testsupport::RunCommand("xmllint --shell '" + file + "'", input, &status);
    answers->clear();
    size_t pos = 0;
    while ((pos = out.find("Object is a ", pos)) != std::string::npos) {
      size_t colon = out.find(" : ", pos);
      size_t end = out.find('\n', colon);
      answers->push_back(out.substr(colon + 3, end - colon - 3));
      pos = end;
    }
    return answers->size() == exprs.size();
  }
};

TEST(XmlPathDifferential, MatchesXmllintXpath) {
  if (!testsupport::HaveProgram("xmllint")) TW_REQUIRE_OR_SKIP("xmllint not installed");
  for (const char* name : {"list_blobs.xml", "list_containers.xml", "signed_identifiers.xml",
                           "block_list.xml", "service_properties.xml", "latin_names.xml"}) {
    const std::string file = xmltest::DataDir() + "/good/" + name;
    SCOPED_TRACE(file);
    XmlDocumentComponent doc;
    xmltest::SetUpReader(doc);
    ASSERT_EQ(ParseDoc(doc, testsupport::ReadFile(file)), 0);

    // Every element: its document-order number, reached by several path forms.
    struct Case {
      std::string ours;
      std::string xpath;
      int order;
    };
    std::vector<Case> cases;
    int order = 0;
    std::function<void(const std::string&, const std::string&, const std::string&)> walk =
        [&](const std::string& named, const std::string& indexed, const std::string& xpath) {
          const int mine = order++;
          cases.push_back({named, xpath, mine});
          cases.push_back({indexed, xpath, mine});
          const int n = doc.ChildCount();
          std::map<std::string, int> seen;
          for (int i = 1; i <= n; ++i) {
            ASSERT_EQ(doc.SelectChild(i), 0);
            const std::string q = Name(doc);
            const int k = ++seen[q];
            const std::string step = q + (k > 1 ? "[" + std::to_string(k) + "]" : "");
            const std::string idx = i == n ? "[last()]" : "[last()-" + std::to_string(n - i) + "]";
            // Attribute tests where the element has an attribute, as the first match.
            if (doc.AttributeCount() > 0 && k == 1) {
              const std::string a = doc.AttributeName(0);
              const std::string v = doc.AttributeValue(0);
              if (v.find('\'') == std::string::npos) {
                cases.push_back({named + "/" + q + "[@" + a + "='" + v + "']",
                                 xpath + "/" + q + "[@" + a + "='" + v + "'][1]", order});
              }
            }
            walk(named + "/" + step, indexed + "/" + (i % 2 ? "[" + std::to_string(i) + "]" : idx),
                 xpath + "/*[" + std::to_string(i) + "]");
            ASSERT_EQ(doc.SelectParent(), 0);
          }
        };
    ASSERT_EQ(doc.SelectPath("/"), 0);
    const std::string root = "/" + Name(doc);
    walk(root, "/[1]", root);
    ASSERT_GT(cases.size(), 4u);

    std::vector<std::string> exprs;
    for (const Case& c : cases) {
      exprs.push_back("count((" + c.xpath + ")/preceding::*) + count((" + c.xpath + ")/ancestor::*)");
      exprs.push_back("count(" + c.xpath + ")");
    }
    std::vector<std::string> answers;
    ASSERT_TRUE(Oracle::Run(file, exprs, &answers));
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(cases[i].ours);
      ASSERT_EQ(answers[2 * i + 1], "1") << cases[i].xpath;
      EXPECT_EQ(answers[2 * i], std::to_string(cases[i].order));
      ASSERT_EQ(doc.SelectPath(cases[i].ours.c_str()), 0);
      // The path text selects the same element again.
      const uint32_t here = doc.parser().cursor().Current();
      const std::string again = Path(doc);
      ASSERT_EQ(doc.SelectPath(again.c_str()), 0) << again;
      EXPECT_EQ(doc.parser().cursor().Current(), here) << again;
    }
  }
}

TEST(XmlPathDifferential, LeafTextsMatchXmllint) {
  if (!testsupport::HaveProgram("xmllint")) TW_REQUIRE_OR_SKIP("xmllint not installed");
  const std::string file = xmltest::DataDir() + "/good/list_blobs.xml";
  XmlDocumentComponent doc;
  xmltest::SetUpReader(doc);
  ASSERT_EQ(ParseDoc(doc, testsupport::ReadFile(file)), 0);
  const std::vector<std::string> paths = {
      "/EnumerationResults/Blobs/Blob/Name",
      "/EnumerationResults/Blobs/Blob/Metadata/note",
      "/EnumerationResults/Blobs/Blob[2]/Properties/CopySource",
      "/EnumerationResults/Blobs/BlobPrefix[2]/Name",
      "/EnumerationResults/NextMarker",
      "/EnumerationResults/Blobs/Blob[3]/Properties/RemainingRetentionDays",
  };
  for (const std::string& p : paths) {
    int status = 0;
    const std::string want = testsupport::RunCommand(
        "xmllint --xpath 'concat(\"[\", string(" + p + "), \"]\")' '" + file + "'", "", &status);
    ASSERT_EQ(status, 0) << p;
    ASSERT_EQ(doc.SelectPath(p.c_str()), 0) << p;
    EXPECT_EQ("[" + std::string(doc.Text()) + "]\n", want) << p;
  }
}

// ---- Writer ----

std::string Body(XmlDocumentComponent& doc) { return xmltest::Str(doc.output_text()); }

TEST(XmlWriter, DocumentedOutput) {
  XmlDocumentComponent doc;
  ASSERT_TRUE(doc.Initialize());
  ASSERT_EQ(doc.WriteStartElement("a", ""), 0);
  ASSERT_EQ(doc.WriteElement("b", "", "x"), 0);
  ASSERT_EQ(doc.EndWriting(), 0);
  EXPECT_EQ(Body(doc),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n<a>\r\n\t<b>x</b>\r\n"
            "</a>");
}

TEST(XmlWriter, Escaping) {
  XmlWriter w;
  ASSERT_TRUE(w.Initialize());
  ASSERT_EQ(w.WriteElement("t", "", "a<b&\"c\""), 0);
  EXPECT_EQ(xmltest::Str(w.output()), "<t>a&lt;b&amp;&quot;c&quot;</t>");
  w.Reset();
  ASSERT_EQ(w.WriteElement("t", "", "x>'y'"), 0);
  EXPECT_EQ(xmltest::Str(w.output()), "<t>x&gt;&apos;y&apos;</t>");
}

TEST(XmlWriter, StateErrors) {
  XmlWriter w;
  ASSERT_TRUE(w.Initialize());
  EXPECT_EQ(w.EndElement(), 401);
  EXPECT_EQ(xmltest::Str(w.error_text()), "No elements are currently open.");
  EXPECT_EQ(w.WriteText("x"), 401);
  EXPECT_EQ(xmltest::Str(w.error_text()), "Can't write content text here.");
  EXPECT_EQ(w.WriteText(""), 0);
  EXPECT_EQ(w.WriteText(nullptr), 0);
  ASSERT_EQ(w.StartElement("a", ""), 0);
  ASSERT_EQ(w.EndElement(), 0);
  EXPECT_EQ(w.WriteDeclaration("1.0", true, true), 401);
  EXPECT_EQ(xmltest::Str(w.error_text()), "Cannot write an XML declaration at this time.");
  for (const char* bad : {"a b", "1a", "", ":a", "a:", "a:1b", "-x", "a<b"}) {
    XmlWriter v;
    v.Initialize();
    EXPECT_EQ(v.StartElement(bad, ""), 402) << bad;
    EXPECT_EQ(xmltest::Str(v.error_text()), std::string("Invalid XML name: \"") + bad + "\".");
    EXPECT_EQ(xmltest::Str(v.output()), "");
  }
  XmlWriter ok;
  ok.Initialize();
  EXPECT_EQ(ok.StartElement("p:a-b.c_1", "urn:x"), 0);
}

TEST(XmlWriter, EmptyElementAndNamespaces) {
  XmlWriter w;
  ASSERT_TRUE(w.Initialize());
  ASSERT_EQ(w.WriteElement("c", "", ""), 0);
  EXPECT_EQ(xmltest::Str(w.output()), "<c />");

  w.Reset();
  ASSERT_EQ(w.StartElement("r", "urn:x"), 0);
  ASSERT_EQ(w.WriteElement("c", "urn:x", ""), 0);
  ASSERT_EQ(w.Close(), 0);
  EXPECT_EQ(xmltest::Str(w.output()), "<r xmlns=\"urn:x\">\r\n\t<c />\r\n</r>");

  w.Reset();
  ASSERT_EQ(w.StartElement("a", ""), 0);
  ASSERT_EQ(w.StartElement("p:e", "urn:x"), 0);
  ASSERT_EQ(w.StartElement("p:e", "urn:x"), 0);
  ASSERT_EQ(w.StartElement("p:e", "urn:y"), 0);
  ASSERT_EQ(w.StartElement("f", "urn:d"), 0);
  ASSERT_EQ(w.StartElement("g", ""), 0);
  ASSERT_EQ(w.Close(), 0);
  EXPECT_EQ(xmltest::Str(w.output()),
            "<a>\r\n\t<p:e xmlns:p=\"urn:x\">\r\n\t\t<p:e>\r\n\t\t\t<p:e xmlns:p=\"urn:y\">"
            "\r\n\t\t\t\t<f xmlns=\"urn:d\">\r\n\t\t\t\t\t<g xmlns=\"\" />\r\n\t\t\t\t</f>"
            "\r\n\t\t\t</p:e>\r\n\t\t</p:e>\r\n\t</p:e>\r\n</a>");
  EXPECT_EQ(w.depth(), 0);
}

TEST(XmlWriter, CloseEndsEveryElement) {
  XmlWriter w;
  ASSERT_TRUE(w.Initialize());
  w.set_eol("");
  w.set_indent("");
  ASSERT_EQ(w.StartElement("a", ""), 0);
  ASSERT_EQ(w.StartElement("b", ""), 0);
  ASSERT_EQ(w.StartElement("c", ""), 0);
  ASSERT_EQ(w.WriteText("t"), 0);
  EXPECT_EQ(w.depth(), 3);
  ASSERT_EQ(w.Close(), 0);
  EXPECT_EQ(w.depth(), 0);
  EXPECT_EQ(xmltest::Str(w.output()), "<a><b><c>t</c></b></a>");
}

TEST(XmlWriter, QuoteCharAndCharset) {
  XmlDocumentComponent doc;
  ASSERT_TRUE(doc.Initialize());
  doc.ConfigText("QuoteChar='", nullptr);
  doc.ConfigText("Charset=ISO-8859-1", nullptr);
  doc.ConfigText("EOL=\n", nullptr);
  ASSERT_EQ(doc.WriteElement("p:r", "urn:'q'", "x"), 0);
  ASSERT_EQ(doc.EndWriting(), 0);
  EXPECT_EQ(Body(doc),
            "<?xml version='1.0' encoding='ISO-8859-1' standalone='yes'?>\n"
            "<p:r xmlns:p='urn:&apos;q&apos;'>x</p:r>");
  doc.Reset();
  doc.ConfigText("IncludeXMLDeclaration=False", nullptr);
  ASSERT_EQ(doc.WriteElement("r", "", "x"), 0);
  ASSERT_EQ(doc.EndWriting(), 0);
  EXPECT_EQ(Body(doc), "<r>x</r>");
}

// The request bodies of the storage client, byte for byte.
TEST(XmlWriter, BlockListBody) {
  XmlDocumentComponent doc;
  ASSERT_TRUE(doc.Initialize());
  doc.Reset();
  doc.ConfigText("KeepOriginalText=True", nullptr);
  ASSERT_EQ(doc.WriteStartElement("BlockList", ""), 0);
  ASSERT_EQ(doc.WriteElement("Committed", "", "QmxvY2sx"), 0);
  ASSERT_EQ(doc.WriteElement("Uncommitted", "", "QmxvY2sy"), 0);
  ASSERT_EQ(doc.WriteElement("Latest", "", "QmxvY2sz"), 0);
  ASSERT_EQ(doc.EndWriting(), 0);
  EXPECT_EQ(Body(doc),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n"
            "<BlockList>\r\n"
            "\t<Committed>QmxvY2sx</Committed>\r\n"
            "\t<Uncommitted>QmxvY2sy</Uncommitted>\r\n"
            "\t<Latest>QmxvY2sz</Latest>\r\n"
            "</BlockList>");
}

TEST(XmlWriter, AccessPolicyBody) {
  XmlDocumentComponent doc;
  ASSERT_TRUE(doc.Initialize());
  struct Policy {
    const char *id, *start, *expiry, *permission;
  };
  const Policy policies[] = {{"policy-1", "2020-01-01T00:00:00Z", "2020-12-31T00:00:00Z", "rwdl"},
                             {"p&2", "", "2021-06-30T00:00:00Z", "r"}};
  for (int round = 0; round < 2; ++round) {  // a second body after a reset is the same
    doc.Reset();
    ASSERT_EQ(doc.WriteStartElement("SignedIdentifiers", ""), 0);
    for (const Policy& p : policies) {
      ASSERT_EQ(doc.WriteStartElement("SignedIdentifier", ""), 0);
      ASSERT_EQ(doc.WriteElement("Id", "", p.id), 0);
      ASSERT_EQ(doc.WriteStartElement("AccessPolicy", ""), 0);
      ASSERT_EQ(doc.WriteElement("Start", "", p.start), 0);
      ASSERT_EQ(doc.WriteElement("Expiry", "", p.expiry), 0);
      ASSERT_EQ(doc.WriteElement("Permission", "", p.permission), 0);
      ASSERT_EQ(doc.WriteEndElement(), 0);
      ASSERT_EQ(doc.WriteEndElement(), 0);
    }
    ASSERT_EQ(doc.EndWriting(), 0);
    EXPECT_EQ(Body(doc),
              "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n"
              "<SignedIdentifiers>\r\n"
              "\t<SignedIdentifier>\r\n"
              "\t\t<Id>policy-1</Id>\r\n"
              "\t\t<AccessPolicy>\r\n"
              "\t\t\t<Start>2020-01-01T00:00:00Z</Start>\r\n"
              "\t\t\t<Expiry>2020-12-31T00:00:00Z</Expiry>\r\n"
              "\t\t\t<Permission>rwdl</Permission>\r\n"
              "\t\t</AccessPolicy>\r\n"
              "\t</SignedIdentifier>\r\n"
              "\t<SignedIdentifier>\r\n"
              "\t\t<Id>p&amp;2</Id>\r\n"
              "\t\t<AccessPolicy>\r\n"
              "\t\t\t<Start />\r\n"
              "\t\t\t<Expiry>2021-06-30T00:00:00Z</Expiry>\r\n"
              "\t\t\t<Permission>r</Permission>\r\n"
              "\t\t</AccessPolicy>\r\n"
              "\t</SignedIdentifier>\r\n"
              "</SignedIdentifiers>");
  }
}

TEST(XmlWriter, OutputStreamAndFile) {
  struct Sink : tw::CallerStream {
    int Read(void*, int) override { return -1; }
    int Write(const void* p, int n) override {
      // Takes at most 3 bytes a call, so the writer must loop.
      const int k = n < 3 ? n : 3;
      data.append(static_cast<const char*>(p), static_cast<size_t>(k));
      return k;
    }
    void Close() override { ++closed; }
    uint64_t Size() override { return data.size(); }
    int64_t Seek(int64_t, int) override { return -1; }
    std::string data;
    int closed = 0;
  } sink;
  XmlDocumentComponent doc;
  ASSERT_TRUE(doc.Initialize());
  doc.SetOutputStream(&sink);
  ASSERT_EQ(doc.WriteElement("r", "", "x&y"), 0);
  ASSERT_EQ(doc.EndWriting(), 0);
  EXPECT_EQ(sink.data,
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n<r>x&amp;y</r>");
  EXPECT_EQ(sink.closed, 1);
  EXPECT_EQ(Body(doc), "");

  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/out.xml";
  doc.Reset();
  doc.SetOutputFile(path.c_str());
  ASSERT_EQ(doc.WriteElement("r", "", "file"), 0);
  ASSERT_EQ(doc.EndWriting(), 0);
  EXPECT_EQ(testsupport::ReadFile(path),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\r\n<r>file</r>");
  doc.Reset();
  doc.SetOutputFile(path.c_str());
  EXPECT_EQ(doc.WriteElement("r", "", "again"), 304);
  EXPECT_EQ(xmltest::Str(doc.error_text()), "OutputFile already exists and Overwrite is False.");
  doc.set_overwrite(true);
  EXPECT_EQ(doc.WriteElement("r", "", "again"), 0);
  ASSERT_EQ(doc.EndWriting(), 0);
  EXPECT_NE(testsupport::ReadFile(path).find("again"), std::string::npos);
  doc.Reset();
  const std::string missing = dir + "/no/such/dir/out.xml";
  doc.SetOutputFile(missing.c_str());
  EXPECT_NE(doc.WriteElement("r", "", "x"), 0);
  EXPECT_EQ(xmltest::Str(doc.error_text()), "Could not open file \"" + missing + "\".");
  std::filesystem::remove_all(dir);
}

// Random trees written by the writer and read back by python3's ElementTree.
TEST(XmlWriterDifferential, ElementTreeReadsItBack) {
  if (!testsupport::HavePython()) TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  std::mt19937 rng(20240521);
  const std::vector<std::string> names = {"Blob", "Name", "x-ms-meta", "a.b", "_c", "p:e", "q:f"};
  const std::vector<std::string> texts = {"plain", "a<b&c>d", "'\"quoted\"'", "caf\xC3\xA9",
                                          "\xE6\x97\xA5\xE6\x9C\xAC", "  spaced  ", "x]]>y"};
  std::string expected_all;
  std::string input;
  for (int doc_no = 0; doc_no < 20; ++doc_no) {
    XmlWriter w;
    ASSERT_TRUE(w.Initialize());
    std::string expected;
    std::function<void(int)> gen = [&](int depth) {
      const std::string n = names[rng() % names.size()];
      std::string uri;
      if (n[0] == 'p') uri = "urn:p" + std::to_string(rng() % 2);
      if (n[0] == 'q') uri = "urn:q";
      const std::string local = n.find(':') == std::string::npos ? n : n.substr(n.find(':') + 1);
      if (n.find(':') == std::string::npos && rng() % 3 == 0) uri = "urn:d";
      ASSERT_EQ(w.StartElement(n.c_str(), uri.c_str()), 0);
      expected += "<" + (uri.empty() ? "" : "{" + uri + "}") + local + ">";
      const int kids = depth < 4 ? static_cast<int>(rng() % 4) : 0;
      if (kids == 0) {
        const std::string t = texts[rng() % texts.size()];
        ASSERT_EQ(w.WriteText(t.c_str()), 0);
        expected += xmltest::Escape(t);
      }
      for (int i = 0; i < kids; ++i) gen(depth + 1);
      ASSERT_EQ(w.EndElement(), 0);
      expected += "</>";
    };
    gen(0);
    ASSERT_EQ(w.Close(), 0);
    expected_all += expected + "\n";
    input += xmltest::Escape(xmltest::Str(w.output())) + "\n";
  }
  static const char kScript[] = R"PY(
import sys, xml.etree.ElementTree as ET
def unesc(s):
    return s.encode('latin-1').decode('unicode_escape').encode('latin-1')
def esc(s):
    return ''.join(chr(b) if 0x20 <= b < 0x7f and b != 0x5c else '\\x%02x' % b for b in s.encode('utf-8'))
def dump(e):
    out = '<' + e.tag + '>'
    if len(e) == 0: out += esc(e.text or '')
    for c in e: out += dump(c)
    return out + '</>'
for line in sys.stdin.read().split('\n'):
    if line: print(dump(ET.fromstring(unesc(line))))
)PY";
  const std::string dir = testsupport::MakeTempDir();
  {
    std::ofstream f(dir + "/et.py");
    f << kScript;
  }
  int status = 0;
  std::string got = testsupport::RunCommand(std::string(testsupport::kPython) + " " + dir + "/et.py", input, &status);
  std::filesystem::remove_all(dir);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(got, expected_all);
}

// What the writer writes, the parser reads back the same.
TEST(XmlWriter, ParserReadsWriterOutput) {
  XmlDocumentComponent writer;
  ASSERT_TRUE(writer.Initialize());
  ASSERT_EQ(writer.WriteStartElement("r", "urn:r"), 0);
  ASSERT_EQ(writer.WriteElement("p:a", "urn:p", "1 < 2 & \"3\""), 0);
  ASSERT_EQ(writer.WriteElement("b", "", ""), 0);
  ASSERT_EQ(writer.EndWriting(), 0);
  XmlDocumentComponent reader;
  xmltest::SetUpReader(reader);
  ASSERT_EQ(ParseDoc(reader, Body(writer)), 0);
  ASSERT_EQ(reader.SelectPath("/r/a"), 0);
  EXPECT_STREQ(reader.Text(), "1 < 2 & \"3\"");
  EXPECT_STREQ(reader.NamespaceUri(), "urn:p");
  ASSERT_EQ(reader.SelectPath("/r/b"), 0);
  EXPECT_STREQ(reader.NamespaceUri(), "");
  EXPECT_EQ(reader.ChildCount(), -1);
}

// ---- Events of the document ----

TEST(XmlDocument, EventsCarryTheirArguments) {
  XmlDocumentComponent doc;
  doc.Initialize();
  xmltest::Recorder rec(&doc);
  ASSERT_EQ(ParseDoc(doc, "<?pi x?><!DOCTYPE r><r xmlns:p='urn:p'><!--c--><p:a/> <![CDATA[d]]></r>"),
            0);
  std::vector<std::string> want = {
      "PI:pi x",      "D:DOCTYPE r",          "SP:p|urn:p", "S:|r|r|0", "CM:c",
      "S:urn:p|a|p:a|1", "E:urn:p|a|p:a|1", "W: ",        "M:CDATA|d", "E:|r|r|0",
      "EP:p"};
  EXPECT_EQ(rec.raw, want);
}

}  // namespace

namespace {

// Any one allocation failing gives 200 (or no harm) and a component that still works.
TEST(XmlDocument, OutOfMemoryAtEveryAllocation) {
  const std::string body = testsupport::ReadFile(xmltest::DataDir() + "/good/list_containers.xml");
  ASSERT_FALSE(body.empty());
  int failures = 0;
  for (long n = 1; n < 400; ++n) {
    XmlDocumentComponent doc;
    xmltest::SetUpReader(doc);
    doc.SetInputText(body.data(), static_cast<int>(body.size()));
    win::HeapFailAfter(n);
    int rc = doc.Parse();
    if (rc == 0) rc = doc.SelectPath("/EnumerationResults/Containers/[last()]/Name");
    win::HeapFailAfter(0);
    EXPECT_TRUE(rc == 0 || rc == 200) << n << " " << rc;
    if (rc == 200) ++failures;
    // The same component parses again once memory is back.
    ASSERT_EQ(doc.Parse(), 0) << n;
    ASSERT_EQ(doc.SelectPath("/EnumerationResults/Containers/[last()]/Name"), 0);
  }
  EXPECT_GT(failures, 10);
  for (long n = 1; n < 60; ++n) {
    XmlDocumentComponent doc;
    ASSERT_TRUE(doc.Initialize());
    win::HeapFailAfter(n);
    int rc = doc.WriteStartElement("BlockList", "");
    for (int i = 0; i < 5 && rc == 0; ++i) rc = doc.WriteElement("Latest", "", "QmxvY2sx");
    if (rc == 0) rc = doc.EndWriting();
    win::HeapFailAfter(0);
    EXPECT_TRUE(rc == 0 || rc == 200) << n << " " << rc;
  }
}

}  // namespace
