// The layer of the chain for services that answer in XML: a writer document that builds request
// bodies, a reader document that parses response bodies and stays on the last answer (so that the
// operations, and the caller through the X* settings, can walk it), and the service's XML error
// bodies turned into error texts.
#pragma once

#include <cstdint>

#include "blob/rest_client.h"
#include "formats/xml_document.h"
#include "foundation/byte_string.h"

namespace tw {

// Cursor codes the child accessors leave in the reader.
constexpr int kXmlErrBadElementIndex = 105;  // "Invalid element index."
constexpr int kXmlErrNoElements = 106;       // "No elements available."

class XmlRestClient : public RestClient {
 public:
  XmlRestClient();
  ~XmlRestClient() override;

  // ---- Overrides of the chain ----
  // XPath, XChildCount, XChildName[i], XChildXText[i], XElement, XParent, XSubTree, XText; other
  // names go to RestClient.
  int Config(ConfigRequest& request, const char** answer) override;
  // Resets the reader; an empty body leaves it empty. A parse failure returns the reader's code
  // with its text as the client's last error.
  int ParseResponseBody(const char* body, int length) override;
  // The service's error body: "Server Error [code]" with ": message", " (Reason: r)",
  // " (HeaderName: h)" and " (QueryParameterName: q)" when present; a body that does not parse
  // or has no /Error/Code becomes the text itself. 603 when the text contains
  // "AuthenticationFailed", else 600.
  int ErrorFromBody(const char* body, int length) override;
  // The base-event hook left empty for BlobClient.
  int FireProgress(int direction, int64_t done, int64_t total, int percent) override { return 0; }

  // ---- Set-up and reset ----
  // Run once (by BlobClient::Initialize) for both documents: defaults, declaration, reset. 0 or
  // the code of the failing step.
  int InitializeDocuments();
  // The RestClient reset, the writer and reader resets, the scratch path emptied.
  int Reset();
  int ResetWriter();
  int ResetReader();

  // ---- Writer (request bodies) ----
  // The first use starts the writer: memory output and the XML declaration.
  int WriteStartElement(const char* name);
  int WriteEndElement();
  int WriteElement(const char* name, const char* text);
  // Ends every open element and the output, marks the writer not started and copies the text.
  int FinishBody(ByteString& body);

  // ---- Reader (the last answer) ----
  // Select an absolute path; false (the reader stays where it was) when not found.
  bool SelectPath(const char* path);
  // path, "/[", i, "]" and suffix (may be null): i is a path index, 1 for the first item.
  bool SelectItem(const char* path, int i, const char* suffix);
  // relative under the current element's full path.
  bool SelectRelative(const char* relative);
  const char* ElementText() const { return reader_.Text(); }
  int32_t ElementInt32() const;
  int64_t ElementInt64() const;
  int ElementName(ByteString& out) const { return reader_.QualifiedName(out); }
  // 0 when the element is empty or there is none.
  int ChildCount() const;
  // True when the current element's text is "true" (any case).
  bool TextIsTrue() const;
  // The attribute of the element at path (null path: the current element) into out; true when
  // it is not empty. The reader's place is kept. A path that is not found answers false and
  // leaves out untouched; a missing attribute empties out.
  bool ReadAttribute(const char* path, const char* name, ByteString& out);
  // The text of the element at path into out; true when the path exists (out untouched
  // otherwise). The reader's place is kept.
  bool ReadText(const char* path, ByteString& out);
  // Name and text of child i (0-based) of the current element; empty with the reader's error
  // 106 "No elements available." or 105 "Invalid element index." when there is no such child.
  int ChildName(int i, ByteString& out);
  int ChildText(int i, ByteString& out);

  XmlDocumentComponent& reader() { return reader_; }
  XmlDocumentComponent& writer() { return writer_; }
  const ByteString& last_body() const { return body_text_; }

 protected:
  // Set-up and reset shared by both members.
  int InitializeMember(XmlDocumentComponent& member);
  int ResetMember(XmlDocumentComponent& member);
  // The writer's failure text copied to the writer component (when it has none) and the client.
  int WriterFailed(int rc);
  // Moves to child i and back; false with the reader's error when there is no such child.
  bool WithChild(int i, bool name, ByteString& out);

  ByteString path_scratch_;
  XmlDocumentComponent writer_;
  XmlDocumentComponent reader_;
  ByteString body_text_;
};

}  // namespace tw
