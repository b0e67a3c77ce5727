// The design-time face: a frame and the toolbox bitmap, drawn when a container asks.
#include "control/control_object.h"
#include "control/toolbox_bitmap.h"
#include "platform/gdi.h"

namespace tw {
namespace {

constexpr win::UINT kFaceEdgeFlags = win::BF_RECT | win::BF_MIDDLE;
constexpr int kBitmapOffsetX = 6;
constexpr int kBitmapOffsetY = 7;

}  // namespace

HRESULT ControlObject::OnDraw(win::HDC dc, const win::RECT& bounds) {
  win::RECT edge = bounds;
  win::DrawEdge(dc, &edge, win::EDGE_RAISED, kFaceEdgeFlags);
  win::HGDIOBJ old_pen = win::SelectObject(dc, win::GetStockObject(win::BLACK_PEN));
  win::Rectangle(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
  if (old_pen != nullptr) win::SelectObject(dc, old_pen);

  RegisterToolboxBitmap();
  win::HBITMAP bitmap =
      win::LoadBitmapA(ControlModuleInstance(), win::MAKEINTRESOURCEA(kToolboxBitmapId));
  if (bitmap == nullptr) return win::S_OK;
  win::HDC memory = win::CreateCompatibleDC(dc);
  if (memory != nullptr) {
    win::HGDIOBJ old_bitmap = win::SelectObject(memory, bitmap);
    const int x = bounds.left + kBitmapOffsetX;
    const int y = bounds.top + kBitmapOffsetY;
    // The bitmap's corner colour is its key: those pixels take the colour beneath.
    const win::COLORREF beneath = win::GetPixel(dc, x, y);
    const win::COLORREF key = win::GetPixel(memory, 0, 0);
    for (int by = 0; by < kToolboxBitmapHeight; ++by) {
      for (int bx = 0; bx < kToolboxBitmapWidth; ++bx) {
        if (win::GetPixel(memory, bx, by) == key) win::SetPixel(memory, bx, by, beneath);
      }
    }
    win::BitBlt(dc, x, y, kToolboxBitmapWidth, kToolboxBitmapHeight, memory, 0, 0, win::SRCCOPY);
    if (old_bitmap != nullptr) win::SelectObject(memory, old_bitmap);
    win::DeleteDC(memory);
  }
  win::DeleteObject(bitmap);
  return win::S_OK;
}

}  // namespace tw
