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
  DerCursor all(bytes), content;
  uint8_t self_tag = 0;
  if (all.NextBer(&self_tag, &content) != kOk) return kErrDerIncomplete;
  tag = self_tag;
  if (content.empty()) return kOk;
  uint8_t child_tag = 0;
  DerCursor element;
  if (content.NextBer(&child_tag, nullptr, &element) != kOk) return kErrDerIncomplete;
  Asn1Node* last = nullptr;
  while (true) {
    Asn1Node* child = NewRecord<Asn1Node>();
    int rc = child ? child->bytes.Set(element.data(), static_cast<int>(element.size())) : kErrOutOfMemory;
    if (rc != kOk) {
      DeleteRecord(child);
      ClearChildren();
      return rc;
    }
    child->tag = child_tag;
    if (last) {
      last->nextSibling = child;
    } else {
      firstChild = child;
    }
    last = child;
    ++childCount;
    if (content.empty()) break;
    if (content.NextBer(&child_tag, nullptr, &element) != kOk) {
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
