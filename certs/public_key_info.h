// The subjectPublicKeyInfo of a certificate: its algorithm identifier and the key it carries,
// read into and written from a KeyPair.
#pragma once

#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string_pair.h"

namespace tw {

// OID text and the parameters DER (empty when absent) of an AlgorithmIdentifier element.
int ParseAlgorithmIdentifier(const DerCursor& der, ByteStringPair* pair);
int ParseAlgorithmIdentifier(const ByteString& der, ByteStringPair* pair);
// SEQUENCE { OID; with parameters: the parameters DER, or NULL when there are none }.
int EncodeAlgorithmIdentifier(const ByteStringPair& pair, DerWriter* writer, bool with_parameters);

// Reads a SubjectPublicKeyInfo element. A key of an algorithm not known here leaves the key
// with type 0; a known algorithm whose key does not decode gives 446.
int ReadSubjectPublicKeyInfo(const DerCursor& spki, ByteStringPair* algorithm, KeyPair* key);
// Writes the SubjectPublicKeyInfo of the public part of the key; 445 for a key without one.
int WriteSubjectPublicKeyInfo(const KeyPair& key, DerWriter* writer);

}  // namespace tw
