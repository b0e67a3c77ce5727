#include "formats/xml_path.h"

#include <cstring>

#include "formats/xml_parser.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

// Longest decimal number a path may carry (offsets and indexes are 32-bit).
constexpr int kMaxPathDigits = 10;

// Parses n decimal digits (n >= 1) into *value; false for other bytes or a value past INT32_MAX.
bool ParseDecimal(const char* p, int n, int64_t* value) {
  if (n < 1 || n > kMaxPathDigits) return false;
  int64_t v = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  if (v > INT32_MAX) return false;
  *value = v;
  return true;
}

bool IsLastCall(const char* p, int n) {
  return n >= 6 && (std::memcmp(p, "last()", 6) == 0 || std::memcmp(p, "Last()", 6) == 0 ||
                    std::memcmp(p, "LAST()", 6) == 0);
}

// The end of the step starting at p: the next "/" outside brackets and quotes.
const char* StepEnd(const char* p) {
  int depth = 0;
  char quote = 0;
  for (; *p; ++p) {
    if (quote) {
      if (*p == quote) quote = 0;
    } else if (*p == '\'' || *p == '"') {
      if (depth > 0) quote = *p;
    } else if (*p == '[') {
      ++depth;
    } else if (*p == ']') {
      if (depth > 0) --depth;
    } else if (*p == '/' && depth == 0) {
      break;
    }
  }
  return p;
}

}  // namespace

void XmlElementCursor::Reset() {
  current_ = 0;
  for (ChildCache& c : cache_) c = ChildCache();
  path_.Reset();
  const XmlDom& dom = parser_->dom();
  if (dom.HasRoot()) {
    path_.AppendByte('/');
    AppendQualifiedName(path_, dom.root());
  }
}

uint32_t XmlElementCursor::Element() const {
  const XmlDom& dom = parser_->dom();
  if (!dom.HasRoot()) return 0;
  return current_ ? current_ : dom.root();
}

uint32_t XmlElementCursor::Current() const { return Element(); }

int XmlElementCursor::Fail(int code) { return parser_->SetParseError(code, XmlErrorText(code)); }

int XmlElementCursor::ChildCount() const {
  const uint32_t e = Element();
  return e ? parser_->dom().Node(e).child_count : 0;
}

const char* XmlElementCursor::Text() const {
  const uint32_t e = Element();
  return e ? parser_->dom().ElementText(e) : "";
}

uint32_t XmlElementCursor::NamespaceRecord(uint32_t element) const {
  return element ? parser_->dom().Node(element).ns : 0;
}

const char* XmlElementCursor::LocalName() const {
  const uint32_t e = Element();
  return e ? parser_->dom().ElementName(e) : "";
}

const char* XmlElementCursor::Prefix() const {
  const uint32_t ns = NamespaceRecord(Element());
  return ns ? parser_->dom().NamespacePrefix(ns) : "";
}

const char* XmlElementCursor::NamespaceUri() const {
  const uint32_t ns = NamespaceRecord(Element());
  return ns ? parser_->dom().NamespaceUri(ns) : "";
}

int XmlElementCursor::AppendQualifiedName(ByteString& out, uint32_t element) const {
  const XmlDom& dom = parser_->dom();
  const uint32_t ns = NamespaceRecord(element);
  int rc = kOk;
  if (ns && *dom.NamespacePrefix(ns)) {
    rc = out.AppendText(dom.NamespacePrefix(ns));
    if (rc == kOk) rc = out.AppendByte(':');
  }
  return rc != kOk ? rc : out.AppendText(dom.ElementName(element));
}

int XmlElementCursor::QualifiedName(ByteString& out) const {
  out.Reset();
  const uint32_t e = Element();
  return e ? AppendQualifiedName(out, e) : kOk;
}

// Children of an element in document order: the records up to its next sibling, stepping over
// each child's own subtree.
int XmlElementCursor::ChildAt(uint32_t element, int n, uint32_t* child) const {
  const XmlDom& dom = parser_->dom();
  uint32_t end = dom.Node(element).next;
  if (end == 0) end = dom.size();
  uint32_t p = element + XmlDom::kNodeBytes;
  int k = 0;
  ChildCache* entry = nullptr;
  ChildCache* oldest = &cache_[0];
  for (ChildCache& c : cache_) {
    if (c.parent == element && c.dom_size == dom.size()) entry = &c;
    if (c.used < oldest->used) oldest = &c;
  }
  if (entry && entry->index > 0 && entry->index <= n) {
    p = entry->child;
    k = entry->index - 1;
  }
  if (!entry) entry = oldest;
  while (p < end) {
    if (++k == n) {
      *child = p;
      *entry = {element, dom.size(), n, p, ++cache_clock_};
      return kOk;
    }
    const uint32_t next = dom.Node(p).next;
    if (next == 0) break;  // still open: nothing follows it yet
    p = next;
  }
  return kXmlErrNoSuchChild;
}

