// InstallerContext under the real i686 ABI: field order and sizes, the start-up clearing, and the
// step name handed from the install worker to the window.
#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include "base/activity.h"
#include "base/context.h"

namespace {

TEST(InstallerContext, FieldsHaveTheirOrderAndSizes) {
  EXPECT_EQ(offsetof(InstallerContext, mainWindow), 0u);
  EXPECT_EQ(offsetof(InstallerContext, instanceHandle), 4u);
  EXPECT_EQ(offsetof(InstallerContext, installerPath), 8u);
  EXPECT_EQ(offsetof(InstallerContext, timerId), 1032u);
  EXPECT_EQ(offsetof(InstallerContext, osCode), 1036u);
  EXPECT_EQ(offsetof(InstallerContext, appInstalled), 1040u);
  EXPECT_EQ(offsetof(InstallerContext, targetFolder), 1044u);
  EXPECT_EQ(offsetof(InstallerContext, packageDirectory), 2068u);
  EXPECT_EQ(sizeof(installerContext.packageDirectory), 2720u);
  EXPECT_EQ(offsetof(InstallerContext, buttonRect), 4788u);
  EXPECT_EQ(sizeof(installerContext.buttonRect), sizeof(RECT));
  EXPECT_EQ(offsetof(InstallerContext, blinkCounter), 4804u);
  EXPECT_EQ(offsetof(InstallerContext, backgroundBitmap), 4808u);
  EXPECT_EQ(offsetof(InstallerContext, backgroundHeight), 4816u);
  EXPECT_EQ(offsetof(InstallerContext, handCursor), 4820u);
  EXPECT_EQ(offsetof(InstallerContext, buttonFont), 4828u);
  EXPECT_EQ(offsetof(InstallerContext, workerThread), 4832u);
  EXPECT_EQ(offsetof(InstallerContext, workerBusy), 4840u);
  EXPECT_EQ(offsetof(InstallerContext, workerResult), 4844u);
  EXPECT_EQ(offsetof(InstallerContext, errorCaption), 4848u);
  EXPECT_EQ(offsetof(InstallerContext, errorText), 5360u);
  EXPECT_EQ(offsetof(InstallerContext, activityText), 7408u);
  EXPECT_EQ(sizeof(InstallerContext), 8432u);
}

TEST(InitContext, ClearsEveryFieldButKeepsTheFlags) {
  hiddenMode = installRequested = uninstallRequested = 0;
  ParseCommandLine("-h -u");
  memset(&installerContext, 0xA5, sizeof installerContext);
  HINSTANCE self = GetModuleHandleA(nullptr);
  InitContext(self);
  EXPECT_EQ(installerContext.instanceHandle, self);
  EXPECT_EQ(hiddenMode, 1);
  EXPECT_EQ(uninstallRequested, 1);
  EXPECT_EQ(installRequested, 0);
  // Everything but instanceHandle is zero bytes: null handles, empty texts, zero buttonRect.
  installerContext.instanceHandle = nullptr;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&installerContext);
  size_t nonzero = 0;
  for (size_t i = 0; i < sizeof installerContext; ++i) nonzero += bytes[i] != 0;
  EXPECT_EQ(nonzero, 0u);
}

// What the window draws is always one whole step name the worker published, or nothing.
TEST(ActivityText, ReadsTheNamePublishedLastWholeOrNothing) {
  char text[64];
  SetActivityText(&installerContext, "Copy Files");
  ReadActivityText(&installerContext, text, sizeof text);
  EXPECT_STREQ(text, "Copy Files");
  EXPECT_STREQ(installerContext.activityText, "Copy Files");
  char small[6];
  ReadActivityText(&installerContext, small, sizeof small);
  EXPECT_STREQ(small, "");  // too small for the name: empty, never cut
  SetActivityText(&installerContext, "Not A Step");
  ReadActivityText(&installerContext, text, sizeof text);
  EXPECT_STREQ(text, "");
  EXPECT_STREQ(installerContext.activityText, "");
}

}  // namespace
