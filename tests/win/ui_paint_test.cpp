// The window's look, painted into a memory bitmap under Wine and read back pixel by pixel. Each
// text is compared with GDI drawing the literal text alone in the rectangle where it belongs, so a
// wrong text, rectangle, colour or DrawText flag shows as differing pixels.
#include <gtest/gtest.h>

#include <string.h>

#include "base/activity.h"
#include "base/context.h"
#include "ui/paint.h"

namespace {

const uint32_t kSentinel = 0x00FF00FF;  // magenta: "nothing drew here"
const uint32_t kWhite = 0x00FFFFFF;

// A top-down 32-bit DIB section one pixel wider and taller than the client area, so that
// drawing past the band's right or bottom edge would show.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  uint32_t* pixels = nullptr;
  int width = 0, height = 0;

  Canvas(int w, int h) : width(w), height(h) {
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    pixels = static_cast<uint32_t*>(bits);
    previous = SelectObject(dc, bitmap);
    Fill(kSentinel);
  }
  ~Canvas() {
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  void Fill(uint32_t colour) {
    GdiFlush();
    for (int i = 0; i < width * height; ++i) pixels[i] = colour;
  }
  uint32_t At(int x, int y) const {
    GdiFlush();
    return pixels[y * width + x] & 0xFFFFFF;
  }
  // Pixels in [left, right) x [top, bottom) that differ from colour.
  int CountNot(uint32_t colour, int left, int top, int right, int bottom) const {
    int n = 0;
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x) n += At(x, y) != colour;
    return n;
  }
  // Pixels in the area that differ from the same pixels of another canvas.
  int CountDiffering(const Canvas& other, int left, int top, int right, int bottom) const {
    int n = 0;
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x) n += At(x, y) != other.At(x, y);
    return n;
  }
};

// Draws one text alone on a plain background, as the window should have drawn it.
void Reference(Canvas& canvas, uint32_t background, HFONT font, COLORREF colour, const char* text,
               RECT rect, UINT flags) {
  canvas.Fill(background);
  HGDIOBJ old = SelectObject(canvas.dc, font);
  SetBkMode(canvas.dc, TRANSPARENT);
  SetTextColor(canvas.dc, colour);
  DrawTextA(canvas.dc, text, -1, &rect, flags);
  SelectObject(canvas.dc, old);
}

// A plain picture of the given size, so that any text on it stands out.
HBITMAP PlainPicture(int w, int h, COLORREF colour) {
  HDC screen = GetDC(nullptr);
  HBITMAP picture = CreateCompatibleBitmap(screen, w, h);
  HDC dc = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(dc, picture);
  RECT all = {0, 0, w, h};
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &all, brush);
  DeleteObject(brush);
  SelectObject(dc, old);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return picture;
}

class WindowLook : public ::testing::Test {
 protected:
  void SetUp() override {
    InitContext(GetModuleHandleA(nullptr));
    LoadWindowResources();
    ASSERT_NE(installerContext.backgroundBitmap, nullptr);
    ASSERT_NE(installerContext.smallBoldFont, nullptr);
    ASSERT_NE(installerContext.buttonFont, nullptr);
    installerContext.appInstalled = 0;
    installerContext.osCode = 4;
  }
  void TearDown() override { ReleaseWindowResources(); }

  // Uses a plain picture of w x h instead of the real one.
  void UsePlainPicture(int w, int h) {
    DeleteObject(installerContext.backgroundBitmap);
    installerContext.backgroundBitmap = PlainPicture(w, h, RGB(40, 90, 200));
    installerContext.backgroundWidth = w;
    installerContext.backgroundHeight = h;
  }
  int W() const { return installerContext.backgroundWidth; }
  int H() const { return installerContext.backgroundHeight; }
};

TEST_F(WindowLook, RealPictureIs900x424AndFillsOnlyThePictureArea) {
  ASSERT_EQ(W(), 900);
  ASSERT_EQ(H(), 424);
  Canvas canvas(W() + 1, H() + 101);
  DrawBackground(canvas.dc, installerContext.backgroundBitmap);
  EXPECT_EQ(canvas.CountNot(kSentinel, 0, 0, W(), H()), W() * H()) << "picture left gaps";
  EXPECT_EQ(canvas.CountNot(kSentinel, 0, H(), W() + 1, H() + 101), 0) << "drew below the picture";
  EXPECT_EQ(canvas.CountNot(kSentinel, W(), 0, W() + 1, H()), 0) << "drew right of the picture";
  // The picture's own pixels, read back independently with GetDIBits.
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = W();
  info.bmiHeader.biHeight = -H();
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  static uint32_t expected[900 * 424];
  ASSERT_EQ(GetDIBits(canvas.dc, installerContext.backgroundBitmap, 0, H(), expected, &info,
                      DIB_RGB_COLORS), H());
  int differing = 0;
  for (int y = 0; y < H(); ++y)
    for (int x = 0; x < W(); ++x) differing += canvas.At(x, y) != (expected[y * W() + x] & 0xFFFFFF);
  EXPECT_EQ(differing, 0);
}

