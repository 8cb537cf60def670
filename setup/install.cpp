// InstallProcedure: extracts the package into the target folder, makes the Start-menu shortcuts,
// copies the installer in as the uninstaller and writes the uninstall record. Runs on the install
// worker thread and reports to the window with exactly one ID_RESULT.
#include <windows.h>

#include "base/activity.h"
#include "base/product.h"
#include "base/text.h"
#include "package/extract.h"
#include "setup/folders.h"
#include "setup/procedures.h"
#include "setup/registry.h"
#include "setup/shortcuts.h"

static const char kPackageCorrupted[] =
    "Installation package might be corrupted\nthanks to download official package at\n%s.";
static const char kTargetFolderFailed[] =
    "Failed to create target folder on system disk\nthanks to download official package at\n%s.";
static const char kCopyFailed[] =
    "Failed to copy file(s) to destination folder...\nInstallation package might be corrupted\n"
    "thanks to download official package at\n%s.";

static int32_t Fail(InstallerContext* context, const char* format, int32_t result) {
  TextFormat(context->errorText, sizeof context->errorText, format, MAKER_WEB_ADDRESS);
  PostMessageA(context->mainWindow, WM_COMMAND, ID_RESULT, RESULT_FAILED);
  return result;
}

// Readme.LNK and TavrinSolo.LNK in programsFolder\Quorel\Tavrin-Solo, when that folder can be
// composed and created. A target path that does not fit is left out rather than cut short.
static void MakeShortcuts(const InstallerContext* context, const char* programsFolder) {
  char folder[1024];
  char target[2048];
  if (programsFolder[0] == '\0') return;
  if (!JoinPath(folder, sizeof folder, programsFolder, PRODUCT_FOLDER)) return;
  if (CreateFolderPath(folder) != 1) return;
  if (JoinPath(target, sizeof target, context->targetFolder, APP_README_NAME)) {
    CreateShortcut(folder, "Readme", target);
  }
  if (JoinPath(target, sizeof target, context->targetFolder, APP_EXECUTABLE_NAME)) {
    CreateShortcut(folder, "TavrinSolo", target);
  }
}

// Everything after the last backslash of path; the whole path when it has none.
static const char* FileNamePart(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\') name = p + 1;
  }
  return name;
}

int32_t InstallProcedure(InstallerContext* context) {
  TextFormat(context->errorCaption, sizeof context->errorCaption, "%s Installation Error",
             PRODUCT_NAME);
  SetActivityText(context, "Extract Package");
  if (ReadPackageDirectory(context) != 0) return Fail(context, kPackageCorrupted, -1);
  SetActivityText(context, "Copy Files");
  if (ResolveTargetFolder(context) != 0) return Fail(context, kTargetFolderFailed, -2);
  if (CreateFolderPath(context->targetFolder) != 1) return Fail(context, kTargetFolderFailed, -3);
  if (ExtractPackage(context) != 0) return Fail(context, kCopyFailed, -10);
  SetActivityText(context, "Finalize Installation");

  char programs[1024];
  if (ReadUserProgramsFolder(programs, sizeof programs) == 1) MakeShortcuts(context, programs);
  if (TextCopy(programs, sizeof programs, commonProgramsFolder)) MakeShortcuts(context, programs);

  // The installer copies itself in as the uninstaller; the record names the copy, whether or not
  // the copy worked (started from the target folder itself, the copy onto itself fails).
  // An installer path without a file name gives no copy and no record naming a folder.
  char copyPath[2048];
  const char* installerName = FileNamePart(context->installerPath);
  if (installerName[0] != '\0' &&
      JoinPath(copyPath, sizeof copyPath, context->targetFolder, installerName)) {
    if (CopyFileA(context->installerPath, copyPath, FALSE)) {
      SetFileAttributesA(copyPath, FILE_ATTRIBUTE_NORMAL);
    }
    SetMachineString(UNINSTALL_RECORD_KEY, PRODUCT_NAME ", " PRODUCT_LONG_NAME, "DisplayName");
    SetMachineString(UNINSTALL_RECORD_KEY, MAKER_PUBLISHER, "Publisher");
    SetMachineString(UNINSTALL_RECORD_KEY, copyPath, "UninstallString");
    SetMachineString(UNINSTALL_RECORD_KEY, copyPath, "DisplayIcon");
  }

  SetActivityText(context, "Installation Completed");
  PostMessageA(context->mainWindow, WM_COMMAND, ID_RESULT, RESULT_SUCCEEDED);
  return 0;
}
