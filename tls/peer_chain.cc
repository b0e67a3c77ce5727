#include "tls/peer_chain.h"

#include <cstring>
#include <string_view>

#include "certs/der_reader.h"
#include "certs/distinguished_name.h"
#include "tls/tls_certificates.h"

namespace tw {

namespace {

constexpr int kExtendEnded = 0;
constexpr int kExtendOpen = -1;
constexpr int kValidityFailure = 1;

std::string_view View(const ByteString& s) {
  return std::string_view(s.data(), static_cast<size_t>(s.length()));
}

// CAs between the chain's leaf and a new issuer that are not self-issued.
int CasBelow(const std::vector<ByteString>& chain) {
  int n = 0;
  for (size_t i = 1; i < chain.size(); ++i) {
    Certificate c;
    if (ParseCertificateDer(chain[i].data(), chain[i].length(), &c) == kOk && !IsSelfIssued(c)) {
      ++n;
    }
  }
  return n;
}

// The received certificates as rows: none outside its validity period (unless told), none twice.
int CollectRows(const std::vector<ByteString>& pem_list, uint32_t flags, bool anchors,
                std::vector<ChainRow>* rows) {
  for (const ByteString& pem : pem_list) {
    ChainRow row;
    int rc = MakeChainRow(pem.data(), pem.length(), anchors, &row);
    if (rc != kOk) return rc;
    if (!(flags & kSecurityNoValidityCheck) && CheckValidity(row.cert) != 0) {
      return kValidityFailure;
    }
    bool seen = false;
    for (const ChainRow& r : *rows) {
      seen = seen || (View(r.subject) == View(row.subject) && View(r.issuer) == View(row.issuer) &&
                      View(r.serial) == View(row.serial));
    }
    if (!seen) rows->push_back(std::move(row));
  }
  return kOk;
}

}  // namespace

int MakeChainRow(const void* encoded, int length, bool anchor, ChainRow* row) {
  std::vector<ByteString> ders;
  CertificatesOfStoreFile(static_cast<const char*>(encoded), length, &ders);
  if (ders.empty()) return kErrDerMalformed;
  int rc = ParseCertificateDer(ders[0].data(), ders[0].length(), &row->cert);
  if (rc == kOk) rc = row->serial.Assign(row->cert.tbs.serialHex);
  if (rc != kOk) return rc;
  NormalizeDistinguishedName(row->cert.tbs.subjectText.c_str(), &row->subject);
  NormalizeDistinguishedName(row->cert.tbs.issuerText.c_str(), &row->issuer);
  row->anchor = anchor;
  return kOk;
}

int ExtendCertificateChain(ByteString* issuer, ByteString* subject, std::vector<ChainRow>* rows,
                           std::vector<ByteString>* chain) {
  if (chain->empty()) return kExtendOpen;
  Certificate end;
  int rc = ParseCertificateDer(chain->back().data(), chain->back().length(), &end);
  if (rc != kOk) return kExtendOpen;
  while (!rows->empty()) {
    const int cas_below = CasBelow(*chain);
    auto next = rows->end();
    for (auto it = rows->begin(); it != rows->end(); ++it) {
      // A name alone links nothing: the row's key must have signed the chain's end.
      if (View(it->subject) == View(*issuer) && View(it->cert.der) != View(chain->back()) &&
          CheckIssuerLink(end, it->cert, cas_below, it->anchor) == 0) {
        next = it;
        break;
      }
    }
    if (next == rows->end()) break;
    chain->push_back(next->cert.der);
    const bool ends = next->anchor || IsSelfSigned(next->cert);
    if (issuer->Assign(next->issuer) != kOk || subject->Assign(next->subject) != kOk) {
      return kExtendOpen;
    }
    end = std::move(next->cert);
    rows->erase(next);
    if (ends) return kExtendEnded;
  }
  return IsSelfSigned(end) ? kExtendEnded : kExtendOpen;
}

int VerifyCertificateChain(const ByteString& leaf_der, const std::vector<ByteString>& pem_list,
                           uint32_t flags, const std::vector<ByteString>* trusted_pem) {
  std::vector<ChainRow> rows;
  int rc = CollectRows(pem_list, flags, false, &rows);
  if (rc != kOk) return rc;
  ChainRow leaf;
  if (!leaf_der.empty()) {
    rc = MakeChainRow(leaf_der.data(), leaf_der.length(), false, &leaf);
  } else if (!rows.empty()) {
    rc = MakeChainRow(rows.front().cert.der.data(), rows.front().cert.der.length(), false, &leaf);
  } else {
    rc = kErrDerIncomplete;
  }
  if (rc != kOk) return rc;
  if (!(flags & kSecurityNoValidityCheck) && CheckValidity(leaf.cert) != 0) {
    return kValidityFailure;
  }
  // The leaf links from itself, wherever it stood in the list.
  for (auto it = rows.begin(); it != rows.end();) {
    it = View(it->cert.der) == View(leaf.cert.der) ? rows.erase(it) : it + 1;
  }
  std::vector<ByteString> chain{leaf.cert.der};
  ByteString issuer = leaf.issuer, subject = leaf.subject;
  const int r = ExtendCertificateChain(&issuer, &subject, &rows, &chain);

  if (trusted_pem != nullptr) {
    std::vector<ChainRow> trusted;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      for (const ByteString& pem : *trusted_pem) {
        ChainRow t;
        if (MakeChainRow(pem.data(), pem.length(), true, &t) == kOk &&
            View(t.cert.der) == View(*it)) {
          return 0;
        }
      }
    }
    rc = CollectRows(*trusted_pem, flags, true, &trusted);
    if (rc != kOk) return rc;
    ChainRow last;
    rc = MakeChainRow(chain.back().data(), chain.back().length(), false, &last);
    if (rc != kOk) return rc;
    const size_t before = chain.size();
    ExtendCertificateChain(&last.issuer, &last.subject, &trusted, &chain);
    return chain.size() > before ? 0 : static_cast<int>(kChainUntrustedRoot);
  }

  // The platform's chain of the received chain's end, as a selection of that certificate.
  CertSelection end;
  rc = end.Load(nullptr, 0, 0, "", "", chain.back().data(), chain.back().length());
  std::vector<ByteString> platform_pem;
  uint32_t status = 0;
  if (rc == kOk) rc = end.GetChain(&platform_pem, false, nullptr, nullptr, nullptr, &status, flags);
  if (rc != kOk) return rc;
  if (r == kExtendEnded) return static_cast<int>(status);
  // The received chain stopped short of a self-signed end: the platform's rows carry it on.
  std::vector<ChainRow> platform;
  for (const ByteString& pem : platform_pem) {
    ChainRow row;
    if (MakeChainRow(pem.data(), pem.length(), false, &row) == kOk) platform.push_back(std::move(row));
  }
  ChainRow last;
  rc = MakeChainRow(chain.back().data(), chain.back().length(), false, &last);
  if (rc != kOk) return rc;
  // Reaching a self-signed end proves no trust: the platform's status still judges that end.
  return ExtendCertificateChain(&last.issuer, &last.subject, &platform, &chain) == kExtendEnded
             ? static_cast<int>(status)
             : static_cast<int>(status | kChainUntrustedRoot);
}

}  // namespace tw
