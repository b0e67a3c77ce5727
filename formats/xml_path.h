// The cursor over a parser's DOM and the path subset that moves it.
//
// Paths: "/name/child[2]/[3]/[last()]/[last()-1]/x[@attr='v']/..", "*offset" (an element record
// of the DOM) and "/[lastUnclosed()]" (the innermost element still open while a document is being
// parsed). The cursor keeps the path text of the current element: "/" and the steps taken, each a
// qualified name with "[n]" when n is above 1, or "[n]" alone for an index step.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class XmlParser;
struct XmlDomAttribute;

class XmlElementCursor {
 public:
  explicit XmlElementCursor(XmlParser* parser) : parser_(parser) {}
  XmlElementCursor(const XmlElementCursor&) = delete;
  XmlElementCursor& operator=(const XmlElementCursor&) = delete;

  // Back to the root (or to nothing when the DOM is empty).
  void Reset();

  // The current element's DOM offset, 0 when the DOM has no element.
  uint32_t Current() const;
  const ByteString& path_text() const { return path_; }

  // -1 for "<a/>", 0 when there is no element.
  int ChildCount() const;
  const char* Text() const;
  int QualifiedName(ByteString& out) const;
  const char* LocalName() const;
  const char* NamespaceUri() const;
  const char* Prefix() const;

  int SelectChild(int n);  // 1-based; 207 outside 1..count
  int SelectParent();      // 208 at the top
  // One name step: name (n bytes), the index-th match, or the first child holding the attribute
  // (with value when value is not null). 208 when nothing matches.
  int SelectPathStep(const char* name, int n, int index, const char* attribute,
                     const char* value);

  // Attributes of the current element (of the tag being parsed while StartElement runs).
  int AttributeCount() const;
  const char* AttributeName(int i) const;   // local name; "" out of range
  const char* AttributeValue(int i) const;  // "" out of range
  // The value of the first attribute of that name (ignoring case), or null.
  const char* FindAttribute(const char* name) const;
  // FindAttribute, "" when missing; with ErrorOnEmptyAttr a missing attribute also gives 107.
  int GetAttribute(const char* name, const char** value);

  int SelectPath(const char* path);
  // SelectPath; on failure the cursor goes back to where it was and the answer is false.
  bool TrySelect(const char* path);

 private:
  uint32_t Element() const;  // the current element record (0 = none)
  uint32_t NamespaceRecord(uint32_t element) const;
  int ChildAt(uint32_t element, int n, uint32_t* child) const;
  bool StepMatches(uint32_t child, const char* name, int n) const;
  bool HasAttribute(uint32_t element, const char* name, const char* value) const;
  const XmlDomAttribute* AttributeRecord(uint32_t element, int i) const;
  int AppendQualifiedName(ByteString& out, uint32_t element) const;
  int AppendNameStep(uint32_t element);
  int SetPathOf(uint32_t element);
  int Fail(int code);
  int SelectRoot(const char* step, int n);
  int SelectStep(const char* step, int n);
  int SelectIndexStep(const char* inner, int n);

  XmlParser* parser_;
  uint32_t current_ = 0;  // 0: the root
  ByteString path_;
  // The last child found under a few parents, so that walking a list item by item (a path per
  // item) does not count from the first child each time.
  struct ChildCache {
    uint32_t parent = 0;
    uint32_t dom_size = 0;
    int index = 0;
    uint32_t child = 0;
    uint64_t used = 0;
  };
  static constexpr int kCacheEntries = 8;
  mutable ChildCache cache_[kCacheEntries];
  mutable uint64_t cache_clock_ = 0;
};

}  // namespace tw
