// UninstallProcedure: removes the package's files (in-use files get ".del" names), the Start-menu
// folders, the Startup shortcut, the uninstall record and the target folder, and resets two of
// the application's settings. Runs on the window thread; reports only its two failures.
#include <windows.h>

#include <string.h>

#include "base/path.h"
#include "base/product.h"
#include "base/text.h"
#include "package/entryname.h"
#include "package/extract.h"
#include "setup/delname.h"
#include "setup/folders.h"
#include "setup/procedures.h"
#include "setup/registry.h"
#include "setup/shortcuts.h"

enum { FOLDER_PATH_SIZE = 1024 };

int32_t RemovePackageFiles(void) {
  char path[FOLDER_PATH_SIZE];
  char delPath[FOLDER_PATH_SIZE];
  const PackageDirectory& directory = installerContext.packageDirectory;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const char* name = directory.entries[i].entryName;
    // The same check as extraction: a damaged package must not name a file outside the folder.
    if (!IsSafeEntryName(name, PACKAGE_NAME_SIZE)) continue;
    if (!JoinPath(path, sizeof path, installerContext.targetFolder, name)) continue;
    if (DeleteFileA(path)) continue;
    // In use: give it the ".del" name beside it. The rename fails, and the name stays, when a
    // file of that name exists already or the file is gone; either is fine.
    if (MakeDelName(path, delPath, sizeof delPath) && lstrcmpA(path, delPath) != 0) {
      MoveFileA(path, delPath);
    }
  }
  return 0;
}

enum EntryKind { ENTRY_NONE, ENTRY_FILE, ENTRY_FOLDER, ENTRY_LINK_FOLDER };

// The walk names everything in the "\\?\" form, a few bytes longer than the folder's own path.
enum { EXACT_PATH_SIZE = FOLDER_PATH_SIZE + 8 };

static int IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A fresh search of folder for the first file, or the first subfolder whose name does not begin
// with a dot. Links to folders (junctions, symbolic links) are told apart so that they are
// removed as links and never entered. The pattern "*" matches every name, whatever the form of
// the path.
static EntryKind FindFirstRemovable(const char* folder, char* name, size_t nameSize) {
  char pattern[EXACT_PATH_SIZE];
  WIN32_FIND_DATAA found;
  if (!JoinPath(pattern, sizeof pattern, folder, "*")) return ENTRY_NONE;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return ENTRY_NONE;
  EntryKind kind = ENTRY_NONE;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      kind = ENTRY_FILE;
    } else if (found.cFileName[0] != '.') {
      kind = IsReparsePoint(found.dwFileAttributes) ? ENTRY_LINK_FOLDER : ENTRY_FOLDER;
    }
  } while (kind == ENTRY_NONE && FindNextFileA(search, &found));
  FindClose(search);
  if (kind != ENTRY_NONE && !TextCopy(name, nameSize, found.cFileName)) return ENTRY_NONE;
  return kind;
}

