// InstallProcedure: extracts the package into the target folder, then makes the Start-menu
// shortcuts, puts the installer's copy in place as the uninstaller and writes the uninstall
// record, in that order; the copy's part file is written on a thread of its own beside the
// extraction. Runs on the install worker thread and reports to the window with exactly one
// ID_RESULT.
#include <windows.h>

#include <string.h>

#include "base/activity.h"
#include "base/codepage.h"
#include "base/path.h"
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

// The two shortcuts in programs joined with "Quorel\Tavrin-Solo", when that folder can be made.
// A target path that does not fit is left out rather than cut short.
static void MakeLinksBelow(const InstallerContext* context, const char* programs) {
  static const char* const kLinkNames[2] = {README_LINK_NAME, APP_LINK_NAME};
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
// The source is the running module. When the code page cannot spell its path exactly, the ANSI
// spelling names no file (or another one), so it is read by its wide path; a file name that
// cannot be spelled at all gives the copy the installer's usual name.
struct InstallerCopy {
  char source[1024];       // installerPath, or "" when the module is read by its wide path
  WCHAR wideSource[1024];  // the running module's wide path, used when source is ""
  char path[2048];         // targetFolder joined with the installer's file name
  char part[2048];         // path with ".part" appended
  int32_t wanted;    // 0: no file name, or the paths do not fit: no copy, no record
  int32_t onItself;  // path is the running installer: nothing to copy
  int32_t whole;     // the part file holds the whole copy
  HANDLE thread;     // the thread writing the part file, or null
};

enum { RENAME_TRIES = 20, RENAME_PAUSE_MS = 100 };

static HANDLE OpenForIdentity(const char* path, const WCHAR* widePath) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (path[0] == '\0') return CreateFileW(widePath, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
  return CreateFileA(path, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

static int32_t FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (file == INVALID_HANDLE_VALUE) return 0;
  BOOL known = GetFileInformationByHandle(file, info);
  CloseHandle(file);
  return known;
}

// Whether the copy's path names the source: the same text, or the same volume and file index.
static int32_t CopyIsSource(const InstallerCopy* copy) {
  BY_HANDLE_FILE_INFORMATION infoA, infoB;
  if (copy->source[0] != '\0' && SameNameIgnoringCase(copy->source, copy->path)) return 1;
  if (!FileIdentity(OpenForIdentity(copy->source, copy->wideSource), &infoA) ||
      !FileIdentity(OpenForIdentity(copy->path, nullptr), &infoB)) {
    return 0;
  }
  return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
         infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// Deletes the part file, which may carry the read-only attribute of a downloaded installer.
static void DeletePart(const InstallerCopy* copy) {
  SetFileAttributesA(copy->part, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(copy->part);
}

// The part file is made new: whatever holds its name (one a stopped run left, a file another
// program holds, a link) is removed first, a link as the link. 0 when something stays there, or
// a folder does: then there is no copy.
static int32_t ClearPartName(const InstallerCopy* copy) {
  DWORD attributes = GetFileAttributesA(copy->part);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    const DWORD folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      if (folder != 0) RemoveDirectoryA(copy->part); else DeleteFileA(copy->part);
    } else if (folder != 0) {
      return 0;
    } else {
      DeletePart(copy);
    }
    attributes = GetFileAttributesA(copy->part);
  }
  // A deletion still pending (the file is held open) answers "access denied": it stays.
  return attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

// The source's size and times, by its ANSI spelling or else its wide path.
static BOOL SourceData(const InstallerCopy* copy, WIN32_FILE_ATTRIBUTE_DATA* source) {
  return copy->source[0] != '\0'
             ? GetFileAttributesExA(copy->source, GetFileExInfoStandard, source)
             : GetFileAttributesExW(copy->wideSource, GetFileExInfoStandard, source);
}

// A copy that reported success is whole only when the part file is as long as its source.
static int32_t PartAsLongAsSource(const InstallerCopy* copy) {
  WIN32_FILE_ATTRIBUTE_DATA source, part;
  return SourceData(copy, &source) &&
         GetFileAttributesExA(copy->part, GetFileExInfoStandard, &part) &&
         source.nFileSizeLow == part.nFileSizeLow && source.nFileSizeHigh == part.nFileSizeHigh;
}

// Writes the part file, created new. A whole one loses the read-only and hidden attributes taken
// over from a download; one that could not be written whole (Wine's CopyFileA leaves what it
// wrote when the disk fills) is deleted.
static void WritePart(InstallerCopy* copy) {
  copy->whole = 0;
  if (!ClearPartName(copy)) return;
  if (copy->source[0] != '\0') {
    copy->whole = CopyFileA(copy->source, copy->part, TRUE) != 0;
  } else {
    WCHAR widePart[2048];
    copy->whole = MultiByteToWideChar(CP_ACP, 0, copy->part, -1, widePart, 2048) != 0 &&
                  CopyFileW(copy->wideSource, widePart, TRUE) != 0;
  }
  copy->whole = copy->whole && PartAsLongAsSource(copy);
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

// The source and the copy's file name: installerPath and its file name, unless the code page
// cannot spell the running module's path exactly. installerPath then holds a best-fit or '?'
// spelling, so the module is read by its wide path, and the copy takes the module's file name
// spelled exactly, or INSTALLER_FILE_NAME when that cannot be spelled either.
static const char* ChooseCopySource(const InstallerContext* context, InstallerCopy* copy,
                                    char* name, size_t nameSize) {
  TextCopy(copy->source, sizeof copy->source, context->installerPath);
  const DWORD length = GetModuleFileNameW(context->instanceHandle, copy->wideSource, 1024);
  char spelled[1024];
  if (length == 0 || length >= 1024 || SpellExactly(copy->wideSource, spelled, sizeof spelled)) {
    return PathFileName(copy->source);
  }
  copy->source[0] = '\0';
  const WCHAR* wideName = copy->wideSource;
  for (const WCHAR* p = copy->wideSource; *p != 0; ++p) {
    if (*p == L'\\') wideName = p + 1;
  }
  if (!SpellExactly(wideName, name, nameSize) || name[0] == '\0') {
    TextCopy(name, nameSize, INSTALLER_FILE_NAME);
  }
  return name;
}

// Whether the part file may be written beside the extraction: no package entry is named as the
// part file (the two would spoil each other), and the disk holds the package's files and the
// copy at once, with 64 KB a file to spare for clusters. On a disk with room for the package
// alone the extraction must still succeed, as it does when the copy comes after it, and the copy
// fail alone; a failed query counts as no room.
static int32_t CopyFitsBesideExtraction(const InstallerContext* context,
                                        const InstallerCopy* copy) {
  WIN32_FILE_ATTRIBUTE_DATA source;
  ULARGE_INTEGER available;
  if (!SourceData(copy, &source) ||
      !GetDiskFreeSpaceExA(context->targetFolder, &available, nullptr, nullptr)) {
    return 0;
  }
  uint64_t needed = ((uint64_t)source.nFileSizeHigh << 32) + source.nFileSizeLow;
  const char* partName = copy->part + lstrlenA(context->targetFolder);
  while (*partName == '\\') ++partName;
  for (const PackageEntry& entry : context->packageDirectory.entries) {
    needed += entry.dataSize + 65536ull;
    // (A damaged directory's name may fill its field without an end: it names no file.)
    if (memchr(entry.entryName, '\0', PACKAGE_NAME_SIZE) != nullptr &&
        SameNameIgnoringCase(entry.entryName, partName)) {
      return 0;
    }
  }
  return available.QuadPart >= needed + 65536ull;
}

// Works out the copy's paths and, where it fits, starts writing the part file on a thread of its
// own while the package's files are written. Until the extraction ends the thread runs a step
// below it, so that it takes only the processor time the extraction leaves (Windows gives a
// processor to a lower priority only when nothing above wants it).
static void BeginInstallerCopy(const InstallerContext* context, InstallerCopy* copy) {
  char spelledName[MAX_PATH];
  copy->whole = 0;
  copy->thread = nullptr;
  // An installer path without a file name gives no copy and no record naming a folder.
  const char* installerName = ChooseCopySource(context, copy, spelledName, sizeof spelledName);
  copy->wanted = installerName[0] != '\0' &&
                 JoinPath(copy->path, sizeof copy->path, context->targetFolder, installerName) &&
                 TextCopy(copy->part, sizeof copy->part, copy->path) &&
                 TextAppend(copy->part, sizeof copy->part, kPartSuffix);
  copy->onItself = copy->wanted && CopyIsSource(copy);
  if (!copy->wanted || copy->onItself || !CopyFitsBesideExtraction(context, copy)) return;
  copy->thread = StartThreadAtPriority(PartThreadMain, copy, THREAD_PRIORITY_LOWEST);
}

// After a whole extraction: the copy's thread back at this thread's priority for the rest of the
// copy beside the links, or started now when it was not started beside the extraction.
static void ExtractionEnded(InstallerCopy* copy) {
  if (!copy->wanted || copy->onItself) return;
  if (copy->thread != nullptr) {
    SetThreadPriority(copy->thread, GetThreadPriority(GetCurrentThread()));
  } else {
    copy->thread = StartThreadAtCallerPriority(PartThreadMain, copy);
  }
}

// After a failed extraction: no copy. Its thread is let finish at this thread's priority, and a
// part file it wrote whole is deleted (one it could not write whole it deleted itself).
static void AbandonInstallerCopy(InstallerCopy* copy) {
  if (copy->thread == nullptr) return;
  SetThreadPriority(copy->thread, GetThreadPriority(GetCurrentThread()));
  WaitForSingleObject(copy->thread, INFINITE);
  CloseHandle(copy->thread);
  if (copy->whole) DeletePart(copy);
}

// Gives the part file the copy's name, replacing what is there. A virus scanner that opened the
// fresh file, or a program holding the old copy, refuses the rename for a moment: it is tried
// again for about two seconds. Windows renames over no read-only file: a refused rename makes a
// read-only earlier copy (a file, never a folder or a link) a normal file, and the next try
// replaces it.
static int32_t RenamePart(const InstallerCopy* copy) {
  DWORD cleared = 0;  // the earlier copy's attributes once made normal, put back if it stays
  for (int32_t tries = 1;; ++tries) {
    if (MoveFileExA(copy->part, copy->path, MOVEFILE_REPLACE_EXISTING)) return 1;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        tries >= RENAME_TRIES) {
      if (cleared != 0) SetFileAttributesA(copy->path, cleared);
      return 0;
    }
    const DWORD attributes = error == ERROR_ACCESS_DENIED ? GetFileAttributesA(copy->path)
                                                          : INVALID_FILE_ATTRIBUTES;
    const DWORD notAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & notAFile) == 0 && SetFileAttributesA(copy->path, FILE_ATTRIBUTE_NORMAL)) {
      cleared = attributes;
    }
    Sleep(RENAME_PAUSE_MS);
  }
}

// After the links: the part file, written now unless its thread wrote it, takes the copy's name.
// A rename that fails (the path in use) leaves that as it was, and the part file goes.
static void EndInstallerCopy(InstallerCopy* copy) {
  if (!copy->wanted || copy->onItself) return;
  if (copy->thread != nullptr) {
    WaitForSingleObject(copy->thread, INFINITE);
    CloseHandle(copy->thread);
  } else {
    WritePart(copy);
  }
  if (copy->whole && !RenamePart(copy)) DeletePart(copy);
}

int32_t FailProcedure(InstallerContext* context, const char* format, const char* argument,
                      int32_t result) {
  TextFormat(context->errorText, sizeof context->errorText, format, argument);
  PostMessageA(context->mainWindow, WM_COMMAND, ID_RESULT, RESULT_FAILED);
  return result;
}

int32_t InstallProcedure(InstallerContext* context) {
  TextFormat(context->errorCaption, sizeof context->errorCaption, "%s Installation Error",
             PRODUCT_NAME);
  SetActivityText(context, "Extract Package");
  if (ReadPackageDirectory(context) != 0) {
    return FailProcedure(context, kPackageCorrupted, MAKER_WEB_ADDRESS, -1);
  }
  SetActivityText(context, "Copy Files");
  if (ResolveTargetFolder(context) != 0) {
    return FailProcedure(context, kTargetFolderFailed, MAKER_WEB_ADDRESS, -2);
  }
  if (CreateFolderPath(context->targetFolder) != 1) {
    return FailProcedure(context, kTargetFolderFailed, MAKER_WEB_ADDRESS, -3);
  }
  InstallerCopy copy;
  BeginInstallerCopy(context, &copy);
  if (ExtractPackage(context) != 0) {
    AbandonInstallerCopy(&copy);
    return FailProcedure(context, kCopyFailed, MAKER_WEB_ADDRESS, -10);
  }
  ExtractionEnded(&copy);
  SetActivityText(context, "Finalize Installation");

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
