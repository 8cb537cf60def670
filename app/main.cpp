// Program entry of TavrinSoloSetup.exe: the process's first function (in place of the C runtime's
// start-up), one installer at a time (named mutex), a running copy of the application asked to
// quit, the window created, and the message loop whose quit code is the exit code.
#include <windows.h>
#include <stdlib.h>

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

// The linker's entry (app/module.cmake). The C runtime's own start-up would also set up argv,
// thread-local data, run-time relocations, static constructors and a crash filter that only
// forwards to signal handlers: this program uses none of them (it links with auto-import off,
// so no run-time relocation can be needed). Kept from it: the 16-byte stack the SSE2 code
// expects, the x87 unit reset to its defaults, WinMain's arguments, exit() with its result.
// Coverage builds start through the C runtime instead: gcov needs its constructors and atexit.
#ifndef TAVRIN_COVERAGE
extern "C" IMAGE_DOS_HEADER __ImageBase;
extern "C" void InstallerEntry(void);

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void InstallerEntry(void) {
  __asm__ volatile("fninit");
  exit(WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr,
               const_cast<char*>(SkipProgramName(GetCommandLineA())), SW_SHOWDEFAULT));
}
#endif
