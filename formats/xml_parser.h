// The streaming XML (and lenient HTML-like) tokenizer, its callbacks and the compact DOM it builds.
//
// The parser works on single bytes in the component's code page: multi-byte input encodings are
// turned into numeric character references as the text is appended, so the state machine never
// sees anything else. Text may arrive in any number of pieces; a piece may end anywhere, even in
// the middle of a multi-byte character.
//
// DOM: see XmlDom (formats/xml_dom.h); its element handles are what the cursor stands on.
#pragma once

#include <cstdint>
#include <cstring>

#include "formats/xml_dom.h"
#include "formats/xml_namespace_record.h"
#include "formats/xml_path.h"
#include "foundation/byte_string.h"
#include "foundation/component_base.h"
#include "foundation/pair_table.h"
#include "foundation/ptr_array.h"

namespace tw {

// Parser and cursor codes.
constexpr int kXmlErrAttributeMissing = 107;
constexpr int kXmlErrUnbalancedTag = 201;
constexpr int kXmlErrElementPrefix = 202;
constexpr int kXmlErrAttributePrefix = 203;
constexpr int kXmlErrMarkup = 204;
constexpr int kXmlErrEndState = 205;
constexpr int kXmlErrUnbalancedDocument = 206;
constexpr int kXmlErrBadPath = 207;
constexpr int kXmlErrNoSuchChild = 208;
constexpr int kXmlErrTopElement = 209;
constexpr int kXmlErrNoDom = 210;
constexpr int kXmlErrManyRoots = 211;
constexpr int kXmlErrTextOutsideRoot = 212;
constexpr int kXmlErrNoSubtree = 214;
constexpr int kXmlErrUtf16Text = 306;

// The standard text of a parser or cursor code ("xmlpimpl: unknown error" for others).
const char* XmlErrorText(int code);

// Input encodings ("UseEncoding").
constexpr int kXmlEncodingNone = 0;
constexpr int kXmlEncodingUtf8 = 1;
constexpr int kXmlEncodingUtf16Le = 2;
constexpr int kXmlEncodingUtf16Be = 3;
constexpr int kXmlEncodingUtf32Le = 4;
constexpr int kXmlEncodingUtf32Be = 5;

// What the parser reports. Every operation returns 0 to go on; any other value stops the parse
// and becomes the parser's result. Texts are never null.
class XmlParserCallbacks {
 public:
  virtual ~XmlParserCallbacks() = default;
  virtual int Characters(const char* text) = 0;
  virtual int Comment(const char* text) = 0;
  // empty: 1 for the end of an empty-element tag ("<a/>").
  virtual int EndElement(const char* uri, const char* local, const char* qname, int empty) = 0;
  virtual int EndPrefixMapping(const char* prefix) = 0;
  virtual int Error(int code, const char* text) = 0;
  // value holds the text the reference stands for so far; a different value replaces it.
  virtual int EvalEntity(const char* name, ByteString& value) = 0;
  virtual int IgnorableWhitespace(const char* text) = 0;
  virtual int Declaration(const char* text) = 0;
  virtual int ProcessingInstruction(const char* text) = 0;
  virtual int MarkedSection(const char* keyword, const char* content) = 0;
  virtual int StartElement(const char* uri, const char* local, const char* qname, int empty) = 0;
  virtual int StartPrefixMapping(const char* prefix, const char* uri) = 0;
};


class XmlParser : public ComponentBase {
 public:
  // One more open element fails with 200 and kDepthLimitText.
  static constexpr int kMaxDepth = 256;
  static const char kDepthLimitText[];
  static constexpr int kMaxScopes = 256;

  XmlParser();
  ~XmlParser() override;

  int Config(ConfigRequest& request, const char** answer) override;

  // Appends a NUL-terminated text and parses it (306 in the UTF-16 encodings).
  int Input(const char* text);
  // Appends length bytes in the input encoding and parses them.
  int InputBytes(const void* data, int length);
  // Input, with the parser's error text copied to the component on failure.
  int ParseAll(const char* text);
  // Ends the document. With require_markup, a DOM with no element at all fails with 210.
  int Flush(bool require_markup);
  int ParseFile(const char* path);
  // Clears every parse state and the DOM; keeps the settings.
  void Reset();
  void SyncCharset(bool reset);

