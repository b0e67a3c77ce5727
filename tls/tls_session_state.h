// The negotiated state of one connection: randoms, version, suite, master secret and the two
// record directions. The engine holds one in force and one being negotiated.
#pragma once

#include <cstdint>
#include <cstring>

#include "foundation/byte_string.h"
#include "tls/cipher_suites.h"
#include "tls/record_protection.h"

namespace tw {

struct TlsSessionState {
  ByteString session_id;
  uint8_t client_random[32] = {};
  uint8_t server_random[32] = {};
  uint16_t version = 0;        // negotiated record version
  uint16_t hello_version = 0;
  const TlsCipherSuite* suite = nullptr;
  int prf_hash = 0;            // 0 MD5/SHA-1, 1 SHA-256, 2 SHA-384
  ByteString master_secret;
  bool is_client = true;
  bool is_server_side = false;
  bool client_certificate_requested = false;
  uint16_t peer_signature_scheme = 0;
  uint16_t own_signature_scheme = 0;
  TlsRecordState read;
  TlsRecordState write;

  TlsSessionState() = default;
  TlsSessionState(const TlsSessionState&) = delete;
  TlsSessionState& operator=(const TlsSessionState&) = delete;
  ~TlsSessionState() { Reset(); }

  // Takes the suite and sets the PRF hash it implies at the state's version.
  void SetSuite(const TlsCipherSuite* s) {
    suite = s;
    prf_hash = s != nullptr && (version == kTls12 || version == kTls13) ? s->prf : 0;
  }

  // True once a session has been negotiated into this state.
  bool HoldsSession() const { return suite != nullptr && !master_secret.empty(); }

  void Reset() {
    WipeString(session_id);
    WipeString(master_secret);
    WipeBytes(client_random, sizeof client_random);
    WipeBytes(server_random, sizeof server_random);
    version = hello_version = 0;
    suite = nullptr;
    prf_hash = 0;
    client_certificate_requested = false;
    peer_signature_scheme = own_signature_scheme = 0;
    read.Clear();
    write.Clear();
  }

  // Everything but the record directions, which switch separately.
  int CopyNegotiated(const TlsSessionState& other) {
    if (&other == this) return kOk;
    std::memcpy(client_random, other.client_random, sizeof client_random);
    std::memcpy(server_random, other.server_random, sizeof server_random);
    version = other.version;
    hello_version = other.hello_version;
    suite = other.suite;
    prf_hash = other.prf_hash;
    is_client = other.is_client;
    is_server_side = other.is_server_side;
    client_certificate_requested = other.client_certificate_requested;
    peer_signature_scheme = other.peer_signature_scheme;
    own_signature_scheme = other.own_signature_scheme;
    int rc = session_id.Assign(other.session_id);
    if (rc == kOk) rc = master_secret.Assign(other.master_secret);
    return rc;
  }

  int CopyFrom(const TlsSessionState& other) {
    int rc = CopyNegotiated(other);
    if (rc == kOk) rc = read.CopyFrom(other.read);
    if (rc == kOk) rc = write.CopyFrom(other.write);
    return rc;
  }
};

}  // namespace tw
