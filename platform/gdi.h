// A small drawing layer over 32-bit pixel surfaces: device contexts (memory contexts with a
// selected bitmap), stock and created pens and brushes, pixel reads and writes, Rectangle,
// DrawEdge, BitBlt and bitmap resources, with the home platform's names and rules.
//
// Colours are COLORREF values (0x00BBGGRR). Drawing objects are handles that are never reused;
// a bitmap can be selected into one context at a time, and a selected object cannot be deleted.
#pragma once

#include <cstdint>

#include "platform/library.h"
#include "platform/window.h"

namespace win {

using COLORREF = DWORD;
constexpr COLORREF RGB(unsigned r, unsigned g, unsigned b) {
  return (r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16);
}
constexpr unsigned GetRValue(COLORREF c) { return c & 0xFF; }
constexpr unsigned GetGValue(COLORREF c) { return (c >> 8) & 0xFF; }
constexpr unsigned GetBValue(COLORREF c) { return (c >> 16) & 0xFF; }
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

struct HDC__;
using HDC = HDC__*;
struct HGDIOBJ__ {};
using HGDIOBJ = HGDIOBJ__*;
struct HBITMAP__ : HGDIOBJ__ {};
using HBITMAP = HBITMAP__*;
struct HPEN__ : HGDIOBJ__ {};
using HPEN = HPEN__*;
struct HBRUSH__ : HGDIOBJ__ {};
using HBRUSH = HBRUSH__*;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// GetStockObject
constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int DKGRAY_BRUSH = 3;
constexpr int BLACK_BRUSH = 4;
constexpr int NULL_BRUSH = 5;
constexpr int WHITE_PEN = 6;
constexpr int BLACK_PEN = 7;
constexpr int NULL_PEN = 8;

constexpr int PS_SOLID = 0;
constexpr int PS_NULL = 5;

// DrawEdge
constexpr UINT BDR_RAISEDOUTER = 0x1;
constexpr UINT BDR_SUNKENOUTER = 0x2;
constexpr UINT BDR_RAISEDINNER = 0x4;
constexpr UINT BDR_SUNKENINNER = 0x8;
constexpr UINT EDGE_RAISED = BDR_RAISEDOUTER | BDR_RAISEDINNER;
constexpr UINT EDGE_SUNKEN = BDR_SUNKENOUTER | BDR_SUNKENINNER;
constexpr UINT BF_LEFT = 0x1;
constexpr UINT BF_TOP = 0x2;
constexpr UINT BF_RIGHT = 0x4;
constexpr UINT BF_BOTTOM = 0x8;
constexpr UINT BF_RECT = BF_LEFT | BF_TOP | BF_RIGHT | BF_BOTTOM;
constexpr UINT BF_MIDDLE = 0x800;
constexpr UINT BF_ADJUST = 0x2000;

// The 3-D colours DrawEdge paints with.
constexpr COLORREF kColor3dFace = RGB(240, 240, 240);
constexpr COLORREF kColor3dHighlight = RGB(255, 255, 255);
constexpr COLORREF kColor3dLight = RGB(227, 227, 227);
constexpr COLORREF kColor3dShadow = RGB(160, 160, 160);
constexpr COLORREF kColor3dDarkShadow = RGB(105, 105, 105);

constexpr DWORD SRCCOPY = 0x00CC0020;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// A memory context (any `compatible` context, or null) with a 1 by 1 bitmap, the black pen and
// the white brush selected.
HDC CreateCompatibleDC(HDC compatible);
BOOL DeleteDC(HDC dc);
// A 32-bit colour bitmap filled with black; null for sizes below 1 or above 16384.
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
// 32 bits per pixel only: rows of width BGRX pixels from `bits` (null: black).
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits);
HPEN CreatePen(int style, int width, COLORREF color);
HBRUSH CreateSolidBrush(COLORREF color);
HGDIOBJ GetStockObject(int which);
// The previous object of that kind, or null (a bitmap selected into another context, an unknown
// object).
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// FALSE for a selected object; stock objects are never deleted (TRUE).
BOOL DeleteObject(HGDIOBJ object);

COLORREF GetPixel(HDC dc, int x, int y);                // CLR_INVALID outside the surface
COLORREF SetPixel(HDC dc, int x, int y, COLORREF color);  // the colour set, or CLR_INVALID
// Outline with the selected pen (right and bottom exclusive), inside filled with the brush.
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
BOOL DrawEdge(HDC dc, RECT* rect, UINT edge, UINT flags);
// SRCCOPY only; the parts outside either surface are left out.
BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int source_x,
            int source_y, DWORD rop);

// Bitmap resources of a module, as the resource compiler would bind them: width * height
// COLORREF values, row by row. LoadBitmapA returns a new bitmap each call.
inline const char* MAKEINTRESOURCEA(int id) {
  return reinterpret_cast<const char*>(static_cast<uintptr_t>(static_cast<uint16_t>(id)));
}
void RegisterBitmapResource(HINSTANCE module, int id, int width, int height,
                            const COLORREF* pixels);
HBITMAP LoadBitmapA(HINSTANCE module, const char* name);

// The size of a bitmap (for hosts and tests); FALSE for a handle that is not a bitmap.
BOOL GetBitmapSize(HBITMAP bitmap, int* width, int* height);

}  // namespace win
