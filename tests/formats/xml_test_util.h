// Helpers shared by the XML tests: an event recorder over the document's EventSink, the normalised
// event form that is compared with python3's xml.sax, and small file and process helpers.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "formats/xml_document.h"
#include "foundation/event_sink.h"
#include "tests/support/test_support.h"

namespace xmltest {

inline std::string DataDir() { return std::string(TW_SOURCE_DIR) + "/tests/formats/data/xml"; }

inline std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

inline std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

inline std::string Str(const tw::ByteString& s) {
  return std::string(s.data(), static_cast<size_t>(s.length()));
}

// Every event of a document, raw (as fired) and normalised (as compared with xml.sax).
class Recorder : public tw::EventSink {
 public:
  explicit Recorder(tw::XmlDocumentComponent* doc) : doc_(doc) { doc->set_event_sink(this); }
  ~Recorder() override { doc_->set_event_sink(nullptr); }

  void SetCodePage(int) override {}
  int Fire(int event, std::span<void* const> args) override {
    auto text = [&](int i) { return std::string(static_cast<const char*>(args[i])); };
    auto num = [&](int i) { return *static_cast<int*>(args[i]); };
    switch (event) {
      case 1:
        raw.push_back("C:" + text(0));
        AddText(text(0));
        break;
      case 2:
        raw.push_back("CM:" + text(0));
        Flush();
        norm.push_back("CM " + Escape(text(0)));
        break;
      case 3:
        raw.push_back("E:" + text(0) + "|" + text(1) + "|" + text(2) + "|" +
                      std::to_string(num(3)));
        Flush();
        norm.push_back("E {" + Escape(text(0)) + "}" + Escape(text(1)));
        --depth_;
        break;
      case 4:
        raw.push_back("EP:" + text(0));
        Flush();
        norm.push_back("EP " + Escape(text(0)));
        break;
      case 5:
        raw.push_back("ERR:" + std::to_string(num(0)) + " " + text(1));
        break;
      case 6: {
        auto* value = static_cast<tw::ByteString*>(args[1]);
        raw.push_back("ENT:" + text(0) + "|" + Str(*value));
        if (!entity_replacement.empty()) value->SetText(entity_replacement.c_str());
        break;
      }
      case 7:
        raw.push_back("W:" + text(0));
        AddText(text(0));
        break;
      case 8:
        raw.push_back("D:" + text(0));
        break;
      case 9: {
        raw.push_back("PI:" + text(0));
        std::string t = text(0);
        size_t sp = t.find_first_of(" \t\r\n");
        std::string target = t.substr(0, sp);
        std::string data = sp == std::string::npos ? "" : t.substr(sp);
        data.erase(0, data.find_first_not_of(" \t\r\n") == std::string::npos
                          ? data.size()
                          : data.find_first_not_of(" \t\r\n"));
        if (target != "xml") {
          Flush();
          norm.push_back("PI " + Escape(target) + "|" + Escape(data));
        }
        break;
      }
      case 10:
        raw.push_back("M:" + text(0) + "|" + text(1));
        if (text(0) == "CDATA") AddText(text(1));
        break;
      case 11: {
        std::string s = "S:" + text(0) + "|" + text(1) + "|" + text(2) + "|" +
                        std::to_string(num(3));
        std::vector<std::string> attrs;
        for (int i = 0; i < doc_->AttributeCount(); ++i) {
          attrs.push_back(Escape(doc_->AttributeName(i)) + "=" + Escape(doc_->AttributeValue(i)));
          s += " " + std::string(doc_->AttributeName(i)) + "=" + doc_->AttributeValue(i);
        }
        raw.push_back(s);
        std::sort(attrs.begin(), attrs.end());
        std::string n = "S {" + Escape(text(0)) + "}" + Escape(text(1)) + " [";
        for (size_t i = 0; i < attrs.size(); ++i) n += (i ? "," : "") + attrs[i];
        Flush();
        norm.push_back(n + "]");
        ++depth_;
        break;
      }
      case 12:
        raw.push_back("SP:" + text(0) + "|" + text(1));
        Flush();
        norm.push_back("SP " + Escape(text(0)) + " " + Escape(text(1)));
        break;
      default:
        raw.push_back("?" + std::to_string(event));
        break;
    }
    return 0;
  }