  // Markup of the current DOM element as it stands in the input, tags included / inner only;
  // 214 without KeepOriginalText. The answer is valid until the next call.
  int SubTreeText(const char** text);
  int ContentsText(const char** text);

  // Callbacks: null restores the parser's own, which fire events 1 to 12 of the EventSink.
  void SetCallbacks(XmlParserCallbacks* callbacks);

  XmlElementCursor& cursor() { return cursor_; }
  const XmlElementCursor& cursor() const { return cursor_; }
  const XmlDom& dom() const { return dom_; }

  // The parser's own error text of the last failure and the code for it.
  const ByteString& parse_error() const { return parse_error_; }
  int SetParseError(int code, const char* text);
  // Copies the parser's error text into the component's error text.
  void CopyParseError();

  // State the cursor reads while parsing.
  bool in_start_tag() const { return in_start_tag_; }
  int pending_attribute_count() const { return static_cast<int>(attributes_.Count()); }
  const char* PendingAttributeName(int i) const;
  const char* PendingAttributeValue(int i) const;
  // DOM offset of the innermost element whose end has not been read, 0 when none.
  uint32_t LastUnclosed() const;
  // Absolute input position of the next byte to parse.
  int64_t offset() const { return base_ + pos_; }
  bool IsNameStart(uint8_t c) const { return name_start_table_[c] != 0; }
  bool IsNameChar(uint8_t c) const { return name_table_[c] != 0; }

  // Flags (settings of the parser and of the document).
  bool strict() const { return strict_; }
  void set_strict(bool on) { strict_ = on; }
  bool build_dom() const { return build_dom_; }
  void set_build_dom(bool on) { build_dom_ = on; }
  bool ignore_bad_attribute_prefixes() const { return ignore_bad_attribute_prefixes_; }
  void set_ignore_bad_attribute_prefixes(bool on) { ignore_bad_attribute_prefixes_ = on; }
  bool ignore_bad_element_prefixes() const { return ignore_bad_element_prefixes_; }
  void set_ignore_bad_element_prefixes(bool on) { ignore_bad_element_prefixes_ = on; }
  bool include_unknown_prefixes() const { return include_unknown_prefixes_; }
  void set_include_unknown_prefixes(bool on) { include_unknown_prefixes_ = on; }
  bool allow_more_than_one_root() const { return allow_more_than_one_root_; }
  void set_allow_more_than_one_root(bool on) { allow_more_than_one_root_ = on; }
  bool allow_text_outside_root() const { return allow_text_outside_root_; }
  void set_allow_text_outside_root(bool on) { allow_text_outside_root_ = on; }
  bool keep_original_text() const { return keep_original_text_; }
  void set_keep_original_text(bool on) { keep_original_text_ = on; }
  bool flush_on_eol() const { return flush_on_eol_; }
  void set_flush_on_eol(bool on) { flush_on_eol_ = on; }
  bool html_comments() const { return html_comments_; }
  void set_html_comments(bool on) { html_comments_ = on; }
  bool validate_less_than_sign() const { return validate_less_than_sign_; }
  void set_validate_less_than_sign(bool on) { validate_less_than_sign_ = on; }
  bool preserve_whitespace() const { return preserve_whitespace_; }
  void set_preserve_whitespace(bool on) { preserve_whitespace_ = on; }
  bool disable_eval_entity() const { return disable_eval_entity_; }
  void set_disable_eval_entity(bool on) { disable_eval_entity_ = on; }
  bool include_element_prefix() const { return include_element_prefix_; }
  void set_include_element_prefix(bool on) { include_element_prefix_ = on; }
  bool resolve_references() const { return resolve_references_; }
  void set_resolve_references(bool on) { resolve_references_ = on; }
  bool error_on_empty_attribute() const { return error_on_empty_attribute_; }
  void set_error_on_empty_attribute(bool on) { error_on_empty_attribute_ = on; }
  bool double_byte() const { return double_byte_; }
  void set_double_byte(bool on) { double_byte_ = on; }
  bool allow_leading_digit() const { return allow_leading_digit_; }
  void SetAllowLeadingDigit(bool on);
  int SetExtraSpaceChars(const char* text);
  int SetExtraNameChars(const char* text);
  const ShortString& extra_space_chars() const { return extra_space_chars_; }
  const ShortString& extra_name_chars() const { return extra_name_chars_; }
  int parser_code_page() const { return parser_code_page_; }
  void set_parser_code_page(int code_page) { parser_code_page_ = code_page; }
  // "UseEncoding": the names of the table, or anything else for plain bytes with detection of a
  // byte order mark at the start of the document.
  void SetUseEncoding(const char* name);
  int encoding() const { return encoding_; }

