#include "platform/gdi.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/handle.h"
#include "platform/process_tables.h"

namespace win {
namespace {

constexpr int kMaxSide = 16384;

enum class Kind { kPen, kBrush, kBitmap };

struct GdiObject {
  Kind kind = Kind::kPen;
  bool stock = false;
  bool null_object = false;  // NULL_PEN, NULL_BRUSH
  COLORREF color = 0;
  int width = 0;
  int height = 0;
  std::vector<COLORREF> pixels;
  uintptr_t selected_in = 0;  // the context a bitmap is selected into
};

GdiObject Make(Kind kind, bool stock = false, bool null_object = false, COLORREF color = 0) {
  GdiObject o;
  o.kind = kind;
  o.stock = stock;
  o.null_object = null_object;
  o.color = color;
  o.width = kind == Kind::kPen ? 1 : 0;
  return o;
}

struct DeviceContext {
  uintptr_t bitmap = 0;
  uintptr_t pen = 0;
  uintptr_t brush = 0;
  uintptr_t default_bitmap = 0;
};

struct Resource {
  int width;
  int height;
  std::vector<COLORREF> pixels;
};

struct Gdi {
  std::mutex lock;
  std::map<uintptr_t, GdiObject> objects;
  std::map<uintptr_t, DeviceContext> contexts;
  std::map<std::pair<uintptr_t, int>, Resource> resources;
  uintptr_t stock[NULL_PEN + 1] = {};
};

uintptr_t AddObject(Gdi& g, GdiObject o) {
  const uintptr_t id = NewHandleId();
  g.objects.emplace(id, std::move(o));
  return id;
}

Gdi& Table() {
  static Gdi* gdi = [] {
    auto* g = KeepProcessTable(new Gdi);
    const COLORREF brushes[] = {RGB(255, 255, 255), RGB(192, 192, 192), RGB(128, 128, 128),
                                RGB(64, 64, 64), RGB(0, 0, 0)};
    for (int i = WHITE_BRUSH; i <= BLACK_BRUSH; ++i) {
      g->stock[i] = AddObject(*g, Make(Kind::kBrush, true, false, brushes[i]));
    }
    g->stock[NULL_BRUSH] = AddObject(*g, Make(Kind::kBrush, true, true, 0));
    g->stock[WHITE_PEN] = AddObject(*g, Make(Kind::kPen, true, false, RGB(255, 255, 255)));
    g->stock[BLACK_PEN] = AddObject(*g, Make(Kind::kPen, true, false, RGB(0, 0, 0)));
    g->stock[NULL_PEN] = AddObject(*g, Make(Kind::kPen, true, true, 0));
    return g;
  }();
  return *gdi;
}

template <class H>
H ToHandle(uintptr_t id) {
  return reinterpret_cast<H>(id);
}
uintptr_t Id(const void* h) { return reinterpret_cast<uintptr_t>(h); }

GdiObject* Object(Gdi& g, uintptr_t id) {
  auto it = g.objects.find(id);
  return it == g.objects.end() ? nullptr : &it->second;
}

DeviceContext* Context(Gdi& g, HDC dc) {
  auto it = g.contexts.find(Id(dc));
  if (it == g.contexts.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return &it->second;
}

// The surface of a context: its selected bitmap.
GdiObject* Surface(Gdi& g, const DeviceContext& c) { return Object(g, c.bitmap); }

void Plot(GdiObject& s, int x, int y, COLORREF color) {
  if (x < 0 || y < 0 || x >= s.width || y >= s.height) return;
  s.pixels[static_cast<size_t>(y) * static_cast<size_t>(s.width) + static_cast<size_t>(x)] = color;
}

void FillRect(GdiObject& s, int left, int top, int right, int bottom, COLORREF color) {
  left = std::max(left, 0);
  top = std::max(top, 0);
  right = std::min(right, s.width);
  bottom = std::min(bottom, s.height);
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) Plot(s, x, y, color);
  }
}

// One ring of DrawEdge: top and left in one colour, bottom and right in the other.
void Ring(GdiObject& s, RECT& r, UINT flags, COLORREF top_left, COLORREF bottom_right) {
  if (r.right <= r.left || r.bottom <= r.top) return;
  if (flags & BF_BOTTOM) FillRect(s, r.left, r.bottom - 1, r.right, r.bottom, bottom_right);
  if (flags & BF_RIGHT) FillRect(s, r.right - 1, r.top, r.right, r.bottom, bottom_right);
  if (flags & BF_TOP) FillRect(s, r.left, r.top, r.right - ((flags & BF_RIGHT) ? 1 : 0),
                               r.top + 1, top_left);
  if (flags & BF_LEFT) FillRect(s, r.left, r.top, r.left + 1,
                                r.bottom - ((flags & BF_BOTTOM) ? 1 : 0), top_left);
  if (flags & BF_LEFT) ++r.left;
  if (flags & BF_TOP) ++r.top;
  if (flags & BF_RIGHT) --r.right;
  if (flags & BF_BOTTOM) --r.bottom;
}

HBITMAP NewBitmap(Gdi& g, int width, int height) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  GdiObject o = Make(Kind::kBitmap);
  o.width = width;
  o.height = height;
  o.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  return ToHandle<HBITMAP>(AddObject(g, std::move(o)));
}

}  // namespace