bool XmlElementCursor::StepMatches(uint32_t child, const char* name, int n) const {
  const XmlDom& dom = parser_->dom();
  const char* local = dom.ElementName(child);
  const int local_len = static_cast<int>(std::strlen(local));
  const uint32_t ns = NamespaceRecord(child);
  const char* prefix = ns ? dom.NamespacePrefix(ns) : "";
  const int prefix_len = static_cast<int>(std::strlen(prefix));
  // Namespace URI followed directly by the local name.
  if (ns) {
    const char* uri = dom.NamespaceUri(ns);
    const int uri_len = static_cast<int>(std::strlen(uri));
    if (uri_len > 0 && uri_len + local_len == n && std::memcmp(name, uri, uri_len) == 0 &&
        std::memcmp(name + uri_len, local, local_len) == 0) {
      return true;
    }
  }
  if (local_len == n && std::memcmp(name, local, n) == 0) return true;
  return prefix_len > 0 && prefix_len + 1 + local_len == n &&
         std::memcmp(name, prefix, prefix_len) == 0 && name[prefix_len] == ':' &&
         std::memcmp(name + prefix_len + 1, local, local_len) == 0;
}

const XmlDomAttribute* XmlElementCursor::AttributeRecord(uint32_t element, int i) const {
  const XmlDom& dom = parser_->dom();
  if (!element || i < 0 || i >= dom.AttributeCount(element)) return nullptr;
  return &dom.Attribute(element, i);
}

bool XmlElementCursor::HasAttribute(uint32_t element, const char* name, const char* value) const {
  const XmlDom& dom = parser_->dom();
  const int count = dom.AttributeCount(element);
  for (int i = 0; i < count; ++i) {
    const XmlDomAttribute& a = dom.Attribute(element, i);
    if (StrNICmp(dom.Text(a.name), name, INT32_MAX) != 0) continue;
    if (!value || std::strcmp(dom.Text(a.value), value) == 0) return true;
  }
  return false;
}

int XmlElementCursor::AttributeCount() const {
  if (parser_->in_start_tag()) return parser_->pending_attribute_count();
  const uint32_t e = Element();
  return e ? parser_->dom().AttributeCount(e) : 0;
}

const char* XmlElementCursor::AttributeName(int i) const {
  if (parser_->in_start_tag()) return parser_->PendingAttributeName(i);
  const XmlDomAttribute* a = AttributeRecord(Element(), i);
  return a ? parser_->dom().Text(a->name) : "";
}

const char* XmlElementCursor::AttributeValue(int i) const {
  if (parser_->in_start_tag()) return parser_->PendingAttributeValue(i);
  const XmlDomAttribute* a = AttributeRecord(Element(), i);
  return a ? parser_->dom().Text(a->value) : "";
}

const char* XmlElementCursor::FindAttribute(const char* name) const {
  if (!name) return nullptr;
  const int count = AttributeCount();
  for (int i = 0; i < count; ++i) {
    if (StrNICmp(AttributeName(i), name, INT32_MAX) == 0) return AttributeValue(i);
  }
  return nullptr;
}

int XmlElementCursor::GetAttribute(const char* name, const char** value) {
  const char* found = FindAttribute(name);
  *value = found ? found : "";
  if (!found && parser_->error_on_empty_attribute()) return Fail(kXmlErrAttributeMissing);
  return kOk;
}

// ---- Moving ----

int XmlElementCursor::SelectChild(int n) {
  const uint32_t e = Element();
  if (!e) return Fail(kXmlErrNoDom);
  if (n < 1 || n > ChildCount()) return Fail(kXmlErrBadPath);
  uint32_t child = 0;
  if (ChildAt(e, n, &child) != kOk) return Fail(kXmlErrNoSuchChild);
  current_ = child;
  if (path_.empty() || path_.data()[path_.length() - 1] != '/') path_.AppendByte('/');
  path_.AppendByte('[');
  path_.AppendInt(n);
  return path_.AppendByte(']');
}

