// Distinguished names as text: DER to text, text to DER, the normal form used to compare
// subjects, and the subject search built on it.
#pragma once

#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "foundation/byte_string.h"
#include "foundation/string_list.h"

namespace tw {

// "CN=host1, O=\"Acme, Inc.\", C=US" from a Name element; the first value of each RDN is shown.
int NameDerToText(const ByteString& name_der, ByteString* text);
int NameDerToText(const DerCursor& name_der, ByteString* text);
// Appends a Name SEQUENCE; -1 when the text does not split into name=value pairs or names an
// attribute that is neither in the table nor a dotted number.
int NameTextToDer(const char* text, DerWriter* writer);

// The short name of an attribute OID, or the OID itself.
void AttributeOidToName(const char* oid, ByteString* name);
// The OID of a short name (without regard to case), or the name when it is a dotted number;
// -1 for anything else.
int AttributeNameToOid(const char* name, ByteString* oid);

// name=value pairs with canonical names, sorted, joined by "," without spaces; empty when the
// text does not read as pairs.
void NormalizeDistinguishedName(const char* text, ByteString* normal);
// Index of the best entry for the wanted subject, -1 when none.
int FindSubjectIndex(const StringList& subjects, const char* wanted);

}  // namespace tw
