#include "certs/cert_chain_engine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "certs/cert_signature.h"
#include "certs/distinguished_name.h"
#include "foundation/text_conversion.h"
#include "platform/cert_store_files.h"

namespace tw {

namespace {

constexpr char kOidBasicConstraints[] = "2.5.29.19";
constexpr char kOidKeyUsage[] = "2.5.29.15";
constexpr uint8_t kKeyUsageKeyCertSign = 0x04;  // bit 5 of the first byte
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----";
constexpr char kRootStore[] = "ROOT";
// Issuers tried over one whole search: hostile pools of look-alike names cannot make it run long.
constexpr int kSearchBudget = 256;

struct Constraints {
  bool malformed = false;
  bool has_basic = false;
  bool ca = false;
  int path_length = -1;  // none
  bool has_key_usage = false;
  bool key_cert_sign = false;
};

// The content of an extension's extnValue OCTET STRING.
bool ExtensionContent(const CertExtension& extension, DerCursor* content) {
  DerCursor value(extension.value);
  uint8_t tag = 0;
  return value.Next(&tag, content) == kOk && tag == 0x04 && value.empty();
}

bool ReadBasicConstraints(const DerCursor& content, Constraints* c) {
  DerCursor all = content, seq, field;
  uint8_t tag = 0;
  if (all.Next(&tag, &seq) != kOk || tag != 0x30 || !all.empty()) return false;
  if (!seq.empty() && seq.Peek(&tag, &field) == kOk && tag == 0x01) {
    seq.Next(&tag, &field);
    if (field.size() != 1) return false;
    c->ca = field.data()[0] != 0;
  }
  if (!seq.empty()) {
    uint32_t value = 0;
    if (seq.NextSmallUnsigned(&value) != kOk) return false;
    c->path_length = static_cast<int>(value);
  }
  return seq.empty();
}

bool ReadKeyUsage(const DerCursor& content, Constraints* c) {
  DerCursor all = content, bits_content, bits;
  uint8_t tag = 0;
  if (all.Next(&tag, &bits_content) != kOk || tag != 0x03 || !all.empty()) return false;
  if (DerBitStringBytes(bits_content, &bits, nullptr) != kOk) return false;
  c->key_cert_sign = !bits.empty() && (bits.data()[0] & kKeyUsageKeyCertSign) != 0;
  return true;
}

Constraints ReadConstraints(const Certificate& certificate) {
  Constraints c;
  const CertExtensionArray& extensions = certificate.tbs.extensions;
  for (int i = 0; i < extensions.Count(); ++i) {
    const CertExtension* e = extensions.At(i);
    if (!e) continue;
    const bool basic = std::strcmp(e->oid.c_str(), kOidBasicConstraints) == 0;
    const bool usage = std::strcmp(e->oid.c_str(), kOidKeyUsage) == 0;
    if (!basic && !usage) continue;
    DerCursor content;
    bool ok = ExtensionContent(*e, &content);
    // A repeated extension is a malformed certificate, not a choice between two answers.
    if (ok && basic) ok = !c.has_basic && ReadBasicConstraints(content, &c);
    if (ok && usage) ok = !c.has_key_usage && ReadKeyUsage(content, &c);
    if (!ok) c.malformed = true;
    (basic ? c.has_basic : c.has_key_usage) = true;
  }
  return c;
}

std::string_view View(const ByteString& s) {
  return std::string_view(s.data(), static_cast<size_t>(s.length()));
}

// A certificate of a search with what the links need of it.
struct Node {
  Certificate cert;
  ByteString subject_der;
  ByteString subject;  // normalised
  ByteString issuer;   // normalised
  bool anchor = false;
};

int MakeNode(const ByteString& der, bool anchor, Node* node) {
  int rc = ParseCertificateDer(der.data(), der.length(), &node->cert);
  if (rc == kOk) rc = CertificateSubjectDer(node->cert, &node->subject_der);
  if (rc != kOk) return rc;
  NormalizeDistinguishedName(node->cert.tbs.subjectText.c_str(), &node->subject);
  NormalizeDistinguishedName(node->cert.tbs.issuerText.c_str(), &node->issuer);
  node->anchor = anchor;
  return kOk;
}

// Whether `issuer` is named as the issuer of `child`: the same Name DER, or failing that the same
// normal form (a CA may re-encode its name's strings).
bool NamesIssuer(const Node& child, const Node& issuer) {
  if (View(child.cert.tbs.issuerDer) == View(issuer.subject_der)) return true;
  return !child.issuer.empty() && View(child.issuer) == View(issuer.subject);
}

struct NodeSet {
  std::vector<std::unique_ptr<Node>> nodes;
  std::unordered_multimap<std::string, const Node*> by_subject;  // normalised subject

