#include "tls/tls_alerts.h"

#include "tls/record_protection.h"

namespace tw {
namespace {

constexpr uint8_t kEndOfEarlyData13 = 1;
constexpr char kTextEndOfEarlyData[] = "ENDOFEARLYDATA";
constexpr char kTextUnknownAlert[] = "UNKOWN_ALERT";

struct AlertNameEntry {
  uint8_t code;
  const char* name;
};
constexpr AlertNameEntry kAlertNames[] = {
    {0, "CLOSE_NOTIFY"},           {10, "UNEXPECTED_MESSAGE"},
    {20, "BAD_RECORD_MAC"},        {21, "DECRYPTION_FAILED"},
    {22, "RECORD_OVERFLOW"},       {30, "DECOMPRESSION_FAILURE"},
    {40, "HANDSHAKE_FAILURE"},     {41, "NO_CERTIFICATE_RESERVED"},
    {42, "BAD_CERTIFICATE"},       {43, "UNSUPPORTED_CERTIFICATE"},
    {44, "CERTIFICATE_REVOKED"},   {45, "CERTIFICATE_EXPIRED"},
    {46, "CERTIFICATE_UNKNOWN"},   {47, "ILLEGAL_PARAMETER"},
    {48, "UNKNOWN_CA"},            {49, "ACCESS_DENIED"},
    {50, "DECODE_ERROR"},          {51, "DECRYPT_ERROR"},
    {60, "EXPORT_RESTRICTION_RESERVED"}, {70, "PROTOCOL_VERSION"},
    {71, "INSUFFICIENT_SECURITY"}, {80, "INTERNAL_ERROR"},
    {90, "USER_CANCELED"},         {100, "NO_RENEGOTIATION"},
};

}  // namespace

const char* AlertName(uint8_t code, bool tls13) {
  if (code == kEndOfEarlyData13 && tls13) return kTextEndOfEarlyData;
  for (const AlertNameEntry& e : kAlertNames) {
    if (e.code == code) return e.name;
  }
  return kTextUnknownAlert;
}

AlertEffect ReceivedAlertEffect(const uint8_t* body, size_t n) {
  if (n != 2) return AlertEffect::kMalformed;
  const uint8_t level = body[0];
  const uint8_t description = body[1];
  if (description == kAlertCloseNotify) return AlertEffect::kCloseNotify;
  return level == kAlertLevelFatal ? AlertEffect::kFatal : AlertEffect::kWarning;
}

}  // namespace tw
