// Alerts: the two levels, the names received alerts are reported by, and what a received alert
// does to the session. The alert codes themselves are TlsAlertCode (record_protection.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

constexpr uint8_t kAlertLevelWarning = 1;
constexpr uint8_t kAlertLevelFatal = 2;

// The upper-case name of an alert code ("HANDSHAKE_FAILURE"); 1 under TLS 1.3 is
// "ENDOFEARLYDATA", an unknown code "UNKOWN_ALERT" (so spelled in the texts
// callers see).
const char* AlertName(uint8_t code, bool tls13);

enum class AlertEffect {
  kMalformed,    // not the two bytes of an alert
  kCloseNotify,  // the peer ends the session in order
  kWarning,      // reported and otherwise ignored
  kFatal,        // the session ends with the peer's alert
};
// What a received alert body does: its level decides, under every version.
AlertEffect ReceivedAlertEffect(const uint8_t* body, size_t n);

}  // namespace tw
