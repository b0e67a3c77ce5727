// The security support provider interface of "secur32.dll" with its SChannel package, and the
// certificate contexts and SSL chain policy of "crypt32.dll" that the TLS path calls.
//
// Both stand in over the system's libssl and libcrypto, loaded at run time through LoadLibraryA
// ("libssl.so.3", "libcrypto.so.3"), so switching either name off makes the package missing:
// InitSecurityInterfaceA then returns null, as a system without the provider would.
//
// Contexts run libssl over memory BIOs. InitializeSecurityContextA and DecryptMessage take only
// whole records from their input: a partial record is SEC_E_INCOMPLETE_MESSAGE (with a
// SECBUFFER_MISSING count), bytes behind what was consumed come back as SECBUFFER_EXTRA.
#pragma once

#include <cstdint>

#include "platform/library.h"

namespace win {

using SECURITY_STATUS = int32_t;
using ALG_ID = uint32_t;

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = 0x00090317;
constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = 0x00090321;
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = static_cast<int32_t>(0x80090300u);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = static_cast<int32_t>(0x80090301u);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = static_cast<int32_t>(0x80090302u);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = static_cast<int32_t>(0x80090304u);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = static_cast<int32_t>(0x80090305u);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = static_cast<int32_t>(0x80090308u);
constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = static_cast<int32_t>(0x80090318u);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = static_cast<int32_t>(0x80090321u);
constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = static_cast<int32_t>(0x80090326u);
constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = static_cast<int32_t>(0x80090330u);
constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = static_cast<int32_t>(0x80090331u);
constexpr SECURITY_STATUS SEC_E_INVALID_PARAMETER = static_cast<int32_t>(0x8009035Du);
constexpr SECURITY_STATUS SEC_E_TARGET_UNKNOWN = static_cast<int32_t>(0x80090303u);
constexpr SECURITY_STATUS SEC_E_LOGON_DENIED = static_cast<int32_t>(0x8009030Cu);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = static_cast<int32_t>(0x8009030Eu);

constexpr uint32_t SECBUFFER_EMPTY = 0;
constexpr uint32_t SECBUFFER_DATA = 1;
constexpr uint32_t SECBUFFER_TOKEN = 2;
constexpr uint32_t SECBUFFER_MISSING = 4;
constexpr uint32_t SECBUFFER_EXTRA = 5;
constexpr uint32_t SECBUFFER_STREAM_TRAILER = 6;
constexpr uint32_t SECBUFFER_STREAM_HEADER = 7;
constexpr uint32_t SECBUFFER_CHANNEL_BINDINGS = 14;
constexpr uint32_t SECBUFFER_ALERT = 17;
constexpr uint32_t SECBUFFER_APPLICATION_PROTOCOLS = 18;
constexpr uint32_t SECBUFFER_VERSION = 0;

constexpr uint32_t SECPKG_CRED_INBOUND = 1;
constexpr uint32_t SECPKG_CRED_OUTBOUND = 2;
constexpr uint32_t SEC_WINNT_AUTH_IDENTITY_ANSI = 1;
constexpr uint32_t SECURITY_NATIVE_DREP = 0x10;
constexpr uint32_t ISC_REQ_REPLAY_DETECT = 0x4;
constexpr uint32_t ISC_REQ_SEQUENCE_DETECT = 0x8;
constexpr uint32_t ISC_REQ_CONFIDENTIALITY = 0x10;
constexpr uint32_t ISC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr uint32_t ISC_REQ_EXTENDED_ERROR = 0x4000;
constexpr uint32_t ISC_REQ_STREAM = 0x8000;
constexpr uint32_t ISC_RET_EXTENDED_ERROR = 0x4000;

constexpr uint32_t SECPKG_ATTR_STREAM_SIZES = 4;
constexpr uint32_t SECPKG_ATTR_ENDPOINT_BINDINGS = 26;
constexpr uint32_t SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
constexpr uint32_t SECPKG_ATTR_CONNECTION_INFO = 0x5A;
constexpr uint32_t SECPKG_ATTR_APPLICATION_PROTOCOL = 35;
constexpr uint32_t SecApplicationProtocolNegotiationStatus_Success = 1;

constexpr uint32_t SCHANNEL_CRED_VERSION = 4;
constexpr uint32_t SCHANNEL_SHUTDOWN = 1;
constexpr uint32_t SCHANNEL_ALERT = 2;
constexpr uint32_t TLS1_ALERT_WARNING = 1;
constexpr uint32_t TLS1_ALERT_FATAL = 2;
constexpr uint32_t SCH_CRED_MANUAL_CRED_VALIDATION = 0x8;
constexpr uint32_t SCH_CRED_NO_DEFAULT_CREDS = 0x10;
constexpr uint32_t SCH_CRED_USE_DEFAULT_CREDS = 0x40;

// Protocol bits: each version has a server bit and a client bit above it.
constexpr uint32_t SP_PROT_PCT1 = 0x3;
constexpr uint32_t SP_PROT_SSL2 = 0xC;
constexpr uint32_t SP_PROT_SSL3 = 0x30;
constexpr uint32_t SP_PROT_TLS1_0 = 0xC0;
constexpr uint32_t SP_PROT_TLS1_1 = 0x300;
constexpr uint32_t SP_PROT_TLS1_2 = 0xC00;
constexpr uint32_t SP_PROT_TLS1_3 = 0x3000;
constexpr uint32_t SP_PROT_TLS1_0_CLIENT = 0x80;
constexpr uint32_t SP_PROT_TLS1_1_CLIENT = 0x200;
constexpr uint32_t SP_PROT_TLS1_2_CLIENT = 0x800;
constexpr uint32_t SP_PROT_TLS1_3_CLIENT = 0x2000;
constexpr uint32_t SP_PROT_SSL3_CLIENT = 0x20;

// Algorithm ids (class, type and sub-id in one word).
constexpr ALG_ID CALG_MD2 = 0x8001, CALG_MD4 = 0x8002, CALG_MD5 = 0x8003, CALG_SHA = 0x8004,
                 CALG_SHA1 = 0x8004, CALG_MAC = 0x8005, CALG_SSL3_SHAMD5 = 0x8008,
                 CALG_HMAC = 0x8009, CALG_TLS1PRF = 0x800A, CALG_HASH_REPLACE_OWF = 0x800B,
                 CALG_SHA_256 = 0x800C, CALG_SHA_384 = 0x800D, CALG_SHA_512 = 0x800E;
constexpr ALG_ID CALG_NO_SIGN = 0x2000, CALG_DSS_SIGN = 0x2200, CALG_ECDSA = 0x2203,
                 CALG_RSA_SIGN = 0x2400;
constexpr ALG_ID CALG_DES = 0x6601, CALG_RC2 = 0x6602, CALG_3DES = 0x6603, CALG_DESX = 0x6604,
                 CALG_3DES_112 = 0x6609, CALG_SKIPJACK = 0x660A, CALG_TEK = 0x660B,
                 CALG_CYLINK_MEK = 0x660C, CALG_RC5 = 0x660D, CALG_AES_128 = 0x660E,
                 CALG_AES_192 = 0x660F, CALG_AES_256 = 0x6610, CALG_AES = 0x6611,
                 CALG_RC4 = 0x6801, CALG_SEAL = 0x6802;
constexpr ALG_ID CALG_RSA_KEYX = 0xA400, CALG_HUGHES_MD5 = 0xA003, CALG_ECMQV = 0xA001,
                 CALG_DH_SF = 0xAA01, CALG_DH_EPHEM = 0xAA02, CALG_AGREEDKEY_ANY = 0xAA03,
                 CALG_KEA_KEYX = 0xAA04, CALG_ECDH = 0xAA05, CALG_ECDH_EPHEM = 0xAE06;
constexpr ALG_ID CALG_SSL3_MASTER = 0x4C01, CALG_SCHANNEL_MASTER_HASH = 0x4C02,
                 CALG_SCHANNEL_MAC_KEY = 0x4C03, CALG_PCT1_MASTER = 0x4C04,
                 CALG_SSL2_MASTER = 0x4C05, CALG_TLS1_MASTER = 0x4C06,
                 CALG_SCHANNEL_ENC_KEY = 0x4C07;
constexpr ALG_ID CALG_OID_INFO_PARAMETERS = 0xFFFFFFFEu, CALG_OID_INFO_CNG_ONLY = 0xFFFFFFFFu;

struct SecHandle {
  uintptr_t dwLower = 0;
  uintptr_t dwUpper = 0;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;
using TimeStamp = int64_t;

struct SecBuffer {
  uint32_t cbBuffer;
  uint32_t BufferType;
  void* pvBuffer;
};

struct SecBufferDesc {
  uint32_t ulVersion;
  uint32_t cBuffers;
  SecBuffer* pBuffers;
};

// The explicit credentials of AcquireCredentialsHandleA (lengths without the NUL).
struct SEC_WINNT_AUTH_IDENTITY_A {
  unsigned char* User;
  uint32_t UserLength;
  unsigned char* Domain;
  uint32_t DomainLength;
  unsigned char* Password;
  uint32_t PasswordLength;
  uint32_t Flags;
};

// Channel bindings: offsets are from the start of the structure.
struct SEC_CHANNEL_BINDINGS {
  uint32_t dwInitiatorAddrType;
  uint32_t cbInitiatorLength;
  uint32_t dwInitiatorOffset;
  uint32_t dwAcceptorAddrType;
  uint32_t cbAcceptorLength;
  uint32_t dwAcceptorOffset;
  uint32_t cbApplicationDataLength;
  uint32_t dwApplicationDataOffset;
};
struct SecPkgContext_Bindings {
  uint32_t BindingsLength;
  SEC_CHANNEL_BINDINGS* Bindings;
};

struct SecPkgContext_StreamSizes {
  uint32_t cbHeader;
  uint32_t cbTrailer;
  uint32_t cbMaximumMessage;
  uint32_t cBuffers;
  uint32_t cbBlockSize;
};

struct SecPkgContext_ConnectionInfo {
  uint32_t dwProtocol;
  ALG_ID aiCipher;
  uint32_t dwCipherStrength;
  ALG_ID aiHash;
  uint32_t dwHashStrength;
  ALG_ID aiExch;
  uint32_t dwExchStrength;
};

// The protocol ALPN chose (status Success), its length and bytes.
struct SecPkgContext_ApplicationProtocol {
  uint32_t ProtoNegoStatus;
  uint32_t ProtoNegoExt;
  uint8_t ProtocolIdSize;
  uint8_t ProtocolId[255];
};

struct SCHANNEL_ALERT_TOKEN {
  uint32_t dwTokenType;
  uint32_t dwAlertType;
  uint32_t dwAlertNumber;
};

// ---- crypt32: certificate contexts and the chain policy ----
using HCERTSTORE = void*;
constexpr uint32_t X509_ASN_ENCODING = 0x1;
constexpr uint32_t PKCS_7_ASN_ENCODING = 0x10000;
// Name string types and their flags.
constexpr uint32_t CERT_SIMPLE_NAME_STR = 1;
constexpr uint32_t CERT_OID_NAME_STR = 2;
constexpr uint32_t CERT_X500_NAME_STR = 3;
constexpr uint32_t CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
constexpr uint32_t CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
constexpr uint32_t CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
constexpr uint32_t CERT_NAME_STR_CRLF_FLAG = 0x08000000;
constexpr uint32_t CERT_NAME_STR_COMMA_FLAG = 0x04000000;
constexpr uint32_t CERT_NAME_STR_REVERSE_FLAG = 0x02000000;
constexpr uint32_t CERT_NAME_STR_ENABLE_T61_UNICODE_FLAG = 0x00020000;
constexpr uint32_t CERT_NAME_STR_ENABLE_UTF8_UNICODE_FLAG = 0x00040000;
constexpr uint32_t CERT_NAME_STR_FORCE_UTF8_DIR_STR_FLAG = 0x00080000;

struct CRYPTOAPI_BLOB {
  uint32_t cbData;
  uint8_t* pbData;
};
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;

// The fields of a certificate's record that the stand-in fills: the serial number with its bytes
// little-endian, and the encoded issuer and subject names (pointing into the context's DER).
struct CERT_INFO {
  uint32_t dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CERT_NAME_BLOB Issuer;
  CERT_NAME_BLOB Subject;
};
struct CERT_CONTEXT {
  uint32_t dwCertEncodingType;
  uint8_t* pbCertEncoded;
  uint32_t cbCertEncoded;
  CERT_INFO* pCertInfo;
  HCERTSTORE hCertStore;  // the certificates that came with it (a peer's chain); may be null
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct SCHANNEL_CRED {
  uint32_t dwVersion;
  uint32_t cCreds;
  PCCERT_CONTEXT* paCred;
  HCERTSTORE hRootStore;
  uint32_t cMappers;
  void** aphMappers;
  uint32_t cSupportedAlgs;
  ALG_ID* palgSupportedAlgs;
  uint32_t grbitEnabledProtocols;
  uint32_t dwMinimumCipherStrength;
  uint32_t dwMaximumCipherStrength;
  uint32_t dwSessionLifespan;
  uint32_t dwFlags;
  uint32_t dwCredFormat;
};

struct CERT_CHAIN_ELEMENT {
  uint32_t cbSize;
  PCCERT_CONTEXT pCertContext;
};
struct CERT_SIMPLE_CHAIN {
  uint32_t cbSize;
  uint32_t cElement;
  CERT_CHAIN_ELEMENT** rgpElement;
};
// The chain's trust status: error bits (0x1 a certificate outside its validity period, 0x8 a
// signature that does not verify, 0x20 an untrusted root, 0x10000 a partial chain) and info bits
// (0x4 issuers found by name, 0x8 a self-signed end).
struct CERT_TRUST_STATUS {
  uint32_t dwErrorStatus;
  uint32_t dwInfoStatus;
};
struct CERT_CHAIN_CONTEXT {
  uint32_t cbSize;
  CERT_TRUST_STATUS TrustStatus;
  uint32_t cChain;
  CERT_SIMPLE_CHAIN** rgpChain;
};
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

struct CERT_CHAIN_PARA {
  uint32_t cbSize;
};

constexpr uintptr_t CERT_CHAIN_POLICY_SSL = 4;
constexpr uint32_t AUTHTYPE_CLIENT = 1;
constexpr uint32_t AUTHTYPE_SERVER = 2;
// Checks the SSL policy leaves out (SSLSecurityFlags).
constexpr uint32_t SECURITY_FLAG_IGNORE_REVOCATION = 0x80;
constexpr uint32_t SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
constexpr uint32_t SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x200;
constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;

struct SSL_EXTRA_CERT_CHAIN_POLICY_PARA {
  uint32_t cbSize;
  uint32_t dwAuthType;
  uint32_t fdwChecks;  // SECURITY_FLAG_IGNORE_* bits
  const char16_t* pwszServerName;
};
struct CERT_CHAIN_POLICY_PARA {
  uint32_t cbSize;
  uint32_t dwFlags;
  void* pvExtraPolicyPara;
};
struct CERT_CHAIN_POLICY_STATUS {
  uint32_t cbSize;
  uint32_t dwError;
  int32_t lChainIndex;
  int32_t lElementIndex;
  void* pvExtraPolicyStatus;
};

// Policy errors.
constexpr uint32_t TRUST_E_CERT_SIGNATURE = 0x80096004u;
constexpr uint32_t CERT_E_EXPIRED = 0x800B0101u;
constexpr uint32_t CERT_E_VALIDITYPERIODNESTING = 0x800B0102u;
constexpr uint32_t CERT_E_ROLE = 0x800B0103u;
constexpr uint32_t CERT_E_PATHLENCONST = 0x800B0104u;
constexpr uint32_t CERT_E_CRITICAL = 0x800B0105u;
constexpr uint32_t CERT_E_PURPOSE = 0x800B0106u;
constexpr uint32_t CERT_E_ISSUERCHAINING = 0x800B0107u;
constexpr uint32_t CERT_E_MALFORMED = 0x800B0108u;
constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109u;
constexpr uint32_t CERT_E_CHAINING = 0x800B010Au;
constexpr uint32_t CERT_E_REVOKED = 0x800B010Cu;
constexpr uint32_t CERT_E_UNTRUSTEDTESTROOT = 0x800B010Du;
constexpr uint32_t CERT_E_REVOCATION_FAILURE = 0x800B010Eu;
constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010Fu;
constexpr uint32_t CERT_E_WRONG_USAGE = 0x800B0110u;
constexpr uint32_t TRUST_E_BASIC_CONSTRAINTS = 0x80096019u;
constexpr uint32_t TRUST_E_EXPLICIT_DISTRUST = 0x800B0111u;
constexpr uint32_t CRYPT_E_REVOKED = 0x80092010u;
constexpr uint32_t CRYPT_E_REVOCATION_OFFLINE = 0x80092013u;
constexpr uint32_t CRYPT_E_NO_REVOCATION_CHECK = 0x80092012u;

// ---- The SSPI function table ----
using ACQUIRE_CREDENTIALS_HANDLE_FN_A = SECURITY_STATUS (*)(const char* principal,
                                                            const char* package, uint32_t use,
                                                            void* logon_id, void* auth_data,
                                                            void* get_key_fn, void* get_key_arg,
                                                            CredHandle* credential,
                                                            TimeStamp* expiry);
using FREE_CREDENTIALS_HANDLE_FN = SECURITY_STATUS (*)(CredHandle* credential);
using INITIALIZE_SECURITY_CONTEXT_FN_A = SECURITY_STATUS (*)(
    CredHandle* credential, CtxtHandle* context, const char* target, uint32_t requirements,
    uint32_t reserved1, uint32_t data_rep, SecBufferDesc* input, uint32_t reserved2,
    CtxtHandle* new_context, SecBufferDesc* output, uint32_t* attributes, TimeStamp* expiry);
using DELETE_SECURITY_CONTEXT_FN = SECURITY_STATUS (*)(CtxtHandle* context);
using APPLY_CONTROL_TOKEN_FN = SECURITY_STATUS (*)(CtxtHandle* context, SecBufferDesc* input);
using QUERY_CONTEXT_ATTRIBUTES_FN_A = SECURITY_STATUS (*)(CtxtHandle* context, uint32_t attribute,
                                                          void* buffer);
using FREE_CONTEXT_BUFFER_FN = SECURITY_STATUS (*)(void* buffer);
using ENCRYPT_MESSAGE_FN = SECURITY_STATUS (*)(CtxtHandle* context, uint32_t qop,
                                               SecBufferDesc* message, uint32_t sequence);
using DECRYPT_MESSAGE_FN = SECURITY_STATUS (*)(CtxtHandle* context, SecBufferDesc* message,
                                               uint32_t sequence, uint32_t* qop);

// The table InitSecurityInterfaceA hands out; entries a provider lacks are null. Every slot is
// pointer-sized, so the table can be copied as an array of entry points.
struct SecurityFunctionTableA {
  uintptr_t dwVersion;
  FARPROC EnumerateSecurityPackagesA;
  FARPROC QueryCredentialsAttributesA;
  ACQUIRE_CREDENTIALS_HANDLE_FN_A AcquireCredentialsHandleA;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  FARPROC Reserved2;
  INITIALIZE_SECURITY_CONTEXT_FN_A InitializeSecurityContextA;
  FARPROC AcceptSecurityContext;
  FARPROC CompleteAuthToken;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  APPLY_CONTROL_TOKEN_FN ApplyControlToken;
  QUERY_CONTEXT_ATTRIBUTES_FN_A QueryContextAttributesA;
  FARPROC ImpersonateSecurityContext;
  FARPROC RevertSecurityContext;
  FARPROC MakeSignature;
  FARPROC VerifySignature;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  FARPROC QuerySecurityPackageInfoA;
  FARPROC Reserved3;
  FARPROC Reserved4;
  FARPROC ExportSecurityContext;
  FARPROC ImportSecurityContextA;
  FARPROC AddCredentialsA;
  FARPROC Reserved8;
  FARPROC QuerySecurityContextToken;
  ENCRYPT_MESSAGE_FN EncryptMessage;
  DECRYPT_MESSAGE_FN DecryptMessage;
  FARPROC SetContextAttributesA;
  FARPROC SetCredentialsAttributesA;
  FARPROC ChangeAccountPasswordA;
};
using INIT_SECURITY_INTERFACE_A = const SecurityFunctionTableA* (*)();

// The package name of SChannel.
inline constexpr char UNISP_NAME_A[] = "Microsoft Unified Security Protocol Provider";
inline constexpr char kLibsslName[] = "libssl.so.3";
inline constexpr char kLibcryptoName[] = "libcrypto.so.3";

// secur32.dll: null when libssl or libcrypto cannot be loaded.
const SecurityFunctionTableA* InitSecurityInterfaceA();

// crypt32.dll
PCCERT_CONTEXT CertCreateCertificateContext(uint32_t encoding, const uint8_t* encoded,
                                            uint32_t length);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);
// An encoded Name as text in the ANSI code page: the parts in the encoding's order (reversed with
// CERT_NAME_STR_REVERSE_FLAG), separated by ", " ("; " or CR LF by the flags), the values of one
// part by " + " (a blank with CERT_NAME_STR_NO_PLUS_FLAG), keys by the string type (none, dotted
// OIDs, or X.500 keys with "OID." before an unknown one), a value quoted when it is empty, starts
// or ends with white space or holds one of ,+="<>#; or a line feed (a quote in it doubled), unless
// CERT_NAME_STR_NO_QUOTING_FLAG; octet strings and non-text values as "#" and hex. NUL-terminated
// and cut to `size`; the length written with the NUL, or the size needed without a buffer.
uint32_t CertNameToStrA(uint32_t encoding, const CERT_NAME_BLOB* name, uint32_t type, char* out, uint32_t size);
// Builds the chain of the certificate over its own store and the ROOT and CA stores. The
// chain context says whether an anchor was reached; the policy check tells what is wrong.
BOOL CertGetCertificateChain(void* engine, PCCERT_CONTEXT context, void* time,
                             HCERTSTORE additional, const CERT_CHAIN_PARA* para, uint32_t flags,
                             void* reserved, PCCERT_CHAIN_CONTEXT* chain);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain);
BOOL CertVerifyCertificateChainPolicy(uintptr_t policy, PCCERT_CHAIN_CONTEXT chain,
                                      const CERT_CHAIN_POLICY_PARA* para,
                                      CERT_CHAIN_POLICY_STATUS* status);

// The entry points of the two stand-ins, for the library table.
std::span<const ProcEntry> Secur32Exports();
std::span<const ProcEntry> Crypt32Exports();

}  // namespace win
