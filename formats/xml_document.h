// The XML read/write component: a parser that builds a DOM, a cursor moved by paths, attribute
// and text lookup, and a writer for XML text.
//
// Events (EventSink slots), one per parser callback, with these arguments:
//   1 Characters(text)  2 Comment(text)  3 EndElement(uri, local, qname, empty)
//   4 EndPrefixMapping(prefix)  5 Error(code, text)  6 EvalEntity(name, ByteString* value: the
//   sink may change the value)  7 IgnorableWhitespace(text)  8 Declaration(text)
//   9 ProcessingInstruction(text)  10 MarkedSection(keyword, content)
//   11 StartElement(uri, local, qname, empty)  12 StartPrefixMapping(prefix, uri)  13 Log(text)
#pragma once

#include <cstdint>

#include "formats/xml_parser.h"
#include "formats/xml_path.h"
#include "formats/xml_writer.h"
#include "foundation/byte_string.h"
#include "foundation/caller_stream.h"
#include "foundation/component_base.h"

namespace tw {

constexpr int kXmlErrOutputExists = 304;

// The XML declaration a document writes.
struct XmlDeclarationRecord {
  ByteString version;
  ByteString encoding;
  int32_t standalone = 1;
};

class XmlDocumentComponent : public ComponentBase {
 public:
  XmlDocumentComponent();
  ~XmlDocumentComponent() override;

  int Config(ConfigRequest& request, const char** answer) override;

  // The parser callbacks, in rank order; each fires the event of the same rank.
  virtual int Characters(const char* text);
  virtual int Comment(const char* text);
  virtual int EndElement(const char* uri, const char* local, const char* qname, int empty);
  virtual int EndPrefixMapping(const char* prefix);
  virtual int Error(int code, const char* text);
  virtual int EvalEntity(const char* name, ByteString& value);
  virtual int IgnorableWhitespace(const char* text);
  virtual int Declaration(const char* text);
  virtual int ProcessingInstruction(const char* text);
  virtual int MarkedSection(const char* keyword, const char* content);
  virtual int StartElement(const char* uri, const char* local, const char* qname, int empty);
  virtual int StartPrefixMapping(const char* prefix, const char* uri);

  // Run once after construction: true on success.
  bool Initialize();
  // Empties the document, the writer and the texts; restores the declaration and the flags.
  int Reset();

  // ---- Reading ----
  int SetInputText(const char* text, int n);  // n < 0: NUL-terminated
  const ByteString& input_text() const { return input_text_; }
  int SetInputFile(const char* path) { return input_file_.SetText(path); }
  void SetInputStream(CallerStream* stream) { input_stream_ = stream; }
  // Parses the input file, else the input stream, else the input text, into a new DOM.
  int Parse();
  // Incremental parse: the first chunk starts a new DOM; FinishParse ends the document.
  int ParseChunk(const void* data, int n);
  int FinishParse();

  // ---- The cursor (failures leave the parser's text as the component's error) ----
  int SelectPath(const char* path);
  bool TrySelect(const char* path);
  int SelectChild(int n);
  int SelectParent();
  int ChildCount() const { return parser_.cursor().ChildCount(); }
  const char* Text() const { return parser_.cursor().Text(); }
  int QualifiedName(ByteString& out) const { return parser_.cursor().QualifiedName(out); }
  const char* LocalName() const { return parser_.cursor().LocalName(); }
  const char* NamespaceUri() const { return parser_.cursor().NamespaceUri(); }
  const char* Prefix() const { return parser_.cursor().Prefix(); }
  const ByteString& path_text() const { return parser_.cursor().path_text(); }
  int AttributeCount() const { return parser_.cursor().AttributeCount(); }
  const char* AttributeName(int i) const { return parser_.cursor().AttributeName(i); }
  const char* AttributeValue(int i) const { return parser_.cursor().AttributeValue(i); }
  const char* FindAttribute(const char* name) const {
    return parser_.cursor().FindAttribute(name);
  }
  int GetAttribute(const char* name, const char** value);
  // The current element's markup with / without its tags ("XSubTree" / "XContents").
  int SubTree(const char** text);
  int Contents(const char** text);

  // ---- Writing ----
  int BeginWriting();
  int EndWriting();
  int WriteStartElement(const char* qname, const char* uri);
  int WriteEndElement();
  int WriteElement(const char* qname, const char* uri, const char* text);
  // The text written so far (the writer's output text).
  const ByteString& output() const { return writer_.output(); }
  // The output as it stood when writing last ended.
  const ByteString& output_text() const { return output_text_; }
  int SetOutputFile(const char* path) { return output_file_.SetText(path); }
  void SetOutputStream(CallerStream* stream) { output_stream_ = stream; }
  void set_overwrite(bool on) { overwrite_ = on; }
  bool writing_started() const { return writing_started_; }

  XmlParser& parser() { return parser_; }
  const XmlParser& parser() const { return parser_; }
  XmlWriter& writer() { return writer_; }
  XmlDeclarationRecord& declaration() { return declaration_; }

 protected:
  int FireLog(int level, const char* text, const char* type) override;

 private:
  // Hands each parser callback to the owner's virtual operation of the same rank.
  class Forwarder : public XmlParserCallbacks {
   public:
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
    XmlDocumentComponent* owner = nullptr;
  };

  int StartParse();
  int ParseFailed(int rc);
  int CursorFailed(int rc);
  int WriterFailed(int rc);
  int SetDeclarationDefaults();

  Forwarder forwarder_;
  XmlParser parser_;
  XmlWriter writer_;
  XmlDeclarationRecord declaration_;
  ByteString input_text_;
  ByteString output_text_;
  ByteString input_file_;
  ByteString output_file_;
  bool include_declaration_ = true;
  bool close_input_stream_ = true;
  bool close_output_stream_ = true;
  bool overwrite_ = false;
  bool writing_started_ = false;
  bool parsing_ = false;
  int string_processing_options_ = 0;
  CallerStream* input_stream_ = nullptr;
  CallerStream* output_stream_ = nullptr;
};

}  // namespace tw
