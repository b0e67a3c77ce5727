#include "platform/pkcs11_module.h"

namespace win {

namespace {

constexpr char kGetFunctionList[] = "C_GetFunctionList";
using GetFunctionListFn = CK_RV (*)(const CK_FUNCTION_LIST** list);

}  // namespace

DWORD Pkcs11Module::Load(const char* path, CK_RV* rv) {
  Unload();
  *rv = CKR_OK;
  module_ = LoadLibraryA(path);
  if (module_ == nullptr) return GetLastError();
  auto get_list = reinterpret_cast<GetFunctionListFn>(GetProcAddress(module_, kGetFunctionList));
  if (get_list == nullptr) {
    const DWORD error = GetLastError();
    Unload();
    return error;
  }
  const CK_FUNCTION_LIST* list = nullptr;
  *rv = get_list(&list);
  if (*rv != CKR_OK || list == nullptr || list->C_Initialize == nullptr) {
    Unload();
    return ERROR_DLL_INIT_FAILED;
  }
  functions_ = list;
  *rv = list->C_Initialize(nullptr);
  // Someone else in the process initialised it: use it, and leave finalising to them.
  if (*rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    *rv = CKR_OK;
    return 0;
  }
  if (*rv != CKR_OK) {
    Unload();
    return ERROR_DLL_INIT_FAILED;
  }
  initialised_ = true;
  return 0;
}

void Pkcs11Module::Unload() {
  if (initialised_ && functions_ != nullptr) functions_->C_Finalize(nullptr);
  initialised_ = false;
  functions_ = nullptr;
  if (module_ != nullptr) FreeLibrary(module_);
  module_ = nullptr;
}

}  // namespace win
