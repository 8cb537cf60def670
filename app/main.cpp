// Program entry of TavrinSoloSetup.exe: one installer at a time (named mutex), a running copy of
// the application asked to quit, the window created, and the message loop whose quit code is the
// exit code.
#include <windows.h>

#include <objbase.h>

#include "app/window.h"
#include "base/cmdline.h"
#include "base/codepage.h"
#include "base/context.h"
#include "base/dllsearch.h"
#include "base/product.h"
#include "setup/folders.h"

namespace {

const char kMutexName[] = INSTALLER_MUTEX_NAME;
const char kWindowTitle[] = MAKER_NAME " " PRODUCT_NAME " Installation (Version " PRODUCT_VERSION ")";
const int kAnotherInstallerRuns = -1;

int RunMessageLoop(void) {
  MSG message = {};
  // GetMessageA gives -1 on an error; that ends the loop as well, rather than spinning on it.
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  RestrictDllSearch();
  LoadCodePageLeadBytes();
  ParseCommandLine(commandLine);

  HANDLE mutex = CreateMutexA(nullptr, TRUE, kMutexName);
  if (mutex == nullptr) return kAnotherInstallerRuns;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return kAnotherInstallerRuns;
  }
  WaitForSingleObject(mutex, INFINITE);

  EnumWindows(CloseRunningApplication, reinterpret_cast<LPARAM>(APP_WINDOW_TITLE));
  ResolveSystemFolders();
  InitContext(instance);
  const HRESULT com = CoInitialize(nullptr);

  int exitCode = EXIT_NO_WINDOW;
  if (CreateMainWindow(instance, kWindowTitle) != nullptr) exitCode = RunMessageLoop();

  ReleaseMutex(mutex);
  CloseHandle(mutex);
  if (com == S_OK) CoUninitialize();
  return exitCode;
}
