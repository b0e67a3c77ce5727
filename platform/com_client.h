// The client side of COM for hosts and tests: apartments, ProgIDs, and in-process servers found
// in the registry and loaded with dlopen.
//
// CoCreateInstance reads HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 (a REG_SZ or REG_EXPAND_SZ
// path to the server library), loads the library once (LoadLibraryA), calls its exported
// DllGetClassObject for an IClassFactory and asks the factory for the object. The library stays
// loaded until CoFreeUnusedLibraries finds that its DllCanUnloadNow answers S_OK. Class objects
// registered in-process with CoRegisterClassObject are found before the registry.
//
// Objects are apartment-threaded: each is used on the thread that made it. CoFreeUnusedLibraries
// is for the thread that owns the objects, as a library asked while another thread creates an
// object could otherwise go away under it.
#pragma once

#include <cstddef>

#include "platform/com_types.h"

namespace win {

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

// S_OK for the thread's first call, S_FALSE for a nested one (each needs a CoUninitialize);
// RPC_E_CHANGED_MODE when the thread was initialised with the other model.
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
// The last one of the thread also drops the thread's error information.
void CoUninitialize();

// CO_E_NOTINITIALIZED before CoInitializeEx on this thread; REGDB_E_CLASSNOTREG for a class that
// is not registered in process; HRESULT_FROM_WIN32 of the loader's error when the library cannot
// be loaded; CO_E_ERRORINDLL when it has no DllGetClassObject; else what the library answers.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* server_info, REFIID iid,
                         void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);

// Makes `factory` the class object of `clsid` for this process until CoRevokeClassObject.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD context, DWORD flags,
                              DWORD* cookie);
HRESULT CoRevokeClassObject(DWORD cookie);

// HKEY_CLASSES_ROOT\<progid>\CLSID; when the key has a CurVer naming another ProgID, that
// ProgID's class is the answer. CO_E_CLASSSTRING for an unknown ProgID.
HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);
// HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID, in task memory; REGDB_E_CLASSNOTREG when absent.
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid);

// Unloads every server library whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

// Number of server libraries loaded by CoGetClassObject (tests check unloading).
size_t LoadedServerLibraryCount();

}  // namespace win
