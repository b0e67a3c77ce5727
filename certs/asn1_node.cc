#include "certs/asn1_node.h"

#include "certs/der_reader.h"
#include "foundation/ptr_array.h"

namespace tw {

namespace {

// Frees a sibling chain one link at a time: a SEQUENCE of many small elements must not turn
// into a recursion as deep as its element count.
void FreeChain(Asn1Node* node) {
  while (node) {
    Asn1Node* next = node->nextSibling;
    node->nextSibling = nullptr;
    DeleteRecord(node);
    node = next;
  }
}

}  // namespace

Asn1Node::~Asn1Node() {
  ClearChildren();
  FreeChain(nextSibling);
  nextSibling = nullptr;
}

void Asn1Node::ClearChildren() {
  FreeChain(firstChild);
  firstChild = nullptr;
  childCount = 0;
}

Asn1Node* Asn1Node::ChildAt(int i) const {
  if (i < 0) return nullptr;
  Asn1Node* n = firstChild;
  while (n && i-- > 0) n = n->nextSibling;
  return n;
}

int Asn1Node::Decode() {
  ClearChildren();
  const uint8_t* b = bytes.bytes();
  const size_t len = static_cast<size_t>(bytes.length());
  BerElement self;
  if (!ParseBerElement(b, 0, len, &self)) return kErrDerIncomplete;
  tag = self.tag;
  if (self.content_start == self.content_end) return kOk;
  BerElement e;
  if (!ParseBerElement(b, self.content_start, self.content_end, &e)) return kErrDerIncomplete;
  if (e.next == e.element_start || e.next > self.content_end) return kOk;
  Asn1Node* last = nullptr;
  while (true) {
    Asn1Node* child = NewRecord<Asn1Node>();
    int rc = child ? child->bytes.Set(b + e.element_start, static_cast<int>(e.next - e.element_start))
                   : kErrOutOfMemory;
    if (rc != kOk) {
      DeleteRecord(child);
      ClearChildren();
      return rc;
    }
    child->tag = e.tag;
    if (last) {
      last->nextSibling = child;
    } else {
      firstChild = child;
    }
    last = child;
    ++childCount;
    if (e.next >= self.content_end) break;
    if (!ParseBerElement(b, e.next, self.content_end, &e) || e.next == e.element_start) {
      ClearChildren();
      return kErrDerMalformed;
    }
  }
  return kOk;
}

int Asn1Node::DecodeTree() { return DecodeTreeAt(0); }

int Asn1Node::DecodeTreeAt(int depth) {
  if (bytes.empty()) return kOk;
  if (depth > kDerMaxDepth) return kErrDerMalformed;
  tag = bytes.bytes()[0];
  if (!(tag & 0x20)) return kOk;
  int rc = Decode();
  if (rc != kOk) return rc;
  for (Asn1Node* c = firstChild; c; c = c->nextSibling) {
    rc = c->DecodeTreeAt(depth + 1);
    if (rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace tw