 private:
  // The parser's own callbacks: each fires the component's event of the same rank.
  class EventCallbacks : public XmlParserCallbacks {
   public:
    explicit EventCallbacks(XmlParser* owner) : owner_(owner) {}
    int Characters(const char* text) override;
    int Comment(const char* text) override;
    int EndElement(const char* uri, const char* local, const char* qname, int empty) override;
    int EndPrefixMapping(const char* prefix) override;
    int Error(int code, const char* text) override;
    int EvalEntity(const char* name, ByteString& value) override;
    int IgnorableWhitespace(const char* text) override;
    int Declaration(const char* text) override;
    int ProcessingInstruction(const char* text) override;
    int MarkedSection(const char* keyword, const char* content) override;
    int StartElement(const char* uri, const char* local, const char* qname, int empty) override;
    int StartPrefixMapping(const char* prefix, const char* uri) override;

   private:
    XmlParser* owner_;
  };
  // One element whose end has not been read yet.
  struct OpenElement {
    ByteString qname;
    int local_offset = 0;  // the local name is the end of the qualified name
    ByteString uri;
    ByteString text;   // character data (DOM) when it is not kept in the DOM as it comes
    uint32_t dom_text = 0;  // or its DOM text so far (0 for none) and that text's length
    int dom_text_length = 0;
    ByteString space;  // ignorable whitespace (DOM with PreserveWhitespace)
    uint32_t dom = 0;
    bool had_text = false;
    // The name tables' version under which the qualified name stands in the input as it is, all
    // name bytes (0 for never): its end tag can then be matched in place.
    uint32_t plain_tables = 0;
  };
  enum FlushMode { kFlushPlain, kFlushBeforeMarkup, kFlushLineEnd };

  int Fail(int code, const char* text);
  int FailCode(int code) { return Fail(code, XmlErrorText(code)); }
  void BuildTables();
  void ClearState();

  // Input conversion.
  int Append(const uint8_t* data, int n);
  int AppendConverted(const uint8_t* data, int n);
  int AppendCodePoint(uint32_t cp, ByteString& out);
  void DropConsumed();
  int KeepFrom() const;
  int FinishInput();
  int ApplyDeclaredEncoding(const char* text, int n);

  // Tokenizer.
  int Run();
  template <int kState>
  int Then();
  int StepText();
  int StepAfterLt(uint8_t c);
  int StepMarkupName(uint8_t c);
  int StepInTag(uint8_t c);
  int StepAttributeName(uint8_t c);
  int StepAfterAttributeName(uint8_t c);
  int StepAfterEquals(uint8_t c);
  int StepUnquoted(uint8_t c);
  int StepQuoted(uint8_t quote, int ref_state);
  int StepAfterTag();
  int StepEndTag(uint8_t c);
  int StepReference(uint8_t c);
  int EndReference(bool semicolon);
  int ResolveReference(const char* name, int n, bool semicolon, ByteString& out);
  int StepBang(uint8_t c);
  int StepComment(uint8_t c);
  int StepDeclaration(uint8_t c);
  int StepSection(uint8_t c);
  int StepProcessingInstruction(uint8_t c);
  int BadAttributeNameChar(uint8_t c);
  int NameCharLength(int p, bool start) {
    if ((start ? name_start_table_ : name_table_)[buffer_.bytes()[p]]) return 1;
    return ConvertedNameCharLength(p);
  }
  int ConvertedNameCharLength(int p);
  int TakeName(ByteString& name, int from, int to);
  int SkipNameBytes(int p) const;
  // Input text with the characters the input conversion wrote as "&#N;" back in the code page.
  int TakeConverted(ByteString& out, const char* p, int n);
  int AppendCodePageChar(uint32_t cp, ByteString& out);

