// A HelloRetryRequest sent as a handshake message of its own (type 6, as early TLS 1.3 servers
// did): legacy version, the suite and the extensions, answered as the ServerHello form is.
#include "tls/handshake_common.h"
#include "tls/hello_extensions.h"
#include "tls/tls_alerts.h"
#include "tls/tls_engine.h"

namespace tw {
namespace {

constexpr char kTextBadRetry[] = "Malformed HelloRetryRequest message.";
constexpr char kTextRetryNotTls13[] = "The server sent a HelloRetryRequest without TLS 1.3.";
constexpr char kTextRetrySuite[] = "The server selected a cipher suite that was not offered.";
constexpr char kFormatRetryGroup[] =
    "Cannot find a matching group id in HELLO_RETRY_REQUEST, the selected groupid is: %u";

}  // namespace

TlsStep TlsEngine::OnHelloRetryMessage(const uint8_t* body, size_t n) {
  SpanReader in(body, n);
  uint16_t version = 0;
  uint16_t suite_id = 0;
  SpanReader block;
  if (!in.ReadU16(&version) || !in.ReadU16(&suite_id) || !in.ReadPrefixed(2, &block) || !in.empty()) {
    return Refuse(kAlertDecodeError, kErrTlsProtocol, kTextBadRetry);
  }
  ServerHelloExtensions ext;
  if (int alert = ParseServerHelloExtensions(block, true, &ext); alert != 0) {
    return Refuse(static_cast<uint8_t>(alert), kErrTlsProtocol, kTextBadRetry);
  }
  if (const int rc = RefuseUnknownRetryGroup(ext, kFormatRetryGroup); rc != kOk) return rc;
  if ((ext.has_version ? ext.version : version) != kTls13 || !Contains(hs_->offered_versions, kTls13)) {
    return Refuse(kAlertProtocolVersion, kErrTlsProtocol, kTextRetryNotTls13);
  }
  const TlsCipherSuite* suite = FindCipherSuite(suite_id);
  if (suite == nullptr || suite->kx != kKxTls13 || !Contains(offered_suites_, suite_id)) {
    return Refuse(kAlertIllegalParameter, kErrTlsProtocol, kTextRetrySuite);
  }
  return OnHelloRetryRequest(suite_id, n + kTlsHandshakeHeaderBytes, ext);
}

}  // namespace tw