HDC CreateCompatibleDC(HDC compatible) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  if (compatible != nullptr && Context(g, compatible) == nullptr) return nullptr;
  HBITMAP first = NewBitmap(g, 1, 1);
  const uintptr_t id = NewHandleId();
  DeviceContext c;
  c.bitmap = c.default_bitmap = Id(first);
  c.pen = g.stock[BLACK_PEN];
  c.brush = g.stock[WHITE_BRUSH];
  Object(g, c.bitmap)->selected_in = id;
  g.contexts.emplace(id, c);
  return ToHandle<HDC>(id);
}

BOOL DeleteDC(HDC dc) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  DeviceContext* c = Context(g, dc);
  if (c == nullptr) return FALSE;
  if (GdiObject* b = Object(g, c->bitmap)) b->selected_in = 0;
  g.objects.erase(c->default_bitmap);
  g.contexts.erase(Id(dc));
  return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  if (dc != nullptr && Context(g, dc) == nullptr) return nullptr;
  return NewBitmap(g, width, height);
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits) {
  if (planes != 1 || bits_per_pixel != 32) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  HBITMAP b = NewBitmap(g, width, height);
  if (b == nullptr || bits == nullptr) return b;
  GdiObject* o = Object(g, Id(b));
  const auto* p = static_cast<const uint8_t*>(bits);
  for (size_t i = 0; i < o->pixels.size(); ++i) o->pixels[i] = RGB(p[4 * i + 2], p[4 * i + 1], p[4 * i]);
  return b;
}

HPEN CreatePen(int style, int width, COLORREF color) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  GdiObject o = Make(Kind::kPen);
  o.null_object = style == PS_NULL;
  o.color = color;
  o.width = std::max(width, 1);
  return ToHandle<HPEN>(AddObject(g, std::move(o)));
}

HBRUSH CreateSolidBrush(COLORREF color) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  GdiObject o = Make(Kind::kBrush);
  o.color = color;
  return ToHandle<HBRUSH>(AddObject(g, std::move(o)));
}

HGDIOBJ GetStockObject(int which) {
  if (which < WHITE_BRUSH || which > NULL_PEN) return nullptr;
  Gdi& g = Table();
  return ToHandle<HGDIOBJ>(g.stock[which]);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  DeviceContext* c = Context(g, dc);
  GdiObject* o = Object(g, Id(object));
  if (c == nullptr || o == nullptr) return nullptr;
  uintptr_t* slot = nullptr;
  switch (o->kind) {
    case Kind::kPen:
      slot = &c->pen;
      break;
    case Kind::kBrush:
      slot = &c->brush;
      break;
    case Kind::kBitmap:
      if (o->selected_in != 0 && o->selected_in != Id(dc)) return nullptr;
      if (GdiObject* old = Object(g, c->bitmap)) old->selected_in = 0;
      o->selected_in = Id(dc);
      slot = &c->bitmap;
      break;
  }
  const uintptr_t previous = *slot;
  *slot = Id(object);
  return ToHandle<HGDIOBJ>(previous);
}

BOOL DeleteObject(HGDIOBJ object) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  GdiObject* o = Object(g, Id(object));
  if (o == nullptr) return FALSE;
  if (o->stock) return TRUE;
  if (o->selected_in != 0) return FALSE;
  for (const auto& [id, c] : g.contexts) {
    if (c.pen == Id(object) || c.brush == Id(object)) return FALSE;
  }
  g.objects.erase(Id(object));
  return TRUE;
}

COLORREF GetPixel(HDC dc, int x, int y) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  DeviceContext* c = Context(g, dc);
  GdiObject* s = c != nullptr ? Surface(g, *c) : nullptr;
  if (s == nullptr || x < 0 || y < 0 || x >= s->width || y >= s->height) return CLR_INVALID;
  return s->pixels[static_cast<size_t>(y) * static_cast<size_t>(s->width) + static_cast<size_t>(x)];
}