  // Reports.
  int FlushText(int end, FlushMode mode);
  int EmitCharacters(const char* p, int n);
  int EmitWhitespace(const char* p, int n);
  int AddElementText(OpenElement* top, const char* p, int n, const char** piece);
  int AddAttribute();
  int CompleteStartTag(bool empty);
  int EndTag(const char* name, int n, int64_t end_lt, int64_t end_gt);
  int EndOneElement(bool empty, int64_t end_lt, int64_t end_gt);
  const XmlNamespaceRecord* FindPrefix(const char* prefix, int n) const;
  int DomNamespace(const char* prefix, int n, const char* uri, uint32_t* record);
  int DomStartElement(const char* local, int local_len, const char* prefix, int plen,
                      bool unknown_prefix, bool empty, uint32_t* element);
  int DomEndElement(OpenElement& element, int64_t end_lt, int64_t end_gt);
  const char* Temp(const char* p, int n);

  // The callback member.
  EventCallbacks event_callbacks_{this};
  XmlParserCallbacks* callbacks_;
  // Answer buffers of "XSubTree" and "XContents".
  ByteString subtree_answer_;
  ByteString contents_answer_;
  bool error_on_empty_attribute_ = false;

  // Input buffer and marks (indexes into buffer_; base_ bytes were dropped before it).
  ByteString buffer_;
  int pos_ = 0;
  int64_t base_ = 0;
  int text_start_ = 0;
  int lt_ = 0;
  int name_start_ = 0;
  int value_start_ = 0;
  int ref_start_ = 0;
  int ws_start_ = 0;
  int section_start_ = 0;
  int state_ = 0;
  int value_state_ = 0;  // the value state a reference in a value returns to
  bool end_name_done_ = false;
  bool in_start_tag_ = false;
  bool in_script_ = false;
  bool waiting_ = false;  // a step needs more input before it can decide
  bool at_end_ = false;   // Flush: no more input will come
  int failed_ = 0;

  ByteString value_;         // attribute value being read
  ByteString current_name_;  // attribute name being read
  ByteString element_name_;  // qualified name of the start tag being read
  ByteString keyword_;       // keyword of a marked section
  ByteString temp_;          // NUL-terminated copies handed to callbacks
  ByteString reference_;     // the text a reference stands for
  ByteString parse_error_;

  uint8_t space_table_[256];
  uint8_t name_table_[256];
  uint8_t name_start_table_[256];
  uint8_t text_stop_[256];  // bytes the text state must look at
  uint32_t tables_version_ = 0;  // counts the builds of the tables
  bool plain_end_tags_ = true;
  bool element_name_plain_ = false;  // element_name_ is its input bytes as they stand
  ShortString extra_space_chars_;
  ShortString extra_name_chars_;

  PtrArray<OpenElement> open_;
  int depth_ = 0;
  XmlNamespaceArray scopes_;
  int scope_count_ = 0;
  PairTable256 attributes_;

  // Input encoding and its partial character.
  int encoding_ = kXmlEncodingNone;      // in effect for the input that follows
  int use_encoding_ = kXmlEncodingNone;  // the "UseEncoding" setting
  bool auto_encoding_ = true;
  bool detected_ = false;
  uint8_t held_[4] = {};
  int held_count_ = 0;
  uint32_t partial_ = 0;
  int partial_need_ = 0;
  uint32_t partial_min_ = 0;
  uint32_t high_surrogate_ = 0;

  bool strict_ = true;
  bool build_dom_ = false;
  bool ignore_bad_attribute_prefixes_ = true;
  bool ignore_bad_element_prefixes_ = true;
  bool allow_more_than_one_root_ = true;
  bool allow_text_outside_root_ = true;
  bool include_unknown_prefixes_ = false;
  bool keep_original_text_ = true;
  bool flush_on_eol_ = true;
  bool html_comments_ = false;
  bool validate_less_than_sign_ = true;
  bool preserve_whitespace_ = false;
  bool disable_eval_entity_ = false;
  bool include_element_prefix_ = true;
  bool resolve_references_ = false;
  bool double_byte_ = false;
  bool allow_leading_digit_ = false;
  int parser_code_page_ = 0;

  XmlDom dom_;
  XmlElementCursor cursor_;
};

}  // namespace tw
