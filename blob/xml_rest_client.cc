#include "blob/xml_rest_client.h"

#include <cstdlib>
#include <cstring>

#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr char kTextNoElements[] = "No elements available.";
constexpr char kTextBadElementIndex[] = "Invalid element index.";
constexpr char kTextServerError[] = "Server Error [";
constexpr char kTextAuthenticationFailed[] = "AuthenticationFailed";
// An error text long enough for the service's own (its longest, with the string it signed, stays
// near 1 KB); a longer body is cut and marked, so a description never becomes a whole document.
constexpr int kMaxErrorDescription = 4096;
constexpr char kTextCutMark[] = "...";

// The reader's extra settings: references resolved also without a document, and the input taken
// as plain bytes ("ASCII" is no name of the parser's encodings).
constexpr const char* kReaderSettings[] = {"StringProcessingOptions=1", "UseEncoding=ASCII"};

// The optional parts of the service's error text after its code.
struct ErrorPart {
  const char* path;
  const char* before;
  const char* after;
};
constexpr ErrorPart kErrorParts[] = {
    {"/Error/Message", ": ", ""},
    {"/Error/Reason", " (Reason: ", ")"},
    {"/Error/HeaderName", " (HeaderName: ", ")"},
    {"/Error/QueryParameterName", " (QueryParameterName: ", ")"},
};

}  // namespace

XmlRestClient::XmlRestClient() { InitializeDocuments(); }

XmlRestClient::~XmlRestClient() = default;

// ---- Set-up and reset ----

int XmlRestClient::InitializeMember(XmlDocumentComponent& member) {
  if (!member.Initialize()) return member.error_code() != kOk ? member.error_code() : kErrOutOfMemory;
  return kOk;
}

int XmlRestClient::ResetMember(XmlDocumentComponent& member) {
  member.parser().set_charset_mode(member.charset_mode());
  const int rc = member.Reset();
  member.parser().set_keep_original_text(true);
  return rc;
}

int XmlRestClient::InitializeDocuments() {
  int rc = InitializeMember(writer_);
  if (rc == kOk) rc = InitializeMember(reader_);
  if (rc == kOk) rc = ResetWriter();
  if (rc == kOk) rc = ResetReader();
  return rc;
}

int XmlRestClient::ResetWriter() { return ResetMember(writer_); }

int XmlRestClient::ResetReader() {
  int rc = ResetMember(reader_);
  for (const char* setting : kReaderSettings) {
    if (rc != kOk) break;
    const char* ignored = nullptr;
    rc = reader_.ConfigText(setting, &ignored);
  }
  return rc;
}

int XmlRestClient::Reset() {
  int rc = RestClient::Reset();
  const int writer_rc = ResetWriter();
  const int reader_rc = ResetReader();
  path_scratch_.Reset();
  body_text_.Reset();
  if (rc == kOk) rc = writer_rc;
  if (rc == kOk) rc = reader_rc;
  return rc;
}

// ---- Response bodies ----

int XmlRestClient::ParseResponseBody(const char* body, int length) {
  int rc = ResetReader();
  if (rc != kOk) return rc;
  if (body == nullptr || length <= 0) {
    body_text_.Reset();
    return kOk;
  }
  rc = body_text_.Set(body, length);
  if (rc != kOk) return rc;
  ByteString code_page;
  rc = code_page.Format("CodePage=%d", GetCodePage());
  const char* ignored = nullptr;
  if (rc == kOk) rc = reader_.ConfigText(code_page.c_str(), &ignored);
  if (rc == kOk) rc = reader_.SetInputText(body_text_.data(), body_text_.length());
  if (rc == kOk) rc = reader_.Parse();
  if (rc != kOk) {
    SetErrorTextCode(rc, reader_.error_text().c_str());
    return rc;
  }
  return kOk;
}

