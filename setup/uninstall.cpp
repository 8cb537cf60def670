// UninstallProcedure: removes the package's files (in-use files get ".del" names), the Start-menu
// folders, the Startup shortcut, the uninstall record and the target folder, and resets two of
// the application's settings. Runs on the window thread; reports only its two failures.
#include <windows.h>

#include <string.h>
#include <wchar.h>

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

// The walk names everything in the "\\?\" form, a few characters longer than the folder's own
// path. Below the folder every name is wide, as the file system keeps it.
enum { EXACT_PATH_SIZE = FOLDER_PATH_SIZE + 8 };

static int IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// dst := folder, a backslash unless folder is empty or ends with one, then name; dst may be
// folder itself. 1 when it fits; 0 otherwise, dst then empty.
static int JoinWide(WCHAR* dst, size_t size, const WCHAR* folder, const WCHAR* name) {
  const size_t folderLength = wcslen(folder), nameLength = wcslen(name);
  const size_t separator = folderLength > 0 && folder[folderLength - 1] != L'\\';
  if (folderLength + separator + nameLength >= size) {
    dst[0] = 0;
    return 0;
  }
  if (dst != folder) memcpy(dst, folder, folderLength * sizeof(WCHAR));
  if (separator) dst[folderLength] = L'\\';
  memcpy(dst + folderLength + separator, name, (nameLength + 1) * sizeof(WCHAR));
  return 1;
}

// A fresh search of folder for the first file, or the first subfolder whose name does not begin
// with a dot; attributes as the search gives them. Links to folders (junctions, symbolic links)
// are told apart so that they are removed as links and never entered. The pattern "*" matches
// every name, whatever the form of the path. The search is wide: a name the ANSI code page
// cannot spell ('?'), or spells with a backslash (U+00A5 as 0x5C in code page 932), comes back
// as the file system has it.
static EntryKind FindFirstRemovable(const WCHAR* folder, WCHAR* name, size_t nameSize,
                                    DWORD* attributes) {
  WCHAR pattern[EXACT_PATH_SIZE];
  WIN32_FIND_DATAW found;
  if (!JoinWide(pattern, EXACT_PATH_SIZE, folder, L"*")) return ENTRY_NONE;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return ENTRY_NONE;
  EntryKind kind = ENTRY_NONE;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      kind = ENTRY_FILE;
    } else if (found.cFileName[0] != L'.') {
      kind = IsReparsePoint(found.dwFileAttributes) ? ENTRY_LINK_FOLDER : ENTRY_FOLDER;
    }
  } while (kind == ENTRY_NONE && FindNextFileW(search, &found));
  FindClose(search);
  *attributes = found.dwFileAttributes;
  return JoinWide(name, nameSize, L"", found.cFileName) ? kind : ENTRY_NONE;
}

// Still there unless the system says it is not found: an entry whose deletion is pending, which
// answers "access denied" on Windows, counts as still there.
static int StillExists(const WCHAR* path) {
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return 1;
  DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// A removal that reported success only counts when the entry is really gone: Wine 8.0 answers
// success for a file held open with delete sharing, or one Unix will not unlink, and the file
// stays.
static int RemovedForGood(BOOL reported, const WCHAR* path) {
  return reported && !StillExists(path);
}

// Windows deletes no read-only file and removes no read-only folder: one refused with "access
// denied" loses the attribute and is tried once more. A link keeps its attributes (they may be
// those of what it points to) and is only tried.
// attributes: the search's, or INVALID_FILE_ATTRIBUTES to read them once refused.
static BOOL RemoveEntry(const WCHAR* path, int folder, DWORD attributes) {
  if (folder ? RemoveDirectoryW(path) : DeleteFileW(path)) return TRUE;
  if (GetLastError() != ERROR_ACCESS_DENIED) return FALSE;
  if (attributes == INVALID_FILE_ATTRIBUTES) attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      IsReparsePoint(attributes) ||
      !SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL)) {
    return FALSE;
  }
  if (folder ? RemoveDirectoryW(path) : DeleteFileW(path)) return TRUE;
  SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_DIRECTORY);  // it stays: as it was
  return FALSE;
}

