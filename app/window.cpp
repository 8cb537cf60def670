// The installer window: its class, its creation, and the window procedure as a dispatch list
// with one handler per message. What the handlers start lives in app/controller.cpp.
#include "app/window.h"

#include "app/rules.h"
#include "app/webaddress.h"
#include "base/product.h"
#include "ui/paint.h"

namespace {

const char kClassName[] = INSTALLER_WINDOW_CLASS;
const DWORD kWindowStyle =
    WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CLIPCHILDREN;  // 0x02CB0000
const UINT kStartupBoxFlags = MB_ICONWARNING;

// The exit code that WM_DESTROY hands to the message loop: 0, or the result of an unattended run,
// so that a WM_DESTROY handled after that run cannot turn its failure into 0.
int32_t quitCode = 0;

// A startup failure box. It has no owner, so it shows even when the window was to stay hidden.
void ShowStartupError(const char* text) {
  MessageBoxA(nullptr, text, "Startup Error", kStartupBoxFlags);
}

int16_t LowWord(LPARAM value) { return static_cast<int16_t>(LOWORD(value)); }
int16_t HighWord(LPARAM value) { return static_cast<int16_t>(HIWORD(value)); }

LRESULT OnCreate(HWND window) {
  InstallerContext& c = installerContext;
  c.mainWindow = window;
  if (LoadWindowResources() < 0) return -1;
  int32_t frame = 0;
  int32_t caption = 0;
  GetFrameMetrics(&frame, &caption);
  if (hiddenMode == 0) {
    // The client area becomes the picture with the status band beneath it.
    SetWindowPos(window, nullptr, 0, 0, c.backgroundWidth + 2 * frame,
                 c.backgroundHeight + STATUS_BAND_HEIGHT + 2 * frame + caption,
                 SWP_NOMOVE | SWP_SHOWWINDOW);
    c.timerId = SetTimer(window, BLINK_TIMER, BLINK_PERIOD_MS, nullptr);
  }
  if (installRequested == 1 || uninstallRequested == 1)
    PostMessageA(window, WM_COMMAND, ID_AUTORUN, AUTORUN_CODE);
  return 0;
}

LRESULT OnDestroy(HWND window) {
  InstallerContext& c = installerContext;
  if (c.timerId != 0) KillTimer(window, c.timerId);
  c.timerId = 0;
  ReleaseWindowResources();
  PostQuitMessage(quitCode);
  return 0;
}

LRESULT OnPaint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  PaintWindow(dc);
  EndPaint(window, &paint);
  return 0;
}

LRESULT OnEraseBackground(WPARAM dc) {
  DrawBackground(reinterpret_cast<HDC>(dc), installerContext.backgroundBitmap);
  return 1;
}

// The window is never destroyed with DestroyWindow: the posted WM_DESTROY cleans up and ends
// the message loop, and the window goes with the process. Dropped while the worker runs.
LRESULT OnClose(void) {
  if (LoadShared(&installerContext.workerBusy) == 0)
    PostMessageA(installerContext.mainWindow, WM_DESTROY, 0, 0);
  return 0;
}

LRESULT OnKeyDown(HWND window, WPARAM key) {
  if (key == VK_RETURN) {
    if (LoadShared(&installerContext.workerBusy) != 1) OnMainButton(window);
  } else if (key == VK_ESCAPE) {
    PostMessageA(window, WM_CLOSE, 0, 0);
  }
  return 0;
}

LRESULT OnCommand(WPARAM wParam, LPARAM lParam) {
  const WORD id = LOWORD(wParam);
  if (hiddenMode == 0 && id == ID_RESULT) {
    ShowOutcome(lParam);
  } else if (id == ID_AUTORUN && lParam == AUTORUN_CODE) {
    quitCode = RunUnattended();
    // With a visible window the outcome box is answered before the quit request: posted after
    // it, the quit would end the box's own message loop at once.
    if (hiddenMode == 0) ShowQueuedOutcome();
    ReleaseWindowResources();
    PostQuitMessage(quitCode);
  }
  return 0;
}

LRESULT OnTimer(HWND window, WPARAM timer) {
  InstallerContext& c = installerContext;
  if (LoadShared(&c.workerBusy) != 0 && timer == BLINK_TIMER) {
    c.blinkCounter += 1;
    HDC dc = GetDC(window);
    DrawInstallingButton(dc, c.blinkCounter & 1);
    ReleaseDC(window, dc);
  }
  return 0;
}

// The hand over the picture at any x; elsewhere the class cursor (the arrow) stays.
LRESULT OnMouseMove(LPARAM position) {
  if (HighWord(position) < installerContext.backgroundHeight)
    SetCursor(installerContext.handCursor);
  return 0;
}

LRESULT OnLeftButtonDown(HWND window, LPARAM position) {
  const InstallerContext& c = installerContext;
  if (LoadShared(&c.workerBusy) == 1) return 0;
  const ContextRect& b = c.buttonRect;
  switch (ClassifyClick(b.left, b.top, b.right, b.bottom, c.backgroundHeight, LowWord(position),
                        HighWord(position))) {
    case CLICK_BUTTON:
      OnMainButton(window);
      break;
    case CLICK_PICTURE:
      OpenWebAddress(headerLinkAddress, sizeof headerLinkAddress);
      break;
    case CLICK_NOTHING:
      break;
  }
  return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: return OnCreate(window);
    case WM_DESTROY: return OnDestroy(window);
    case WM_PAINT: return OnPaint(window);
    case WM_ERASEBKGND: return OnEraseBackground(wParam);
    case WM_CLOSE: return OnClose();
    case WM_KEYDOWN: return OnKeyDown(window, wParam);
    case WM_COMMAND: return OnCommand(wParam, lParam);
    case WM_TIMER: return OnTimer(window, wParam);
    case WM_MOUSEMOVE: return OnMouseMove(lParam);
    case WM_LBUTTONDOWN: return OnLeftButtonDown(window, lParam);
    default: return DefWindowProcA(window, message, wParam, lParam);
  }
}

HWND CreateMainWindow(HINSTANCE instance, const char* title) {
  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(100));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_INACTIVEBORDER + 1);
  windowClass.lpszClassName = kClassName;
  if (RegisterClassA(&windowClass) == 0) {
    ShowStartupError("Failed to register window class...");
    return nullptr;
  }
  HWND window = CreateWindowExA(0, kClassName, title, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                900, 300, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    ShowStartupError("Failed to create window...");
    return nullptr;
  }
  if (hiddenMode != 0) {
    ShowWindow(window, SW_HIDE);
  } else {
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
  }
  return window;
}