  void Add(std::unique_ptr<Node> node) {
    by_subject.emplace(std::string(View(node->subject)), node.get());
    nodes.push_back(std::move(node));
  }
  void AddDers(const std::vector<ByteString>& ders, bool anchors) {
    for (const ByteString& der : ders) {
      auto node = std::make_unique<Node>();
      if (MakeNode(der, anchors, node.get()) == kOk) Add(std::move(node));
    }
  }
  // Whether a node of this set has the certificate's subject and key.
  bool HasSubjectAndKey(const Node& n) const {
    auto range = by_subject.equal_range(std::string(View(n.subject)));
    for (auto it = range.first; it != range.second; ++it) {
      const Node& a = *it->second;
      if (View(a.subject_der) == View(n.subject_der) &&
          View(a.cert.tbs.publicKeyInfo) == View(n.cert.tbs.publicKeyInfo)) {
        return true;
      }
    }
    return false;
  }
  void IssuersOf(const Node& child, std::vector<const Node*>* out) const {
    auto range = by_subject.equal_range(std::string(View(child.issuer)));
    for (auto it = range.first; it != range.second; ++it) {
      if (NamesIssuer(child, *it->second)) out->push_back(it->second);
    }
  }
};

struct StoreKey {
  std::string path;
  int64_t size;
  int64_t mtime_ns;
  bool operator==(const StoreKey& o) const {
    return path == o.path && size == o.size && mtime_ns == o.mtime_ns;
  }
};

// The parsed ROOT store, kept until its files change.
std::shared_ptr<const NodeSet> RootAnchors() {
  static std::mutex lock;
  static std::vector<StoreKey> cached_key;
  static std::shared_ptr<const NodeSet> cached;
  std::vector<win::CertStoreFile> files;
  win::ListCertStoreFiles(kRootStore, &files);
  std::vector<StoreKey> key;
  key.reserve(files.size());
  for (const win::CertStoreFile& f : files) key.push_back({f.path, f.size, f.mtime_ns});
  std::lock_guard<std::mutex> guard(lock);
  if (cached && key == cached_key) return cached;
  win::ReadCertStoreFiles(kRootStore, &files);
  key.clear();
  std::vector<ByteString> ders;
  for (const win::CertStoreFile& f : files) {
    key.push_back({f.path, f.size, f.mtime_ns});
    CertificatesOfStoreFile(f.contents.data(), static_cast<int>(f.contents.size()), &ders);
  }
  auto set = std::make_shared<NodeSet>();
  set->AddDers(ders, true);
  cached = std::move(set);
  cached_key = std::move(key);
  return cached;
}

// Depth-first search for a clean path to an anchor, keeping the best path seen in case none is.
class ChainSearch {
 public:
  ChainSearch(const NodeSet& anchors, const NodeSet& pool, uint32_t flags)
      : anchors_(anchors), pool_(pool), flags_(flags) {}

  void Run(const Node& leaf) {
    path_.push_back(&leaf);
    const uint32_t status = (flags_ & kChainIgnoreTime) ? 0 : CheckValidity(leaf.cert);
    Visit(status);
  }
  const std::vector<const Node*>& best() const { return best_; }
  uint32_t best_status() const { return best_status_; }

 private:
  bool Visit(uint32_t status) {
    const Node& cur = *path_.back();
    if (cur.anchor || anchors_.HasSubjectAndKey(cur)) return Record(status);
    if (IsSelfSigned(cur.cert)) return Record(status | kChainUntrustedRoot);
    if (static_cast<int>(path_.size()) >= kChainMaxLength) return Record(status | kChainPartial);
    std::vector<const Node*> named;
    anchors_.IssuersOf(cur, &named);
    pool_.IssuersOf(cur, &named);
    int cas_below = 0;
    for (size_t i = 1; i < path_.size(); ++i) cas_below += IsSelfIssued(path_[i]->cert) ? 0 : 1;
    std::vector<std::pair<uint32_t, const Node*>> candidates;
    for (const Node* n : named) {
      if (std::find_if(path_.begin(), path_.end(), [n](const Node* p) {
            return View(p->cert.der) == View(n->cert.der);
          }) != path_.end()) {
        continue;
      }
      if (--budget_ < 0) break;
      uint32_t link = CheckIssuerLink(cur.cert, n->cert, cas_below, n->anchor);
      if (!(flags_ & kChainIgnoreTime)) link |= CheckValidity(n->cert);
      candidates.emplace_back(link, n);
    }
    if (candidates.empty()) return Record(status | kChainPartial);
    // Sound links first; among them anchors come first as they were found first.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return (a.first != 0) < (b.first != 0); });
    for (const auto& [link, n] : candidates) {
      path_.push_back(n);
      const bool done = Visit(status | link);
      path_.pop_back();
      if (done) return true;
    }
    return false;
  }

  // True when the path ends trusted and clean, which ends the search.
  bool Record(uint32_t status) {
    if (best_.empty() || status < best_status_) {
      best_ = path_;
      best_status_ = status;
    }
    return status == 0;
  }