int XmlRestClient::ErrorFromBody(const char* body, int length) {
  ByteString text;
  int rc = kOk;
  if (ParseResponseBody(body, length) == kOk && body_text_.length() > 0 &&
      reader_.TrySelect("/Error/Code")) {
    rc = text.SetText(kTextServerError);
    if (rc == kOk) rc = text.AppendText(reader_.Text());
    if (rc == kOk) rc = text.AppendByte(']');
    ByteString part;
    for (const ErrorPart& e : kErrorParts) {
      if (rc != kOk) break;
      if (!ReadText(e.path, part)) continue;
      rc = text.AppendText(e.before);
      if (rc == kOk) rc = text.AppendString(part);
      if (rc == kOk) rc = text.AppendText(e.after);
    }
  } else {
    rc = text.Set(body, body != nullptr && length > 0 ? length : 0);
  }
  if (rc != kOk) return rc;
  const int result = text.Contains(kTextAuthenticationFailed) ? kErrServerAuth : kErrServerError;
  if (text.length() > kMaxErrorDescription) {
    int cut = kMaxErrorDescription;
    // Not inside a UTF-8 sequence.
    while (cut > 0 && (text.ByteAt(cut) & 0xC0) == 0x80) --cut;
    rc = text.Resize(cut);
    if (rc == kOk) rc = text.AppendText(kTextCutMark);
    if (rc != kOk) return rc;
  }
  SetErrorTextCode(result, text.c_str());
  return result;
}

// ---- Settings ----

int XmlRestClient::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  if (request.NameIs("XPath")) {
    if (read) return SetConfigAnswer(reader_.path_text().c_str(), answer);
    if (request.value().empty()) return kOk;
    const int rc = reader_.SelectPath(request.value().c_str());
    if (rc != kOk) SetErrorTextCode(rc, reader_.error_text().c_str());
    return rc;
  }
  static constexpr const char* kReadOnly[] = {"XChildCount", "XChildName", "XChildXText",
                                              "XElement",    "XParent",    "XSubTree",
                                              "XText"};
  bool known = false;
  for (const char* name : kReadOnly) known = known || request.NameIs(name);
  if (!known) return RestClient::Config(request, answer);
  if (!read) return kOk;

  if (request.NameIs("XChildCount")) return SetConfigAnswerSigned(ChildCount(), answer);
  if (request.NameIs("XText")) return SetConfigAnswer(reader_.Text(), answer);
  if (request.NameIs("XChildName") || request.NameIs("XChildXText")) {
    ByteString value;
    const int i = request.index();
    if (request.NameIs("XChildName")) {
      ChildName(i, value);
    } else {
      ChildText(i, value);
    }
    return SetConfigAnswer(value.c_str(), answer);
  }
  if (request.NameIs("XElement")) {
    ByteString name;
    const int rc = reader_.QualifiedName(name);
    return rc != kOk ? rc : SetConfigAnswer(name.c_str(), answer);
  }
  if (request.NameIs("XParent")) {
    ByteString saved;
    ByteString name;
    int rc = saved.Assign(reader_.path_text());
    if (rc != kOk) return rc;
    if (reader_.parser().cursor().SelectParent() == kOk) {
      rc = reader_.QualifiedName(name);
      reader_.TrySelect(saved.c_str());
      if (rc != kOk) return rc;
    }
    return SetConfigAnswer(name.c_str(), answer);
  }
  // XSubTree
  const char* text = "";
  const int rc = reader_.SubTree(&text);
  if (rc != kOk) {
    SetErrorTextCode(rc, reader_.error_text().c_str());
    return rc;
  }
  return SetConfigAnswer(text, answer);
}

// ---- Writer ----

int XmlRestClient::WriterFailed(int rc) {
  if (writer_.error_text().empty()) writer_.SetErrorText(writer_.writer().error_text().c_str());
  SetErrorTextCode(rc, writer_.error_text().c_str());
  return rc;
}

int XmlRestClient::WriteStartElement(const char* name) {
  const int rc = writer_.WriteStartElement(name, nullptr);
  return rc != kOk ? WriterFailed(rc) : kOk;
}

int XmlRestClient::WriteEndElement() {
  const int rc = writer_.WriteEndElement();
  return rc != kOk ? WriterFailed(rc) : kOk;
}

