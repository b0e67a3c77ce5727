#include "control/toolbox_bitmap.h"

#include <array>
#include <mutex>

namespace tw {
namespace {

// One character per pixel; '.' is the key colour.
constexpr const char* kArt[kToolboxBitmapHeight] = {
    "................",
    "....########....",
    "..##cccccccc##..",
    ".#cccccccccccc#.",
    ".##cccccccccc##.",
    ".#b##########b#.",
    ".#bbbbbwwbbbbb#.",
    ".#bbbbwwwwbbbb#.",
    ".#bbbwwwwwwbbb#.",
    ".#bbbbbwwbbbbb#.",
    ".#bbbbbwwbbbbb#.",
    ".#bbbbbwwbbbbb#.",
    ".##bbbbbbbbbb##.",
    "..##bbbbbbbb##..",
    "....########....",
};

struct PaletteEntry {
  char code;
  win::COLORREF color;
};
constexpr PaletteEntry kPalette[] = {
    {'.', win::RGB(255, 0, 255)},   // key
    {'#', win::RGB(0, 32, 96)},     // outline
    {'c', win::RGB(153, 217, 234)}, // lid
    {'b', win::RGB(0, 120, 215)},   // body
    {'w', win::RGB(255, 255, 255)}, // arrow
};

constexpr win::COLORREF ColorOf(char code) {
  for (const PaletteEntry& p : kPalette) {
    if (p.code == code) return p.color;
  }
  return win::RGB(0, 0, 0);
}

constexpr auto kPixels = [] {
  std::array<win::COLORREF, kToolboxBitmapWidth * kToolboxBitmapHeight> pixels{};
  for (int y = 0; y < kToolboxBitmapHeight; ++y) {
    for (int x = 0; x < kToolboxBitmapWidth; ++x) {
      pixels[static_cast<size_t>(y * kToolboxBitmapWidth + x)] = ColorOf(kArt[y][x]);
    }
  }
  return pixels;
}();

// Any address inside this module names it.
const char kModuleAnchor = 0;

}  // namespace

win::HINSTANCE ControlModuleInstance() {
  return reinterpret_cast<win::HINSTANCE>(const_cast<char*>(&kModuleAnchor));
}

void RegisterToolboxBitmap() {
  static std::once_flag once;
  std::call_once(once, [] {
    win::RegisterBitmapResource(ControlModuleInstance(), kToolboxBitmapId, kToolboxBitmapWidth,
                                kToolboxBitmapHeight, kPixels.data());
  });
}

win::COLORREF ToolboxBitmapPixel(int x, int y) {
  if (x < 0 || y < 0 || x >= kToolboxBitmapWidth || y >= kToolboxBitmapHeight) {
    return win::CLR_INVALID;
  }
  return kPixels[static_cast<size_t>(y * kToolboxBitmapWidth + x)];
}

}  // namespace tw
