// The NTLM, Negotiate and Kerberos packages of secur32 over the system's GSSAPI library
// (libgssapi_krb5, loaded at run time through LoadLibraryA, so switching its name off makes the
// packages missing). NTLM works where the library has an NTLM mechanism installed.
//
// Their handles carry kGssHandleTag in the upper word, so the secur32 entry points can tell
// them from SChannel's.
#pragma once

#include "platform/sspi.h"

namespace win {

inline constexpr char kGssapiName[] = "libgssapi_krb5.so.2";
constexpr uintptr_t kGssHandleTag = 0x47535341;

bool IsGssPackage(const char* package);
inline bool IsGssHandle(const SecHandle* h) { return h != nullptr && h->dwUpper == kGssHandleTag; }
// Loads the library on first use; false when it is missing or switched off.
bool GssAvailable();

SECURITY_STATUS GssAcquireCredentialsHandle(const char* package, uint32_t use, void* auth_data,
                                            CredHandle* credential, TimeStamp* expiry);
SECURITY_STATUS GssFreeCredentialsHandle(CredHandle* credential);
SECURITY_STATUS GssInitializeSecurityContext(CredHandle* credential, CtxtHandle* context,
                                             const char* target, SecBufferDesc* input,
                                             CtxtHandle* new_context, SecBufferDesc* output);
SECURITY_STATUS GssDeleteSecurityContext(CtxtHandle* context);
// The library's own words for the last failure on this thread ("" when none).
const char* GssLastStatusText();

}  // namespace win
