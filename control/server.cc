// The library's entry points: class object, unloading, registration, and two helpers for a
// host. Only these leave the module; loading it starts the network layer and unloading shuts it
// down again.
#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "blob/service_words.h"
#include "control/cobalin.h"
#include "control/control_object.h"
#include "foundation/file_replacement.h"
#include "net/library_startup.h"
#include "platform/codepage.h"
#include "platform/dispatch_table.h"
#include "platform/process_tables.h"
#include "platform/registry.h"

namespace tw {
namespace {

constexpr char16_t kClassDescription[] = u"Cobalin Control";
constexpr char16_t kClsidRoot[] = u"CLSID\\";

// The registration script. Key paths are under HKEY_CLASSES_ROOT and below the class ID's own key
// when they start with "\"; values are written after replacing %MODULE%, %CLSID%, %LIBID% and
// %DESCRIPTION%. A line without a value only makes the key.
struct ScriptLine {
  std::u16string_view key;
  std::u16string_view value_name;  // empty: the default value
  std::u16string_view value;
  bool has_value = true;
};

constexpr ScriptLine kRegistrationScript[] = {
    {u"Tarnwick.Cobalin", {}, u"%DESCRIPTION%"},
    {u"Tarnwick.Cobalin\\CLSID", {}, u"%CLSID%"},
    {u"Tarnwick.Cobalin\\CurVer", {}, u"Tarnwick.Cobalin.1"},
    {u"Tarnwick.Cobalin.1", {}, u"%DESCRIPTION%"},
    {u"Tarnwick.Cobalin.1\\CLSID", {}, u"%CLSID%"},
    {u"Tarnwick.Cobalin.1\\CurVer", {}, u"Tarnwick.Cobalin.1"},
    {u"Tarnwick20.Cobalin", {}, u"%DESCRIPTION%"},
    {u"Tarnwick20.Cobalin\\CLSID", {}, u"%CLSID%"},
    {u"Tarnwick20.Cobalin\\CurVer", {}, u"Tarnwick.Cobalin.1"},
    {u"\\", {}, u"%DESCRIPTION%"},
    {u"\\ProgID", {}, u"Tarnwick.Cobalin.1"},
    {u"\\VersionIndependentProgID", {}, u"Tarnwick.Cobalin"},
    {u"\\Programmable", {}, {}, false},
    {u"\\InprocServer32", {}, u"%MODULE%"},
    {u"\\InprocServer32", u"ThreadingModel", u"Apartment"},
    {u"\\Control", {}, {}, false},
    {u"\\Insertable", {}, {}, false},
    {u"\\ToolboxBitmap32", {}, u"%MODULE%, 101"},
    {u"\\MiscStatus", {}, u"0"},
    {u"\\MiscStatus\\1", {}, u"132497"},
    {u"\\TypeLib", {}, u"%LIBID%"},
    {u"\\Version", {}, u"1.0"},
};

// What unregistration removes whole; the class ID key is also removed before registering, so
// that nothing of an earlier registration survives below it.
constexpr std::u16string_view kProgIdKeys[] = {u"Tarnwick.Cobalin", u"Tarnwick.Cobalin.1",
                                               u"Tarnwick20.Cobalin"};

// The numbered values of properties, method arguments and event parameters, each with the
// blob client's own words for them, for a host's listing.
struct NumberedValues {
  const char* subject;
  std::span<const char* const> words;
};
constexpr NumberedValues kNumberedValues[] = {
    {"BlobType (property, CreateBlob, BlobList)", kBlobTypeHeaders},
    {"BlockType (property, BlockList), BlockListType (AddBlock)", kBlockElements},
    {"BlockListType (ListBlocks)", kBlockListTypes},
    {"DeleteAction (DeleteBlob)", kDeleteSnapshotWords},
    {"LeaseAction (Lease)", kLeaseActionWords},
    {"BlobLeaseState, ContainerLeaseState, LeaseState (BlobList, ContainerList)", kLeaseStateWords},
    {"PublicAccess (SetContainerACL, GetContainerACL), ContainerPublicAccess", kPublicAccessWords},
    {"SequenceNumAction (UpdatePageBlob)", kSequenceActionWords},
};

// Properties whose values have no service word: the type library's enumerators, by their names.
struct Enumerator {
  int value;
  const char* name;
};
#define TW_ENUMERATOR(e) Enumerator{e, #e}
constexpr Enumerator kEncryptionAlgorithms[] = {
    TW_ENUMERATOR(eaAES),      TW_ENUMERATOR(eaBlowfish), TW_ENUMERATOR(eaCAST),
    TW_ENUMERATOR(eaDES),      TW_ENUMERATOR(eaIDEA),     TW_ENUMERATOR(eaRC2),
    TW_ENUMERATOR(eaRC4),      TW_ENUMERATOR(eaTEA),      TW_ENUMERATOR(eaTripleDES),
    TW_ENUMERATOR(eaTwofish),  TW_ENUMERATOR(eaRijndael), TW_ENUMERATOR(eaChaCha),
    TW_ENUMERATOR(eaXSalsa20),
};
constexpr Enumerator kFirewallTypes[] = {
    TW_ENUMERATOR(fwNone),   TW_ENUMERATOR(fwTunnel),  TW_ENUMERATOR(fwSOCKS4),
    TW_ENUMERATOR(fwSOCKS5), TW_ENUMERATOR(fwSOCKS4A),
};
constexpr Enumerator kAuthSchemes[] = {
    TW_ENUMERATOR(authBasic), TW_ENUMERATOR(authDigest), TW_ENUMERATOR(authProprietary),
    TW_ENUMERATOR(authNone),  TW_ENUMERATOR(authNtlm),   TW_ENUMERATOR(authNegotiate),
};
constexpr Enumerator kProxySslTypes[] = {
    TW_ENUMERATOR(psAutomatic), TW_ENUMERATOR(psAlways), TW_ENUMERATOR(psNever),
    TW_ENUMERATOR(psTunnel),
};
constexpr Enumerator kCertStoreTypes[] = {
    TW_ENUMERATOR(cstUser),           TW_ENUMERATOR(cstMachine),
    TW_ENUMERATOR(cstPFXFile),        TW_ENUMERATOR(cstPFXBlob),
    TW_ENUMERATOR(cstJKSFile),        TW_ENUMERATOR(cstJKSBlob),
    TW_ENUMERATOR(cstPEMKeyFile),     TW_ENUMERATOR(cstPEMKeyBlob),
    TW_ENUMERATOR(cstPublicKeyFile),  TW_ENUMERATOR(cstPublicKeyBlob),
    TW_ENUMERATOR(cstSSHPublicKeyBlob), TW_ENUMERATOR(cstP7BFile),
    TW_ENUMERATOR(cstP7BBlob),        TW_ENUMERATOR(cstSSHPublicKeyFile),
    TW_ENUMERATOR(cstPPKFile),        TW_ENUMERATOR(cstPPKBlob),
    TW_ENUMERATOR(cstXMLFile),        TW_ENUMERATOR(cstXMLBlob),
    TW_ENUMERATOR(cstJWKFile),        TW_ENUMERATOR(cstJWKBlob),
    TW_ENUMERATOR(cstSecurityKey),    TW_ENUMERATOR(cstAuto),
};
#undef TW_ENUMERATOR

struct Enumeration {
  const char* subject;
  std::span<const Enumerator> values;
};
constexpr Enumeration kEnumerations[] = {
    {"EncryptionAlgorithm", kEncryptionAlgorithms}, {"FirewallType", kFirewallTypes},
    {"ProxyAuthScheme", kAuthSchemes},              {"ProxySSL", kProxySslTypes},
    {"SSLCertStoreType", kCertStoreTypes},
};

// ---- The class factory ----

class ClassFactory final : public win::IClassFactory {
 public:
  HRESULT QueryInterface(win::REFIID iid, void** object) override {
    if (object == nullptr) return win::E_POINTER;
    if (iid == win::IID_IUnknown || iid == win::IID_IClassFactory) {
      *object = static_cast<win::IClassFactory*>(this);
      AddRef();
      return win::S_OK;
    }
    *object = nullptr;
    return win::E_NOINTERFACE;
  }
  // The module owns the factory; every reference handed out keeps the module loaded.
  win::ULONG AddRef() override {
    LockControlModule();
    return static_cast<win::ULONG>(++references_);
  }
  win::ULONG Release() override {
    long left = --references_;
    UnlockControlModule();
    return static_cast<win::ULONG>(left);
  }
  HRESULT CreateInstance(IUnknown* outer, win::REFIID iid, void** object) override {
    return ControlObject::Create(outer, iid, object);
  }
  // An unlock without a lock before it is refused, so that the count never goes below zero and
  // the module can still be unloaded.
  HRESULT LockServer(win::BOOL lock) override {
    if (lock) {
      ++server_locks_;
      LockControlModule();
      return win::S_OK;
    }
    long held = server_locks_.load();
    while (held > 0 && !server_locks_.compare_exchange_weak(held, held - 1)) {
    }
    if (held <= 0) return win::E_UNEXPECTED;
    UnlockControlModule();
    return win::S_OK;
  }

