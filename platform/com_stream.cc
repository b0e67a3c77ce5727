#include "platform/com_stream.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/com_ref_counted.h"

namespace win {
namespace {

// Streams are limited to what a 32-bit-sized buffer of this layer can hold.
constexpr uint64_t kMaxStreamBytes = 0x7FFFFFFFu;

using Bytes = std::vector<uint8_t>;

HRESULT NameToTask(const std::u16string& name, LPOLESTR* out) {
  *out = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
  if (*out == nullptr) return STG_E_INSUFFICIENTMEMORY;
  std::memcpy(*out, name.c_str(), (name.size() + 1) * sizeof(OLECHAR));
  return S_OK;
}

class MemoryStream final : public RefCounted<IStream> {
 public:
  MemoryStream(std::shared_ptr<Bytes> data, std::u16string name)
      : data_(std::move(data)), name_(std::move(name)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
      *object = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT Read(void* out, ULONG bytes, ULONG* read) override {
    if (out == nullptr && bytes > 0) return STG_E_INVALIDPOINTER;
    uint64_t available = position_ < data_->size() ? data_->size() - position_ : 0;
    auto n = static_cast<ULONG>(std::min<uint64_t>(bytes, available));
    if (n > 0) std::memcpy(out, data_->data() + position_, n);
    position_ += n;
    if (read != nullptr) *read = n;
    return n == bytes ? S_OK : S_FALSE;
  }

  HRESULT Write(const void* in, ULONG bytes, ULONG* written) override {
    if (written != nullptr) *written = 0;
    if (in == nullptr && bytes > 0) return STG_E_INVALIDPOINTER;
    if (position_ + bytes > kMaxStreamBytes) return STG_E_MEDIUMFULL;
    try {
      if (data_->size() < position_ + bytes) data_->resize(position_ + bytes);
    } catch (const std::bad_alloc&) {
      return STG_E_MEDIUMFULL;
    }
    if (bytes > 0) std::memcpy(data_->data() + position_, in, bytes);
    position_ += bytes;
    if (written != nullptr) *written = bytes;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    int64_t base = 0;
    switch (origin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = static_cast<int64_t>(position_); break;
      case STREAM_SEEK_END: base = static_cast<int64_t>(data_->size()); break;
      default: return STG_E_INVALIDFUNCTION;
    }
    if (move.QuadPart < -base || move.QuadPart > static_cast<int64_t>(kMaxStreamBytes) - base) {
      return STG_E_INVALIDFUNCTION;
    }
    position_ = static_cast<uint64_t>(base + move.QuadPart);
    if (position != nullptr) position->QuadPart = position_;
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (size.QuadPart > kMaxStreamBytes) return STG_E_MEDIUMFULL;
    try {
      data_->resize(size.QuadPart);
    } catch (const std::bad_alloc&) {
      return STG_E_MEDIUMFULL;
    }
    return S_OK;
  }

  HRESULT CopyTo(IStream* target, ULARGE_INTEGER bytes, ULARGE_INTEGER* read,
                 ULARGE_INTEGER* written) override {
    if (target == nullptr) return STG_E_INVALIDPOINTER;
    uint64_t available = position_ < data_->size() ? data_->size() - position_ : 0;
    auto n = static_cast<ULONG>(std::min<uint64_t>(bytes.QuadPart, available));
    Bytes chunk(data_->begin() + static_cast<ptrdiff_t>(position_),
                data_->begin() + static_cast<ptrdiff_t>(position_ + n));
    position_ += n;
    ULONG done = 0;
    HRESULT hr = target->Write(chunk.data(), n, &done);
    if (read != nullptr) read->QuadPart = n;
    if (written != nullptr) written->QuadPart = done;
    return hr;
  }

  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }

  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = data_->size();
    stat->grfMode = STGM_READWRITE;
    if ((flags & STATFLAG_NONAME) == 0 && !name_.empty()) return NameToTask(name_, &stat->pwcsName);
    return S_OK;
  }

  HRESULT Clone(IStream** copy) override {
    if (copy == nullptr) return STG_E_INVALIDPOINTER;
    auto* s = new (std::nothrow) MemoryStream(data_, name_);
    if (s == nullptr) return E_OUTOFMEMORY;
    s->position_ = position_;
    *copy = s;
    return S_OK;
  }

