// The installer's one global record, InstallerContext, and the messages by which the procedures
// report to the window. Field order and sizes are fixed; other parts of the program name the
// fields directly.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/cmdline.h"
#include "base/packagedir.h"
#include "base/shared.h"

// WM_COMMAND identifiers (low word of wParam) and codes (lParam) posted to the window.
enum {
  ID_RESULT = 180,
  RESULT_FAILED = 127,
  RESULT_SUCCEEDED = 128,
  ID_AUTORUN = 165,
  AUTORUN_CODE = 101,
};

struct ContextRect {  // left, top, right, bottom: four int32, laid out as a RECT
  int32_t left, top, right, bottom;
};

struct InstallerContext {
  HWND mainWindow;
  HINSTANCE instanceHandle;
  char installerPath[1024];
  UINT_PTR timerId;
  int32_t osCode;
  int32_t appInstalled;
  char targetFolder[1024];
  PackageDirectory packageDirectory;
  ContextRect buttonRect;
  int32_t blinkCounter;
  HBITMAP backgroundBitmap;
  int32_t backgroundWidth;
  int32_t backgroundHeight;
  HCURSOR handCursor;
  HFONT smallBoldFont;
  HFONT buttonFont;
  HANDLE workerThread;
  uint32_t workerThreadId;
  // Shared with the install worker through StoreShared and LoadShared (base/shared.h): once the
  // window thread sees workerBusy cleared, it sees errorText, activityText and workerResult.
  int32_t workerBusy;
  int32_t workerResult;
  char errorCaption[512];
  char errorText[2048];
  char activityText[1024];
};

extern InstallerContext installerContext;

// Zero-fills installerContext and stores the module handle. The command-line flags are not part
// of the context and keep their values.
void InitContext(HINSTANCE instance);