int XmlRestClient::WriteElement(const char* name, const char* text) {
  const int rc = writer_.WriteElement(name, nullptr, text != nullptr ? text : "");
  return rc != kOk ? WriterFailed(rc) : kOk;
}

int XmlRestClient::FinishBody(ByteString& body) {
  const int rc = writer_.EndWriting();
  if (rc != kOk) return WriterFailed(rc);
  return body.Assign(writer_.output_text());
}

// ---- Reader ----

bool XmlRestClient::SelectPath(const char* path) {
  return path != nullptr && *path != '\0' && reader_.TrySelect(path);
}

bool XmlRestClient::SelectItem(const char* path, int i, const char* suffix) {
  ByteString& p = path_scratch_;
  int rc = p.SetText(path != nullptr ? path : "");
  if (rc == kOk) rc = p.AppendText("/[");
  if (rc == kOk) rc = p.AppendInt(i);
  if (rc == kOk) rc = p.AppendByte(']');
  if (rc == kOk && suffix != nullptr) rc = p.AppendText(suffix);
  return rc == kOk && reader_.TrySelect(p.c_str());
}

bool XmlRestClient::SelectRelative(const char* relative) {
  ByteString& p = path_scratch_;
  int rc = p.Assign(reader_.path_text());
  if (rc == kOk && !p.EndsWith("/")) rc = p.AppendByte('/');
  if (rc == kOk) rc = p.AppendText(relative != nullptr ? relative : "");
  return rc == kOk && reader_.TrySelect(p.c_str());
}

int32_t XmlRestClient::ElementInt32() const {
  return static_cast<int32_t>(std::strtol(reader_.Text(), nullptr, 10));
}

int64_t XmlRestClient::ElementInt64() const {
  return static_cast<int64_t>(std::strtoll(reader_.Text(), nullptr, 10));
}

int XmlRestClient::ChildCount() const {
  const int n = reader_.ChildCount();
  return n > 0 ? n : 0;
}

bool XmlRestClient::TextIsTrue() const { return EqualsNoCase(reader_.Text(), "true"); }

bool XmlRestClient::ReadAttribute(const char* path, const char* name, ByteString& out) {
  // The place is kept aside (not in the scratch text, which the path may be composed in).
  ByteString saved;
  if (saved.Assign(reader_.path_text()) != kOk) return false;
  if (path != nullptr && *path != '\0' && !reader_.TrySelect(path)) return false;
  const char* value = "";
  if (reader_.GetAttribute(name != nullptr ? name : "", &value) != kOk || value == nullptr) {
    value = "";
  }
  const int rc = out.SetText(value);
  if (path != nullptr && *path != '\0') reader_.TrySelect(saved.c_str());
  return rc == kOk && !out.empty();
}

bool XmlRestClient::ReadText(const char* path, ByteString& out) {
  ByteString saved;
  if (saved.Assign(reader_.path_text()) != kOk) return false;
  if (path == nullptr || *path == '\0' || !reader_.TrySelect(path)) return false;
  const int rc = out.SetText(reader_.Text());
  reader_.TrySelect(saved.c_str());
  return rc == kOk;
}

bool XmlRestClient::WithChild(int i, bool name, ByteString& out) {
  out.Reset();
  const int count = ChildCount();
  if (count == 0) {
    reader_.SetErrorTextCode(kXmlErrNoElements, kTextNoElements);
    return false;
  }
  if (i < 0 || i >= count) {
    reader_.SetErrorTextCode(kXmlErrBadElementIndex, kTextBadElementIndex);
    return false;
  }
  if (reader_.SelectChild(i + 1) != kOk) return false;
  const int rc = name ? reader_.QualifiedName(out) : out.SetText(reader_.Text());
  reader_.SelectParent();
  return rc == kOk;
}

int XmlRestClient::ChildName(int i, ByteString& out) {
  return WithChild(i, true, out) ? kOk : reader_.error_code();
}

int XmlRestClient::ChildText(int i, ByteString& out) {
  return WithChild(i, false, out) ? kOk : reader_.error_code();
}

}  // namespace tw
