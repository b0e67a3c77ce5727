#include "formats/xml_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/xml_document.h"
#include "platform/codepage.h"
#include "tests/formats/xml_test_util.h"
#include "tests/support/test_support.h"

namespace {

using tw::ByteString;
using tw::XmlDocumentComponent;
using tw::XmlParser;
using xmltest::Recorder;

// A plain parser (no DOM) whose events are recorded.
struct PlainParser {
  struct Sink : tw::EventSink {
    void SetCodePage(int) override {}
    int Fire(int event, std::span<void* const> args) override {
      auto text = [&](int i) { return std::string(static_cast<const char*>(args[i])); };
      switch (event) {
        case 1: events.push_back("C:" + text(0)); break;
        case 6: {
          auto* v = static_cast<ByteString*>(args[1]);
          events.push_back("ENT:" + text(0) + "|" + xmltest::Str(*v));
          break;
        }
        case 7: events.push_back("W:" + text(0)); break;
        case 10: events.push_back("M:" + text(0) + "|" + text(1)); break;
        case 11: events.push_back("S:" + text(2)); break;
        case 3: events.push_back("E:" + text(2)); break;
        default: events.push_back("#" + std::to_string(event)); break;
      }
      return 0;
    }
    std::vector<std::string> events;
  };
  PlainParser() { parser.set_event_sink(&sink); }
  ~PlainParser() { parser.set_event_sink(nullptr); }
  int Parse(const std::string& text) {
    int rc = parser.InputBytes(text.data(), static_cast<int>(text.size()));
    return rc ? rc : parser.Flush(false);
  }
  XmlParser parser;
  Sink sink;
};

int ParseDoc(XmlDocumentComponent& doc, const std::string& text) {
  doc.SetInputText(text.data(), static_cast<int>(text.size()));
  return doc.Parse();
}

std::string ErrorOf(const XmlDocumentComponent& doc) { return xmltest::Str(doc.error_text()); }

// ---- The parser's documented cases ----

TEST(XmlParser, StrictEndTagMustMatch) {
  XmlDocumentComponent doc;
  doc.Initialize();
  EXPECT_EQ(ParseDoc(doc, "<a>x</b>"), 201);
  EXPECT_EQ(ErrorOf(doc), "Unbalanced element tag: b");
  doc.parser().set_strict(false);
  EXPECT_EQ(ParseDoc(doc, "<a>x</b></a>"), 0);
  EXPECT_STREQ(doc.Text(), "x");
}

TEST(XmlParser, LessThanInText) {
  PlainParser p;
  EXPECT_EQ(p.Parse("a < b"), 204);
  EXPECT_EQ(xmltest::Str(p.parser.parse_error()), "Unescaped character < in the XML");
  PlainParser q;
  q.parser.ConfigText("ValidateLessThanSign=False", nullptr);
  EXPECT_EQ(q.Parse("<r>a < b</r>"), 0);
  std::vector<std::string> want = {"S:r", "C:a < b", "E:r"};
  EXPECT_EQ(q.sink.events, want);
}

TEST(XmlParser, UnquotedAndValuelessAttributes) {
  XmlDocumentComponent doc;
  doc.Initialize();
  doc.parser().set_strict(false);
  ASSERT_EQ(ParseDoc(doc, "<a x=1 y>t</a>"), 0);
  EXPECT_STREQ(doc.FindAttribute("x"), "1");
  EXPECT_STREQ(doc.FindAttribute("y"), "");
  doc.parser().set_strict(true);
  ASSERT_EQ(ParseDoc(doc, "<a x=1>t</a>"), 0);
  EXPECT_STREQ(doc.FindAttribute("x"), "1");
  ASSERT_EQ(ParseDoc(doc, "<a x=1/>"), 0);
  EXPECT_STREQ(doc.FindAttribute("x"), "1");
  EXPECT_EQ(doc.ChildCount(), -1);
  EXPECT_EQ(ParseDoc(doc, "<a =1>t</a>"), 204);
  EXPECT_EQ(ErrorOf(doc), "Invalid character = used as the Attribute Name");
}

TEST(XmlParser, UnknownEntityWithoutDom) {
  PlainParser p;
  ASSERT_EQ(p.Parse("<r>&foo;</r>"), 0);
  std::vector<std::string> want = {"S:r", "ENT:foo|&foo;", "C:&foo;", "E:r"};
  EXPECT_EQ(p.sink.events, want);
}

TEST(XmlParser, EvalEntityReplacesTheText) {
  XmlDocumentComponent doc;
  doc.Initialize();
  Recorder rec(&doc);
  rec.entity_replacement = "[copy]";
  ASSERT_EQ(ParseDoc(doc, "<r>a &copy; b</r>"), 0);
  EXPECT_STREQ(doc.Text(), "a [copy] b");
  doc.ConfigText("DisableEvalEntityEvent=True", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<r>a &copy; b</r>"), 0);
  EXPECT_STREQ(doc.Text(), "a &copy; b");
}

TEST(XmlParser, CharacterReferencesFollowTheCodePage) {
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r>&#233;&#xE9;</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xC3\xA9\xC3\xA9");
  doc.ConfigText("CodePage=1252", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<r>&#233;&#x20AC;</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xE9\x80");
}

// Characters beyond the first plane are neither dropped nor split: they go through the code
// page as a surrogate pair, like any other character.
TEST(XmlParser, SupplementaryCharactersAreKept) {
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r>&#128512;|&#x1F680;</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xF0\x9F\x98\x80|\xF0\x9F\x9A\x80");
  // Through the UTF-8 input conversion too.
  ASSERT_EQ(ParseDoc(doc, "\xEF\xBB\xBF<r>\xF0\x9F\x98\x80</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xF0\x9F\x98\x80");
  // A code page without the character gets its replacement, not nothing.
  doc.ConfigText("CodePage=1252", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<r>a&#128512;b</r>"), 0);
  EXPECT_STREQ(doc.Text(), "a?b");
}

TEST(XmlParser, Utf8InputBecomesReferences) {
  PlainParser p;
  p.parser.ConfigText("UseEncoding=UTF-8", nullptr);
  ASSERT_EQ(p.Parse("<r>caf\xC3\xA9</r>"), 0);
  // The reference is reported on its own, after the text before it.
  std::vector<std::string> want = {"S:r", "C:caf", "C:&#233;", "E:r"};
  EXPECT_EQ(p.sink.events, want);
  // A sequence cut between two appends is still one character.
  PlainParser q;
  q.parser.ConfigText("UseEncoding=UTF-8", nullptr);
  ASSERT_EQ(q.parser.InputBytes("<r>\xE2\x82", 5), 0);
  ASSERT_EQ(q.parser.InputBytes("\xAC</r>", 5), 0);
  ASSERT_EQ(q.parser.Flush(false), 0);
  EXPECT_EQ(q.sink.events[1], "C:&#8364;");
  // Ill-formed UTF-8 becomes U+FFFD instead of bytes that could pass for markup.
  PlainParser r;
  r.parser.ConfigText("UseEncoding=UTF-8", nullptr);
  ASSERT_EQ(r.Parse("<r>\xC3(\xFF\xC0\xAF</r>"), 0);
  std::vector<std::string> bad = {"S:r", "C:&#65533;", "C:(", "C:&#65533;", "C:&#65533;", "E:r"};
  EXPECT_EQ(r.sink.events, bad);
}

// A byte order mark or a declaration decides the encoding of one document, not of the next.
TEST(XmlParser, DetectedEncodingLastsOneDocument) {
  XmlDocumentComponent doc;
  xmltest::SetUpReader(doc);
  doc.ConfigText("CodePage=1252", nullptr);
  ASSERT_EQ(ParseDoc(doc, "\xEF\xBB\xBF<r>\xC3\xA9</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xE9");
  ASSERT_EQ(ParseDoc(doc, "<r>\xE9</r>"), 0);  // plain bytes again
  EXPECT_STREQ(doc.Text(), "\xE9");
  ASSERT_EQ(ParseDoc(doc, "<?xml version='1.0' encoding='utf-8'?><r>\xC3\xA9</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xE9");
  ASSERT_EQ(ParseDoc(doc, "<r>\xE9</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xE9");
  const char* answer = "";
  doc.ConfigText("UseEncoding", &answer);
  EXPECT_STREQ(answer, "ASCII");
  // An explicit encoding is kept; a declaration does not override it.
  doc.ConfigText("UseEncoding=UTF-8", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<?xml version='1.0' encoding='ISO-8859-1'?><r>\xC3\xA9</r>"), 0);
  EXPECT_STREQ(doc.Text(), "\xE9");
}

// Names beyond ASCII in a UTF-8 document are names, in the component's code page.
TEST(XmlParser, NonAsciiNames) {
  XmlDocumentComponent doc;
  xmltest::SetUpReader(doc);
  const std::string body =
      "\xEF\xBB\xBF<r><gr\xC3\xB6\xC3\x9F" "e \xC3\xA9t\xC3\xA9='x'>1</gr\xC3\xB6\xC3\x9F" "e></r>";
  ASSERT_EQ(ParseDoc(doc, body), 0) << xmltest::Str(doc.error_text());
  ASSERT_EQ(doc.SelectPath("/r/gr\xC3\xB6\xC3\x9F" "e"), 0);
  EXPECT_STREQ(doc.FindAttribute("\xC3\xA9t\xC3\xA9"), "x");
  doc.ConfigText("CodePage=1252", nullptr);
  ASSERT_EQ(ParseDoc(doc, body), 0);
  ASSERT_EQ(doc.SelectPath("/r/[1]"), 0);
  EXPECT_STREQ(doc.LocalName(), "gr\xF6\xDF" "e");
  EXPECT_STREQ(doc.AttributeName(0), "\xE9t\xE9");
  // The end tag must still match.
  EXPECT_EQ(ParseDoc(doc, "\xEF\xBB\xBF<r><\xC3\xA9></\xC3\xA8></r>"), 201);
}

TEST(XmlParser, Utf16Input) {
  XmlDocumentComponent doc;
  doc.Initialize();
  // Byte order mark, a surrogate pair and a byte-swapped mark that flips the order.
  std::u16string text = u"<r a=\"\u00e9\">x\U0001F600</r>";
  std::string le = "\xFF\xFE";
  for (char16_t u : text) {
    le.push_back(static_cast<char>(u & 0xFF));
    le.push_back(static_cast<char>(u >> 8));
  }
  ASSERT_EQ(ParseDoc(doc, le), 0) << ErrorOf(doc);
  EXPECT_STREQ(doc.Text(), "x\xF0\x9F\x98\x80");
  EXPECT_STREQ(doc.FindAttribute("a"), "\xC3\xA9");
  std::string be = "\xFE\xFF";
  for (char16_t u : text) {
    be.push_back(static_cast<char>(u >> 8));
    be.push_back(static_cast<char>(u & 0xFF));
  }
  ASSERT_EQ(ParseDoc(doc, be), 0) << ErrorOf(doc);
  EXPECT_STREQ(doc.Text(), "x\xF0\x9F\x98\x80");
  // A NUL-terminated text cannot carry UTF-16.
  XmlParser parser;
  parser.ConfigText("UseEncoding=UTF-16LE", nullptr);
  EXPECT_EQ(parser.Input("<r/>"), 306);
}

TEST(XmlParser, CdataIsAMarkedSectionAndElementText) {
  PlainParser p;
  ASSERT_EQ(p.Parse("<r><![CDATA[a<b]]></r>"), 0);
  EXPECT_EQ(p.sink.events[1], "M:CDATA|a<b");
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r>x<![CDATA[a<b]]>y</r>"), 0);
  EXPECT_STREQ(doc.Text(), "xa<by");
}

// A document nested a million levels deep stops at the depth limit, and says so.
TEST(XmlParser, MillionLevelsHitTheDepthLimit) {
  std::string deep;
  for (int i = 0; i < 1000000; ++i) deep += "<d>";
  XmlDocumentComponent doc;
  doc.Initialize();
  EXPECT_EQ(ParseDoc(doc, deep), 200);
  EXPECT_EQ(ErrorOf(doc), "Elements nested too deeply (more than 256 levels).");
  PlainParser p;
  EXPECT_EQ(p.Parse(deep), 200);
}

// In a UTF-8 or UTF-16 document, the text of a CDATA section, a comment and a processing
// instruction comes back in the code page, as element text does.
struct MarkupTextCase {
  const char* name;
  std::string body;  // UTF-8; sent with a byte order mark
  bool utf16;
  int event;  // what is recorded, and its expected text
  std::string want;
};

class XmlMarkupText : public ::testing::TestWithParam<MarkupTextCase> {};

std::string WithMark(const std::string& utf8, bool utf16) {
  if (!utf16) return "\xEF\xBB\xBF" + utf8;
  std::u16string wide(utf8.size(), u'\0');
  const int n = win::MultiByteToWideChar(win::CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                         wide.data(), static_cast<int>(wide.size()));
  std::string le = "\xFF\xFE";
  for (int i = 0; i < n; ++i) {
    le.push_back(static_cast<char>(wide[i] & 0xFF));
    le.push_back(static_cast<char>(wide[i] >> 8));
  }
  return le;
}

TEST_P(XmlMarkupText, ComesBackInTheCodePage) {
  const MarkupTextCase& c = GetParam();
  struct Sink : tw::EventSink {
    void SetCodePage(int) override {}
    int Fire(int event, std::span<void* const> args) override {
      if (event == watched) got += static_cast<const char*>(args[event == 10 ? 1 : 0]);
      return 0;
    }
    int watched = 0;
    std::string got;
  } sink;
  sink.watched = c.event;
  XmlParser parser;
  parser.set_event_sink(&sink);
  const std::string input = WithMark(c.body, c.utf16);
  ASSERT_EQ(parser.InputBytes(input.data(), static_cast<int>(input.size())), 0);
  ASSERT_EQ(parser.Flush(false), 0);
  parser.set_event_sink(nullptr);
  EXPECT_EQ(sink.got, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, XmlMarkupText,
    ::testing::Values(
        MarkupTextCase{"CdataUtf8", "<r><![CDATA[caf\xC3\xA9]]></r>", false, 10, "caf\xC3\xA9"},
        MarkupTextCase{"CdataUtf16", "<r><![CDATA[\xE2\x82\xAC<\xF0\x9F\x98\x80]]></r>", true, 10,
                       "\xE2\x82\xAC<\xF0\x9F\x98\x80"},
        MarkupTextCase{"CommentUtf8", "<r><!-- na\xC3\xAFve --></r>", false, 2, " na\xC3\xAFve "},
        MarkupTextCase{"CommentUtf16", "<r><!--\xC3\xA9--></r>", true, 2, "\xC3\xA9"},
        MarkupTextCase{"PiUtf8", "<?app caf\xC3\xA9?><r/>", false, 9, "app caf\xC3\xA9"},
        MarkupTextCase{"PiUtf16", "<r><?app \xC3\xA9?></r>", true, 9, "app \xC3\xA9"},
        MarkupTextCase{"AsciiUntouched", "<r><![CDATA[a&amp;b&#1;]]></r>", false, 10, "a&amp;b&#1;"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(XmlParser, CdataInTheDomIsInTheCodePage) {
  XmlDocumentComponent doc;
  xmltest::SetUpReader(doc);
  doc.ConfigText("CodePage=1252", nullptr);
  ASSERT_EQ(ParseDoc(doc, "\xEF\xBB\xBF<r>x<![CDATA[caf\xC3\xA9]]></r>"), 0);
  EXPECT_STREQ(doc.Text(), "xcaf\xE9");
}

TEST(XmlParser, FlagSettingsAreIndependent) {
  XmlParser parser;
  const char* answer = "";
  parser.ConfigText("AllowMoreThanOneRoot=False", nullptr);
  parser.ConfigText("IgnoreBadAttributePrefixes=False", &answer);
  parser.ConfigText("AllowMoreThanOneRoot", &answer);
  EXPECT_STREQ(answer, "False");
  parser.ConfigText("AllowMoreThanOneRoot=True", nullptr);
  parser.ConfigText("IgnoreBadElementPrefixes=False", nullptr);
  parser.ConfigText("AllowMoreThanOneRoot", &answer);
  EXPECT_STREQ(answer, "True");
  parser.ConfigText("IgnoreBadAttributePrefixes", &answer);
  EXPECT_STREQ(answer, "False");
  parser.ConfigText("UseEncoding=utf-16be", nullptr);
  parser.ConfigText("UseEncoding", &answer);
  EXPECT_STREQ(answer, "UTF-16BE");
  parser.ConfigText("UseEncoding=UTF-16", nullptr);
  parser.ConfigText("UseEncoding", &answer);
  EXPECT_STREQ(answer, "UTF-16BE");
  parser.ConfigText("UseEncoding=latin1", nullptr);
  parser.ConfigText("UseEncoding", &answer);
  EXPECT_STREQ(answer, "ASCII");
}

TEST(XmlParser, MoreThanOneRoot) {
  XmlDocumentComponent doc;
  doc.Initialize();
  EXPECT_EQ(ParseDoc(doc, "<a/><b/>"), 0);
  doc.ConfigText("AllowMoreThanOneRoot=False", nullptr);
  EXPECT_EQ(ParseDoc(doc, "<a/><b/>"), 211);
  EXPECT_EQ(ErrorOf(doc), "Invalid XML: the document has more than one root element.");
  doc.ConfigText("AllowTextOutsideRoot=False", nullptr);
  EXPECT_EQ(ParseDoc(doc, "<a/>x"), 212);
  EXPECT_EQ(ParseDoc(doc, "\n <a/>\n "), 0);  // whitespace is not text
}

TEST(XmlParser, PrefixesStrictAndIgnored) {
  XmlDocumentComponent doc;
  doc.Initialize();
  Recorder rec(&doc);
  ASSERT_EQ(ParseDoc(doc, "<p:a q:x='1'>t</p:a>"), 0);
  EXPECT_EQ(rec.raw[0], "ERR:202 Unknown element prefix (can't find namespace): p");
  EXPECT_EQ(rec.raw[1], "ERR:203 Unknown attribute prefix (can't find namespace): q");
  ByteString q;
  doc.QualifiedName(q);
  EXPECT_EQ(xmltest::Str(q), "p:a");
  EXPECT_STREQ(doc.LocalName(), "a");
  doc.ConfigText("IncludeUnknownPrefixes=True", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<p:a>t</p:a>"), 0);
  EXPECT_STREQ(doc.LocalName(), "p:a");
  doc.ConfigText("IgnoreBadElementPrefixes=False", nullptr);
  EXPECT_EQ(ParseDoc(doc, "<p:a>t</p:a>"), 202);
  EXPECT_EQ(ErrorOf(doc), "Unknown element prefix (can't find namespace): p");
  doc.ConfigText("IgnoreBadAttributePrefixes=False", nullptr);
  EXPECT_EQ(ParseDoc(doc, "<a q:x='1'>t</a>"), 203);
  EXPECT_EQ(ParseDoc(doc, "<a xml:lang='en' xmlns:q='urn:q' q:x='1'>t</a>"), 0);
  EXPECT_STREQ(doc.FindAttribute("lang"), "en");
}

TEST(XmlParser, LenientModeKeepsOrDropsElementPrefix) {
  XmlDocumentComponent doc;
  doc.Initialize();
  doc.parser().set_strict(false);
  ASSERT_EQ(ParseDoc(doc, "<p:a>t</p:a>"), 0);
  EXPECT_STREQ(doc.LocalName(), "p:a");
  EXPECT_STREQ(doc.NamespaceUri(), "");
  doc.ConfigText("IncludeElementPrefix=False", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<p:a>t</p:a>"), 0);
  EXPECT_STREQ(doc.LocalName(), "a");
}

TEST(XmlParser, LenientScriptContentIsText) {
  XmlDocumentComponent doc;
  doc.Initialize();
  doc.parser().set_strict(false);
  ASSERT_EQ(ParseDoc(doc, "<html><SCRIPT>if (a<b) x();</script><p>after</p></html>"), 0);
  ASSERT_EQ(doc.SelectPath("/html/SCRIPT"), 0);
  EXPECT_STREQ(doc.Text(), "if (a<b) x();");
  ASSERT_EQ(doc.SelectPath("/html/p"), 0);
  EXPECT_STREQ(doc.Text(), "after");
}

TEST(XmlParser, CommentsAndHtmlComments) {
  XmlDocumentComponent doc;
  doc.Initialize();
  Recorder rec(&doc);
  EXPECT_EQ(ParseDoc(doc, "<a><!-- x -- y --></a>"), 204);
  ASSERT_EQ(ParseDoc(doc, "<a><!--x-y--></a>"), 0);
  doc.ConfigText("HTMLComments=True", nullptr);
  rec.raw.clear();
  ASSERT_EQ(ParseDoc(doc, "<a><!-- x -- y --></a>"), 0);
  EXPECT_EQ(rec.raw[1], "CM: x -- y ");
}

TEST(XmlParser, WhitespaceAndLineEnds) {
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r>\n  <a>  x y  </a>\n  <b>one\n   two\n  </b><c>  </c></r>"), 0);
  ASSERT_EQ(doc.SelectPath("/r/a"), 0);
  EXPECT_STREQ(doc.Text(), "x y");
  ASSERT_EQ(doc.SelectPath("/r/b"), 0);
  EXPECT_STREQ(doc.Text(), "one\n   two");
  ASSERT_EQ(doc.SelectPath("/r/c"), 0);
  EXPECT_STREQ(doc.Text(), "");
  doc.ConfigText("PreserveWhitespace=True", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<r><a>  x  </a><c>  </c></r>"), 0);
  ASSERT_EQ(doc.SelectPath("/r/a"), 0);
  EXPECT_STREQ(doc.Text(), "  x  ");
  ASSERT_EQ(doc.SelectPath("/r/c"), 0);
  EXPECT_STREQ(doc.Text(), "  ");
}

TEST(XmlParser, EndOfInputStates) {
  XmlDocumentComponent doc;
  doc.Initialize();
  EXPECT_EQ(ParseDoc(doc, "<a><b>"), 206);
  EXPECT_EQ(ParseDoc(doc, ""), 210);
  EXPECT_EQ(ErrorOf(doc), "DOM tree unavailable: no XML markup was found in input text.");
  EXPECT_EQ(ParseDoc(doc, "<a/><!-- x"), 205);
  EXPECT_EQ(ErrorOf(doc), "Invalid end state for parser.");
  EXPECT_EQ(ParseDoc(doc, "<a/><b"), 205);
}

TEST(XmlParser, ResetKeepsSettings) {
  XmlParser parser;
  parser.ConfigText("PreserveWhitespace=True", nullptr);
  parser.ConfigText("ExtraNameChars=$", nullptr);
  ASSERT_EQ(parser.Input("<a>"), 0);
  parser.Reset();
  const char* answer = "";
  parser.ConfigText("PreserveWhitespace", &answer);
  EXPECT_STREQ(answer, "True");
  parser.ConfigText("ExtraNameChars", &answer);
  EXPECT_STREQ(answer, "$");
  parser.set_build_dom(true);
  ASSERT_EQ(parser.Input("<a$b>x</a$b>"), 0);
  ASSERT_EQ(parser.Flush(true), 0);
  EXPECT_STREQ(parser.cursor().LocalName(), "a$b");
}

TEST(XmlParser, LeadingDigitNames) {
  XmlDocumentComponent doc;
  doc.Initialize();
  EXPECT_EQ(ParseDoc(doc, "<r><1a/></r>"), 204);
  doc.ConfigText("AllowLeadingDigit=True", nullptr);
  ASSERT_EQ(ParseDoc(doc, "<r><1a/></r>"), 0);
  ASSERT_EQ(doc.SelectPath("/r/1a"), 0);
}

TEST(XmlParser, KeepOriginalTextOffKeepsTheBufferSmall) {
  XmlDocumentComponent doc;
  doc.Initialize();
  doc.ConfigText("KeepOriginalText=False", nullptr);
  std::string item = "<Blob><Name>n</Name><Size>1</Size></Blob>\n";
  ASSERT_EQ(doc.ParseChunk("<Blobs>", 7), 0);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(doc.ParseChunk(item.data(), static_cast<int>(item.size())), 0);
  }
  ASSERT_EQ(doc.ParseChunk("</Blobs>", 8), 0);
  ASSERT_EQ(doc.FinishParse(), 0);
  EXPECT_EQ(doc.ChildCount(), 2000);
  ASSERT_EQ(doc.SelectPath("/Blobs/[2000]/Name"), 0);
  EXPECT_STREQ(doc.Text(), "n");
  const char* text = "";
  EXPECT_EQ(doc.SubTree(&text), 214);
  EXPECT_EQ(ErrorOf(doc), "Subtree not available unless KeepOriginalText is set.");
}

TEST(XmlParser, SubTreeAndContents) {
  XmlDocumentComponent doc;
  doc.Initialize();
  ASSERT_EQ(ParseDoc(doc, "<r><a x='1'>in<b/>side</a><c/></r>"), 0);
  ASSERT_EQ(doc.SelectPath("/r/a"), 0);
  const char* answer = "";
  ASSERT_EQ(doc.ConfigText("XSubTree", &answer), 0);
  EXPECT_STREQ(answer, "<a x='1'>in<b/>side</a>");
  ASSERT_EQ(doc.ConfigText("XContents", &answer), 0);
  EXPECT_STREQ(answer, "in<b/>side");
  ASSERT_EQ(doc.SelectPath("/r/c"), 0);
  ASSERT_EQ(doc.ConfigText("XSubTree", &answer), 0);
  EXPECT_STREQ(answer, "<c/>");
  ASSERT_EQ(doc.ConfigText("XContents", &answer), 0);
  EXPECT_STREQ(answer, "");
}

// ---- Table limits: one more than a table holds is 200 with a text naming the limit ----

TEST(XmlParser, TableLimits) {
  XmlDocumentComponent doc;
  doc.Initialize();
  std::string deep;
  for (int i = 0; i < 256; ++i) deep += "<d>";
  for (int i = 0; i < 256; ++i) deep += "</d>";
  EXPECT_EQ(ParseDoc(doc, deep), 0);
  EXPECT_EQ(ParseDoc(doc, "<x>" + deep + "</x>"), 200);
  EXPECT_EQ(ErrorOf(doc), "Elements nested too deeply (more than 256 levels).");

  std::string attrs = "<a";
  for (int i = 0; i < 256; ++i) attrs += " a" + std::to_string(i) + "='v'";
  EXPECT_EQ(ParseDoc(doc, attrs + "/>"), 0);
  EXPECT_EQ(doc.AttributeCount(), 256);
  EXPECT_STREQ(doc.AttributeValue(255), "v");
  EXPECT_EQ(ParseDoc(doc, attrs + " b='w'/>"), 200);
  EXPECT_EQ(ErrorOf(doc), "An XML element has too many attributes (more than 256).");

  std::string decls = "<a";
  for (int i = 0; i < 256; ++i) decls += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
  EXPECT_EQ(ParseDoc(doc, decls + "/>"), 0);
  EXPECT_EQ(ParseDoc(doc, decls + "><b xmlns:q='urn:q'/></a>"), 200);
  EXPECT_EQ(ErrorOf(doc), "Too many XML namespace declarations are in scope (more than 256).");
}

TEST(XmlParser, HostileReferences) {
  XmlDocumentComponent doc;
  doc.Initialize();
  EXPECT_EQ(ParseDoc(doc, "<a>&#99999999999999999999999999;</a>"), 204);
  EXPECT_EQ(ParseDoc(doc, "<a>&#x7FFFFFFF;</a>"), 204);
  EXPECT_EQ(ParseDoc(doc, "<a>&#;</a>"), 204);
  EXPECT_EQ(ParseDoc(doc, "<a>&#x;</a>"), 204);
  EXPECT_EQ(ParseDoc(doc, "<a>&;</a>"), 204);
  EXPECT_EQ(ErrorOf(doc), "Unescaped character & in the XML");
  EXPECT_EQ(ParseDoc(doc, "<a>&#x0000000000000000000041;</a>"), 0);
  EXPECT_STREQ(doc.Text(), "A");
  doc.parser().set_strict(false);
  EXPECT_EQ(ParseDoc(doc, "<a>&#xD800;&</a>"), 0);
  EXPECT_STREQ(doc.Text(), "&#xD800;&");
}

TEST(XmlParser, CallbackResultStopsTheParse) {
  struct Stopper : XmlDocumentComponent {
    int StartElement(const char* uri, const char* local, const char* qname, int empty) override {
      return std::string(local) == "stop" ? 777 : 0;
    }
  } doc;
  doc.Initialize();
  EXPECT_EQ(ParseDoc(doc, "<a><b/><stop/><c/></a>"), 777);
}

TEST(XmlParser, TruncatedAtEveryLength) {
  // Every prefix of a real listing either parses or fails with a parser code; none crashes.
  std::string body = testsupport::ReadFile(xmltest::DataDir() + "/good/list_blobs.xml");
  ASSERT_FALSE(body.empty());
  for (size_t n = 0; n < body.size(); n += 7) {
    XmlDocumentComponent doc;
    xmltest::SetUpReader(doc);
    int rc = ParseDoc(doc, body.substr(0, n));
    EXPECT_TRUE(rc == 0 || (rc >= 200 && rc <= 212)) << n << " " << rc;
  }
}

// ---- Differential checks ----

struct Parsed {
  int rc = 0;
  std::vector<std::string> norm;
  std::vector<std::string> raw;
  std::string dom;
};

Parsed ParseWith(const std::string& text, size_t piece) {
  Parsed out;
  XmlDocumentComponent doc;
  xmltest::SetUpReader(doc);
  Recorder rec(&doc);
  if (piece == 0) {
    out.rc = ParseDoc(doc, text);
  } else {
    for (size_t i = 0; i < text.size() && out.rc == 0; i += piece) {
      const size_t n = std::min(piece, text.size() - i);
      out.rc = doc.ParseChunk(text.data() + i, static_cast<int>(n));
    }
    if (out.rc == 0) out.rc = doc.FinishParse();
  }
  rec.Flush();
  out.norm = rec.norm;
  out.raw = rec.raw;
  // The DOM's navigable content: every element's path, text and attributes, in document order.
  if (out.rc == 0) {
    std::vector<std::string> stack;
    std::function<void()> walk = [&] {
      ByteString q;
      doc.QualifiedName(q);
      out.dom += xmltest::Str(doc.path_text()) + "{" + doc.NamespaceUri() + "}" + doc.Text();
      for (int i = 0; i < doc.AttributeCount(); ++i) {
        out.dom += " @" + std::string(doc.AttributeName(i)) + "=" + doc.AttributeValue(i);
      }
      out.dom += "\n";
      for (int i = 1; i <= doc.ChildCount(); ++i) {
        doc.SelectChild(i);
        walk();
        doc.SelectParent();
      }
    };
    walk();
  }
  return out;
}

TEST(XmlParserDifferential, EventsMatchPythonSax) {
  std::vector<std::string> files = xmltest::FilesIn(xmltest::DataDir() + "/good");
  ASSERT_GT(files.size(), 10u);
  std::vector<std::vector<std::string>> expected;
  if (!xmltest::SaxEvents(files, &expected)) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 with xml.sax not available");
  }
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    ASSERT_NE(expected[i].size(), 1u) << "python rejected it";
    Parsed ours = ParseWith(testsupport::ReadFile(files[i]), 0);
    ASSERT_EQ(ours.rc, 0);
    EXPECT_EQ(ours.norm, expected[i]);
  }
}

TEST(XmlParserDifferential, SplitAtEveryByteGivesTheSameResult) {
  std::vector<std::string> files = xmltest::FilesIn(xmltest::DataDir() + "/good");
  std::vector<std::string> lenient = xmltest::FilesIn(xmltest::DataDir() + "/lenient");
  files.insert(files.end(), lenient.begin(), lenient.end());
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    std::string text = testsupport::ReadFile(f);
    Parsed whole = ParseWith(text, 0);
    for (size_t piece : {1u, 2u, 3u, 5u, 64u}) {
      Parsed split = ParseWith(text, piece);
      EXPECT_EQ(split.rc, whole.rc) << piece;
      EXPECT_EQ(split.raw, whole.raw) << piece;
      EXPECT_EQ(split.dom, whole.dom) << piece;
    }
  }
}

// Two pieces, cut at every byte in turn.
Parsed ParseCut(const std::string& text, size_t cut) {
  Parsed out;
  XmlDocumentComponent doc;
  xmltest::SetUpReader(doc);
  Recorder rec(&doc);
  out.rc = doc.ParseChunk(text.data(), static_cast<int>(cut));
  if (out.rc == 0) out.rc = doc.ParseChunk(text.data() + cut, static_cast<int>(text.size() - cut));
  if (out.rc == 0) out.rc = doc.FinishParse();
  out.raw = rec.raw;
  return out;
}

TEST(XmlParserDifferential, CutAtEveryByteGivesTheSameEvents) {
  for (const char* name : {"list_blobs.xml", "entities.xml", "unicode_names.xml",
                           "cdata_comments_pi.xml", "namespaces.xml", "error_auth.xml"}) {
    const std::string file = xmltest::DataDir() + "/good/" + name;
    SCOPED_TRACE(file);
    const std::string text = testsupport::ReadFile(file);
    const Parsed whole = ParseWith(text, 0);
    ASSERT_EQ(whole.rc, 0);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      const Parsed split = ParseCut(text, cut);
      ASSERT_EQ(split.rc, 0) << cut;
      ASSERT_EQ(split.raw, whole.raw) << cut;
    }
  }
}

TEST(XmlParserDifferential, AcceptAndRejectLikeXmllint) {
  if (!testsupport::HaveProgram("xmllint")) TW_REQUIRE_OR_SKIP("xmllint not installed");
  auto check = [](const std::string& dir, bool known_lenient) {
    for (const std::string& f : xmltest::FilesIn(dir)) {
      SCOPED_TRACE(f);
      int status = 0;
      testsupport::RunCommand("xmllint --noout '" + f + "' 2>/dev/null", "", &status);
      const bool xmllint_accepts = status == 0;
      XmlDocumentComponent doc;
      xmltest::SetUpReader(doc);
      doc.ConfigText("AllowMoreThanOneRoot=False", nullptr);
      doc.ConfigText("AllowTextOutsideRoot=False", nullptr);
      const int rc = ParseDoc(doc, testsupport::ReadFile(f));
      if (known_lenient) {
        // The documented leniencies: xmllint refuses them, this parser takes them.
        EXPECT_FALSE(xmllint_accepts);
        EXPECT_EQ(rc, 0) << ErrorOf(doc);
      } else {
        EXPECT_EQ(rc == 0, xmllint_accepts) << rc << " " << ErrorOf(doc);
      }
    }
  };
  check(xmltest::DataDir() + "/good", false);
  check(xmltest::DataDir() + "/bad", false);
  check(xmltest::DataDir() + "/prefix", false);
  check(xmltest::DataDir() + "/lenient", true);
}


// A handler may reset the parser from inside a start tag's event: the tag's open element goes
// with the rest, and the parser stays usable.
TEST(XmlParser, ResetInsideStartElementEvent) {
  struct Resetter : tw::EventSink {
    void SetCodePage(int) override {}
    int Fire(int event, std::span<void* const>) override {
      if (event == 11 && resets++ == 0) parser->Reset();
      return 0;
    }
    XmlParser* parser = nullptr;
    int resets = 0;
  } sink;
  XmlParser parser;
  sink.parser = &parser;
  parser.set_event_sink(&sink);
  parser.set_build_dom(true);
  const std::string text = "<a xmlns='urn:x'><b>x</b></a>";
  parser.InputBytes(text.data(), static_cast<int>(text.size()));
  parser.Reset();
  EXPECT_EQ(parser.InputBytes(text.data(), static_cast<int>(text.size())), 0);
  EXPECT_EQ(parser.Flush(true), 0);
  EXPECT_EQ(sink.resets, 3);  // the first parse ends with its input
  parser.set_event_sink(nullptr);
}

}  // namespace
