// The compact DOM the XML parser builds: element records, attributes and texts in three blocks;
// its element handles are what the cursor stands on.
#pragma once

#include <cstdint>

namespace tw {

// One block of DOM records that grows by doubling into a fresh block. The first `reserved` bytes
// are zero and never handed out, so that offset 0 means none.
class XmlDomBlock {
 public:
  explicit XmlDomBlock(uint32_t reserved) : reserved_(reserved), size_(reserved) {}
  XmlDomBlock(const XmlDomBlock&) = delete;
  XmlDomBlock& operator=(const XmlDomBlock&) = delete;
  ~XmlDomBlock() { Free(); }

  // Frees the block (wiped first when ZeroMemory is on); the size is back to the reserved bytes.
  void Free();
  uint32_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  uint8_t* data() { return data_; }
  // Room for n more bytes (at the first growth at least `hint`); the offset of the room in *at.
  int Take(int64_t n, uint32_t* at) {
    if (n <= static_cast<int64_t>(capacity_) - size_) {
      *at = size_;
      size_ += static_cast<uint32_t>(n);
      return 0;
    }
    return Grow(n, at);
  }
  void set_hint(int64_t hint) { hint_ = hint; }
  int64_t hint() const { return hint_; }

 private:
  int Grow(int64_t n, uint32_t* at);

  uint8_t* data_ = nullptr;
  uint32_t reserved_;
  uint32_t size_;
  uint32_t capacity_ = 0;
  int64_t hint_ = 0;
};

// An element's record. Input positions are those of the start tag's "<" and past its ">", and of
// the end tag's "<" and past its ">" (the start tag's end twice for "<a/>", 0 while open).
struct XmlDomNode {
  uint32_t next;         // handle just past the element's subtree (set at its end)
  int32_t child_count;   // -1 for an empty-element tag
  uint32_t parent;
  uint32_t ns;           // the namespace record of the element's prefix, 0 for none
  uint32_t name;         // the local name
  uint32_t attribute_end;  // attributes of the elements so far, this one's included
  uint32_t text;         // the character data, 0 for none
  uint32_t start_lt;
  uint32_t start_gt;
  uint32_t end_lt;
  uint32_t end_gt;
};

// An attribute: its local name, its value and its namespace record (0 for none).
struct XmlDomAttribute {
  uint32_t name;
  uint32_t value;
  uint32_t ns;
};

// The DOM: element records in document order in one block (an element's handle is the offset of
// its record there; its subtree follows it), attributes in another, and every text (names,
// values, character data, namespace records of a prefix and a URI) NUL-terminated in a third.
class XmlDom {
 public:
  static constexpr uint32_t kNodeBytes = sizeof(XmlDomNode);

  XmlDom() = default;
  void Clear();

  bool HasRoot() const { return root_ != 0; }
  uint32_t root() const { return root_; }
  int root_count() const { return root_count_; }
  // Bytes of element records (handles lie below it).
  uint32_t size() const { return nodes_.size(); }

  // True only for an element's handle.
  bool IsElement(uint32_t handle) const {
    return handle >= kNodeBytes && handle < nodes_.size() && handle % kNodeBytes == 0;
  }
  // Record access; the handle must be an element's.
  const XmlDomNode& Node(uint32_t handle) const {
    return *reinterpret_cast<const XmlDomNode*>(nodes_.data() + handle);
  }
  XmlDomNode& Node(uint32_t handle) {
    return *reinterpret_cast<XmlDomNode*>(nodes_.data() + handle);
  }
  const char* Text(uint32_t offset) const {
    return reinterpret_cast<const char*>(texts_.data()) + offset;
  }

  const char* ElementName(uint32_t element) const { return Text(Node(element).name); }
  const char* ElementText(uint32_t element) const {
    const uint32_t t = Node(element).text;
    return t ? Text(t) : "";
  }
  int AttributeCount(uint32_t element) const {
    const uint32_t begin = element > kNodeBytes ? Node(element - kNodeBytes).attribute_end : 0;
    return static_cast<int>(Node(element).attribute_end - begin);
  }
  // The i-th attribute of an element (0 <= i < AttributeCount).
  const XmlDomAttribute& Attribute(uint32_t element, int i) const {
    const uint32_t begin = element > kNodeBytes ? Node(element - kNodeBytes).attribute_end : 0;
    const auto* all = reinterpret_cast<const XmlDomAttribute*>(attributes_.data());
    return all[begin + static_cast<uint32_t>(i)];
  }
  const char* NamespacePrefix(uint32_t ns) const { return Text(ns); }
  const char* NamespaceUri(uint32_t ns) const;

  // Makes room for the records of n more input bytes at once.
  void ExpectInput(int n);
  // A NUL-terminated copy of n bytes; its offset in *offset.
  int AddText(const char* p, int n, uint32_t* offset);
  // Appends n bytes to the text of `length` bytes at *offset (0: none yet) when nothing follows
  // it; false, with nothing done, when something does.
  bool ExtendLastText(uint32_t* offset, int length, const char* p, int n, int* rc);
  // AddText for an element's name, which a document repeats: a recent copy of it serves again.
  int AddName(const char* p, int n, uint32_t* offset);
  // A namespace record: the prefix and the URI, each NUL-terminated.
  int AddNamespace(const char* prefix, int n, const char* uri, int un, uint32_t* offset);
  int AddAttribute(const char* name, int n, const char* value, int vn, uint32_t ns);
  // Attributes so far, of every element.
  uint32_t attribute_total() const { return attributes_.size() / sizeof(XmlDomAttribute); }
  // Appends an element's record; a top-level element (the first becomes the root) is counted.
  int AddElement(const XmlDomNode& node, bool top_level, uint32_t* handle);

 private:
  // Recent names by a hash of their bytes.
  struct NameSlot {
    uint32_t offset = 0;
    int length = -1;
  };
  static constexpr int kNameSlots = 256;

  XmlDomBlock nodes_{kNodeBytes};
  NameSlot names_[kNameSlots];
  XmlDomBlock texts_{4};
  XmlDomBlock attributes_{0};
  uint32_t root_ = 0;
  int root_count_ = 0;
};

}  // namespace tw
