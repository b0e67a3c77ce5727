#include "tls/hello_extensions.h"

#include <cstring>

#include "foundation/text_conversion.h"
#include "tls/record_protection.h"
#include "foundation/span_writer.h"

namespace tw {
namespace {

constexpr uint8_t kHostName = 0;
constexpr uint8_t kPointUncompressed = 0;

bool IsHexLetter(char c) { return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

void AddIdList(SpanWriter& w, uint16_t type, const std::vector<uint16_t>& ids, int prefix) {
  if (ids.empty()) return;
  w.U16(type);
  SpanWriter::Field ext = w.Open(2);
  SpanWriter::Field list = w.Open(prefix);
  for (uint16_t id : ids) w.U16(id);
  w.Close(list);
  w.Close(ext);
}

}  // namespace

bool IsAddressLiteral(const char* host) {
  if (host == nullptr || *host == '\0') return false;
  bool hex_letter = false;
  bool dot = false;
  bool colon = false;
  for (const char* p = host; *p != '\0'; ++p) {
    const char c = *p;
    if (c == '.') {
      dot = true;
    } else if (c == ':') {
      colon = true;
    } else if (IsHexLetter(c)) {
      hex_letter = true;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  if (hex_letter) return colon && !dot;
  return !(dot && colon);
}

int BuildClientHelloExtensions(const ClientHelloOffer& offer, ByteString* out) {
  out->Reset();
  SpanWriter w(*out);
  if (offer.server_name != nullptr && *offer.server_name != '\0' &&
      !IsAddressLiteral(offer.server_name)) {
    w.U16(kExtServerName);
    SpanWriter::Field ext = w.Open(2);
    SpanWriter::Field list = w.Open(2);
    w.U8(kHostName);
    SpanWriter::Field name = w.Open(2);
    w.Text(offer.server_name);
    w.Close(name);
    w.Close(list);
    w.Close(ext);
  }
  if (offer.renegotiation != nullptr) WriteExtension(w, kExtRenegotiationInfo, 1, *offer.renegotiation);
  AddIdList(w, kExtSupportedGroups, offer.groups, 2);
  if (offer.point_formats) {
    w.U16(kExtEcPointFormats);
    SpanWriter::Field ext = w.Open(2);
    SpanWriter::Field list = w.Open(1);
    w.U8(kPointUncompressed);
    w.Close(list);
    w.Close(ext);
  }
  AddIdList(w, kExtSignatureAlgorithms, offer.signature_algorithms, 2);
  if (offer.alpn != nullptr && *offer.alpn != '\0') {
    w.U16(kExtAlpn);
    SpanWriter::Field ext = w.Open(2);
    SpanWriter::Field list = w.Open(2);
    ForEachListEntry(offer.alpn, ',', [&](ListEntry e) {
      if (e.length > 0 && e.length < 256) {
        SpanWriter::Field name = w.Open(1);
        w.Bytes(e.text, static_cast<size_t>(e.length));
        w.Close(name);
      }
      return false;
    });
    w.Close(list);
    w.Close(ext);
  }
  if (!offer.versions.empty()) {
    w.U16(kExtSupportedVersions);
    SpanWriter::Field ext = w.Open(2);
    SpanWriter::Field list = w.Open(1);
    for (uint16_t v : offer.versions) w.U16(v);
    w.Close(list);
    w.Close(ext);
  }
  if (offer.cookie != nullptr && !offer.cookie->empty()) WriteExtension(w, kExtCookie, 2, *offer.cookie);
  if (offer.key_shares != nullptr) WriteExtension(w, kExtKeyShare, 2, *offer.key_shares);
  return w.rc();
}

void WriteExtension(SpanWriter& w, uint16_t type, int prefix_bytes, const ByteString& body) {
  w.U16(type);
  SpanWriter::Field ext = w.Open(2);
  SpanWriter::Field field = w.Open(prefix_bytes);
  w.Bytes(body);
  w.Close(field);
  w.Close(ext);
}

void WriteAlpnExtension(SpanWriter& w, const ByteString& protocol) {
  w.U16(kExtAlpn);
  SpanWriter::Field ext = w.Open(2);
  SpanWriter::Field list = w.Open(2);
  SpanWriter::Field name = w.Open(1);
  w.Bytes(protocol);
  w.Close(name);
  w.Close(list);
  w.Close(ext);
}

bool ReadAlpnList(SpanReader body, ByteString* joined) {
  joined->Reset();
  SpanReader list;
  if (!body.ReadPrefixed(2, &list) || !body.empty() || list.empty()) return false;
  while (!list.empty()) {
    SpanReader name;
    if (!list.ReadPrefixed(1, &name) || name.empty()) return false;
    if (!joined->empty()) joined->AppendByte(',');
    joined->Append(name.data(), static_cast<int>(name.remaining()));
  }
  return true;
}

bool AlpnOffered(const char* list, const ByteString& name) {
  if (list == nullptr || name.empty()) return false;
  // The server selects exactly one protocol.
  if (std::memchr(name.data(), ',', static_cast<size_t>(name.length())) != nullptr) return false;
  return ForEachListEntry(list, ',', [&](ListEntry e) {
    return e.length == name.length() && std::memcmp(e.text, name.data(), static_cast<size_t>(e.length)) == 0;
  });
}

int ParseServerHelloExtensions(SpanReader block, bool hello_retry, ServerHelloExtensions* out) {
  uint32_t seen = 0;  // bits of the extensions met, to refuse repeats
  while (!block.empty()) {
    uint16_t type = 0;
    SpanReader body;
    if (!block.ReadU16(&type) || !block.ReadPrefixed(2, &body)) return kAlertDecodeError;
    int bit = -1;
    switch (type) {
      case kExtSupportedVersions: {
        bit = 0;
        if (!body.ReadU16(&out->version) || !body.empty()) return kAlertDecodeError;
        out->has_version = true;
        break;
      }
      case kExtKeyShare: {
        bit = 1;
        if (!body.ReadU16(&out->key_share_group)) return kAlertDecodeError;
        if (!hello_retry) {
          SpanReader value;
          if (!body.ReadPrefixed(2, &value) || value.empty()) return kAlertDecodeError;
          out->key_share.Set(value.data(), static_cast<int>(value.remaining()));
        }
        if (!body.empty()) return kAlertDecodeError;
        out->has_key_share = true;
        break;
      }
      case kExtCookie: {
        bit = 2;
        SpanReader cookie;
        if (!body.ReadPrefixed(2, &cookie) || cookie.empty() || !body.empty()) return kAlertDecodeError;
        out->cookie.Set(cookie.data(), static_cast<int>(cookie.remaining()));
        break;
      }
      case kExtRenegotiationInfo: {
        bit = 3;
        SpanReader info;
        if (!body.ReadPrefixed(1, &info) || !body.empty()) return kAlertDecodeError;
        out->renegotiation.Set(info.data(), static_cast<int>(info.remaining()));
        out->has_renegotiation = true;
        break;
      }
      case kExtAlpn:
        bit = 4;
        if (!ReadAlpnList(body, &out->alpn)) return kAlertDecodeError;
        break;
      case kExtPreSharedKey:
        bit = 5;
        out->has_pre_shared_key = true;
        break;
      case kExtEcPointFormats: {
        bit = 6;
        SpanReader formats;
        if (!body.ReadPrefixed(1, &formats) || formats.empty() || !body.empty()) return kAlertDecodeError;
        // The server must be able to take uncompressed points.
        if (std::memchr(formats.data(), kPointUncompressed, formats.remaining()) == nullptr) {
          return kAlertIllegalParameter;
        }
        break;
      }
      default:
        break;
    }
    if (bit >= 0) {
      if ((seen & (1u << bit)) != 0) return kAlertDecodeError;
      seen |= 1u << bit;
    }
  }
  return 0;
}

}  // namespace tw
