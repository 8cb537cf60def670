// The window procedure in-process under Wine, on states a screenshot cannot show: hidden windows
// keep their size and get no timer, close requests and timer ticks while the worker runs, the
// clean-up of WM_DESTROY, and the exact-title rule of CloseRunningApplication.
#include <gtest/gtest.h>

#include "app/window.h"

namespace {

const char kClass[] = "QuorelTavrin-Solo0Installer0MainWindow0";

class MainWindow : public ::testing::Test {
 protected:
  void Open(int32_t hidden) {
    hiddenMode = hidden;
    installRequested = uninstallRequested = 0;
    InitContext(GetModuleHandleA(nullptr));
    window_ = CreateMainWindow(GetModuleHandleA(nullptr), "window test");
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (window_ != nullptr) DestroyWindow(window_);
    UnregisterClassA(kClass, GetModuleHandleA(nullptr));
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    hiddenMode = 0;
  }
  // 1 when a message of this kind waits in the queue for the window (it is taken out).
  int Posted(UINT message) {
    MSG m;
    return PeekMessageA(&m, window_, message, message, PM_REMOVE) ? 1 : 0;
  }
  LRESULT Send(UINT message, WPARAM w = 0, LPARAM l = 0) {
    return MainWindowProc(window_, message, w, l);
  }
  HWND window_ = nullptr;
};

TEST_F(MainWindow, HiddenKeepsItsCreationSizeAndHasNoTimer) {
  Open(1);
  RECT r;
  GetWindowRect(window_, &r);
  EXPECT_EQ(r.right - r.left, 900);
  EXPECT_EQ(r.bottom - r.top, 300);
  EXPECT_FALSE(IsWindowVisible(window_));
  EXPECT_EQ(installerContext.timerId, 0u);
  EXPECT_EQ(installerContext.mainWindow, window_);
}

TEST_F(MainWindow, VisibleClientAreaIsThePictureAndTheBandAndTheTimerRuns) {
  Open(0);
  RECT client;
  GetClientRect(window_, &client);
  EXPECT_EQ(client.right, installerContext.backgroundWidth);
  EXPECT_EQ(client.bottom, installerContext.backgroundHeight + 100);
  EXPECT_TRUE(IsWindowVisible(window_));
  EXPECT_EQ(installerContext.timerId, static_cast<UINT_PTR>(BLINK_TIMER));
  EXPECT_EQ(GetWindowLongA(window_, GWL_STYLE) & 0x02CB0000, 0x02CB0000);
  EXPECT_EQ(GetWindowLongA(window_, GWL_STYLE) & WS_THICKFRAME, 0);
}

TEST_F(MainWindow, CloseIsDroppedWhileTheWorkerRuns) {
  Open(1);
  StoreShared(&installerContext.workerBusy, 1);
  Send(WM_CLOSE);
  EXPECT_EQ(Posted(WM_DESTROY), 0) << "a close request during the installation was queued";
  Send(WM_KEYDOWN, VK_ESCAPE);  // Escape turns into a close request, dropped the same way
  ASSERT_EQ(Posted(WM_CLOSE), 1);
  Send(WM_CLOSE);
  EXPECT_EQ(Posted(WM_DESTROY), 0);
  StoreShared(&installerContext.workerBusy, 0);
  Send(WM_CLOSE);
  EXPECT_EQ(Posted(WM_DESTROY), 1) << "a close request once idle did not close";
  EXPECT_TRUE(IsWindow(window_)) << "the window must not be destroyed by WM_CLOSE itself";
}

TEST_F(MainWindow, ClicksAndEnterStartNothingWhileTheWorkerRuns) {
  Open(0);
  StoreShared(&installerContext.workerBusy, 1);
  const ContextRect& b = installerContext.buttonRect;
  ASSERT_GT(b.right, b.left) << "the button was never drawn";
  const LPARAM middle = MAKELPARAM((b.left + b.right) / 2, (b.top + b.bottom) / 2);
  Send(WM_LBUTTONDOWN, MK_LBUTTON, middle);
  Send(WM_KEYDOWN, VK_RETURN);
  EXPECT_EQ(installerContext.workerThread, nullptr) << "a second worker was started";
  EXPECT_EQ(LoadShared(&installerContext.workerResult), 0);
  StoreShared(&installerContext.workerBusy, 0);
}

TEST_F(MainWindow, TimerCountsOnlyItsOwnTicksWhileBusy) {
  Open(0);
  Send(WM_TIMER, BLINK_TIMER);
  EXPECT_EQ(installerContext.blinkCounter, 0) << "ticks while idle must not draw or count";
  StoreShared(&installerContext.workerBusy, 1);
  Send(WM_TIMER, BLINK_TIMER + 1);
  EXPECT_EQ(installerContext.blinkCounter, 0) << "a foreign timer counted";
  Send(WM_TIMER, BLINK_TIMER);
  Send(WM_TIMER, BLINK_TIMER);
  EXPECT_EQ(installerContext.blinkCounter, 2);
  StoreShared(&installerContext.workerBusy, 0);
}

TEST_F(MainWindow, HiddenModeIgnoresOutcomeMessages) {
  Open(1);
  // A box here would never be answered: the test would hang instead of passing.
  Send(WM_COMMAND, ID_RESULT, RESULT_FAILED);
  Send(WM_COMMAND, ID_RESULT, RESULT_SUCCEEDED);
  EXPECT_EQ(Posted(WM_CLOSE), 0);
}

TEST_F(MainWindow, DestroyStopsTheTimerReleasesResourcesAndQuitsWithZero) {
  Open(0);
  EXPECT_NE(installerContext.smallBoldFont, nullptr);
  EXPECT_EQ(Send(WM_ERASEBKGND, reinterpret_cast<WPARAM>(GetDC(window_))), 1);
  Send(WM_DESTROY);
  EXPECT_EQ(installerContext.timerId, 0u);
  EXPECT_EQ(installerContext.smallBoldFont, nullptr);
  EXPECT_EQ(installerContext.buttonFont, nullptr);
  EXPECT_EQ(installerContext.backgroundBitmap, nullptr);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(m.wParam, 0u);
}

TEST_F(MainWindow, UnattendedRunWithNothingToDoQuitsWithZero) {
  hiddenMode = 1;
  uninstallRequested = 1;  // -h -u; the application is not installed in a fresh prefix
  InitContext(GetModuleHandleA(nullptr));
  window_ = CreateMainWindow(GetModuleHandleA(nullptr), "window test");
  ASSERT_NE(window_, nullptr);
  ASSERT_EQ(installerContext.appInstalled, 0);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, window_, WM_COMMAND, WM_COMMAND, PM_REMOVE));
  EXPECT_EQ(LOWORD(m.wParam), ID_AUTORUN);
  EXPECT_EQ(m.lParam, AUTORUN_CODE);
  DispatchMessageA(&m);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(m.wParam, 0u);
  uninstallRequested = 0;
}

