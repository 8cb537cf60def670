// Painting of the window: the picture, the OS line over its bottom, the white status band with
// its two lines and the hand-drawn button in its normal, pressed and installing looks.
// All geometry follows the picture's size W x H, except the OS line, which starts at y = 400.
#include "base/activity.h"
#include "base/context.h"
#include "base/product.h"
#include "base/text.h"
#include "sysinfo/oscode.h"
#include "ui/paint.h"

namespace {

const COLORREF kBlack = RGB(0, 0, 0);
const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kGrey = RGB(100, 100, 100);
const UINT kCaptionFlags = DT_SINGLELINE | DT_VCENTER | DT_CENTER;  // 0x25

void DrawLine(HDC dc, const char* text, LONG left, LONG top, LONG right, LONG bottom, UINT flags) {
  RECT rect = {left, top, right, bottom};
  DrawTextA(dc, text, -1, &rect, flags);
}

// The button's rectangle, stored where the window's click test reads it.
RECT StoreButtonRect(void) {
  InstallerContext& c = installerContext;
  RECT r = {c.backgroundWidth - 320, c.backgroundHeight + 20, c.backgroundWidth - 20,
            c.backgroundHeight + 80};
  c.buttonRect.left = r.left;
  c.buttonRect.top = r.top;
  c.buttonRect.right = r.right;
  c.buttonRect.bottom = r.bottom;
  return r;
}

// The pen and brush put back after drawing.
struct SavedTools {
  HGDIOBJ pen, brush, font;
};

SavedTools SelectTools(HDC dc, int pen, int brush, HFONT font) {
  SavedTools saved;
  saved.pen = SelectObject(dc, GetStockObject(pen));
  saved.brush = SelectObject(dc, GetStockObject(brush));
  saved.font = SelectObject(dc, font);
  return saved;
}

void RestoreTools(HDC dc, const SavedTools& saved) {
  SelectObject(dc, saved.font);
  SelectObject(dc, saved.brush);
  SelectObject(dc, saved.pen);
}

}  // namespace

void DrawBackground(HDC dc, HBITMAP bitmap) {
  if (bitmap == nullptr) return;
  HDC memory = CreateCompatibleDC(dc);
  if (memory == nullptr) return;
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BITMAP info;
  if (GetObjectA(bitmap, sizeof info, &info) != 0) {
    BitBlt(dc, 0, 0, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
  }
  SelectObject(memory, previous);
  DeleteDC(memory);
}

void PaintWindow(HDC dc) {
  InstallerContext& c = installerContext;
  HGDIOBJ previous = SelectObject(dc, c.smallBoldFont);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, kBlack);
  DrawLine(dc, OsDisplayText(c.osCode), 20, 400, c.backgroundWidth, c.backgroundHeight,
           DT_SINGLELINE);
  SelectObject(dc, previous);
  DrawStatusArea(dc);
  DrawMainButton(dc, 0);
}

void DrawStatusArea(HDC dc) {
  InstallerContext& c = installerContext;
  const LONG w = c.backgroundWidth, h = c.backgroundHeight;
  SavedTools saved = SelectTools(dc, NULL_PEN, WHITE_BRUSH, c.smallBoldFont);
  // With the null pen Rectangle leaves out the right and bottom edges: this fills exactly
  // 0 <= x < W, H <= y < H + 100.
  Rectangle(dc, 0, h, w + 1, h + 101);
  SetTextColor(dc, kBlack);
  SetBkMode(dc, TRANSPARENT);
  char second[128];
  if (c.appInstalled) {
    DrawLine(dc, PRODUCT_NAME " is already installed...", 20, h + 30, w, h + 100, DT_SINGLELINE);
    TextCopy(second, sizeof second, "previous version has to be removed before installing new one...");
  } else {
    DrawLine(dc, "Ready to install ? Click the button right there...", 20, h + 30, w, h + 100,
             DT_SINGLELINE);
    TextFormat(second, sizeof second, "it will install " MAKER_NAME " %s on your system...",
               PRODUCT_NAME);
  }
  SetTextColor(dc, kGrey);
  DrawLine(dc, second, 20, h + 50, w, h + 100, DT_SINGLELINE);
  RestoreTools(dc, saved);
}

void DrawMainButton(HDC dc, int32_t pressed) {
  InstallerContext& c = installerContext;
  RECT r = StoreButtonRect();
  SavedTools saved = SelectTools(dc, BLACK_PEN, pressed ? BLACK_BRUSH : WHITE_BRUSH, c.buttonFont);
  SetTextColor(dc, pressed ? kWhite : kBlack);
  RoundRect(dc, r.left, r.top, r.right + 1, r.bottom + 1, 8, 8);
  SetBkMode(dc, TRANSPARENT);
  DrawTextA(dc, c.appInstalled ? "Remove" : "Install", -1, &r, kCaptionFlags);
  RestoreTools(dc, saved);
}

void DrawInstallingButton(HDC dc, int32_t phase) {
  InstallerContext& c = installerContext;
  RECT r = StoreButtonRect();
  SavedTools saved = SelectTools(dc, BLACK_PEN, BLACK_BRUSH, c.buttonFont);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, kWhite);
  RoundRect(dc, r.left, r.top, r.right + 1, r.bottom + 1, 8, 8);
  if (phase == 1) DrawLine(dc, "Installing", r.left, r.top, r.right, r.bottom - 15, kCaptionFlags);
  // The worker may be switching steps right now: draw a whole copy, never the live field.
  char activity[132];
  ReadActivityText(&c, activity, sizeof activity);
  SelectObject(dc, c.smallBoldFont);
  DrawLine(dc, activity, r.left, c.backgroundHeight + 60, r.right, c.backgroundHeight + 80,
           DT_SINGLELINE | DT_CENTER);
  RestoreTools(dc, saved);
}
