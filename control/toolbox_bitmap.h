// The control's 16 by 15 toolbox bitmap (resource 101 of the control's module): a storage
// cylinder with an upward arrow, on a key colour that the face drawing makes transparent.
#pragma once

#include "platform/gdi.h"
#include "platform/library.h"

namespace tw {

constexpr int kToolboxBitmapId = 101;
constexpr int kToolboxBitmapWidth = 16;
constexpr int kToolboxBitmapHeight = 15;

// The module the control's resources belong to.
win::HINSTANCE ControlModuleInstance();
// Binds the bitmap to the module's resources (once).
void RegisterToolboxBitmap();
// The bitmap's pixel at (x, y), for tests.
win::COLORREF ToolboxBitmapPixel(int x, int y);

}  // namespace tw
