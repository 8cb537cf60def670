// InstallProcedure: extracts the package into the target folder, then makes the Start-menu
// shortcuts, puts the installer's copy in place as the uninstaller and writes the uninstall
// record, in that order. Runs on the install worker thread and reports to the window with exactly
// one ID_RESULT.
#include <windows.h>

#include "base/activity.h"
#include "base/product.h"
#include "base/text.h"
#include "base/thread.h"
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

// Appended to the copy's path to name the file the copy is written to before it takes its name.
static const char kPartSuffix[] = ".part";

static int32_t Fail(InstallerContext* context, const char* format, int32_t result) {
  TextFormat(context->errorText, sizeof context->errorText, format, MAKER_WEB_ADDRESS);
  PostMessageA(context->mainWindow, WM_COMMAND, ID_RESULT, RESULT_FAILED);
  return result;
}

// Everything after the last backslash of path; the whole path when it has none.
static const char* FileNamePart(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\') name = p + 1;
  }
  return name;
}

// The two shortcuts in programs joined with "Quorel\Tavrin-Solo", when that folder can be made.
// A target path that does not fit is left out rather than cut short.
static void MakeLinksBelow(const InstallerContext* context, const char* programs) {
  static const char* const kLinkNames[2] = {"Readme", "TavrinSolo"};
  static const char* const kTargetNames[2] = {APP_README_NAME, APP_EXECUTABLE_NAME};
  char folder[1024];
  char target[2048];
  if (programs[0] == '\0' || !JoinPath(folder, sizeof folder, programs, PRODUCT_FOLDER)) return;
  if (CreateFolderPath(folder) != 1) return;
  for (int32_t i = 0; i < 2; ++i) {
    if (JoinPath(target, sizeof target, context->targetFolder, kTargetNames[i])) {
      CreateShortcut(folder, kLinkNames[i], target);
    }
  }
}

// The installer copy. It is written under the copy's path with ".part" appended and takes its
// name by a rename once whole, so the copy's path only ever holds a whole file: a copy that
// cannot be made (the source cannot be opened, the disk fills, the path is in use) leaves what
// was there before untouched, and its part file is deleted. The running installer is never
// written: started from the target folder it is the copy itself, and nothing is copied.
struct InstallerCopy {
  const char* source;
  char path[2048];  // targetFolder joined with the installer's file name
  char part[2048];  // path with ".part" appended
  int32_t wanted;   // 0: no file name, or the paths do not fit: no copy, no record
  int32_t onItself;  // path is the running installer: nothing to copy
  int32_t whole;     // the part file holds the whole copy
  HANDLE thread;     // the thread writing the part file, or null
};

static int32_t FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BOOL known = GetFileInformationByHandle(file, info);
  CloseHandle(file);
  return known;
}

// Whether both paths name one file: the same text, or the same volume and file index.
static int32_t SameFile(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION infoA, infoB;
  if (lstrcmpiA(a, b) == 0) return 1;
  if (!FileIdentity(a, &infoA) || !FileIdentity(b, &infoB)) return 0;
  return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
         infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// Deletes the part file, which may carry the read-only attribute of a downloaded installer.
static void DeletePart(const InstallerCopy* copy) {
  SetFileAttributesA(copy->part, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(copy->part);
}

// Writes the part file, over one a stopped run may have left (made writable first). A whole one
// loses the read-only and hidden attributes taken over from a download; one that could not be
// written whole (Wine's CopyFileA leaves what it wrote when the disk fills) is deleted.
static void WritePart(InstallerCopy* copy) {
  SetFileAttributesA(copy->part, FILE_ATTRIBUTE_NORMAL);
  copy->whole = CopyFileA(copy->source, copy->part, FALSE) != 0;
  if (copy->whole) {
    SetFileAttributesA(copy->part, FILE_ATTRIBUTE_NORMAL);
  } else {
    DeletePart(copy);
  }
}

static DWORD WINAPI PartThreadMain(void* copy) {
  WritePart((InstallerCopy*)copy);
  return 0;
}

// Works out the copy's paths and starts writing the part file on a thread of its own, at this
// thread's priority, so that it is written while the links are made.
static void BeginInstallerCopy(const InstallerContext* context, InstallerCopy* copy) {
  copy->source = context->installerPath;
  copy->whole = 0;
  copy->thread = nullptr;
  // An installer path without a file name gives no copy and no record naming a folder.
  const char* installerName = FileNamePart(context->installerPath);
  copy->wanted = installerName[0] != '\0' &&
                 JoinPath(copy->path, sizeof copy->path, context->targetFolder, installerName) &&
                 TextCopy(copy->part, sizeof copy->part, copy->path) &&
                 TextAppend(copy->part, sizeof copy->part, kPartSuffix);
  copy->onItself = copy->wanted && SameFile(copy->source, copy->path);
  if (!copy->wanted || copy->onItself) return;
  copy->thread = StartThreadAtCallerPriority(PartThreadMain, copy);
}

// After the links: the part file, written now unless its thread wrote it, takes the copy's name,
// replacing what is there. A rename that fails (the path in use) leaves that as it was, and the
// part file goes.
static void EndInstallerCopy(InstallerCopy* copy) {
  if (!copy->wanted || copy->onItself) return;
  if (copy->thread != nullptr) {
    WaitForSingleObject(copy->thread, INFINITE);
    CloseHandle(copy->thread);
  } else {
    WritePart(copy);
  }
  if (copy->whole && !MoveFileExA(copy->part, copy->path, MOVEFILE_REPLACE_EXISTING)) {
    DeletePart(copy);
  }
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
  InstallerCopy copy;
  BeginInstallerCopy(context, &copy);

  char programs[1024];
  if (ReadUserProgramsFolder(programs, sizeof programs) == 1) MakeLinksBelow(context, programs);
  MakeLinksBelow(context, commonProgramsFolder);

  // The record names the copy whether or not the copy worked (started from the target folder
  // itself, there is nothing to copy), and comes after it.
  EndInstallerCopy(&copy);
  if (copy.wanted) {
    SetMachineString(UNINSTALL_RECORD_KEY, PRODUCT_NAME ", " PRODUCT_LONG_NAME, "DisplayName");
    SetMachineString(UNINSTALL_RECORD_KEY, MAKER_PUBLISHER, "Publisher");
    SetMachineString(UNINSTALL_RECORD_KEY, copy.path, "UninstallString");
    SetMachineString(UNINSTALL_RECORD_KEY, copy.path, "DisplayIcon");
  }

  SetActivityText(context, "Installation Completed");
  PostMessageA(context->mainWindow, WM_COMMAND, ID_RESULT, RESULT_SUCCEEDED);
  return 0;
}
