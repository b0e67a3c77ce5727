// One element of an ASN.1 tree that splits itself into its children on demand.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class Asn1Node {
 public:
  Asn1Node() = default;
  Asn1Node(const Asn1Node&) = delete;
  Asn1Node& operator=(const Asn1Node&) = delete;
  // Frees the children and the rest of the sibling chain without recursing along the chain.
  virtual ~Asn1Node();

  // Splits the element in `bytes` into its direct children (one level).
  virtual int Decode();
  // Decodes this node and, for constructed elements, every descendant.
  virtual int DecodeTree();
  virtual int Reserved() { return kOk; }

  // The child i steps along the sibling chain from the first; null past the end.
  Asn1Node* ChildAt(int i) const;
  // Drops the children.
  void ClearChildren();

  ByteString bytes;
  int tag = 4;
  int32_t childCount = 0;
  Asn1Node* firstChild = nullptr;
  Asn1Node* nextSibling = nullptr;

 private:
  int DecodeTreeAt(int depth);
};

}  // namespace tw