  // Ends the pending character data (call once the parse is over).
  void Flush() {
    if (!pending_.empty()) {
      // Line ends are kept as they stand; the comparison is with a parser that turns CR LF into LF.
      std::string t;
      for (size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i] == '\r' && i + 1 < pending_.size() && pending_[i + 1] == '\n') continue;
        t.push_back(pending_[i]);
      }
      norm.push_back("C " + Escape(t));
      pending_.clear();
    }
  }

  std::vector<std::string> raw;
  std::vector<std::string> norm;
  std::string entity_replacement;

 private:
  void AddText(const std::string& t) {
    if (depth_ > 0) pending_ += t;  // text outside the root is not compared
  }

  tw::XmlDocumentComponent* doc_;
  std::string pending_;
  int depth_ = 0;
};

// A document set up the way the storage client sets up its reader, with the given extra settings.
inline void SetUpReader(tw::XmlDocumentComponent& doc) {
  doc.Initialize();
  doc.ConfigText("KeepOriginalText=True", nullptr);
  doc.ConfigText("StringProcessingOptions=1", nullptr);
  doc.ConfigText("UseEncoding=ASCII", nullptr);
}

// python3 over many files at once: the normalised xml.sax events of each, or "REJECT".
inline bool SaxEvents(const std::vector<std::string>& files,
                      std::vector<std::vector<std::string>>* out) {
  if (!testsupport::HavePython()) return false;
  static const char kScript[] = R"PY(
import sys, xml.sax
from xml.sax.handler import (ContentHandler, LexicalHandler, feature_namespaces,
                             property_lexical_handler)
def esc(s):
    out = []
    for b in (s or '').encode('utf-8'):
        out.append(chr(b) if 0x20 <= b < 0x7f and b != 0x5c else '\\x%02x' % b)
    return ''.join(out)
class H(ContentHandler, LexicalHandler):
    def __init__(self):
        self.ev = []; self.text = ''; self.depth = 0
    def flush(self):
        if self.text:
            self.ev.append('C ' + esc(self.text)); self.text = ''
    def startPrefixMapping(self, p, u): self.flush(); self.ev.append('SP %s %s' % (esc(p), esc(u)))
    def endPrefixMapping(self, p): self.flush(); self.ev.append('EP ' + esc(p))
    def startElementNS(self, name, qname, attrs):
        self.flush()
        a = sorted('%s=%s' % (esc(k[1]), esc(v)) for k, v in attrs.items())
        self.ev.append('S {%s}%s [%s]' % (esc(name[0]), esc(name[1]), ','.join(a)))
        self.depth += 1
    def endElementNS(self, name, qname):
        self.flush(); self.ev.append('E {%s}%s' % (esc(name[0]), esc(name[1]))); self.depth -= 1
    def characters(self, c):
        if self.depth > 0: self.text += c
    def processingInstruction(self, t, d): self.flush(); self.ev.append('PI %s|%s' % (esc(t), esc(d)))
    def comment(self, c): self.flush(); self.ev.append('CM ' + esc(c))
for path in sys.stdin.read().split('\n'):
    if not path: continue
    h = H()
    p = xml.sax.make_parser()
    p.setFeature(feature_namespaces, True)
    p.setContentHandler(h)
    p.setProperty(property_lexical_handler, h)
    try:
        p.parse(path); h.flush()
        print('\n'.join(h.ev))
    except Exception as e:
        print('REJECT')
    print('=====')
)PY";
  std::string dir = testsupport::MakeTempDir();
  std::string script = dir + "/sax.py";
  {
    std::ofstream f(script);
    f << kScript;
  }
  std::string input;
  for (const auto& f : files) input += f + "\n";
  int status = 0;
  std::string text = testsupport::RunCommand(std::string(testsupport::kPython) + " " + script, input, &status);
  std::filesystem::remove_all(dir);
  if (status != 0) return false;
  out->clear();
  std::vector<std::string> current;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line == "=====") {
      out->push_back(current);
      current.clear();
    } else {
      current.push_back(line);
    }
  }
  return out->size() == files.size();
}

}  // namespace xmltest
