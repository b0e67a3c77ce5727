// The design-time face drawn into a pixel canvas, checked pixel by pixel and written as PNG for
// a person to look at.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

#include "control/toolbox_bitmap.h"
#include "platform/gdi.h"
#include "platform/ole_control.h"
#include "tests/control/control_test_support.h"
#include "tests/support/test_support.h"

namespace {

using controltest::Control;

constexpr char kReviewDir[] = "/work/briefs";
constexpr int kCanvasWidth = 120;
constexpr int kCanvasHeight = 80;

// A PNG of the canvas: 8-bit RGB, one zlib stream, filter 0 on every row.
std::string Png(win::HDC dc, int width, int height) {
  auto chunk = [](std::string& out, const char* type, const std::string& data) {
    auto be32 = [&out](uint32_t v) {
      for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
    };
    be32(static_cast<uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    out += body;
    be32(static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
  };
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    for (int x = 0; x < width; ++x) {
      const win::COLORREF c = win::GetPixel(dc, x, y);
      raw.push_back(static_cast<char>(win::GetRValue(c)));
      raw.push_back(static_cast<char>(win::GetGValue(c)));
      raw.push_back(static_cast<char>(win::GetBValue(c)));
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packed_size, '\0');
  compress(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
           reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()));
  packed.resize(packed_size);
  std::string header;
  for (uint32_t v : {static_cast<uint32_t>(width), static_cast<uint32_t>(height)}) {
    for (int s = 24; s >= 0; s -= 8) header.push_back(static_cast<char>(v >> s));
  }
  header += std::string("\x08\x02\x00\x00\x00", 5);
  std::string png("\x89PNG\r\n\x1a\n", 8);
  chunk(png, "IHDR", header);
  chunk(png, "IDAT", packed);
  chunk(png, "IEND", "");
  return png;
}

struct FaceCase {
  const char* name;
  win::RECT bounds;
  int stock_brush;  // the container's brush
};

class ControlFace : public ::testing::TestWithParam<FaceCase> {};

TEST_P(ControlFace, FrameAndBitmapLandWhereExpected) {
  const FaceCase& c = GetParam();
  win::HDC dc = win::CreateCompatibleDC(nullptr);
  win::HBITMAP canvas = win::CreateCompatibleBitmap(dc, kCanvasWidth, kCanvasHeight);
  win::HGDIOBJ first = win::SelectObject(dc, canvas);
  // A grey desk under the control.
  win::SelectObject(dc, win::GetStockObject(win::NULL_PEN));
  win::SelectObject(dc, win::GetStockObject(win::LTGRAY_BRUSH));
  win::Rectangle(dc, 0, 0, kCanvasWidth + 1, kCanvasHeight + 1);
  win::SelectObject(dc, win::GetStockObject(win::WHITE_PEN));
  win::SelectObject(dc, win::GetStockObject(c.stock_brush));

  Control control;
  ASSERT_EQ(win::S_OK, control.created);
  win::ComPtr<win::IViewObject> view;
  ASSERT_EQ(win::S_OK, control.dispatch()->QueryInterface(win::IID_IViewObject, view.PutVoid()));
  const win::RECTL bounds = c.bounds;
  ASSERT_EQ(win::S_OK, view->Draw(win::DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc,
                                  &bounds, nullptr, nullptr, 0));

  const std::string png = Png(dc, kCanvasWidth, kCanvasHeight);
  const std::string dir = testsupport::MakeTempDir();
  testsupport::WriteFile(dir + "/face_" + c.name + ".png", png);
  // A copy for the reviewers' folder, where there is one.
  if (std::string(c.name) == "at_10_20" && ::access(kReviewDir, W_OK) == 0) {
    testsupport::WriteFile(std::string(kReviewDir) + "/face.png", png);
  }

  const int left = c.bounds.left;
  const int top = c.bounds.top;
  // The black outline, one pixel inside the right and bottom edges, and the desk outside.
  EXPECT_EQ(win::RGB(0, 0, 0), win::GetPixel(dc, left, top));
  EXPECT_EQ(win::RGB(0, 0, 0), win::GetPixel(dc, c.bounds.right - 1, c.bounds.bottom - 1));
  EXPECT_EQ(win::RGB(192, 192, 192), win::GetPixel(dc, c.bounds.right, c.bounds.bottom));
  EXPECT_EQ(win::RGB(192, 192, 192), win::GetPixel(dc, left - 1, top));
  // Inside: the container's brush, or the raised frame's face when the brush paints nothing.
  const win::COLORREF inside = c.stock_brush == win::NULL_BRUSH ? win::kColor3dFace
                                                                : win::RGB(255, 255, 255);
  EXPECT_EQ(inside, win::GetPixel(dc, left + 3, c.bounds.bottom - 4));
  if (c.stock_brush == win::NULL_BRUSH) {
    EXPECT_EQ(win::kColor3dHighlight, win::GetPixel(dc, left + 1, top + 5));
    EXPECT_EQ(win::kColor3dShadow, win::GetPixel(dc, c.bounds.right - 2, top + 5));
  }
  // The bitmap at (left + 6, top + 7); its key colour shows what was beneath.
  const win::COLORREF key = tw::ToolboxBitmapPixel(0, 0);
  int mismatches = 0;
  for (int y = 0; y < tw::kToolboxBitmapHeight; ++y) {
    for (int x = 0; x < tw::kToolboxBitmapWidth; ++x) {
      const win::COLORREF want = tw::ToolboxBitmapPixel(x, y) == key
                                     ? inside
                                     : tw::ToolboxBitmapPixel(x, y);
      if (win::GetPixel(dc, left + 6 + x, top + 7 + y) != want) ++mismatches;
    }
  }
  EXPECT_EQ(0, mismatches);
  EXPECT_NE(key, win::GetPixel(dc, left + 6 + 2, top + 7 + 3));

  win::SelectObject(dc, first);
  EXPECT_TRUE(win::DeleteObject(canvas));
  EXPECT_TRUE(win::DeleteDC(dc));
}

INSTANTIATE_TEST_SUITE_P(
    Faces, ControlFace,
    ::testing::Values(FaceCase{"at_10_20", {10, 20, 38, 48}, win::WHITE_BRUSH},
                      FaceCase{"wide_without_brush", {40, 5, 110, 70}, win::NULL_BRUSH}),
    [](const auto& info) { return std::string(info.param.name); });

// The drawing layer's own rules.
TEST(Gdi, ObjectRules) {
  win::HDC a = win::CreateCompatibleDC(nullptr);
  win::HDC b = win::CreateCompatibleDC(a);
  win::HBITMAP bitmap = win::CreateCompatibleBitmap(a, 4, 4);
  win::HGDIOBJ first = win::SelectObject(a, bitmap);
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, win::SelectObject(b, bitmap));  // one context at a time
  EXPECT_FALSE(win::DeleteObject(bitmap));            // still selected
  EXPECT_EQ(win::CLR_INVALID, win::GetPixel(a, 4, 0));
  EXPECT_EQ(win::CLR_INVALID, win::SetPixel(a, -1, 0, 0));
  EXPECT_EQ(win::RGB(1, 2, 3), win::SetPixel(a, 3, 3, win::RGB(1, 2, 3)));
  EXPECT_FALSE(win::BitBlt(a, 0, 0, 4, 4, a, 0, 0, 0x00EE0086));  // only SRCCOPY
  // A blit within one surface reads the old pixels.
  EXPECT_TRUE(win::BitBlt(a, 2, 2, 4, 4, a, 3, 3, win::SRCCOPY));
  EXPECT_EQ(win::RGB(1, 2, 3), win::GetPixel(a, 2, 2));
  EXPECT_EQ(nullptr, win::LoadBitmapA(tw::ControlModuleInstance(), win::MAKEINTRESOURCEA(999)));
  EXPECT_EQ(nullptr, win::CreateCompatibleBitmap(a, 0, 4));
  EXPECT_TRUE(win::DeleteObject(win::GetStockObject(win::BLACK_PEN)));  // stock: kept
  EXPECT_NE(win::CLR_INVALID, win::GetPixel(a, 0, 0));
  win::SelectObject(a, first);
  EXPECT_TRUE(win::DeleteObject(bitmap));
  EXPECT_FALSE(win::DeleteObject(bitmap));
  EXPECT_TRUE(win::DeleteDC(b));
  EXPECT_TRUE(win::DeleteDC(a));
  EXPECT_FALSE(win::DeleteDC(a));
}

}  // namespace