TEST_F(WindowLook, NullPictureDrawsNothing) {
  Canvas canvas(100, 100);
  DrawBackground(canvas.dc, nullptr);
  EXPECT_EQ(canvas.CountNot(kSentinel, 0, 0, 100, 100), 0);
}

TEST_F(WindowLook, BandIsWhiteExactlyBelowThePictureWithTheInstallTexts) {
  UsePlainPicture(900, 424);
  Canvas canvas(W() + 1, H() + 101), ref(W() + 1, H() + 101);
  DrawBackground(canvas.dc, installerContext.backgroundBitmap);
  PaintWindow(canvas.dc);
  const int h = H();
  // The band covers 0 <= x < W, H <= y < H + 100 and nothing beyond.
  EXPECT_EQ(canvas.CountNot(kSentinel, W(), 0, W() + 1, h + 101), 0);
  EXPECT_EQ(canvas.CountNot(kSentinel, 0, h + 100, W() + 1, h + 101), 0);
  EXPECT_EQ(canvas.CountNot(kWhite, 0, h, W(), h + 20), 0) << "band above the button";
  EXPECT_EQ(canvas.CountNot(kWhite, 0, h, 560, h + 30), 0) << "band above the first line";
  EXPECT_EQ(canvas.CountNot(kWhite, 0, h, 20, h + 100), 0) << "band left of the texts";
  EXPECT_EQ(canvas.CountNot(kWhite, 0, h + 70, 560, h + 100), 0) << "band below the texts";

  RECT line1 = {20, h + 30, W(), h + 100}, line2 = {20, h + 50, W(), h + 100};
  Reference(ref, kWhite, installerContext.smallBoldFont, RGB(0, 0, 0),
            "Ready to install ? Click the button right there...", line1, DT_SINGLELINE);
  EXPECT_GT(ref.CountNot(kWhite, 20, h + 30, 560, h + 50), 50) << "no font to draw with";
  EXPECT_EQ(canvas.CountDiffering(ref, 20, h + 30, 560, h + 50), 0) << "status line 1";
  Reference(ref, kWhite, installerContext.smallBoldFont, RGB(100, 100, 100),
            "it will install Quorel Tavrin-Solo on your system...", line2, DT_SINGLELINE);
  EXPECT_EQ(canvas.CountDiffering(ref, 20, h + 50, 560, h + 70), 0) << "status line 2 (grey)";

  // Button, normal look: black outline on the rectangle's own edges, white inside.
  EXPECT_EQ(canvas.At(580, h + 50), 0u);
  EXPECT_EQ(canvas.At(880, h + 50), 0u);
  EXPECT_EQ(canvas.At(730, h + 20), 0u);
  EXPECT_EQ(canvas.At(730, h + 80), 0u);
  EXPECT_EQ(canvas.At(579, h + 50), kWhite);
  EXPECT_EQ(canvas.At(881, h + 50), kWhite);
  EXPECT_EQ(canvas.At(730, h + 81), kWhite);
  EXPECT_EQ(canvas.At(585, h + 25), kWhite);
  RECT button = {580, h + 20, 880, h + 80};
  Reference(ref, kWhite, installerContext.buttonFont, RGB(0, 0, 0), "Install", button,
            DT_SINGLELINE | DT_VCENTER | DT_CENTER);
  EXPECT_EQ(canvas.CountDiffering(ref, 584, h + 24, 877, h + 77), 0) << "caption Install";
  EXPECT_EQ(installerContext.buttonRect.left, 580);
  EXPECT_EQ(installerContext.buttonRect.top, h + 20);
  EXPECT_EQ(installerContext.buttonRect.right, 880);
  EXPECT_EQ(installerContext.buttonRect.bottom, h + 80);
}

TEST_F(WindowLook, InstalledApplicationShowsTheRemovalTexts) {
  UsePlainPicture(900, 424);
  installerContext.appInstalled = 1;
  Canvas canvas(W() + 1, H() + 101), ref(W() + 1, H() + 101);
  PaintWindow(canvas.dc);
  const int h = H();
  RECT line1 = {20, h + 30, W(), h + 100}, line2 = {20, h + 50, W(), h + 100};
  Reference(ref, kWhite, installerContext.smallBoldFont, RGB(0, 0, 0),
            "Tavrin-Solo is already installed...", line1, DT_SINGLELINE);
  EXPECT_EQ(canvas.CountDiffering(ref, 20, h + 30, 560, h + 50), 0) << "status line 1";
  Reference(ref, kWhite, installerContext.smallBoldFont, RGB(100, 100, 100),
            "previous version has to be removed before installing new one...", line2,
            DT_SINGLELINE);
  EXPECT_EQ(canvas.CountDiffering(ref, 20, h + 50, 560, h + 70), 0) << "status line 2";
  RECT button = {580, h + 20, 880, h + 80};
  Reference(ref, kWhite, installerContext.buttonFont, RGB(0, 0, 0), "Remove", button,
            DT_SINGLELINE | DT_VCENTER | DT_CENTER);
  EXPECT_EQ(canvas.CountDiffering(ref, 584, h + 24, 877, h + 77), 0) << "caption Remove";
}

