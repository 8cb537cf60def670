// TavrinSolo.exe: the sample application that the sample payload installs. A single top-level
// window titled "TavrinSolo" with a few cue pads painted on it; it exits when the window gets
// WM_DESTROY, which is how the installer asks a running copy to quit. While it runs it keeps its
// own executable open, as any running program does, so tests use it for "file in use".
#include <windows.h>

static LRESULT CALLBACK SampleWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      static const COLORREF pads[4] = {RGB(230, 120, 60), RGB(60, 170, 200), RGB(120, 200, 90),
                                       RGB(210, 80, 150)};
      for (int i = 0; i < 4; ++i) {
        HBRUSH brush = CreateSolidBrush(pads[i]);
        RECT pad = {20 + i * 90, 20, 100 + i * 90, 100};
        FillRect(dc, &pad, brush);
        DeleteObject(brush);
      }
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = SampleWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = "TavrinSoloCueboard";
  if (!RegisterClassA(&windowClass)) return 1;
  HWND window = CreateWindowExA(0, windowClass.lpszClassName, "TavrinSolo", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 400, 160, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) return 2;
  ShowWindow(window, show);
  UpdateWindow(window);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
