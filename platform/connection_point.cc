#include "platform/connection_point.h"

#include <new>

#include "platform/com_ref_counted.h"

namespace win {
namespace {

// A snapshot of the connections at the time of EnumConnections, holding a reference on each sink.
class ConnectionEnum final : public RefCounted<IEnumConnections> {
 public:
  explicit ConnectionEnum(std::vector<CONNECTDATA> items) : items_(std::move(items)) {
    for (CONNECTDATA& c : items_) c.pUnk->AddRef();
  }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumConnections) {
      *object = static_cast<IEnumConnections*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT Next(ULONG count, CONNECTDATA* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && position_ < items_.size(); ++n, ++position_) {
      out[n] = items_[position_];
      out[n].pUnk->AddRef();
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    size_t left = items_.size() - position_;
    position_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumConnections** copy) override {
    if (copy == nullptr) return E_POINTER;
    auto* e = new (std::nothrow) ConnectionEnum(items_);
    if (e == nullptr) return E_OUTOFMEMORY;
    e->position_ = position_;
    *copy = e;
    return S_OK;
  }

 private:
  ~ConnectionEnum() {
    for (CONNECTDATA& c : items_) c.pUnk->Release();
  }

  std::vector<CONNECTDATA> items_;
  size_t position_ = 0;
};

class PointEnum final : public RefCounted<IEnumConnectionPoints> {
 public:
  PointEnum(IUnknown* owner, std::vector<IConnectionPoint*> points)
      : owner_(owner), points_(std::move(points)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumConnectionPoints) {
      *object = static_cast<IEnumConnectionPoints*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && position_ < points_.size(); ++n, ++position_) {
      out[n] = points_[position_];
      out[n]->AddRef();
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    size_t left = points_.size() - position_;
    position_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumConnectionPoints** copy) override {
    if (copy == nullptr) return E_POINTER;
    auto* e = new (std::nothrow) PointEnum(owner_.Get(), points_);
    if (e == nullptr) return E_OUTOFMEMORY;
    e->position_ = position_;
    *copy = e;
    return S_OK;
  }

 private:
  ~PointEnum() = default;

  ComPtr<IUnknown> owner_;  // keeps the points alive
  std::vector<IConnectionPoint*> points_;
  size_t position_ = 0;
};

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID iid)
    : container_(container), iid_(iid) {}

ConnectionPoint::~ConnectionPoint() { UnadviseAll(); }

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG ConnectionPoint::AddRef() { return container_->AddRef(); }
ULONG ConnectionPoint::Release() { return container_->Release(); }

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  *container = container_;
  container_->AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie == nullptr) return E_POINTER;
  *cookie = 0;
  if (sink == nullptr) return E_POINTER;
  IUnknown* typed = nullptr;
  if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&typed))) || typed == nullptr) {
    return CONNECT_E_CANNOTCONNECT;
  }
  Place place{typed, next_cookie_++};
  for (Place& p : places_) {
    if (p.sink == nullptr) {
      p = place;
      *cookie = place.cookie;
      return S_OK;
    }
  }
  try {
    places_.push_back(place);
  } catch (const std::bad_alloc&) {
    typed->Release();
    return E_OUTOFMEMORY;
  }
  *cookie = place.cookie;
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  for (Place& p : places_) {
    if (p.sink != nullptr && p.cookie == cookie) {
      IUnknown* sink = p.sink;
      p = Place{};
      sink->Release();  // last: the sink's destructor may call back into this point
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections == nullptr) return E_POINTER;
  *connections = nullptr;
  std::vector<CONNECTDATA> items;
  for (const Place& p : places_) {
    if (p.sink != nullptr) items.push_back(CONNECTDATA{p.sink, p.cookie});
  }
  *connections = new (std::nothrow) ConnectionEnum(std::move(items));
  return *connections == nullptr ? E_OUTOFMEMORY : S_OK;
}

ComPtr<IUnknown> ConnectionPoint::SinkAt(size_t place) const {
  if (place >= places_.size()) return nullptr;
  return ComPtr<IUnknown>(places_[place].sink);
}

size_t ConnectionPoint::SinkCount() const {
  size_t n = 0;
  for (const Place& p : places_) n += p.sink != nullptr ? 1 : 0;
  return n;
}

void ConnectionPoint::UnadviseAll() {
  while (!places_.empty()) {
    Place p = places_.back();
    places_.pop_back();
    if (p.sink != nullptr) p.sink->Release();
  }
}

HRESULT FindConnectionPointIn(std::span<ConnectionPoint* const> points, REFIID iid,
                              IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  for (ConnectionPoint* p : points) {
    IID candidate{};
    p->GetConnectionInterface(&candidate);
    if (candidate == iid) {
      *point = p;
      p->AddRef();
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT CreateConnectionPointEnum(IUnknown* owner, std::span<ConnectionPoint* const> points,
                                  IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  std::vector<IConnectionPoint*> list(points.begin(), points.end());
  *out = new (std::nothrow) PointEnum(owner, std::move(list));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace win