 private:
  std::atomic<long> references_{0};
  std::atomic<long> server_locks_{0};
};

std::mutex g_factory_lock;
ClassFactory* g_factory = nullptr;

ClassFactory* Factory() {
  std::lock_guard<std::mutex> guard(g_factory_lock);
  if (g_factory == nullptr) g_factory = new (std::nothrow) ClassFactory;
  return g_factory;
}

// ---- Registration ----

std::u16string Utf16(const std::string& text) {
  if (text.empty()) return {};
  int n = win::MultiByteToWideChar(win::CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  win::MultiByteToWideChar(win::CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                           out.data(), n);
  return out;
}

// The full path of this library, found from one of its own functions.
std::u16string ModulePath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  char resolved[PATH_MAX];
  const char* path = ::realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
  return Utf16(path);
}

std::u16string Expand(std::u16string_view text, const std::u16string& module) {
  struct Replacement {
    std::u16string_view name;
    std::u16string value;
  };
  const Replacement replacements[] = {
      {u"%MODULE%", module},
      {u"%CLSID%", win::GuidToWideString(kClsidCobalin)},
      {u"%LIBID%", win::GuidToWideString(kLibidCobalin)},
      {u"%DESCRIPTION%", kClassDescription},
  };
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    bool replaced = false;
    for (const Replacement& r : replacements) {
      if (text.substr(i, r.name.size()) == r.name) {
        out += r.value;
        i += r.name.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

std::u16string ClassKey() { return kClsidRoot + win::GuidToWideString(kClsidCobalin); }

HRESULT FromRegistry(win::LONG error) {
  return error == win::ERROR_SUCCESS ? win::S_OK
                                     : win::HRESULT_FROM_WIN32(static_cast<win::DWORD>(error));
}

// Removes a key and everything below it; a key that is not there is no failure.
HRESULT RemoveTree(const std::u16string& path) {
  win::LONG error = win::RegDeleteTreeW(win::HKEY_CLASSES_ROOT, path.c_str());
  return error == win::ERROR_FILE_NOT_FOUND ? win::S_OK : FromRegistry(error);
}

HRESULT WriteLine(const ScriptLine& line, const std::u16string& module) {
  std::u16string path(line.key);
  if (!path.empty() && path[0] == u'\\') {
    path = ClassKey() + (path.size() > 1 ? path : std::u16string());
  }
  win::HKEY key = nullptr;
  win::LONG error = win::RegCreateKeyExW(win::HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr,
                                         win::REG_OPTION_NON_VOLATILE, win::KEY_WRITE, nullptr,
                                         &key, nullptr);
  if (error != win::ERROR_SUCCESS) return FromRegistry(error);
  if (line.has_value) {
    std::u16string name(line.value_name);
    std::u16string value = Expand(line.value, module);
    error = win::RegSetValueExW(
        key, name.empty() ? nullptr : name.c_str(), 0, win::REG_SZ,
        reinterpret_cast<const win::BYTE*>(value.c_str()),
        static_cast<win::DWORD>((value.size() + 1) * sizeof(char16_t)));
  }
  win::RegCloseKey(key);
  return FromRegistry(error);
}

// ---- Load and unload ----

// The module's first object with a destructor, so that its destructor runs last of all: the
// tables of the module's copy of the platform layer are freed once nothing else of it can run.
struct TablesRelease {
  constexpr TablesRelease() = default;
  ~TablesRelease() { win::ReleaseProcessTables(); }
};
TablesRelease g_tables_release;

// Loading runs the library start-up; unloading shuts it down again.
struct ModuleLifetime {
  ModuleLifetime() { LibraryStartup(); }
  ~ModuleLifetime() {
    {
      std::lock_guard<std::mutex> guard(g_factory_lock);
      delete g_factory;
      g_factory = nullptr;
    }
    LibraryShutdown();
  }
};
ModuleLifetime g_module;

}  // namespace
}  // namespace tw

using tw::HRESULT;

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(win::REFCLSID clsid,
                                                                            win::REFIID iid,
                                                                            void** object) {
  if (object == nullptr) return win::E_POINTER;
  *object = nullptr;
  if (clsid != tw::kClsidCobalin) return win::CLASS_E_CLASSNOTAVAILABLE;
  tw::ClassFactory* factory = tw::Factory();
  if (factory == nullptr) return win::E_OUTOFMEMORY;
  return factory->QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return tw::ControlModuleLockCount() == 0 ? win::S_OK : win::S_FALSE;
}

// For a host's handler of SIGINT and SIGTERM: removes the temporary files of the downloads in
// progress, which would otherwise outlive the process. Only unlinks, so a signal handler may call
// it; look it up before the signal comes.
extern "C" __attribute__((visibility("default"))) void TwRemoveTemporaryFiles() {
  tw::RemoveReplacementTempFiles();
}

// For a host's listing: setting(context, name) for every name the control's Config knows, in
// the order the settings chain tests them, then value(context, subject, number, word) for each
// numbered value of a property or argument, in order of subject and number (a null word: none is
// sent for it). 0, or 200 when memory runs out.
extern "C" __attribute__((visibility("default"))) int TwListConfigAndValues(
    void (*setting)(void* context, const char* name),
    void (*value)(void* context, const char* subject, int number, const char* word),
    void* context) {
  std::unique_ptr<tw::BlobClient> client(new (std::nothrow) tw::BlobClient);
  if (client == nullptr) return tw::kErrOutOfMemory;
  tw::StringList names;
  const int rc = client->ListConfigNames(&names);
  if (rc != tw::kOk) return rc;
  for (int i = 0; i < names.Count(); ++i) setting(context, names.Get(i));
  for (const tw::NumberedValues& v : tw::kNumberedValues) {
    for (size_t n = 0; n < v.words.size(); ++n) {
      value(context, v.subject, static_cast<int>(n), v.words[n]);
    }
  }
  for (const tw::Enumeration& e : tw::kEnumerations) {
    for (const tw::Enumerator& v : e.values) value(context, e.subject, v.value, v.name);
  }
  return tw::kOk;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  std::u16string module = tw::ModulePath();
  if (module.empty()) return win::E_UNEXPECTED;
  // One change of the file: a host starting meanwhile never finds the class half-registered, and
  // a registration running at the same time in another process never removes keys under this one.
  win::RegistryTransaction transaction;
  HRESULT hr = tw::RemoveTree(tw::ClassKey());
  for (const tw::ScriptLine& line : tw::kRegistrationScript) {
    if (win::FAILED(hr)) return hr;
    hr = tw::WriteLine(line, module);
  }
  if (win::FAILED(hr)) return hr;
  hr = win::RegisterTypeLibrary(tw::kCobalinTypeLibrary, module.c_str(), nullptr);
  if (win::FAILED(hr)) return hr;
  return tw::FromRegistry(transaction.Commit());
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  win::RegistryTransaction transaction;
  HRESULT first = win::S_OK;
  for (std::u16string_view progid : tw::kProgIdKeys) {
    HRESULT hr = tw::RemoveTree(std::u16string(progid));
    if (win::SUCCEEDED(first)) first = hr;
  }
  HRESULT hr = tw::RemoveTree(tw::ClassKey());
  if (win::SUCCEEDED(first)) first = hr;
  hr = win::UnregisterTypeLibrary(tw::kCobalinTypeLibrary);
  // A library that is already gone is what was asked for.
  if (win::SUCCEEDED(first) && hr != win::TYPE_E_LIBNOTREGISTERED) first = hr;
  hr = tw::FromRegistry(transaction.Commit());
  return win::SUCCEEDED(first) ? hr : first;
}