  const NodeSet& anchors_;
  const NodeSet& pool_;
  const uint32_t flags_;
  int budget_ = kSearchBudget;
  std::vector<const Node*> path_;
  std::vector<const Node*> best_;
  uint32_t best_status_ = 0;
};

int BuildWith(const ByteString& der, const std::vector<ByteString>* untrusted,
              const NodeSet& anchors, uint32_t flags, CertChain* chain) {
  chain->elements.clear();
  chain->status = 0;
  Node leaf;
  int rc = MakeNode(der, false, &leaf);
  if (rc != kOk) return rc;
  NodeSet pool;
  if (untrusted) pool.AddDers(*untrusted, false);
  ChainSearch search(anchors, pool, flags);
  search.Run(leaf);
  for (const Node* n : search.best()) {
    ChainElement e;
    rc = e.der.Assign(n->cert.der);
    if (rc == kOk) rc = e.subject.Assign(n->subject);
    if (rc == kOk) rc = e.issuer.Assign(n->issuer);
    if (rc == kOk) rc = e.serial.Assign(n->cert.tbs.serialHex);
    if (rc != kOk) return rc;
    chain->elements.push_back(std::move(e));
  }
  chain->status = search.best_status();
  return kOk;
}

}  // namespace

int CertificateSubjectDer(const Certificate& certificate, ByteString* subject_der) {
  DerCursor all(certificate.tbsDer), tbs;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &tbs);
  if (rc != kOk) return rc;
  // [0] version when present, serial, signature, issuer, validity, then the subject.
  DerCursor field;
  rc = tbs.Peek(&tag, &field);
  if (rc == kOk && tag == 0xA0) rc = tbs.SkipElements(1);
  if (rc == kOk) rc = tbs.SkipElements(4);
  DerCursor subject;
  if (rc == kOk) rc = tbs.Next(&tag, &field, &subject);
  if (rc == kOk && tag != 0x30) rc = kErrDerMalformed;
  if (rc != kOk) return rc;
  return subject_der->Set(subject.data(), static_cast<int>(subject.size()));
}

bool IsSelfIssued(const Certificate& certificate) {
  ByteString subject;
  if (CertificateSubjectDer(certificate, &subject) != kOk) return false;
  return View(subject) == View(certificate.tbs.issuerDer);
}

bool IsSelfSigned(const Certificate& certificate) {
  if (!IsSelfIssued(certificate)) return false;
  bool valid = false;
  return VerifyCertificateSignature(certificate, certificate, &valid) == kOk && valid;
}

uint32_t CheckValidity(const Certificate& certificate) {
  return CompareValidity(certificate.tbs.notBefore.c_str(), certificate.tbs.notAfter.c_str()) == 0
             ? 0
             : kChainNotTimeValid;
}

uint32_t CheckIssuerLink(const Certificate& child, const Certificate& issuer, int cas_below,
                         bool anchor) {
  uint32_t status = 0;
  bool valid = false;
  if (VerifyCertificateSignature(child, issuer, &valid) != kOk || !valid) {
    status |= kChainNotSignatureValid;
  }
  const Constraints c = ReadConstraints(issuer);
  bool ca = c.has_basic ? c.ca : anchor && issuer.tbs.version < 2 && IsSelfIssued(issuer);
  if (c.malformed || (c.has_key_usage && !c.key_cert_sign)) ca = false;
  if (!ca || (c.path_length >= 0 && cas_below > c.path_length)) {
    status |= kChainInvalidBasicConstraints;
  }
  return status;
}

uint32_t ApplyChainIgnoreFlags(const CertChain& chain, uint32_t flags) {
  uint32_t status = chain.status;
  if (flags & kChainIgnoreTime) status &= ~kChainNotTimeValid;
  if ((flags & kChainIgnoreUntrustedSelfIssued) && !chain.elements.empty()) {
    const ChainElement& last = chain.elements.back();
    if (View(last.subject) == View(last.issuer)) status &= ~kChainUntrustedRoot;
  }
  return status;
}

void CertificatesOfStoreFile(const char* contents, int length, std::vector<ByteString>* ders) {
  if (!contents || length <= 0) return;
  const std::string_view text(contents, static_cast<size_t>(length));
  if (text.find(kPemBegin) == std::string_view::npos) {
    ByteString der;
    if (static_cast<uint8_t>(text[0]) == 0x30 && der.Set(contents, length) == kOk &&
        DerElementLength(der.bytes(), static_cast<size_t>(length)) == static_cast<size_t>(length)) {
      ders->push_back(std::move(der));
    }
    return;
  }
  const size_t begin_length = sizeof(kPemBegin) - 1;
  for (size_t at = text.find(kPemBegin); at != std::string_view::npos;
       at = text.find(kPemBegin, at)) {
    const size_t body = at + begin_length;
    const size_t end = text.find(kPemEnd, body);
    if (end == std::string_view::npos) break;
    ByteString der;
    if (der.Set(contents + body, static_cast<int>(end - body)) == kOk &&
        DecodeBase64(der, false, true, true) == kOk && !der.empty()) {
      ders->push_back(std::move(der));
    }
    at = end;
  }
}

int BuildCertificateChain(const ByteString& der, const std::vector<ByteString>* untrusted,
                          uint32_t flags, CertChain* chain) {
  const std::shared_ptr<const NodeSet> anchors = RootAnchors();
  return BuildWith(der, untrusted, *anchors, flags, chain);
}

}  // namespace tw
