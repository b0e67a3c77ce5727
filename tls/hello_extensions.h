// The hello extensions the client sends and the ones it reads back: server name, groups, point
// formats, signature algorithms, ALPN, supported versions, key shares, cookie and secure
// renegotiation.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"
#include "foundation/span_reader.h"

namespace tw {

enum TlsExtensionType : uint16_t {
  kExtServerName = 0,
  kExtMaxFragmentLength = 1,
  kExtStatusRequest = 5,
  kExtSupportedGroups = 10,
  kExtEcPointFormats = 11,
  kExtSignatureAlgorithms = 13,
  kExtUseSrtp = 14,
  kExtHeartbeat = 15,
  kExtAlpn = 16,
  kExtClientCertificateType = 19,
  kExtPreSharedKey = 41,
  kExtEarlyData = 42,
  kExtSupportedVersions = 43,
  kExtCookie = 44,
  kExtKeyShare = 51,
  kExtRenegotiationInfo = 0xFF01,
};

// True when the host text is an address literal, which gets no server name.
bool IsAddressLiteral(const char* host);

// What the client puts into its hello.
struct ClientHelloOffer {
  const char* server_name = nullptr;             // null: no server_name
  std::vector<uint16_t> groups;                  // supported_groups
  bool point_formats = false;                    // ec_point_formats (uncompressed)
  std::vector<uint16_t> signature_algorithms;
  const char* alpn = nullptr;                    // comma-separated; null or "": none
  std::vector<uint16_t> versions;                // supported_versions; empty: none
  const ByteString* key_shares = nullptr;        // encoded KeyShareEntry list; null: none
  const ByteString* cookie = nullptr;            // null or empty: none
  const ByteString* renegotiation = nullptr;     // null: none; empty on the first handshake
};

// The extension block without its own length. 0 or a code.
int BuildClientHelloExtensions(const ClientHelloOffer& offer, ByteString* out);

class SpanWriter;
// An extension whose body is one field of `body` with a length prefix of prefix_bytes.
void WriteExtension(SpanWriter& w, uint16_t type, int prefix_bytes, const ByteString& body);
// The ALPN extension naming one protocol (a server's choice).
void WriteAlpnExtension(SpanWriter& w, const ByteString& protocol);

// What a ServerHello (or HelloRetryRequest) carried.
struct ServerHelloExtensions {
  bool has_version = false;
  uint16_t version = 0;
  bool has_key_share = false;
  uint16_t key_share_group = 0;
  ByteString key_share;  // the server's value (empty in a HelloRetryRequest)
  ByteString cookie;
  bool has_renegotiation = false;
  ByteString renegotiation;
  ByteString alpn;
  bool has_pre_shared_key = false;
};

// Reads a ServerHello extension block (the bytes after the compression method, with their
// length). 0, or the alert to send (50 decode_error for bad lengths or a repeated extension).
int ParseServerHelloExtensions(SpanReader block, bool hello_retry, ServerHelloExtensions* out);

// The protocols of an ALPN extension body joined with ","; false when malformed.
bool ReadAlpnList(SpanReader body, ByteString* joined);

// True when `name` is one of the comma-separated protocols of `list`.
bool AlpnOffered(const char* list, const ByteString& name);

}  // namespace tw
