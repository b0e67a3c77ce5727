#include "formats/xml_dom.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/xml_chars.h"
#include "formats/xml_parser.h"
#include "foundation/byte_string.h"
#include "platform/heap.h"

namespace tw {

using xml::EqualsText;
using xml::kXmlNamespace;
using xml::SameBytes;

void XmlDomBlock::Free() {
  if (data_ != nullptr) {
    if (ZeroMemoryEnabled()) WipeBytes(data_, size_);
    win::HeapFree(data_);
  }
  data_ = nullptr;
  size_ = reserved_;
  capacity_ = 0;
}

// A fresh block and one copy rather than reallocation: the C heap's reallocation copies a block of
// many MiB on each growth, or remaps it page by page when it was given huge pages.
int XmlDomBlock::Grow(int64_t n, uint32_t* at) {
  const int64_t need = int64_t{size_} + n;
  if (need >= INT32_MAX) return kErrOutOfMemory;
  const int64_t room =
      std::min<int64_t>(std::max({need, 2 * int64_t{capacity_}, hint_}), INT32_MAX - 1);
  auto* block = static_cast<uint8_t*>(win::HeapAlloc(static_cast<size_t>(room)));
  if (block == nullptr) return kErrOutOfMemory;
  if (data_ != nullptr) {
    std::memcpy(block, data_, size_);
    if (ZeroMemoryEnabled()) WipeBytes(data_, size_);
    win::HeapFree(data_);
  } else {
    std::memset(block, 0, reserved_);
  }
  data_ = block;
  capacity_ = static_cast<uint32_t>(room);
  *at = size_;
  size_ = static_cast<uint32_t>(need);
  return kOk;
}

void XmlDom::Clear() {
  nodes_.Free();
  texts_.Free();
  attributes_.Free();
  nodes_.set_hint(0);
  texts_.set_hint(0);
  attributes_.set_hint(0);
  for (NameSlot& slot : names_) slot = NameSlot();
  root_ = 0;
  root_count_ = 0;
}

const char* XmlDom::NamespaceUri(uint32_t ns) const {
  const char* prefix = Text(ns);
  return prefix + std::strlen(prefix) + 1;
}

void XmlDom::ExpectInput(int n) {
  // A listing's element records take about one and a half times its markup, its texts less than
  // the markup itself.
  nodes_.set_hint(std::max<int64_t>(nodes_.hint(), nodes_.size() + 3LL * n / 2));
  texts_.set_hint(std::max<int64_t>(texts_.hint(), texts_.size() + int64_t{n} * 3 / 4));
}

int XmlDom::AddText(const char* p, int n, uint32_t* offset) {
  int rc = texts_.Take(int64_t{n} + 1, offset);
  if (rc != kOk) return rc;
  char* q = reinterpret_cast<char*>(texts_.data()) + *offset;
  if (n > 0) std::memcpy(q, p, static_cast<size_t>(n));
  q[n] = 0;
  return kOk;
}

bool XmlDom::ExtendLastText(uint32_t* offset, int length, const char* p, int n, int* rc) {
  if (*offset == 0) {
    *rc = AddText(p, n, offset);
    return true;
  }
  if (*offset + static_cast<uint32_t>(length) + 1 != texts_.size()) return false;
  uint32_t at = 0;
  *rc = texts_.Take(n, &at);
  if (*rc != kOk) return true;
  char* q = reinterpret_cast<char*>(texts_.data()) + *offset + length;
  std::memcpy(q, p, static_cast<size_t>(n));
  q[n] = 0;
  return true;
}

int XmlDom::AddName(const char* p, int n, uint32_t* offset) {
  if (n <= 0) return AddText(p, n, offset);
  const auto* b = reinterpret_cast<const uint8_t*>(p);
  const unsigned hash = b[0] * 7u + b[n - 1] * 31u + b[n / 2] * 131u + static_cast<unsigned>(n);
  NameSlot& slot = names_[hash % kNameSlots];
  if (slot.length == n && SameBytes(Text(slot.offset), p, static_cast<size_t>(n))) {
    *offset = slot.offset;
    return kOk;
  }
  int rc = AddText(p, n, offset);
  if (rc == kOk) slot = {*offset, n};
  return rc;
}

int XmlDom::AddNamespace(const char* prefix, int n, const char* uri, int un, uint32_t* offset) {
  int rc = texts_.Take(int64_t{n} + un + 2, offset);
  if (rc != kOk) return rc;
  char* q = reinterpret_cast<char*>(texts_.data()) + *offset;
  if (n > 0) std::memcpy(q, prefix, static_cast<size_t>(n));
  q[n] = 0;
  if (un > 0) std::memcpy(q + n + 1, uri, static_cast<size_t>(un));
  q[n + 1 + un] = 0;
  return kOk;
}

int XmlDom::AddAttribute(const char* name, int n, const char* value, int vn, uint32_t ns) {
  XmlDomAttribute a{0, 0, ns};
  int rc = AddText(name, n, &a.name);
  if (rc == kOk) rc = AddText(value, vn, &a.value);
  uint32_t at = 0;
  if (rc == kOk) rc = attributes_.Take(sizeof a, &at);
  if (rc != kOk) return rc;
  std::memcpy(attributes_.data() + at, &a, sizeof a);
  return kOk;
}

int XmlDom::AddElement(const XmlDomNode& node, bool top_level, uint32_t* handle) {
  int rc = nodes_.Take(kNodeBytes, handle);
  if (rc != kOk) return rc;
  std::memcpy(nodes_.data() + *handle, &node, sizeof node);
  if (top_level) {
    if (root_ == 0) root_ = *handle;
    ++root_count_;
  }
  return kOk;
}


// ---- Records the parser adds ----

int XmlParser::DomNamespace(const char* prefix, int n, const char* uri, uint32_t* record) {
  int rc = dom_.AddNamespace(prefix, n, uri, static_cast<int>(std::strlen(uri)), record);
  return rc != kOk ? Fail(rc, XmlErrorText(kErrOutOfMemory)) : kOk;
}

int XmlParser::DomStartElement(const char* local, int local_len, const char* prefix, int plen,
                               bool unknown_prefix, bool empty, uint32_t* element) {
  const uint32_t start_gt = static_cast<uint32_t>(base_ + pos_ + 1);
  XmlDomNode node{};
  node.child_count = empty ? -1 : 0;
  node.parent = depth_ > 0 ? open_.At(depth_ - 1)->dom : 0;
  node.start_lt = static_cast<uint32_t>(base_ + lt_);
  node.start_gt = start_gt;
  if (empty) {
    node.end_gt = start_gt;
    node.end_lt = start_gt;
  }
  int rc = dom_.AddName(local, local_len, &node.name);
  if (rc != kOk) return Fail(rc, XmlErrorText(kErrOutOfMemory));

  // One namespace record for every declaration of this tag.
  for (int i = 0; i < scope_count_; ++i) {
    XmlNamespaceRecord* scope = scopes_.At(i);
    if (scope->depth != depth_ + 1) continue;
    rc = DomNamespace(scope->prefix.data(), scope->prefix.length(), scope->uri.c_str(),
                      &scope->dom_offset);
    if (rc != kOk) return rc;
  }
  uint32_t ns = 0;
  if (strict_) {
    if (EqualsText(prefix, plen, "xml")) {
      rc = DomNamespace("xml", 3, kXmlNamespace, &ns);
    } else if (unknown_prefix && !include_unknown_prefixes_) {
      // Keeps the prefix of the qualified name, with no namespace name.
      rc = DomNamespace(prefix, plen, "", &ns);
    } else if (const XmlNamespaceRecord* scope = FindPrefix(prefix, plen)) {
      ns = scope->dom_offset;
    }
    if (rc != kOk) return rc;
  }
  node.ns = ns;

  const int count = static_cast<int>(attributes_.Count());
  for (int i = 0; i < count; ++i) {
    const ByteString* name = attributes_.FirstAt(i);
    const ByteString* value = attributes_.SecondAt(i);
    const char* n = name->c_str();
    const char* colon = std::strchr(n, ':');
    uint32_t attribute_ns = 0;
    if (colon) {
      const int plen = static_cast<int>(colon - n);
      const XmlNamespaceRecord* scope = strict_ ? FindPrefix(n, plen) : nullptr;
      if (scope) attribute_ns = scope->dom_offset;
      const bool keep_whole = strict_ && !scope && !EqualsText(n, plen, "xml") &&
                              include_unknown_prefixes_;
      if (!keep_whole) n = colon + 1;
    }
    rc = dom_.AddAttribute(n, static_cast<int>(std::strlen(n)), value->data(), value->length(),
                           attribute_ns);
    if (rc != kOk) return Fail(rc, XmlErrorText(kErrOutOfMemory));
  }
  node.attribute_end = dom_.attribute_total();
  rc = dom_.AddElement(node, depth_ == 0, element);
  return rc != kOk ? Fail(rc, XmlErrorText(kErrOutOfMemory)) : kOk;
}

int XmlParser::DomEndElement(OpenElement& open, int64_t end_lt, int64_t end_gt) {
  const uint32_t element = open.dom;
  if (element == 0) return kOk;
  const int32_t children = dom_.Node(element).child_count;
  const ByteString* text = &open.text;
  if (open.dom_text == 0 && text->empty() && preserve_whitespace_ && !open.had_text &&
      children <= 0) {
    text = &open.space;
  }
  uint32_t text_record = open.dom_text;
  if (text_record == 0 && !text->empty()) {
    int rc = dom_.AddText(text->data(), text->length(), &text_record);
    if (rc != kOk) return Fail(rc, XmlErrorText(kErrOutOfMemory));
  }
  XmlDomNode& node = dom_.Node(element);
  node.text = text_record;
  node.next = dom_.size();
  if (children >= 0) {
    node.end_lt = static_cast<uint32_t>(end_lt);
    node.end_gt = static_cast<uint32_t>(end_gt);
  }
  if (node.parent) ++dom_.Node(node.parent).child_count;
  return kOk;
}

}  // namespace tw