 private:
  std::shared_ptr<Bytes> data_;  // shared with the storage that holds it, and with clones
  std::u16string name_;
  uint64_t position_ = 0;
};

std::u16string Folded(const char16_t* name) {
  std::u16string s(name);
  for (char16_t& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
  }
  return s;
}

struct Element;
using Elements = std::map<std::u16string, Element>;  // by folded name

struct Element {
  std::u16string name;
  std::shared_ptr<Bytes> stream;      // a stream, or
  std::shared_ptr<Elements> storage;  // a storage
  std::shared_ptr<CLSID> clsid;       // the class of a storage
};

// Compound-file names: 1 to 31 characters, none of "\ / : !".
bool ValidName(const char16_t* name) {
  if (name == nullptr || name[0] == 0) return false;
  size_t n = 0;
  for (const char16_t* p = name; *p != 0; ++p, ++n) {
    if (*p == u'\\' || *p == u'/' || *p == u':' || *p == u'!') return false;
  }
  return n <= 31;
}

class MemoryStorage final : public RefCounted<IStorage> {
 public:
  MemoryStorage(std::shared_ptr<Elements> elements, std::shared_ptr<CLSID> clsid,
                std::u16string name)
      : elements_(std::move(elements)), clsid_(std::move(clsid)), name_(std::move(name)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IStorage) {
      *object = static_cast<IStorage*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT CreateStream(LPCOLESTR name, DWORD mode, DWORD, DWORD, IStream** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    if (!ValidName(name)) return STG_E_INVALIDNAME;
    auto it = elements_->find(Folded(name));
    if (it != elements_->end() && (mode & STGM_CREATE) == 0) return STG_E_FILEALREADYEXISTS;
    Element e;
    e.name = name;
    e.stream = std::make_shared<Bytes>();
    auto* s = new (std::nothrow) MemoryStream(e.stream, e.name);
    if (s == nullptr) return E_OUTOFMEMORY;
    (*elements_)[Folded(name)] = std::move(e);
    *out = s;
    return S_OK;
  }

  HRESULT OpenStream(LPCOLESTR name, void*, DWORD, DWORD, IStream** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    if (!ValidName(name)) return STG_E_INVALIDNAME;
    auto it = elements_->find(Folded(name));
    if (it == elements_->end() || !it->second.stream) return STG_E_FILENOTFOUND;
    auto* s = new (std::nothrow) MemoryStream(it->second.stream, it->second.name);
    if (s == nullptr) return E_OUTOFMEMORY;
    *out = s;
    return S_OK;
  }

  HRESULT CreateStorage(LPCOLESTR name, DWORD mode, DWORD, DWORD, IStorage** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    if (!ValidName(name)) return STG_E_INVALIDNAME;
    auto it = elements_->find(Folded(name));
    if (it != elements_->end() && (mode & STGM_CREATE) == 0) return STG_E_FILEALREADYEXISTS;
    Element e;
    e.name = name;
    e.storage = std::make_shared<Elements>();
    e.clsid = std::make_shared<CLSID>();
    auto* s = new (std::nothrow) MemoryStorage(e.storage, e.clsid, e.name);
    if (s == nullptr) return E_OUTOFMEMORY;
    (*elements_)[Folded(name)] = std::move(e);
    *out = s;
    return S_OK;
  }

  HRESULT OpenStorage(LPCOLESTR name, IStorage*, DWORD, void*, DWORD, IStorage** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    if (!ValidName(name)) return STG_E_INVALIDNAME;
    auto it = elements_->find(Folded(name));
    if (it == elements_->end() || !it->second.storage) return STG_E_FILENOTFOUND;
    auto* s =
        new (std::nothrow) MemoryStorage(it->second.storage, it->second.clsid, it->second.name);
    if (s == nullptr) return E_OUTOFMEMORY;
    *out = s;
    return S_OK;
  }

  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }

  HRESULT DestroyElement(LPCOLESTR name) override {
    if (!ValidName(name)) return STG_E_INVALIDNAME;
    return elements_->erase(Folded(name)) == 0 ? STG_E_FILENOTFOUND : S_OK;
  }

  HRESULT RenameElement(LPCOLESTR old_name, LPCOLESTR new_name) override {
    if (!ValidName(old_name) || !ValidName(new_name)) return STG_E_INVALIDNAME;
    auto it = elements_->find(Folded(old_name));
    if (it == elements_->end()) return STG_E_FILENOTFOUND;
    if (elements_->count(Folded(new_name)) != 0) return STG_E_FILEALREADYEXISTS;
    Element e = std::move(it->second);
    elements_->erase(it);
    e.name = new_name;
    (*elements_)[Folded(new_name)] = std::move(e);
    return S_OK;
  }

  HRESULT SetClass(REFCLSID clsid) override {
    *clsid_ = clsid;
    return S_OK;
  }

  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STORAGE;
    stat->grfMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    stat->clsid = *clsid_;
    if ((flags & STATFLAG_NONAME) == 0 && !name_.empty()) return NameToTask(name_, &stat->pwcsName);
    return S_OK;
  }

 private:
  std::shared_ptr<Elements> elements_;
  std::shared_ptr<CLSID> clsid_;
  std::u16string name_;
};

}  // namespace

HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL, IStream** stream) {
  if (stream == nullptr) return E_INVALIDARG;
  *stream = nullptr;
  if (global != nullptr) return E_INVALIDARG;
  auto data = std::make_shared<Bytes>();
  *stream = new (std::nothrow) MemoryStream(std::move(data), u"");
  return *stream == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT StgCreateDocfile(LPCOLESTR name, DWORD, DWORD, IStorage** storage) {
  if (storage == nullptr) return STG_E_INVALIDPOINTER;
  *storage = nullptr;
  if (name != nullptr) return STG_E_INVALIDNAME;
  *storage = new (std::nothrow)
      MemoryStorage(std::make_shared<Elements>(), std::make_shared<CLSID>(), u"");
  return *storage == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace win
