// Error information: the description, source and help topic of the last failure, one per thread.
//
// An object reports a failure by making an error object (CreateErrorInfo), filling it and handing
// it to SetErrorInfo; the caller takes it with GetErrorInfo, which empties the thread's slot.
//
// The slot and the error objects belong to one runtime per process. A server library that carries
// its own copy of this layer (loaded with dlopen, its symbols hidden) finds the process's runtime
// through the environment variable TW_COM_RUNTIME, which the first copy to use it publishes with
// the address of a block it checks before trusting (so a value inherited across exec is ignored).
// Error objects are then made by the first copy's code and stay valid after a server library is
// unloaded. A host therefore calls CoInitializeEx (or any call of this file) before it loads
// servers, so that the runtime is its own.
#pragma once

#include "platform/bstr.h"
#include "platform/com_types.h"

namespace win {

class IErrorInfo : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{1CF2B120-547D-101B-8E65-08002B2BD119}");
  virtual HRESULT GetGUID(GUID* guid) = 0;
  // Each string is a new BSTR (null when never set), owned by the caller.
  virtual HRESULT GetSource(BSTR* source) = 0;
  virtual HRESULT GetDescription(BSTR* description) = 0;
  virtual HRESULT GetHelpFile(BSTR* help_file) = 0;
  virtual HRESULT GetHelpContext(DWORD* help_context) = 0;

 protected:
  ~IErrorInfo() = default;
};

class ICreateErrorInfo : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{22F03340-547D-101B-8E65-08002B2BD119}");
  virtual HRESULT SetGUID(REFGUID guid) = 0;
  // NUL-terminated texts; null clears.
  virtual HRESULT SetSource(LPCOLESTR source) = 0;
  virtual HRESULT SetDescription(LPCOLESTR description) = 0;
  virtual HRESULT SetHelpFile(LPCOLESTR help_file) = 0;
  virtual HRESULT SetHelpContext(DWORD help_context) = 0;

 protected:
  ~ICreateErrorInfo() = default;
};

class ISupportErrorInfo : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{DF0B3D60-548F-101B-8E65-08002B2BD119}");
  // S_OK when the object's methods on `iid` report failures with error information.
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

inline constexpr const IID& IID_IErrorInfo = IErrorInfo::kIid;
inline constexpr const IID& IID_ICreateErrorInfo = ICreateErrorInfo::kIid;
inline constexpr const IID& IID_ISupportErrorInfo = ISupportErrorInfo::kIid;

// A new, empty error object (query it for IErrorInfo before SetErrorInfo).
HRESULT CreateErrorInfo(ICreateErrorInfo** info);
// Replaces the thread's error object (null clears it). `reserved` must be 0.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
// Takes the thread's error object: S_OK with it, or S_FALSE with null when there is none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);

// Settles which copy of the layer serves the process (CoInitializeEx calls it).
void InitializeComRuntime();

}  // namespace win