COLORREF SetPixel(HDC dc, int x, int y, COLORREF color) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  DeviceContext* c = Context(g, dc);
  GdiObject* s = c != nullptr ? Surface(g, *c) : nullptr;
  if (s == nullptr || x < 0 || y < 0 || x >= s->width || y >= s->height) return CLR_INVALID;
  Plot(*s, x, y, color & 0xFFFFFF);
  return color & 0xFFFFFF;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  DeviceContext* c = Context(g, dc);
  if (c == nullptr) return FALSE;
  GdiObject* s = Surface(g, *c);
  const GdiObject* pen = Object(g, c->pen);
  const GdiObject* brush = Object(g, c->brush);
  if (s == nullptr || pen == nullptr || brush == nullptr) return FALSE;
  if (right < left) std::swap(left, right);
  if (bottom < top) std::swap(top, bottom);
  if (pen->null_object) {
    // Without a pen the filled area is one pixel smaller, as on the home platform.
    if (!brush->null_object) FillRect(*s, left, top, right - 1, bottom - 1, brush->color);
    return TRUE;
  }
  const int w = pen->width;
  if (!brush->null_object) FillRect(*s, left + w, top + w, right - w, bottom - w, brush->color);
  FillRect(*s, left, top, right, top + w, pen->color);
  FillRect(*s, left, bottom - w, right, bottom, pen->color);
  FillRect(*s, left, top, left + w, bottom, pen->color);
  FillRect(*s, right - w, top, right, bottom, pen->color);
  return TRUE;
}

BOOL DrawEdge(HDC dc, RECT* rect, UINT edge, UINT flags) {
  if (rect == nullptr) return FALSE;
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  DeviceContext* c = Context(g, dc);
  GdiObject* s = c != nullptr ? Surface(g, *c) : nullptr;
  if (s == nullptr) return FALSE;
  RECT r = *rect;
  if (edge & BDR_RAISEDOUTER) {
    Ring(*s, r, flags, kColor3dLight, kColor3dDarkShadow);
  } else if (edge & BDR_SUNKENOUTER) {
    Ring(*s, r, flags, kColor3dShadow, kColor3dHighlight);
  }
  if (edge & BDR_RAISEDINNER) {
    Ring(*s, r, flags, kColor3dHighlight, kColor3dShadow);
  } else if (edge & BDR_SUNKENINNER) {
    Ring(*s, r, flags, kColor3dDarkShadow, kColor3dLight);
  }
  if (flags & BF_MIDDLE) FillRect(*s, r.left, r.top, r.right, r.bottom, kColor3dFace);
  if (flags & BF_ADJUST) *rect = r;
  return TRUE;
}

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int source_x,
            int source_y, DWORD rop) {
  if (rop != SRCCOPY) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  DeviceContext* d = Context(g, dest);
  DeviceContext* sc = Context(g, source);
  if (d == nullptr || sc == nullptr) return FALSE;
  GdiObject* to = Surface(g, *d);
  GdiObject* from = Surface(g, *sc);
  if (to == nullptr || from == nullptr) return FALSE;
  // Copied through a buffer, so a blit within one surface reads the old pixels.
  std::vector<COLORREF> block(static_cast<size_t>(std::max(width, 0)) *
                              static_cast<size_t>(std::max(height, 0)), CLR_INVALID);
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i) {
      const int sx = source_x + i;
      const int sy = source_y + j;
      if (sx < 0 || sy < 0 || sx >= from->width || sy >= from->height) continue;
      block[static_cast<size_t>(j) * static_cast<size_t>(width) + static_cast<size_t>(i)] =
          from->pixels[static_cast<size_t>(sy) * static_cast<size_t>(from->width) +
                       static_cast<size_t>(sx)];
    }
  }
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i) {
      const COLORREF p = block[static_cast<size_t>(j) * static_cast<size_t>(width) +
                               static_cast<size_t>(i)];
      if (p != CLR_INVALID) Plot(*to, x + i, y + j, p);
    }
  }
  return TRUE;
}

void RegisterBitmapResource(HINSTANCE module, int id, int width, int height,
                            const COLORREF* pixels) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  g.resources[{Id(module), id}] =
      Resource{width, height,
               std::vector<COLORREF>(pixels, pixels + static_cast<size_t>(width) *
                                                          static_cast<size_t>(height))};
}

HBITMAP LoadBitmapA(HINSTANCE module, const char* name) {
  const uintptr_t id = reinterpret_cast<uintptr_t>(name);
  if (id == 0 || id > 0xFFFF) {
    SetLastError(ERROR_NOT_SUPPORTED);  // resources are numbered here
    return nullptr;
  }
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  auto it = g.resources.find({Id(module), static_cast<int>(id)});
  if (it == g.resources.end()) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  HBITMAP b = NewBitmap(g, it->second.width, it->second.height);
  if (b != nullptr) Object(g, Id(b))->pixels = it->second.pixels;
  return b;
}

BOOL GetBitmapSize(HBITMAP bitmap, int* width, int* height) {
  Gdi& g = Table();
  std::lock_guard<std::mutex> guard(g.lock);
  GdiObject* o = Object(g, Id(bitmap));
  if (o == nullptr || o->kind != Kind::kBitmap) return FALSE;
  *width = o->width;
  *height = o->height;
  return TRUE;
}

}  // namespace win