int XmlElementCursor::SelectParent() {
  const uint32_t e = Element();
  if (!e) return Fail(kXmlErrNoDom);
  const uint32_t parent = parser_->dom().Node(e).parent;
  if (!parent) return Fail(kXmlErrNoSuchChild);
  current_ = parent;
  const int slash = path_.FindLastChar('/', path_.length() - 1);
  if (slash > 0) {
    path_.Resize(slash);
    return kOk;
  }
  return SetPathOf(parent);
}

// The step of an element in its path text: qualified name and, when above 1, its position
// among the siblings that the same step selects.
int XmlElementCursor::AppendNameStep(uint32_t element) {
  const XmlDom& dom = parser_->dom();
  ByteString qname;
  int rc = AppendQualifiedName(qname, element);
  if (rc != kOk) return rc;
  int index = 1;
  const uint32_t parent = dom.Node(element).parent;
  if (parent) {
    index = 0;
    for (int k = 1;; ++k) {
      uint32_t sibling = 0;
      if (ChildAt(parent, k, &sibling) != kOk) break;
      if (StepMatches(sibling, qname.c_str(), qname.length())) ++index;
      if (sibling == element) break;
    }
  }
  if (path_.empty() || path_.data()[path_.length() - 1] != '/') path_.AppendByte('/');
  rc = path_.AppendString(qname);
  if (rc == kOk && index > 1) {
    path_.AppendByte('[');
    path_.AppendInt(index);
    rc = path_.AppendByte(']');
  }
  return rc;
}

