// InstallProcedure: extracts the package into the target folder, makes the Start-menu shortcuts
// and copies the installer in as the uninstaller (both beside extraction where that changes
// nothing else), and writes the uninstall record. Runs on the install worker thread and reports
// to the window with exactly one ID_RESULT.
#include <windows.h>

#include "base/activity.h"
#include "base/product.h"
#include "base/text.h"
#include "package/extract.h"
#include "setup/folders.h"
#include "setup/installlinks.h"
#include "setup/procedures.h"
#include "setup/registry.h"

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

// Everything after the last backslash of path; the whole path when it has none.
static const char* FileNamePart(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\') name = p + 1;
  }
  return name;
}

// The installer copy. A copy that fails half-way is deleted: Wine's CopyFileA leaves the partial
// file when the disk fills, and the record would name a broken uninstaller. The running
// installer is never deleted: started from the target folder it is the copy itself, and nothing
// is copied (the copy onto itself would fail anyway). Where no file is at the copy's path yet and
// the disk has room for everything, the copy is made beside extraction, and deleted again if
// extraction fails; otherwise (an earlier copy that a failed install must leave as it was, or a
// disk that might not hold the files and the copy) it is made after extraction, as before.
struct InstallerCopy {
  const char* source;
  char path[2048];   // targetFolder joined with the installer's file name
  int32_t wanted;    // 0: no file name, or the path does not fit: no copy, no record
  int32_t onItself;  // path is the running installer: nothing to copy
  int32_t copied;
  HANDLE thread;     // the copy made beside extraction, or null
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

// The copy made beside extraction must not take room the package's files need: only where the
// disk holds the installer, every entry and a margin besides.
static int32_t RoomForBoth(const InstallerContext* context, const char* source) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  ULARGE_INTEGER available;
  if (!GetFileAttributesExA(source, GetFileExInfoStandard, &data)) return 0;
  if (!GetDiskFreeSpaceExA(context->targetFolder, &available, nullptr, nullptr)) return 0;
  uint64_t needed = ((uint64_t)data.nFileSizeHigh << 32 | data.nFileSizeLow) + (1u << 20);
  for (const PackageEntry& entry : context->packageDirectory.entries) needed += entry.dataSize;
  return available.QuadPart >= needed;
}

// Deletes the copy, which may carry the read-only attribute of a downloaded installer.
static void DeleteCopy(const InstallerCopy* copy) {
  SetFileAttributesA(copy->path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(copy->path);
}

// CopyFileA; a copy that fails half-way is deleted (never the running installer: that case
// copies nothing). A destination that could not be opened (an earlier copy in use or read-only)
// was not touched and stays. A whole copy loses the read-only and hidden attributes taken over
// from a download.
static void MakeCopy(InstallerCopy* copy) {
  copy->copied = CopyFileA(copy->source, copy->path, FALSE) != 0;
  if (copy->copied) {
    SetFileAttributesA(copy->path, FILE_ATTRIBUTE_NORMAL);
    return;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) DeleteCopy(copy);
}

static DWORD WINAPI CopyThreadMain(void* copy) {
  MakeCopy((InstallerCopy*)copy);
  return 0;
}

// Works out the copy's path and, where allowed, starts the copy on a thread of its own at this
// thread's priority.
static void BeginInstallerCopy(const InstallerContext* context, InstallerCopy* copy) {
  copy->source = context->installerPath;
  copy->copied = 0;
  copy->thread = nullptr;
  // An installer path without a file name gives no copy and no record naming a folder.
  const char* installerName = FileNamePart(context->installerPath);
  copy->wanted = installerName[0] != '\0' &&
                 JoinPath(copy->path, sizeof copy->path, context->targetFolder, installerName);
  copy->onItself = copy->wanted && SameFile(copy->source, copy->path);
  if (!copy->wanted || copy->onItself) return;
  if (GetFileAttributesA(copy->path) != INVALID_FILE_ATTRIBUTES) return;
  if (!RoomForBoth(context, copy->source)) return;
  copy->thread = CreateThread(nullptr, 0, CopyThreadMain, copy, 0, nullptr);
  if (copy->thread != nullptr) {
    SetThreadPriority(copy->thread, GetThreadPriority(GetCurrentThread()));
  }
}

static void WaitForCopyThread(InstallerCopy* copy) {
  WaitForSingleObject(copy->thread, INFINITE);
  CloseHandle(copy->thread);
}

// After a failed extraction: no copy is left.
static void DropInstallerCopy(InstallerCopy* copy) {
  if (copy->thread == nullptr) return;
  WaitForCopyThread(copy);
  DeleteCopy(copy);
}

// After a successful extraction: the copy, made now unless it was made beside extraction.
static void EndInstallerCopy(InstallerCopy* copy) {
  if (copy->thread != nullptr) {
    WaitForCopyThread(copy);
  } else if (copy->wanted && !copy->onItself) {
    MakeCopy(copy);
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
  InstallerCopy copy;
  BeginInstallerCopy(context, &copy);
  InstallLinks links;
  BeginInstallLinks(context, &links);
  if (ExtractPackageObserved(context, InstallLinksEntryDone, &links) != 0) {
    DropInstallLinks(&links);
    DropInstallerCopy(&copy);
    return Fail(context, kCopyFailed, -10);
  }
  SetActivityText(context, "Finalize Installation");
  EndInstallLinks(&links);

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
