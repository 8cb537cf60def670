// The installer window and its controller: class, creation, message handling, the install
// worker, unattended runs, and opening the maker's web pages.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "base/context.h"

enum {
  BLINK_TIMER = 12347,
  BLINK_PERIOD_MS = 500,
  PRESSED_PAUSE_MS = 200,  // the pressed look stays this long before the action starts
  STATUS_BAND_HEIGHT = 100,
};

// Exit code of the program when the window cannot be registered or created (the shell of a
// Linux host running it under Wine sees 236). -1 stays reserved for "another installer runs".
enum { EXIT_NO_WINDOW = -20 };

// window.cpp: the class, the window and its procedure.
HWND CreateMainWindow(HINSTANCE instance, const char* title);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// controller.cpp: what the button, the outcome messages and unattended runs do.
void OnMainButton(HWND window);
int32_t RunInstallAndWait(int32_t wait);
DWORD WINAPI InstallWorkerMain(LPVOID context);
// ID_RESULT while not hidden: the web page (success only), the outcome box, then WM_CLOSE.
void ShowOutcome(LPARAM code);
// ID_AUTORUN: runs what the command line and the installed state ask for; returns its result.
int32_t RunUnattended(void);
// After an unattended run or a failed removal with a visible window: shows the outcome box of the
// ID_RESULT that the procedure queued, if any, and waits for its answer (without closing the
// window).
void ShowQueuedOutcome(void);

// weblink.cpp: unscrambles a stored address block (at most 512 bytes) and opens it with the
// shell's "open" verb; the plain address is wiped afterwards.
void OpenWebAddress(const uint8_t* block, uint32_t length);

// running.cpp: EnumWindows callback; posts WM_DESTROY to a top-level window whose title equals
// the text at title exactly (case-sensitive, whole string). Always TRUE.
BOOL CALLBACK CloseRunningApplication(HWND window, LPARAM title);
