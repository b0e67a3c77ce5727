// A connection point that lives inside its container object (the object that fires events):
// its references are the container's, so a client holding the point keeps the object alive.
//
// Sinks sit in places; Unadvise empties a place and Advise fills the first empty one, so an event
// fired by walking the places (ConnectionCount, SinkAt) reaches every sink connected before it
// started, also when a handler connects or disconnects sinks meanwhile. Cookies are never reused.
#pragma once

#include <span>
#include <vector>

#include "platform/ole_control.h"

namespace win {

class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid);
  ~ConnectionPoint();  // releases the sinks still connected
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT Unadvise(DWORD cookie) override;
  HRESULT EnumConnections(IEnumConnections** connections) override;

  // Places, empty ones included.
  size_t ConnectionCount() const { return places_.size(); }
  // The sink in a place (as queried for the connection interface), or null for an empty place.
  ComPtr<IUnknown> SinkAt(size_t place) const;
  // Number of sinks connected.
  size_t SinkCount() const;
  void UnadviseAll();

 private:
  struct Place {
    IUnknown* sink = nullptr;
    DWORD cookie = 0;
  };
  IConnectionPointContainer* container_;  // not referenced: it owns this point
  IID iid_;
  std::vector<Place> places_;
  DWORD next_cookie_ = 1;
};

// FindConnectionPoint over the container's points (CONNECT_E_NOCONNECTION when none matches).
HRESULT FindConnectionPointIn(std::span<ConnectionPoint* const> points, REFIID iid,
                              IConnectionPoint** point);
// An enumerator over the container's points; it holds a reference on `owner`.
HRESULT CreateConnectionPointEnum(IUnknown* owner, std::span<ConnectionPoint* const> points,
                                  IEnumConnectionPoints** out);

}  // namespace win
