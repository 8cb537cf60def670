// LoadWindowResources against the real prefix: fonts, picture, cursor, the installer's path, and
// whether the application counts as installed (its executable in the target folder, opened for
// reading with read sharing). Also the frame metrics and their compatibility lookup.
#include <gtest/gtest.h>

#include <string.h>

#include "base/context.h"
#include "base/path.h"
#include "base/text.h"
#include "setup/folders.h"
#include "sysinfo/oscode.h"
#include "ui/paint.h"

namespace {

void ExpectFont(HFONT font, LONG height, LONG weight) {
  LOGFONTA f;
  ASSERT_EQ(GetObjectA(font, sizeof f, &f), static_cast<int>(sizeof f));
  EXPECT_EQ(f.lfHeight, height);
  EXPECT_EQ(f.lfWeight, weight);
  EXPECT_EQ(f.lfWidth, 0);
  EXPECT_EQ(f.lfItalic | f.lfUnderline | f.lfStrikeOut | f.lfCharSet, 0);
  EXPECT_STREQ(f.lfFaceName, "Arial");
}

TEST(LoadWindowResources, LoadsFontsPictureCursorPathAndOsCode) {
  InitContext(GetModuleHandleA(nullptr));
  LoadWindowResources();
  InstallerContext& c = installerContext;
  ExpectFont(c.smallBoldFont, 16, 800);
  ExpectFont(c.buttonFont, 40, 400);
  BITMAP picture;
  ASSERT_EQ(GetObjectA(c.backgroundBitmap, sizeof picture, &picture), static_cast<int>(sizeof picture));
  EXPECT_EQ(c.backgroundWidth, 900);
  EXPECT_EQ(c.backgroundHeight, 424);
  EXPECT_EQ(c.handCursor, LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)));
  EXPECT_NE(c.handCursor, LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));  // not the arrow
  EXPECT_EQ(c.osCode, QueryOsCode());
  char self[1024];
  GetModuleFileNameA(nullptr, self, sizeof self);
  EXPECT_STREQ(c.installerPath, self);

  HGDIOBJ font = c.smallBoldFont;
  EXPECT_EQ(ReleaseWindowResources(), 0);
  EXPECT_EQ(c.backgroundBitmap, nullptr);
  EXPECT_EQ(c.smallBoldFont, nullptr);
  EXPECT_EQ(c.buttonFont, nullptr);
  EXPECT_EQ(GetObjectType(font), 0u) << "font not deleted";
  EXPECT_EQ(ReleaseWindowResources(), 0) << "second release";
}

// Creates the target folder (and its parent) for the length of a test, then removes what it made.
class TargetFolder : public ::testing::Test {
 protected:
  char folder[1024] = "", parent[1024] = "", exe[1024] = "";
  bool madeFolder = false, madeParent = false;

  void SetUp() override {
    InitContext(GetModuleHandleA(nullptr));
    ASSERT_EQ(ResolveTargetFolder(&installerContext), 0);
    TextCopy(folder, sizeof folder, installerContext.targetFolder);
    TextCopy(parent, sizeof parent, folder);
    *strrchr(parent, '\\') = '\0';
    madeParent = CreateDirectoryA(parent, nullptr) != 0;
    madeFolder = CreateDirectoryA(folder, nullptr) != 0;
    JoinPath(exe, sizeof exe, folder, "TavrinSolo.exe");
    ASSERT_EQ(GetFileAttributesA(exe), INVALID_FILE_ATTRIBUTES) << "prefix already has " << exe;
  }
  void TearDown() override {
    ReleaseWindowResources();
    DeleteFileA(exe);
    if (madeFolder) RemoveDirectoryA(folder);
    if (madeParent) RemoveDirectoryA(parent);
  }
  void PlantExecutable() {
    HANDLE f = CreateFileA(exe, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    CloseHandle(f);
  }
};

TEST_F(TargetFolder, AbsentExecutableMeansInstall) {
  EXPECT_EQ(LoadWindowResources(), 0);
  EXPECT_EQ(installerContext.appInstalled, 0);
  EXPECT_STREQ(installerContext.targetFolder, folder);
}

TEST_F(TargetFolder, PresentExecutableMeansRemove) {
  PlantExecutable();
  EXPECT_EQ(LoadWindowResources(), 1);
  EXPECT_EQ(installerContext.appInstalled, 1);
}

// The executable is looked for by opening it for reading with read sharing only: another
// program holding it without read sharing, or open for writing, makes it count as absent.
TEST_F(TargetFolder, ExecutableHeldByAnotherProgramCountsAsPresentOnlyWhenShared) {
  PlantExecutable();
  const struct {
    DWORD access, share;
    int32_t present;
  } kHolders[] = {
      {GENERIC_READ, 0, 0},
      {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0},
      {GENERIC_READ, FILE_SHARE_READ, 1},
  };
  for (const auto& holder : kHolders) {
    HANDLE held = CreateFileA(exe, holder.access, holder.share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(LoadWindowResources(), holder.present) << holder.access << " " << holder.share;
    EXPECT_EQ(installerContext.appInstalled, holder.present);
    CloseHandle(held);
    ReleaseWindowResources();
  }
}

TEST(GetFrameMetrics, PaddedBorderPlusFixedFrameAndCaption) {
  int32_t frame = -1, caption = -1;
  GetFrameMetrics(&frame, &caption);
  EXPECT_EQ(frame, GetSystemMetrics(SM_CXPADDEDBORDER) + GetSystemMetrics(SM_CXFIXEDFRAME));
  EXPECT_EQ(caption, GetSystemMetrics(SM_CYCAPTION));
  EXPECT_GT(caption, 0);
  int32_t only = -1;
  GetFrameMetrics(nullptr, &only);
  EXPECT_EQ(only, caption);
  GetFrameMetrics(&only, nullptr);
  EXPECT_EQ(only, frame);
}

TEST(LookUpSystemMetrics, User32ExportWhenTheMultiMonitorApiIsThereElseTheImport) {
  HMODULE user32 = GetModuleHandleA("USER32");
  SystemMetricsFunction exported = reinterpret_cast<SystemMetricsFunction>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(user32, "GetSystemMetrics")));
  EXPECT_EQ(LookUpSystemMetrics(user32), exported);
  // kernel32 lacks the multi-monitor names: the statically bound function answers.
  EXPECT_EQ(LookUpSystemMetrics(GetModuleHandleA("KERNEL32")), &GetSystemMetrics);
  EXPECT_EQ(LookUpSystemMetrics(nullptr), &GetSystemMetrics);
}

}  // namespace