int XmlElementCursor::SetPathOf(uint32_t element) {
  const XmlDom& dom = parser_->dom();
  uint32_t chain[XmlParser::kMaxDepth + 1];
  int n = 0;
  for (uint32_t e = element; e && n <= XmlParser::kMaxDepth; e = dom.Node(e).parent) {
    chain[n++] = e;
  }
  path_.Reset();
  for (int i = n - 1; i >= 0; --i) {
    int rc = AppendNameStep(chain[i]);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int XmlElementCursor::SelectPathStep(const char* name, int n, int index, const char* attribute,
                                     const char* value) {
  const uint32_t e = Element();
  if (!e) return Fail(kXmlErrNoDom);
  int matches = 0;
  for (int k = 1;; ++k) {
    uint32_t child = 0;
    if (ChildAt(e, k, &child) != kOk) break;
    if (!StepMatches(child, name, n)) continue;
    const bool take = attribute ? HasAttribute(child, attribute, value) : ++matches == index;
    if (take) {
      current_ = child;
      return AppendNameStep(child);
    }
  }
  return Fail(kXmlErrNoSuchChild);
}

int XmlElementCursor::SelectIndexStep(const char* inner, int n) {
  const int count = ChildCount();
  int64_t index = 0;
  if (IsLastCall(inner, n)) {
    index = count;
    if (n > 6) {
      int64_t back = 0;
      if (inner[6] != '-' || !ParseDecimal(inner + 7, n - 7, &back)) return Fail(kXmlErrBadPath);
      index = count - back;
    }
  } else if (!ParseDecimal(inner, n, &index) || index < 1) {
    return Fail(kXmlErrBadPath);
  }
  return SelectChild(static_cast<int>(index));
}

int XmlElementCursor::SelectRoot(const char* step, int n) {
  const XmlDom& dom = parser_->dom();
  const uint32_t root = dom.root();
  if (n == 0) {
    current_ = root;
    return SetPathOf(root);
  }
  if (n == 16 && std::memcmp(step, "[lastUnclosed()]", 16) == 0) {
    const uint32_t open = parser_->LastUnclosed();
    current_ = open ? open : root;
    return SetPathOf(current_);
  }
  if (step[0] == '[') {
    if (step[n - 1] != ']') return Fail(kXmlErrBadPath);
    const char* inner = step + 1;
    const int m = n - 2;
    int64_t v = 0;
    const bool first = (ParseDecimal(inner, m, &v) && v == 1) || (m == 6 && IsLastCall(inner, m));
    if (!first) return Fail(kXmlErrBadPath);
    current_ = root;
    return path_.SetText("/[1]");
  }
  if (!parser_->IsNameStart(static_cast<uint8_t>(step[0]))) return Fail(kXmlErrBadPath);
  int name_len = n;
  const char* bracket = static_cast<const char*>(std::memchr(step, '[', static_cast<size_t>(n)));
  if (bracket) {
    name_len = static_cast<int>(bracket - step);
    int64_t v = 0;
    if (step[n - 1] != ']' || !ParseDecimal(bracket + 1, n - name_len - 2, &v) || v != 1) {
      return Fail(kXmlErrBadPath);
    }
  }
  if (!StepMatches(root, step, name_len)) return Fail(kXmlErrTopElement);
  current_ = root;
  return SetPathOf(root);
}

int XmlElementCursor::SelectStep(const char* step, int n) {
  if (step[0] == '.') {
    if (n == 2 && step[1] == '.') return SelectParent();
    return Fail(kXmlErrBadPath);
  }
  if (step[0] == '[') {
    if (step[n - 1] != ']') return Fail(kXmlErrBadPath);
    return SelectIndexStep(step + 1, n - 2);
  }
  if (!parser_->IsNameStart(static_cast<uint8_t>(step[0]))) return Fail(kXmlErrBadPath);
  const char* bracket = static_cast<const char*>(std::memchr(step, '[', static_cast<size_t>(n)));
  if (!bracket) return SelectPathStep(step, n, 1, nullptr, nullptr);
  const int name_len = static_cast<int>(bracket - step);
  if (step[n - 1] != ']') return Fail(kXmlErrBadPath);
  const char* inner = bracket + 1;
  const int m = n - name_len - 2;
  if (m > 0 && inner[0] == '@') {
    // "[@attr]", "[@attr='v']", "[@attr=\"v\"]" or "[@attr=v]".
    const char* eq = static_cast<const char*>(std::memchr(inner, '=', static_cast<size_t>(m)));
    const int attr_len = eq ? static_cast<int>(eq - inner) - 1 : m - 1;
    if (attr_len < 1) return Fail(kXmlErrBadPath);
    ByteString attr;
    ByteString value;
    attr.Set(inner + 1, attr_len);
    if (eq) {
      const char* v = eq + 1;
      int vlen = static_cast<int>(inner + m - v);
      if (vlen >= 2 && (v[0] == '\'' || v[0] == '"')) {
        if (v[vlen - 1] != v[0]) return Fail(kXmlErrBadPath);
        ++v;
        vlen -= 2;
      }
      value.Set(v, vlen);
    }
    ByteString name;
    name.Set(step, name_len);
    return SelectPathStep(name.c_str(), name_len, 1, attr.c_str(), eq ? value.c_str() : nullptr);
  }
  int64_t index = 0;
  if (!ParseDecimal(inner, m, &index) || index < 1) return Fail(kXmlErrBadPath);
  ByteString name;
  name.Set(step, name_len);
  return SelectPathStep(name.c_str(), name_len, static_cast<int>(index), nullptr, nullptr);
}

int XmlElementCursor::SelectPath(const char* path) {
  const XmlDom& dom = parser_->dom();
  if (!dom.HasRoot()) return Fail(kXmlErrNoDom);
  if (!path || !*path) return kOk;
  if (path[0] == '*') {
    // Only the start of an element record is a place the cursor may stand.
    int64_t offset = 0;
    const int n = static_cast<int>(std::strlen(path + 1));
    if (!ParseDecimal(path + 1, n, &offset) || !dom.IsElement(static_cast<uint32_t>(offset))) {
      return Fail(kXmlErrBadPath);
    }
    current_ = static_cast<uint32_t>(offset);
    return SetPathOf(current_);
  }
  const char* p = path;
  int rc = kOk;
  if (*p == '/') {
    while (*p == '/') ++p;
    const char* end = StepEnd(p);
    rc = SelectRoot(p, static_cast<int>(end - p));
    if (rc != kOk) return rc;
    p = end;
  }
  for (;;) {
    while (*p == '/') ++p;
    if (!*p) break;
    const char* end = StepEnd(p);
    rc = SelectStep(p, static_cast<int>(end - p));
    if (rc != kOk) return rc;
    p = end;
  }
  return kOk;
}

bool XmlElementCursor::TrySelect(const char* path) {
  const uint32_t saved = current_;
  ByteString saved_path;
  saved_path.Assign(path_);
  if (SelectPath(path) == kOk) return true;
  current_ = saved;
  path_.Assign(saved_path);
  return false;
}

}  // namespace tw
