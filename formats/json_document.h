// JSON: an incremental tokenizer with an optional tree, read with two path languages, a slash
// path whose root element is "json" (as XML element paths read, "/json/kty") and JSONPath
// ("$.a[2].b").
//
// Text may arrive in pieces: Parse appends and runs the tokenizer until the input is used up, so a
// document split anywhere parses as the whole one does. Lenient as the readers it serves: a
// trailing comma before "]" or "}" is accepted, members may hold TRUE, FALSE or NULL in any case,
// and a number's form is checked only by its characters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/byte_string.h"
#include "foundation/component_base.h"

namespace tw {

constexpr int kErrJsonMarkup = 10232;
constexpr int kErrJsonPath = 10233;         // a path that selects nothing ("Invalid XPath.")
constexpr int kErrJsonNoDom = 10234;
constexpr int kErrJsonNoSelection = 207;    // "Invalid JSONPath."
constexpr int kErrJsonStack = 10000;

// Node types.
constexpr int kJsonObject = 0;
constexpr int kJsonArray = 1;
constexpr int kJsonString = 2;
constexpr int kJsonNumber = 3;
constexpr int kJsonBoolean = 4;
constexpr int kJsonNull = 5;

// String option bits.
constexpr uint32_t kJsonStripQuotes = 1;
constexpr uint32_t kJsonDecodeEscapes = 2;

// Containers open at once, and bytes of one number, beyond which a text is refused: a hostile
// document cannot exhaust the stack or memory with them.
constexpr int kJsonMaxDepth = 1000;
constexpr int kJsonMaxNumberBytes = 1024;

struct JsonNode {
  std::string name;
  std::string value;  // scalars: the value text
  std::string path;   // "$", "$['a']", "$['a'][2]"
  int type = kJsonNull;
  JsonNode* parent = nullptr;
  std::vector<std::unique_ptr<JsonNode>> children;
  int64_t start = 0;  // the value's span in the input text (absolute offsets)
  int64_t end = 0;
};

class JsonDocument : public ComponentBase {
 public:
  JsonDocument() { Reset(); }

  // Appends text and tokenizes it. 0 (also when the document is still incomplete) or an error
  // code with its text.
  int Parse(const char* text, int n);
  // Clears the tree, stacks, positions and modes (DOM building off, keep-text on, record mode 0).
  void Reset();
  // Moves the selected node. JSONPath when set to JSONPath only, or the path begins with "$",
  // holds "['" and later "']", or has a "." after its first byte followed by other than "." and
  // "/"; otherwise (and always for a leading "/") the slash path.
  int Select(const char* path);

  // The selected node; null or -1 (error 207) when none is selected.
  const char* CurrentName();
  // Scalars: the value text; containers: their text as it stands in the input (keep-text on).
  const char* CurrentValue();
  int ChildCount();
  int CurrentType();
  const char* CurrentPath();
  bool complete() const { return complete_; }

  // ---- Modes ----
  void set_build_dom(bool on) { build_dom_ = on; }
  void set_keep_text(bool on) { keep_text_ = on; }
  void set_path_events(bool on) { path_events_ = on; }
  void set_allow_trailing_content(bool on) { allow_trailing_ = on; }
  void set_jsonpath_only(bool on) { jsonpath_only_ = on; }
  void set_string_options(uint32_t bits) { string_options_ = bits; }
  // 0 one document; 1 and 3 a sequence of documents; 2 records framed by the delimiters.
  void SetRecordMode(int mode, const char* start_delimiter, const char* end_delimiter);
  const JsonNode* root() const { return root_.get(); }

 protected:
  // Hooks, in this order for one document.
  virtual void OnDocumentStart() {}
  virtual void OnPathPush(const char* text) {}
  virtual void OnPathPop(const char* text) {}
  virtual void OnValue(const char* text, int type) {}
  virtual void OnDocumentEnd() {}
  virtual void OnRecordEnd() {}

 private:
  int Step(unsigned char b, bool* consumed);
  int Fail(int code, const char* text);
  // False (207) when no node is selected.
  bool HasSelection();
  int OpenContainer(char kind, int64_t at);
  int CloseContainer(char kind, int64_t at);
  int EndScalar(int type, int64_t end);
  void BeginScalar(unsigned char b, bool number_char, bool top_level);
  void AttachNode(std::unique_ptr<JsonNode> node, bool as_root);
  void DocumentComplete();
  void DiscardDocument();
  std::string DecodeString(const char* s, size_t n) const;
  int SelectSlash(const char* path);
  int SelectJsonPath(const char* path);

  std::string text_;
  int64_t base_ = 0;       // absolute offset of text_[0]
  int64_t position_ = 0;   // absolute offset of the next byte
  int64_t token_start_ = 0;
  int state_ = 0;
  bool escape_ = false;
  int hex_left_ = 0;
  bool wrapper_ = false;
  bool wrapper_closed_ = false;
  bool complete_ = false;
  bool started_ = false;
  std::string stack_;                 // 'o' or 'a' per open container
  std::vector<std::string> path_stack_;
  std::vector<int> element_index_;    // next array index per open array level
  std::string member_name_;
  bool has_member_name_ = false;
  int scalar_type_ = 0;
  bool top_level_scalar_ = false;

  bool build_dom_ = false;
  bool keep_text_ = true;
  bool path_events_ = false;
  bool allow_trailing_ = false;
  bool jsonpath_only_ = false;
  uint32_t string_options_ = 0;
  int record_mode_ = 0;
  std::string record_start_;
  std::string record_end_;
  size_t delimiter_matched_ = 0;

  std::unique_ptr<JsonNode> root_;
  JsonNode* current_ = nullptr;
  JsonNode* selected_ = nullptr;
  std::string out_;
};

}  // namespace tw
