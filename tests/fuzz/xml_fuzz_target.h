// One fuzz input through the XML parser, the path evaluator and the writer.
//
// Input: a settings byte, a chunk-size byte, then the document; after a line "@@" the rest are
// paths, one a line. Each path is selected and everything about the element it reaches is
// read; each path is also written as an element name and as text, and what the writer accepts
// must parse back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/xml_document.h"
#include "formats/xml_writer.h"

namespace xmlfuzz {

inline void ReadElement(tw::XmlDocumentComponent& doc) {
  volatile size_t sink = 0;
  tw::ByteString q;
  doc.QualifiedName(q);
  sink = sink + std::strlen(doc.Text()) + std::strlen(doc.LocalName()) +
         std::strlen(doc.NamespaceUri()) + std::strlen(doc.Prefix()) +
         static_cast<size_t>(doc.ChildCount() + 1);
  for (int i = -1; i <= doc.AttributeCount(); ++i) {
    sink = sink + std::strlen(doc.AttributeName(i)) + std::strlen(doc.AttributeValue(i));
  }
  const char* text = "";
  if (doc.SubTree(&text) == 0) sink = sink + std::strlen(text);
  if (doc.Contents(&text) == 0) sink = sink + std::strlen(text);
  const char* value = "";
  doc.GetAttribute("id", &value);
  (void)sink;
}

inline int FuzzOne(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  const uint8_t flags = data[0];
  const size_t piece = data[1] == 0 ? 0 : data[1];
  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string text = rest;
  std::vector<std::string> paths;
  const size_t sep = rest.find("\n@@\n");
  if (sep != std::string::npos) {
    text = rest.substr(0, sep);
    std::string list = rest.substr(sep + 4);
    size_t start = 0;
    while (start <= list.size() && paths.size() < 64) {
      size_t end = list.find('\n', start);
      if (end == std::string::npos) end = list.size();
      paths.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }

  tw::XmlDocumentComponent doc;
  doc.Initialize();
  doc.ConfigText("StringProcessingOptions=1", nullptr);
  doc.parser().set_strict((flags & 1) == 0);
  if (flags & 2) doc.ConfigText("UseEncoding=UTF-8", nullptr);
  if (flags & 128) doc.ConfigText("UseEncoding=UTF-16LE", nullptr);
  if (flags & 4) doc.ConfigText("KeepOriginalText=False", nullptr);
  if (flags & 8) doc.ConfigText("PreserveWhitespace=True", nullptr);
  if (flags & 16) doc.ConfigText("HTMLComments=True", nullptr);
  if (flags & 32) doc.ConfigText("AllowMoreThanOneRoot=False", nullptr);
  if (flags & 64) doc.ConfigText("ValidateLessThanSign=False", nullptr);

  int rc = 0;
  if (piece == 0) {
    doc.SetInputText(text.data(), static_cast<int>(text.size()));
    rc = doc.Parse();
  } else {
    for (size_t i = 0; i < text.size() && rc == 0; i += piece) {
      const size_t n = text.size() - i < piece ? text.size() - i : piece;
      rc = doc.ParseChunk(text.data() + i, static_cast<int>(n));
      // Paths may be walked while the document is still being read.
      if (rc == 0 && !paths.empty() && doc.TrySelect(paths[i % paths.size()].c_str())) {
        ReadElement(doc);
      }
    }
    if (rc == 0) rc = doc.FinishParse();
  }
  for (const std::string& p : paths) {
    if (doc.TrySelect(p.c_str())) ReadElement(doc);
    doc.SelectPath(p.c_str());
    ReadElement(doc);
  }
  if (rc == 0 && doc.TrySelect("/")) {
    for (int i = 1; i <= doc.ChildCount() && i < 64; ++i) {
      if (doc.SelectChild(i) == 0) {
        ReadElement(doc);
        doc.SelectParent();
      }
    }
  }

  // Whatever the writer accepts must read back: the name, the namespace and the text.
  tw::XmlDocumentComponent writer;
  writer.Initialize();
  for (const std::string& p : paths) {
    const std::string text = p.c_str();  // up to a NUL, as the writer sees it
    std::string name = text;
    writer.Reset();
    if (writer.WriteElement(name.c_str(), "urn:fuzz", text.c_str()) != 0) {
      writer.Reset();
      name = "t";
      if (writer.WriteElement("t", "urn:fuzz", text.c_str()) != 0) __builtin_trap();
    }
    if (writer.EndWriting() != 0) __builtin_trap();
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    if (!ascii) continue;
    tw::XmlDocumentComponent back;
    back.Initialize();
    const tw::ByteString& out = writer.output_text();
    back.SetInputText(out.data(), out.length());
    if (back.Parse() != 0) __builtin_trap();
    const size_t colon = name.find(':');
    const std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
    if (local != back.LocalName()) __builtin_trap();
    // The "xml" prefix is bound for good; the writer cannot rebind it.
    const bool reserved = colon != std::string::npos && name.compare(0, 3, "xml") == 0;
    if (!reserved && std::strcmp(back.NamespaceUri(), "urn:fuzz") != 0) __builtin_trap();
    // The reader drops the whitespace around the text, nothing else.
    std::string want = text;
    while (!want.empty() && std::strchr(" \t\n\f\r", want.back())) want.pop_back();
    const size_t lead = want.find_first_not_of(" \t\n\f\r");
    want = lead == std::string::npos ? "" : want.substr(lead);
    if (want != back.Text()) __builtin_trap();
  }
  return 0;
}

}  // namespace xmlfuzz
