#include "tls/server_key_exchange.h"

#include <algorithm>
#include <cstring>

#include "foundation/span_writer.h"
#include "tls/handshake_common.h"
#include "tls/tls_key_exchange.h"

namespace tw {
namespace {

constexpr int kDheBits = 2048;
constexpr int kExportRsaBits = 512;
constexpr size_t kMaxCaNames = 16384;

bool Is(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace

bool ChooseServerSignature(const char* kind, uint16_t version, const std::vector<uint16_t>& requested,
                           uint16_t* scheme, int* hash_id, bool* pss) {
  *scheme = 0;
  *pss = false;
  if (version < kTls12) {
    // Without signature_algorithms only the fixed hashes exist, and EdDSA has none of them.
    if (Is(kind, "rsa")) *hash_id = kHashMd5Sha1;
    else if (Is(kind, "dsa") || Is(kind, "ecdsa")) *hash_id = kHashSha1;
    else return false;
    return true;
  }
  std::vector<uint16_t> wanted = requested;
  if (wanted.empty()) {
    // RFC 5246 7.4.1.4.1: a client without the list takes SHA-1 with the key's kind.
    if (Is(kind, "rsa")) wanted.push_back(0x0201);
    else if (Is(kind, "dsa")) wanted.push_back(0x0202);
    else if (Is(kind, "ecdsa")) wanted.push_back(0x0203);
  }
  for (uint16_t s : wanted) {
    const SchemeUse use = DescribeScheme(s);
    if (!use.MadeBy(kind) || use.hash_id == kHashMd5) continue;
    *scheme = s;
    *hash_id = use.hash_id;
    *pss = use.pss;
    return true;
  }
  return false;
}

bool NeedsTemporaryRsaKey(const OwnKeyFacts& key) {
  return key.rsa_bits == 0 || key.rsa_bits > kExportRsaBits;
}

bool CertificateServesSuite(const TlsCipherSuite& suite, const OwnKeyFacts& key, const ClientSuiteNeeds& client) {
  const char* kind = key.kind;
  bool signs = true;
  switch (suite.kx) {
    case kKxRsa:
      return Is(kind, "rsa");
    case kKxRsaExport:
      if (!Is(kind, "rsa")) return false;
      signs = NeedsTemporaryRsaKey(key);
      break;
    case kKxDheRsa:
    case kKxDheRsaExport:
    case kKxEcdheRsa:
      if (!Is(kind, "rsa")) return false;
      break;
    case kKxDheDss:
    case kKxDheDssExport:
      if (!Is(kind, "dsa")) return false;
      break;
    case kKxEcdheEcdsa:
      if (!Is(kind, "ecdsa") && !Is(kind, "ed25519") && !Is(kind, "ed448")) return false;
      break;
    case kKxEcdhEcdsa:
    case kKxEcdhRsa: {
      // RFC 4492 2.1, 2.3: the certificate's own key on a curve the client takes, signed as named.
      if (!Is(kind, "ecdsa") || key.group == 0) return false;
      if (!Is(key.signer, suite.kx == kKxEcdhEcdsa ? "ecdsa" : "rsa")) return false;
      const std::vector<uint16_t>& groups = *client.groups;
      return groups.empty() || std::find(groups.begin(), groups.end(), key.group) != groups.end();
    }
    default:
      return false;  // static DH and anonymous exchanges are not served
  }
  if ((suite.kx == kKxEcdheRsa || suite.kx == kKxEcdheEcdsa) && client.ecdhe_group == 0) return false;
  if (!signs) return true;
  uint16_t scheme = 0;
  int hash_id = 0;
  bool pss = false;
  return ChooseServerSignature(kind, client.version, *client.signatures, &scheme, &hash_id, &pss);
}

int MakeServerKeyExchange(const TlsCipherSuite& suite, const CertSelection& own, uint16_t ecdhe_group,
                          std::unique_ptr<KeyExchange>* kx, std::unique_ptr<RsaKeyData>* temp_rsa) {
  kx->reset();
  temp_rsa->reset();
  switch (suite.kx) {
    case kKxEcdheRsa:
    case kKxEcdheEcdsa:
      return MakeGroupKeyExchange(ecdhe_group, kx);
    case kKxDheRsa:
    case kKxDheDss:
      return MakeServerDhKeyExchange(false, kDheBits, kx);
    case kKxDheRsaExport:
    case kKxDheDssExport:
      return MakeServerDhKeyExchange(true, kExportRsaBits, kx);
    case kKxEcdhEcdsa:
    case kKxEcdhRsa:
      return OwnEcdhKeyExchange(own, kx);
    case kKxRsaExport: {
      if (!NeedsTemporaryRsaKey(DescribeOwnKey(own))) return kOk;
      auto key = std::make_unique<RsaKeyData>();
      if (int rc = GetEphemeralRsaKey(*key); rc != kOk) return rc;
      *temp_rsa = std::move(key);
      return kOk;
    }
    default:
      return kOk;
  }
}

bool SendsServerKeyExchange(const TlsCipherSuite& suite, const RsaKeyData* temp_rsa) {
  switch (suite.kx) {
    case kKxRsaExport:
      return temp_rsa != nullptr;
    case kKxDheRsa:
    case kKxDheDss:
    case kKxDheRsaExport:
    case kKxDheDssExport:
    case kKxEcdheRsa:
    case kKxEcdheEcdsa:
      return true;
    default:
      return false;
  }
}

const std::vector<uint16_t>& CertificateRequestSchemes() {
  // sha256-rsa and sha1-dsa: what this server asks a TLS 1.2 client to sign with.
  static const std::vector<uint16_t> schemes = {0x0401, 0x0202};
  return schemes;
}

int BuildCertificateRequest12(uint16_t version, const ByteString& ca_certs, ByteString* body, bool* truncated) {
  ByteString names;
  if (int rc = CaDistinguishedNames(ca_certs, kMaxCaNames, &names, truncated); rc != kOk) return rc;
  SpanWriter w(*body);
  SpanWriter::Field types = w.Open(1);
  w.U8(1);   // rsa_sign
  w.U8(2);   // dss_sign
  w.U8(64);  // ecdsa_sign
  w.Close(types);
  if (version >= kTls12) {
    SpanWriter::Field algorithms = w.Open(2);
    for (uint16_t s : CertificateRequestSchemes()) w.U16(s);
    w.Close(algorithms);
  }
  SpanWriter::Field list = w.Open(2);
  w.Bytes(names);
  w.Close(list);
  return w.rc();
}

}  // namespace tw