// Windows titled like the application, in this thread: only the exact title gets WM_DESTROY.
// Answers the first box titled "Startup Error" that appears within 10 s and keeps its text.
DWORD WINAPI AnswerStartupBox(LPVOID text) {
  for (int i = 0; i < 200; ++i) {
    HWND box = FindWindowA(nullptr, "Startup Error");
    if (box != nullptr) {
      GetDlgItemTextA(box, 0xFFFF, static_cast<char*>(text), 256);  // the box's text control
      PostMessageA(box, WM_COMMAND, IDOK, 0);
      return 1;
    }
    Sleep(50);
  }
  return 0;
}

TEST_F(MainWindow, ClassThatCannotBeRegisteredGivesTheStartupBoxAndNoWindow) {
  Open(1);  // the class is now registered, so a second registration fails
  char text[256] = "";
  HANDLE answerer = CreateThread(nullptr, 0, AnswerStartupBox, text, 0, nullptr);
  ASSERT_NE(answerer, nullptr);
  hiddenMode = 1;  // the box has no owner: it shows in hidden mode as well
  EXPECT_EQ(CreateMainWindow(GetModuleHandleA(nullptr), "second window"), nullptr);
  WaitForSingleObject(answerer, 15000);
  DWORD answered = 0;
  GetExitCodeThread(answerer, &answered);
  CloseHandle(answerer);
  EXPECT_EQ(answered, 1u) << "no Startup Error box was shown";
  EXPECT_STREQ(text, "Failed to register window class...");
}

TEST(CloseRunningApplication, PostsOnlyToTheExactTitle) {
  WNDCLASSA c = {};
  c.lpfnWndProc = DefWindowProcA;
  c.hInstance = GetModuleHandleA(nullptr);
  c.lpszClassName = "TitleTestWindow";
  RegisterClassA(&c);
  const char* titles[] = {"TavrinSolo", "tavrinsolo", "TavrinSolo ", "TavrinSol", "TAVRINSOLO",
                          " TavrinSolo"};
  HWND windows[6];
  for (int i = 0; i < 6; ++i) {
    windows[i] = CreateWindowExA(0, c.lpszClassName, titles[i], WS_OVERLAPPED, 0, 0, 50, 50,
                                 nullptr, nullptr, c.hInstance, nullptr);
    ASSERT_NE(windows[i], nullptr);
  }
  EnumWindows(CloseRunningApplication, reinterpret_cast<LPARAM>("TavrinSolo"));
  for (int i = 0; i < 6; ++i) {
    MSG m;
    const BOOL got = PeekMessageA(&m, windows[i], WM_DESTROY, WM_DESTROY, PM_REMOVE);
    EXPECT_EQ(got != 0, i == 0) << "window titled '" << titles[i] << "'";
    DestroyWindow(windows[i]);
  }
  EXPECT_TRUE(CloseRunningApplication(nullptr, reinterpret_cast<LPARAM>("TavrinSolo")));
}

}  // namespace
