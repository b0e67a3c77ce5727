// A PKCS #11 module named by the caller, loaded at run time, and the part of the C_ interface the
// token store calls. The declarations follow the PKCS #11 standard's C types as the Linux ABI lays
// them out (CK_ULONG is unsigned long, default structure alignment).
#pragma once

#include <cstdint>

#include "platform/library.h"

namespace win {

using CK_BYTE = unsigned char;
using CK_ULONG = unsigned long;
using CK_RV = CK_ULONG;
using CK_SLOT_ID = CK_ULONG;
using CK_SESSION_HANDLE = CK_ULONG;
using CK_OBJECT_HANDLE = CK_ULONG;
using CK_ATTRIBUTE_TYPE = CK_ULONG;
using CK_MECHANISM_TYPE = CK_ULONG;
using CK_FLAGS = CK_ULONG;

constexpr CK_RV CKR_OK = 0;
constexpr CK_RV CKR_PIN_INCORRECT = 0xA0;
constexpr CK_RV CKR_PIN_LEN_RANGE = 0xA2;
constexpr CK_RV CKR_PIN_LOCKED = 0xA4;
constexpr CK_RV CKR_USER_ALREADY_LOGGED_IN = 0x100;
constexpr CK_RV CKR_BUFFER_TOO_SMALL = 0x150;
constexpr CK_RV CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191;

constexpr CK_ULONG CKU_USER = 1;
constexpr CK_FLAGS CKF_SERIAL_SESSION = 0x4;
constexpr CK_FLAGS CKF_TOKEN_PRESENT = 0x1;

constexpr CK_ATTRIBUTE_TYPE CKA_CLASS = 0x0;
constexpr CK_ATTRIBUTE_TYPE CKA_LABEL = 0x3;
constexpr CK_ATTRIBUTE_TYPE CKA_VALUE = 0x11;
constexpr CK_ATTRIBUTE_TYPE CKA_CERTIFICATE_TYPE = 0x80;
constexpr CK_ATTRIBUTE_TYPE CKA_ID = 0x102;
constexpr CK_ULONG CKO_CERTIFICATE = 1;
constexpr CK_ULONG CKO_PRIVATE_KEY = 3;
constexpr CK_ULONG CKC_X_509 = 0;
constexpr CK_ULONG CK_UNAVAILABLE_INFORMATION = ~0UL;

constexpr CK_MECHANISM_TYPE CKM_RSA_PKCS = 0x1;
constexpr CK_MECHANISM_TYPE CKM_RSA_PKCS_PSS = 0xD;
constexpr CK_MECHANISM_TYPE CKM_DSA = 0x11;
constexpr CK_MECHANISM_TYPE CKM_SHA_1 = 0x220;
constexpr CK_MECHANISM_TYPE CKM_SHA224 = 0x255;
constexpr CK_MECHANISM_TYPE CKM_SHA256 = 0x250;
constexpr CK_MECHANISM_TYPE CKM_SHA384 = 0x260;
constexpr CK_MECHANISM_TYPE CKM_SHA512 = 0x270;
constexpr CK_ULONG CKG_MGF1_SHA1 = 1;
constexpr CK_ULONG CKG_MGF1_SHA256 = 2;
constexpr CK_ULONG CKG_MGF1_SHA384 = 3;
constexpr CK_ULONG CKG_MGF1_SHA512 = 4;
constexpr CK_ULONG CKG_MGF1_SHA224 = 5;
constexpr CK_MECHANISM_TYPE CKM_SHA256_RSA_PKCS = 0x40;
constexpr CK_MECHANISM_TYPE CKM_ECDSA = 0x1041;

struct CK_VERSION {
  CK_BYTE major;
  CK_BYTE minor;
};

struct CK_ATTRIBUTE {
  CK_ATTRIBUTE_TYPE type;
  void* pValue;
  CK_ULONG ulValueLen;
};

struct CK_MECHANISM {
  CK_MECHANISM_TYPE mechanism;
  void* pParameter;
  CK_ULONG ulParameterLen;
};

struct CK_RSA_PKCS_PSS_PARAMS {
  CK_MECHANISM_TYPE hashAlg;
  CK_ULONG mgf;
  CK_ULONG sLen;
};

struct CK_TOKEN_INFO {
  CK_BYTE label[32];  // blank-padded, not terminated
  CK_BYTE manufacturerID[32];
  CK_BYTE model[16];
  CK_BYTE serialNumber[16];
  CK_FLAGS flags;
  CK_ULONG ulMaxSessionCount;
  CK_ULONG ulSessionCount;
  CK_ULONG ulMaxRwSessionCount;
  CK_ULONG ulRwSessionCount;
  CK_ULONG ulMaxPinLen;
  CK_ULONG ulMinPinLen;
  CK_ULONG ulTotalPublicMemory;
  CK_ULONG ulFreePublicMemory;
  CK_ULONG ulTotalPrivateMemory;
  CK_ULONG ulFreePrivateMemory;
  CK_VERSION hardwareVersion;
  CK_VERSION firmwareVersion;
  CK_BYTE utcTime[16];
};

using CK_NOTIFY = CK_RV (*)(CK_SESSION_HANDLE, CK_ULONG, void*);
using CK_UNUSED_FN = void (*)();

// The module's function table up to C_Sign, in the standard's order; the slots after it are not
// called and so not declared.
struct CK_FUNCTION_LIST {
  CK_VERSION version;
  CK_RV (*C_Initialize)(void* init_args);
  CK_RV (*C_Finalize)(void* reserved);
  CK_UNUSED_FN C_GetInfo;
  CK_UNUSED_FN C_GetFunctionList;
  CK_RV (*C_GetSlotList)(CK_BYTE token_present, CK_SLOT_ID* slots, CK_ULONG* count);
  CK_UNUSED_FN C_GetSlotInfo;
  CK_RV (*C_GetTokenInfo)(CK_SLOT_ID slot, CK_TOKEN_INFO* info);
  CK_UNUSED_FN C_GetMechanismList;
  CK_UNUSED_FN C_GetMechanismInfo;
  CK_UNUSED_FN C_InitToken;
  CK_UNUSED_FN C_InitPIN;
  CK_UNUSED_FN C_SetPIN;
  CK_RV (*C_OpenSession)(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                         CK_SESSION_HANDLE* session);
  CK_RV (*C_CloseSession)(CK_SESSION_HANDLE session);
  CK_UNUSED_FN C_CloseAllSessions;
  CK_UNUSED_FN C_GetSessionInfo;
  CK_UNUSED_FN C_GetOperationState;
  CK_UNUSED_FN C_SetOperationState;
  CK_RV (*C_Login)(CK_SESSION_HANDLE session, CK_ULONG user_type, CK_BYTE* pin, CK_ULONG pin_length);
  CK_RV (*C_Logout)(CK_SESSION_HANDLE session);
  CK_UNUSED_FN C_CreateObject;
  CK_UNUSED_FN C_CopyObject;
  CK_UNUSED_FN C_DestroyObject;
  CK_UNUSED_FN C_GetObjectSize;
  CK_RV (*C_GetAttributeValue)(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                               CK_ATTRIBUTE* attributes, CK_ULONG count);
  CK_UNUSED_FN C_SetAttributeValue;
  CK_RV (*C_FindObjectsInit)(CK_SESSION_HANDLE session, CK_ATTRIBUTE* templ, CK_ULONG count);
  CK_RV (*C_FindObjects)(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG max,
                         CK_ULONG* found);
  CK_RV (*C_FindObjectsFinal)(CK_SESSION_HANDLE session);
  CK_UNUSED_FN C_EncryptInit;
  CK_UNUSED_FN C_Encrypt;
  CK_UNUSED_FN C_EncryptUpdate;
  CK_UNUSED_FN C_EncryptFinal;
  CK_UNUSED_FN C_DecryptInit;
  CK_UNUSED_FN C_Decrypt;
  CK_UNUSED_FN C_DecryptUpdate;
  CK_UNUSED_FN C_DecryptFinal;
  CK_UNUSED_FN C_DigestInit;
  CK_UNUSED_FN C_Digest;
  CK_UNUSED_FN C_DigestUpdate;
  CK_UNUSED_FN C_DigestKey;
  CK_UNUSED_FN C_DigestFinal;
  CK_RV (*C_SignInit)(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key);
  CK_RV (*C_Sign)(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG data_length,
                  CK_BYTE* signature, CK_ULONG* signature_length);
};

// One loaded module with its function table, initialised for this process while loaded. The
// module is finalised and freed with the object, unless another user had initialised it first.
class Pkcs11Module {
 public:
  Pkcs11Module() = default;
  ~Pkcs11Module() { Unload(); }
  Pkcs11Module(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(const Pkcs11Module&) = delete;

  // 0; ERROR_MOD_NOT_FOUND (126) or ERROR_BAD_EXE_FORMAT (193) when the module does not load,
  // ERROR_PROC_NOT_FOUND (127) without C_GetFunctionList; a module that refuses C_Initialize
  // gives its CK_RV in *rv and ERROR_DLL_INIT_FAILED (1114).
  DWORD Load(const char* path, CK_RV* rv);
  void Unload();
  const CK_FUNCTION_LIST* functions() const { return functions_; }

 private:
  HMODULE module_ = nullptr;
  const CK_FUNCTION_LIST* functions_ = nullptr;
  bool initialised_ = false;
};

constexpr DWORD ERROR_DLL_INIT_FAILED = 1114;

}  // namespace win