TEST_F(WindowLook, OsLineStartsAt400WhateverThePictureHeight) {
  for (int height : {424, 500}) {
    UsePlainPicture(900, height);
    for (int32_t code : {4, -1, 9}) {
      installerContext.osCode = code;
      Canvas canvas(W() + 1, H() + 101), ref(W() + 1, H() + 101);
      DrawBackground(canvas.dc, installerContext.backgroundBitmap);
      PaintWindow(canvas.dc);
      DrawBackground(ref.dc, installerContext.backgroundBitmap);
      RECT line = {20, 400, W(), H()};
      HGDIOBJ old = SelectObject(ref.dc, installerContext.smallBoldFont);
      SetBkMode(ref.dc, TRANSPARENT);
      SetTextColor(ref.dc, RGB(0, 0, 0));
      DrawTextA(ref.dc, code == 4 ? "O/S: WIN7" : "O/S: unknown", -1, &line, DT_SINGLELINE);
      SelectObject(ref.dc, old);
      EXPECT_EQ(canvas.CountDiffering(ref, 0, 0, W(), H()), 0) << height << " code " << code;
      EXPECT_GT(ref.CountNot(0x00285AC8, 20, 400, 300, 416), 20) << "no OS text at y 400";
      EXPECT_EQ(installerContext.buttonRect.top, height + 20);
    }
  }
}

TEST_F(WindowLook, PressedButtonIsBlackWithAWhiteCaption) {
  Canvas canvas(W() + 1, H() + 101), ref(W() + 1, H() + 101);
  canvas.Fill(kWhite);
  DrawMainButton(canvas.dc, 1);
  const int h = H();
  EXPECT_EQ(canvas.At(585, h + 25), 0u);
  EXPECT_EQ(canvas.At(580, h + 50), 0u);
  EXPECT_EQ(canvas.At(579, h + 50), kWhite);
  RECT button = {580, h + 20, 880, h + 80};
  Reference(ref, 0, installerContext.buttonFont, RGB(255, 255, 255), "Install", button,
            DT_SINGLELINE | DT_VCENTER | DT_CENTER);
  EXPECT_GT(ref.CountNot(0, 584, h + 24, 877, h + 77), 50);
  EXPECT_EQ(canvas.CountDiffering(ref, 584, h + 24, 877, h + 77), 0);
}

TEST_F(WindowLook, InstallingButtonBlinksItsCaptionOverTheActivityLine) {
  SetActivityText(&installerContext, "Copy Files");
  const int h = H();
  RECT caption = {580, h + 20, 880, h + 65}, activity = {580, h + 60, 880, h + 80};
  for (int32_t phase : {0, 1}) {
    Canvas canvas(W() + 1, H() + 101), ref(W() + 1, H() + 101);
    canvas.Fill(kWhite);
    installerContext.buttonRect = ContextRect{0, 0, 0, 0};
    DrawInstallingButton(canvas.dc, phase);
    EXPECT_EQ(installerContext.buttonRect.right, 880);
    EXPECT_EQ(canvas.At(585, h + 25), 0u) << "button not black";
    EXPECT_EQ(canvas.At(579, h + 50), kWhite);
    // The reference: both texts (caption only in phase 1) on black.
    ref.Fill(0);
    HGDIOBJ old = SelectObject(ref.dc, installerContext.buttonFont);
    SetBkMode(ref.dc, TRANSPARENT);
    SetTextColor(ref.dc, RGB(255, 255, 255));
    if (phase == 1) DrawTextA(ref.dc, "Installing", -1, &caption, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    SelectObject(ref.dc, installerContext.smallBoldFont);
    DrawTextA(ref.dc, "Copy Files", -1, &activity, DT_SINGLELINE | DT_CENTER);
    SelectObject(ref.dc, old);
    EXPECT_EQ(canvas.CountDiffering(ref, 584, h + 24, 877, h + 77), 0) << "phase " << phase;
    int captionPixels = canvas.CountNot(0, 584, h + 24, 877, h + 58);
    if (phase == 0) {
      EXPECT_EQ(captionPixels, 0);
    } else {
      EXPECT_GT(captionPixels, 50);
    }
    EXPECT_GT(canvas.CountNot(0, 584, h + 60, 877, h + 77), 20) << "no activity line";
  }
}

TEST_F(WindowLook, DrawingPutsBackThePenBrushAndFontItFound) {
  Canvas canvas(W() + 1, H() + 101);
  HGDIOBJ pen = GetCurrentObject(canvas.dc, OBJ_PEN);
  HGDIOBJ brush = GetCurrentObject(canvas.dc, OBJ_BRUSH);
  HGDIOBJ font = GetCurrentObject(canvas.dc, OBJ_FONT);
  PaintWindow(canvas.dc);
  DrawMainButton(canvas.dc, 1);
  DrawInstallingButton(canvas.dc, 1);
  EXPECT_EQ(GetCurrentObject(canvas.dc, OBJ_PEN), pen);
  EXPECT_EQ(GetCurrentObject(canvas.dc, OBJ_BRUSH), brush);
  EXPECT_EQ(GetCurrentObject(canvas.dc, OBJ_FONT), font);
}

}  // namespace