// Walks the tree with one path buffer: descending appends a subfolder's name, finishing a folder
// removes it and cuts the name off again. After every removal the folder is searched afresh.
// Once something cannot be removed, every folder above it is only tried (and stays).
// The folder's ANSI path is made exact and wide once; every path below it is wide and in the
// exact form, so any name Windows allows (one ending in a dot or a space, one the code page
// cannot spell) names that entry and not another. The walk ends whatever the file system
// answers: it searches afresh only after an entry has been removed and its exact name is no
// longer found, and an entry that the fresh search returns first again is treated as one that
// cannot be removed; descending is bounded by the path buffer.
int32_t DeleteFolderTree(const char* folder) {
  if (!IsRemovableFolderPath(folder, FOLDER_PATH_SIZE)) return 1;
  // The folder itself as the other Win32 calls that made or named it read it (trailing dots and
  // spaces dropped, separators made single); then checked again, since "C:\..." reads as C:\.
  char full[FOLDER_PATH_SIZE];
  const DWORD fullLength = GetFullPathNameA(folder, sizeof full, full, nullptr);
  if (fullLength == 0 || fullLength >= sizeof full) return 1;
  char exact[EXACT_PATH_SIZE];
  WCHAR path[EXACT_PATH_SIZE];
  if (!MakeExactFolderPath(full, exact, sizeof exact) ||
      MultiByteToWideChar(CP_ACP, 0, exact, -1, path, EXACT_PATH_SIZE) == 0) {
    return 1;
  }
  WCHAR name[MAX_PATH];
  WCHAR removed[MAX_PATH];  // the entry last removed from the folder at path, "" after descending
  WCHAR child[EXACT_PATH_SIZE];
  // A folder that is itself a link is removed as the link; what it points at stays.
  if (IsReparsePoint(GetFileAttributesW(path))) {
    RemoveDirectoryW(path);
    return 1;
  }
  removed[0] = 0;
  int depth = 0;
  for (;;) {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    EntryKind kind = FindFirstRemovable(path, name, MAX_PATH, &attributes);
    int stuck = kind == ENTRY_NONE || wcscmp(name, removed) == 0;
    if (!stuck && !JoinWide(child, EXACT_PATH_SIZE, path, name)) stuck = 1;
    if (!stuck) JoinWide(removed, MAX_PATH, L"", name);
    if (!stuck && kind == ENTRY_FILE) {
      if (RemovedForGood(RemoveEntry(child, 0, attributes), child)) continue;
      stuck = 1;
    } else if (!stuck && kind == ENTRY_LINK_FOLDER) {
      if (RemovedForGood(RemoveDirectoryW(child) || DeleteFileW(child), child)) continue;
      stuck = 1;
    } else if (!stuck && kind == ENTRY_FOLDER) {
      // Checked again on the path itself: the search data is not the only word on links.
      if (IsReparsePoint(GetFileAttributesW(child))) {
        if (RemovedForGood(RemoveDirectoryW(child), child)) continue;
        stuck = 1;
      } else {
        JoinWide(path, EXACT_PATH_SIZE, L"", child);
        removed[0] = 0;
        ++depth;
        continue;
      }
    }
    // Nothing (more) to remove here: remove this folder and go up. A folder that stays keeps
    // every folder above it.
    for (;;) {
      RemoveEntry(path, 1, INVALID_FILE_ATTRIBUTES);
      if (depth == 0) return 1;
      int stays = StillExists(path);
      WCHAR* cut = wcsrchr(path, L'\\');
      if (cut == nullptr) return 1;  // below the root there is one; never cut what is not there
      JoinWide(removed, MAX_PATH, L"", cut + 1);
      *cut = 0;
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
