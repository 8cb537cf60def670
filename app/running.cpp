// Asking a running copy of the application to quit: its top-level window, found by its exact
// title, gets a posted WM_DESTROY (the installer does not wait for it).
#include <string.h>

#include "app/window.h"

BOOL CALLBACK CloseRunningApplication(HWND window, LPARAM title) {
  if (window == nullptr) return TRUE;
  char text[512];
  text[0] = '\0';
  GetWindowTextA(window, text, sizeof text);  // longer titles are cut, so they never match
  text[sizeof text - 1] = '\0';
  if (strcmp(text, reinterpret_cast<const char*>(title)) == 0)
    PostMessageA(window, WM_DESTROY, 0, 0);
  return TRUE;
}
