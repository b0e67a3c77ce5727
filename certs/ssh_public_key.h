// The SSH public key: the wire blob, bare or in the one-line text form "type base64 comment".
#pragma once

#include <string_view>

#include "certs/ssh_wire_reader.h"
#include "crypto/pubkey/key_pair.h"

namespace tw {

constexpr int kErrSshPublicKeyData = 280;

// Keys "ssh-rsa", "ssh-dss", "ecdsa-sha2-nistp256/384/521", "ssh-ed25519" and "ssh-ed448".
// 0; 280 for data that cannot be read, an unknown curve or key type, or a point that does not
// decode. The key is replaced only on success.
int ReadSshPublicKey(const void* data, int length, KeyPair* key);

// The public fields that follow the key type (compared exactly) in a blob, into fresh with its
// type set. False for a field that cannot be read, an unknown type, curve or point.
bool ReadSshPublicFields(std::string_view type, SpanReader* r, KeyPair* fresh);

}  // namespace tw
