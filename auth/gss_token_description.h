// Readable descriptions of Negotiate tokens for the logs: the GSS-API framing, the SPNEGO layer
// and a Kerberos AP-REQ inside it. Only reads; every DER read is bounded by the token.
#pragma once

#include "foundation/byte_string.h"

namespace tw {

// Appends the description of a GSS-API token. 0, or the DER reader's code (what was appended
// so far stays).
int DescribeGssToken(const void* token, int length, ByteString* out);
// Appends the description of an AP-REQ (or KRB-ERROR) message, every line led by the prefix.
int DescribeKerberosApReq(const void* message, int length, ByteString* out, const char* prefix);

}  // namespace tw
