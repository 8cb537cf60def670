// The install's Start-menu shortcuts, made after extraction or beside it (see installlinks.h).
// Making a link costs some 10 ms under Wine (it starts a process for every link it saves); beside
// extraction that time is no longer added to the install. A link records its target's size,
// times and attributes, so it is never made before its target is written.
#include "setup/installlinks.h"

#include <objbase.h>
#include <string.h>

#include "base/product.h"
#include "base/text.h"
#include "package/extract.h"
#include "package/image.h"
#include "setup/folders.h"
#include "setup/registry.h"
#include "setup/shortcuts.h"

static const char* const kLinkNames[2] = {"Readme", "TavrinSolo"};
static const char* const kTargetNames[2] = {APP_README_NAME, APP_EXECUTABLE_NAME};

static int32_t Exists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Cuts the last component off path; 0 when there is none.
static int32_t CutLastComponent(char* path) {
  char* cut = strrchr(path, '\\');
  if (cut == nullptr || cut == path) return 0;
  *cut = '\0';
  return 1;
}

// How many folders of the link folder's path are missing: 0, 1 (Tavrin-Solo) or 2 (Quorel
// too); -1 when the programs folder itself is missing, which the links then must not make.
static int32_t MissingFolders(const char* folder) {
  char path[1024];
  if (!TextCopy(path, sizeof path, folder)) return -1;
  for (int32_t missing = 0; missing <= 2; ++missing) {
    if (Exists(path)) return missing;
    if (!CutLastComponent(path)) return -1;
  }
  return -1;
}

static int32_t HasOurLinks(const char* folder) {
  char name[1100], path[1100];
  for (const char* link : kLinkNames) {
    if (JoinPath(name, sizeof name, folder, link) &&
        TextFormat(path, sizeof path, "%s.LNK", name) && Exists(path)) {
      return 1;
    }
  }
  return 0;
}

// The two links in folder, when the folder can be created. A target path that does not fit is
// left out rather than cut short.
static void MakeLinksIn(const InstallerContext* context, const char* folder) {
  char target[2048];
  if (folder[0] == '\0' || CreateFolderPath(folder) != 1) return;
  for (int32_t i = 0; i < 2; ++i) {
    if (JoinPath(target, sizeof target, context->targetFolder, kTargetNames[i])) {
      CreateShortcut(folder, kLinkNames[i], target);
    }
  }
}

static void MakeAllLinks(InstallLinks* links) {
  for (const char* folder : links->folders) MakeLinksIn(links->context, folder);
}

// found[i] and seen[i]: target i as it is now.
static void LookAtTargets(const InstallerContext* context, WIN32_FILE_ATTRIBUTE_DATA seen[2],
                          int32_t found[2]) {
  char target[2048];
  for (int32_t i = 0; i < 2; ++i) {
    found[i] = JoinPath(target, sizeof target, context->targetFolder, kTargetNames[i]) &&
               GetFileAttributesExA(target, GetFileExInfoStandard, &seen[i]);
  }
}

static int32_t SameFileTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Whether a target differs from what the links recorded: size, attributes, creation or write
// time (the access time changes by reading, and no link is remade for that).
static int32_t TargetsChanged(const InstallLinks* links) {
  WIN32_FILE_ATTRIBUTE_DATA now[2];
  int32_t found[2];
  LookAtTargets(links->context, now, found);
  for (int32_t i = 0; i < 2; ++i) {
    if (found[i] != links->found[i]) return 1;
    if (!found[i]) continue;
    const WIN32_FILE_ATTRIBUTE_DATA& a = now[i];
    const WIN32_FILE_ATTRIBUTE_DATA& b = links->seen[i];
    if (a.dwFileAttributes != b.dwFileAttributes || a.nFileSizeLow != b.nFileSizeLow ||
        a.nFileSizeHigh != b.nFileSizeHigh || !SameFileTime(a.ftCreationTime, b.ftCreationTime) ||
        !SameFileTime(a.ftLastWriteTime, b.ftLastWriteTime)) {
      return 1;
    }
  }
  return 0;
}