// Still there unless the system says it is not found: an entry whose deletion is pending, which
// answers "access denied" on Windows, counts as still there.
static int StillExists(const char* path) {
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return 1;
  DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// A removal that reported success only counts when the entry is really gone: Wine 8.0 answers
// success for a file held open with delete sharing, or one Unix will not unlink, and the file
// stays.
static int RemovedForGood(BOOL reported, const char* path) {
  return reported && !StillExists(path);
}

// Walks the tree with one path buffer: descending appends a subfolder's name, finishing a folder
// removes it and cuts the name off again. After every removal the folder is searched afresh.
// Once something cannot be removed, every folder above it is only tried (and stays).
// Every path is in the exact form, so a name ending in a dot or a space ("foo.", "bar ") names
// that entry and not another. The walk ends whatever the file system answers: it searches afresh
// only after an entry has been removed and its exact name is no longer found, and an entry that
// the fresh search returns first again (a name the ANSI search cannot give exactly) is treated
// as one that cannot be removed; descending is bounded by the path buffer.
int32_t DeleteFolderTree(const char* folder) {
  if (!IsRemovableFolderPath(folder, FOLDER_PATH_SIZE)) return 1;
  // The folder itself as the other Win32 calls that made or named it read it (trailing dots and
  // spaces dropped, separators made single); then checked again, since "C:\..." reads as C:\.
  char full[FOLDER_PATH_SIZE];
  const DWORD fullLength = GetFullPathNameA(folder, sizeof full, full, nullptr);
  if (fullLength == 0 || fullLength >= sizeof full) return 1;
  char path[EXACT_PATH_SIZE];
  if (!MakeExactFolderPath(full, path, sizeof path)) return 1;
  char name[MAX_PATH];
  char removed[MAX_PATH];  // the entry last removed from the folder at path, "" after descending
  char child[EXACT_PATH_SIZE];
  // A folder that is itself a link is removed as the link; what it points at stays.
  if (IsReparsePoint(GetFileAttributesA(path))) {
    RemoveDirectoryA(path);
    return 1;
  }
  removed[0] = '\0';
  int depth = 0;
  for (;;) {
    EntryKind kind = FindFirstRemovable(path, name, sizeof name);
    int stuck = kind == ENTRY_NONE || strcmp(name, removed) == 0;
    if (!stuck && !JoinPath(child, sizeof child, path, name)) stuck = 1;
    if (!stuck) TextCopy(removed, sizeof removed, name);
    if (!stuck && kind == ENTRY_FILE) {
      if (RemovedForGood(DeleteFileA(child), child)) continue;
      stuck = 1;
    } else if (!stuck && kind == ENTRY_LINK_FOLDER) {
      if (RemovedForGood(RemoveDirectoryA(child) || DeleteFileA(child), child)) continue;
      stuck = 1;
    } else if (!stuck && kind == ENTRY_FOLDER) {
      // Checked again on the path itself: the search data is not the only word on links.
      if (IsReparsePoint(GetFileAttributesA(child))) {
        if (RemovedForGood(RemoveDirectoryA(child), child)) continue;
        stuck = 1;
      } else {
        TextCopy(path, sizeof path, child);
        removed[0] = '\0';
        ++depth;
        continue;
      }
    }
    // Nothing (more) to remove here: remove this folder and go up. A folder that stays keeps
    // every folder above it.
    for (;;) {
      RemoveDirectoryA(path);
      if (depth == 0) return 1;
      int stays = StillExists(path);
      char* cut = LastPathSeparator(path);  // below the root: there is one
      TextCopy(removed, sizeof removed, cut + 1);
      *cut = '\0';
      --depth;
      if (!stays) break;
    }
  }
}

static const char kPackageCorrupted[] =
    "Uninstallation package might be corrupted\nthanks to download official package at\n%s.";
static const char kNoTargetFolder[] =
    "Failed to get target folder on system disk\nthanks to remove %s manually...";

// Deletes the two shortcuts and then the whole programsFolder\Quorel\Tavrin-Solo; the "Quorel"
// parent stays.
static void RemoveStartMenuFolder(const char* programsFolder) {
  char folder[FOLDER_PATH_SIZE];
  if (programsFolder[0] == '\0') return;
  if (!JoinPath(folder, sizeof folder, programsFolder, PRODUCT_FOLDER)) return;
  DeleteShortcut(folder, APP_LINK_NAME);
  DeleteShortcut(folder, README_LINK_NAME);
  DeleteFolderTree(folder);
}

int32_t UninstallProcedure(void) {
  InstallerContext* context = &installerContext;
  TextFormat(context->errorCaption, sizeof context->errorCaption, "%s Uninstallation Error",
             PRODUCT_NAME);
  if (ReadPackageDirectory(context) != 0) {
    return FailProcedure(context, kPackageCorrupted, MAKER_WEB_ADDRESS, -1);
  }
  if (ResolveTargetFolder(context) != 0) {
    return FailProcedure(context, kNoTargetFolder, PRODUCT_NAME, -2);
  }
  RemovePackageFiles();

  char programs[FOLDER_PATH_SIZE];
  if (ReadUserProgramsFolder(programs, sizeof programs) == 1) RemoveStartMenuFolder(programs);
  if (TextCopy(programs, sizeof programs, commonProgramsFolder)) RemoveStartMenuFolder(programs);
  DeleteShortcut(startupFolder, STARTUP_LINK_NAME);
  ClearAppSetting("SysTray");
  ClearAppSetting("SysTrayShowOnRun");
  DeleteRegistryTree(HKEY_LOCAL_MACHINE, UNINSTALL_RECORD_KEY);
  DeleteFolderTree(context->targetFolder);
  context->targetFolder[0] = '\0';
  return 0;
}
