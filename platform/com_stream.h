// Structured storage: streams and storages, and their in-memory implementations for hosts and
// tests (a control saves its state into whatever stream or storage its container hands it).
#pragma once

#include "platform/com_types.h"
#include "platform/file.h"
#include "platform/time.h"

namespace win {

struct ULARGE_INTEGER {
  uint64_t QuadPart;
};

// Open modes.
constexpr DWORD STGM_READ = 0x00000000;
constexpr DWORD STGM_WRITE = 0x00000001;
constexpr DWORD STGM_READWRITE = 0x00000002;
constexpr DWORD STGM_SHARE_DENY_NONE = 0x00000040;
constexpr DWORD STGM_SHARE_DENY_READ = 0x00000030;
constexpr DWORD STGM_SHARE_DENY_WRITE = 0x00000020;
constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x00000010;
constexpr DWORD STGM_DIRECT = 0x00000000;
constexpr DWORD STGM_TRANSACTED = 0x00010000;
constexpr DWORD STGM_FAILIFTHERE = 0x00000000;
constexpr DWORD STGM_CREATE = 0x00001000;
constexpr DWORD STGM_DELETEONRELEASE = 0x04000000;

// Seek origins.
constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;

// Stat flags and element types.
constexpr DWORD STATFLAG_DEFAULT = 0;
constexpr DWORD STATFLAG_NONAME = 1;
constexpr DWORD STGTY_STORAGE = 1;
constexpr DWORD STGTY_STREAM = 2;

constexpr DWORD STGC_DEFAULT = 0;

struct STATSTG {
  LPOLESTR pwcsName;  // task memory (CoTaskMemFree), null with STATFLAG_NONAME
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

class ISequentialStream : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{0C733A30-2A1C-11CE-ADE5-00AA0044773D}");
  // S_OK, or S_FALSE when fewer bytes than asked were read (end of stream).
  virtual HRESULT Read(void* data, ULONG bytes, ULONG* read) = 0;
  virtual HRESULT Write(const void* data, ULONG bytes, ULONG* written) = 0;

 protected:
  ~ISequentialStream() = default;
};

class IStream : public ISequentialStream {
 public:
  static constexpr IID kIid = Guid("{0000000C-0000-0000-C000-000000000046}");
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER size) = 0;
  virtual HRESULT CopyTo(IStream* target, ULARGE_INTEGER bytes, ULARGE_INTEGER* read,
                         ULARGE_INTEGER* written) = 0;
  virtual HRESULT Commit(DWORD flags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER bytes, DWORD type) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER bytes, DWORD type) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;
  virtual HRESULT Clone(IStream** copy) = 0;

 protected:
  ~IStream() = default;
};

class IStorage : public IUnknown {
 public:
  static constexpr IID kIid = Guid("{0000000B-0000-0000-C000-000000000046}");
  // Names compare without regard to case. STG_E_FILEALREADYEXISTS without STGM_CREATE when the
  // name exists; with it, an existing element is replaced.
  virtual HRESULT CreateStream(LPCOLESTR name, DWORD mode, DWORD reserved1, DWORD reserved2,
                               IStream** stream) = 0;
  // STG_E_FILENOTFOUND when there is no stream of that name.
  virtual HRESULT OpenStream(LPCOLESTR name, void* reserved1, DWORD mode, DWORD reserved2,
                             IStream** stream) = 0;
  virtual HRESULT CreateStorage(LPCOLESTR name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                IStorage** storage) = 0;
  virtual HRESULT OpenStorage(LPCOLESTR name, IStorage* priority, DWORD mode, void* exclude,
                              DWORD reserved, IStorage** storage) = 0;
  virtual HRESULT Commit(DWORD flags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT DestroyElement(LPCOLESTR name) = 0;
  virtual HRESULT RenameElement(LPCOLESTR old_name, LPCOLESTR new_name) = 0;
  virtual HRESULT SetClass(REFCLSID clsid) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;

 protected:
  ~IStorage() = default;
};

inline constexpr const IID& IID_ISequentialStream = ISequentialStream::kIid;
inline constexpr const IID& IID_IStream = IStream::kIid;
inline constexpr const IID& IID_IStorage = IStorage::kIid;

using HGLOBAL = void*;

// A stream over memory of its own. Only a null `global` is taken (E_INVALIDARG otherwise): this
// platform has no global memory handles.
HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL delete_on_release, IStream** stream);
// A storage in memory: only a null name is taken (STG_E_INVALIDNAME otherwise).
HRESULT StgCreateDocfile(LPCOLESTR name, DWORD mode, DWORD reserved, IStorage** storage);

}  // namespace win