// The links thread: once both targets are written, or extraction ended well, the links; nothing
// when extraction failed before both targets were written.
static DWORD WINAPI LinksThreadMain(void* parameter) {
  InstallLinks* links = (InstallLinks*)parameter;
  WaitForSingleObject(links->ready, INFINITE);
  if (InterlockedCompareExchange(&links->targetsWritten, 0, 0) != 3 &&
      InterlockedCompareExchange(&links->extractionEnded, 0, 0) != 1) {
    return 0;
  }
  const HRESULT com = CoInitialize(nullptr);
  LookAtTargets(links->context, links->seen, links->found);
  MakeAllLinks(links);
  links->made = 1;
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

void BeginInstallLinks(const InstallerContext* context, InstallLinks* links) {
  memset(links, 0, sizeof *links);
  links->context = context;
  char programs[1024];
  if (ReadUserProgramsFolder(programs, sizeof programs) == 1 && programs[0] != '\0' &&
      !JoinPath(links->folders[0], sizeof links->folders[0], programs, PRODUCT_FOLDER)) {
    links->folders[0][0] = '\0';
  }
  if (commonProgramsFolder[0] != '\0' &&
      !JoinPath(links->folders[1], sizeof links->folders[1], commonProgramsFolder,
                PRODUCT_FOLDER)) {
    links->folders[1][0] = '\0';
  }
  // Beside extraction only where a failed install can be taken back to nothing: no link of ours
  // to replace, and at most the two product folders to make.
  for (int32_t i = 0; i < 2; ++i) {
    if (links->folders[i][0] == '\0') continue;
    links->madeFolders[i] = MissingFolders(links->folders[i]);
    if (links->madeFolders[i] < 0 || HasOurLinks(links->folders[i])) return;
  }
  links->ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (links->ready == nullptr) return;
  links->thread = CreateThread(nullptr, 0, LinksThreadMain, links, 0, nullptr);
  if (links->thread == nullptr) {
    CloseHandle(links->ready);
    links->ready = nullptr;
    return;
  }
  SetThreadPriority(links->thread, GetThreadPriority(GetCurrentThread()));
  links->beside = 1;
}

void InstallLinksEntryDone(void* parameter, int32_t index, int32_t outcome) {
  InstallLinks* links = (InstallLinks*)parameter;
  if (!links->beside || outcome != ENTRY_WRITTEN) return;
  const char* name = links->context->packageDirectory.entries[index].entryName;
  for (LONG i = 0; i < 2; ++i) {
    if (lstrcmpiA(name, kTargetNames[i]) != 0) continue;
    if ((InterlockedOr(&links->targetsWritten, 1 << i) | (1 << i)) == 3) SetEvent(links->ready);
  }
}

static void JoinLinksThread(InstallLinks* links, LONG ended) {
  InterlockedExchange(&links->extractionEnded, ended);
  SetEvent(links->ready);
  WaitForSingleObject(links->thread, INFINITE);
  CloseHandle(links->thread);
  CloseHandle(links->ready);
}

void EndInstallLinks(InstallLinks* links) {
  if (!links->beside) {
    MakeAllLinks(links);
    return;
  }
  JoinLinksThread(links, 1);
  if (links->made && TargetsChanged(links)) MakeAllLinks(links);
}

void DropInstallLinks(InstallLinks* links) {
  if (!links->beside) return;
  JoinLinksThread(links, 2);
  if (!links->made) return;
  for (int32_t i = 0; i < 2; ++i) {
    char folder[1024];
    if (links->folders[i][0] == '\0') continue;
    for (const char* name : kLinkNames) DeleteShortcut(links->folders[i], name);
    // Only folders made for the links, and only when empty: RemoveDirectory keeps anything else.
    TextCopy(folder, sizeof folder, links->folders[i]);
    for (int32_t made = 0; made < links->madeFolders[i]; ++made) {
      RemoveDirectoryA(folder);
      CutLastComponent(folder);
    }
  }
}
