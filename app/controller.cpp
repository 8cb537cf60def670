// The controller behind the window: the button's action (install worker or removal), the install
// worker thread, the outcome boxes and unattended runs.
#include <windows.h>

#include <objbase.h>

#include "app/rules.h"
#include "app/webaddress.h"
#include "app/window.h"
#include "base/product.h"
#include "base/thread.h"
#include "base/text.h"
#include "setup/folders.h"
#include "setup/procedures.h"
#include "ui/paint.h"

namespace {

const UINT kErrorBoxFlags = MB_SYSTEMMODAL | MB_ICONERROR;      // 0x1010
const UINT kSuccessBoxFlags = MB_SYSTEMMODAL | MB_ICONWARNING;  // 0x1030

// Launches the install worker. workerResult (-1) and workerBusy (1) are published before the
// thread exists, so the worker's own writes always come after them. Returns the thread handle
// (stored in workerThread), null when the thread could not be created.
HANDLE LaunchWorker(void) {
  InstallerContext& c = installerContext;
  StoreShared(&c.workerResult, -1);
  StoreShared(&c.workerBusy, 1);
  c.workerThread = StartThreadAtCallerPriority(InstallWorkerMain, &installerContext);
  c.workerThreadId = c.workerThread != nullptr ? GetThreadId(c.workerThread) : 0;
  return c.workerThread;
}

// The worker posts its result message a moment before it clears workerBusy, and it runs at a
// lower priority than this thread. Waiting for that last step keeps the WM_CLOSE that follows an
// outcome box from being dropped as if the installation were still running.
void WaitForWorkerEnd(void) {
  InstallerContext& c = installerContext;
  if (c.workerThread != nullptr && LoadShared(&c.workerBusy) != 0)
    WaitForSingleObject(c.workerThread, 10000);
}

}  // namespace

void OnMainButton(HWND window) {
  InstallerContext& c = installerContext;
  HDC dc = GetDC(window);
  DrawMainButton(dc, 1);
  ReleaseDC(window, dc);
  // The pause handles no messages (empty wake mask: only the time-out ends it). It waits through
  // the message machinery rather than Sleep because Wine puts a window's drawing on the screen
  // when its thread waits there: after a plain Sleep the pressed look would appear only as the
  // pause ends.
  MsgWaitForMultipleObjects(0, nullptr, FALSE, PRESSED_PAUSE_MS, 0);
  if (c.appInstalled != 0) {
    // Removal runs here, on the window thread. Its failure notice is shown and answered before
    // WM_DESTROY is posted: a box's own message loop would handle a WM_DESTROY queued behind the
    // notice, and the quit message that follows would close the box unanswered.
    if (UninstallProcedure() != 0 && hiddenMode == 0) ShowQueuedOutcome();
    PostMessageA(c.mainWindow, WM_DESTROY, 0, 0);
    return;
  }
  if (LaunchWorker() != nullptr) return;
  // workerBusy stays 1: nothing may start a second attempt while the window closes.
  char caption[1024];
  TextFormat(caption, sizeof caption, "%s Installation Error", PRODUCT_NAME);
  MessageBoxA(window, "Failed to launch Procedure...", caption, kErrorBoxFlags);
  PostMessageA(c.mainWindow, WM_DESTROY, 0, 0);
}

int32_t RunInstallAndWait(int32_t wait) {
  InstallerContext& c = installerContext;
  HANDLE thread = LaunchWorker();
  if (thread == nullptr) return -1;
  if (wait != 1) return 0;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  const int32_t result = LoadShared(&c.workerResult);
  c.workerThread = nullptr;
  return result;
}

DWORD WINAPI InstallWorkerMain(LPVOID context) {
  InstallerContext* c = static_cast<InstallerContext*>(context);
  HANDLE self = GetCurrentThread();
  SetThreadPriority(self, THREAD_PRIORITY_BELOW_NORMAL);
  CloseHandle(self);  // a pseudo-handle: closing it does nothing, and is harmless
  // Shortcuts are COM objects; this thread has its own apartment.
  const HRESULT com = CoInitialize(nullptr);
  // The procedure posts ID_RESULT before it returns.
  StoreShared(&c->workerResult, InstallProcedure(c));
  if (com == S_OK) CoUninitialize();
  StoreShared(&c->workerBusy, 0);  // the very last step
  return 0;
}

namespace {

// The outcome box of a procedure's ID_RESULT: the completion page first on success. Returns 0
// for a code that is neither outcome.
int ShowOutcomeBox(LPARAM code) {
  InstallerContext& c = installerContext;
  if (code == RESULT_FAILED) {
    // Written completely by the procedure before it posted; terminated here all the same.
    c.errorText[sizeof c.errorText - 1] = '\0';
    c.errorCaption[sizeof c.errorCaption - 1] = '\0';
    MessageBoxA(c.mainWindow, c.errorText, c.errorCaption, kErrorBoxFlags);
    return 1;
  }
  if (code == RESULT_SUCCEEDED) {
    OpenWebAddress(completionLinkAddress, sizeof completionLinkAddress);
    MessageBoxA(c.mainWindow, "Installation Complete and Successful !", "Success",
                kSuccessBoxFlags);
    return 1;
  }
  return 0;
}

}  // namespace

void ShowOutcome(LPARAM code) {
  if (ShowOutcomeBox(code) == 0) return;
  WaitForWorkerEnd();
  PostMessageA(installerContext.mainWindow, WM_CLOSE, 0, 0);
}

void ShowQueuedOutcome(void) {
  MSG message;
  while (PeekMessageA(&message, installerContext.mainWindow, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
    if (LOWORD(message.wParam) == ID_RESULT) ShowOutcomeBox(message.lParam);
  }
}

int32_t RunUnattended(void) {
  InstallerContext& c = installerContext;
  switch (ChooseUnattendedAction(c.appInstalled, installRequested, RunningFromTargetFolder(&c))) {
    case UNATTENDED_REMOVE: return UninstallProcedure();
    case UNATTENDED_INSTALL: return RunInstallAndWait(1);
    case UNATTENDED_NOTHING: break;
  }
  return 0;
}
