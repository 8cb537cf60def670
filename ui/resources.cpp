// The window's drawing resources and the facts decided once at window creation: the OS code,
// the installer's own path and whether the application is already installed.
#include <string.h>

#include "base/context.h"
#include "base/path.h"
#include "base/product.h"
#include "base/text.h"
#include "setup/folders.h"
#include "sysinfo/oscode.h"
#include "ui/paint.h"

enum { PICTURE_ID = 101, PICTURE_WIDTH = 900, PICTURE_HEIGHT = 424 };

static HFONT MakeFont(LONG height, LONG weight) {
  LOGFONTA font;
  memset(&font, 0, sizeof font);
  font.lfHeight = height;
  font.lfWeight = weight;
  TextCopy(font.lfFaceName, sizeof font.lfFaceName, "Arial");
  return CreateFontIndirectA(&font);
}

// 1 when the application's executable in the target folder opens for reading with read sharing.
static int32_t ApplicationPresent(void) {
  InstallerContext& c = installerContext;
  if (ResolveTargetFolder(&c) != 0) return 0;
  char path[1024];
  // A path that does not fit is not looked for: a cut path could name another file.
  if (!JoinPath(path, sizeof path, c.targetFolder, APP_EXECUTABLE_NAME)) {
    return 0;
  }
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(file);
  return 1;
}

int32_t LoadWindowResources(void) {
  InstallerContext& c = installerContext;
  c.smallBoldFont = MakeFont(16, 800);
  c.buttonFont = MakeFont(40, 400);

  c.backgroundBitmap = LoadBitmapA(c.instanceHandle, MAKEINTRESOURCEA(PICTURE_ID));
  BITMAP info;
  if (c.backgroundBitmap == nullptr || GetObjectA(c.backgroundBitmap, sizeof info, &info) == 0) {
    // The picture is part of the executable; should it be missing, keep the usual layout.
    info.bmWidth = PICTURE_WIDTH;
    info.bmHeight = PICTURE_HEIGHT;
  }
  c.backgroundWidth = info.bmWidth;
  c.backgroundHeight = info.bmHeight;

  c.handCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32649));  // IDC_HAND
  c.osCode = QueryOsCode();

  // A path cut at the buffer's end (length == size) is unterminated on older systems and names
  // another file: keep none rather than copy the wrong one later.
  DWORD length = GetModuleFileNameA(c.instanceHandle, c.installerPath, sizeof c.installerPath);
  if (length == 0 || length >= sizeof c.installerPath) c.installerPath[0] = '\0';

  c.appInstalled = 0;
  c.appInstalled = ApplicationPresent();
  return c.appInstalled;
}

int32_t ReleaseWindowResources(void) {
  InstallerContext& c = installerContext;
  if (c.backgroundBitmap != nullptr) DeleteObject(c.backgroundBitmap);
  if (c.smallBoldFont != nullptr) DeleteObject(c.smallBoldFont);
  if (c.buttonFont != nullptr) DeleteObject(c.buttonFont);
  c.backgroundBitmap = nullptr;
  c.smallBoldFont = nullptr;
  c.buttonFont = nullptr;
  return 0;
}
