// Secrets of SSL 3.0 to TLS 1.2: the PRF of the negotiated version, the master secret, the key
// block and its installation into the record directions, and the Finished verify data.
#pragma once

#include "foundation/byte_string.h"
#include "tls/tls_session_state.h"

namespace tw {

constexpr int kTlsMasterSecretBytes = 48;
constexpr int kTlsKeyBlockBytes = 256;
constexpr int kErrTlsPrfHash = 276;

// PRF(secret, label + seed) of the state's version: the SSL 3.0 construction under SSL 3.0, else
// by prf_hash the TLS 1.2 PRF with SHA-256 or SHA-384, or the TLS 1.0 PRF. out is replaced.
int TlsPrf(const TlsSessionState& state, const ByteString& secret, const char* label,
           const ByteString& seed, int length, ByteString& out);

// The 48-byte master secret from the pre-master secret and the two randoms, into the state.
int DeriveMasterSecret(TlsSessionState& state, const ByteString& pre_master);

// Expands the master secret into the key block of the state's suite and keys both record
// directions (this side's keys to write, the peer's to read); neither becomes active here.
// key_block, when given, receives the block as derived (tests).
int InstallKeyBlock(TlsSessionState& state, ByteString* key_block = nullptr);

// The digest of the handshake transcript for the state's PRF hash: MD5+SHA-1 (36 bytes),
// SHA-256 or SHA-384; 276 for any other PRF hash.
int TranscriptHash(int prf_hash, const ByteString& transcript, ByteString& out);

// The Finished verify data of the sender's role over the transcript: 12 bytes under TLS,
// 36 under SSL 3.0.
int FinishedVerifyData(const TlsSessionState& state, const ByteString& transcript,
                       bool client_sender, ByteString& out);

// The SSL 3.0 MD5 and SHA-1 digests of transcript + sender + master secret with the pads,
// joined (36 bytes). A null sender leaves it out (the CertificateVerify digest).
int Ssl3HandshakeDigest(const ByteString& transcript, const char* sender,
                        const ByteString& master_secret, ByteString& out);

}  // namespace tw
