// The install's Start-menu shortcuts (Readme.LNK and TavrinSolo.LNK under Quorel\Tavrin-Solo in
// the per-user and the all-users programs folders). On a first install they are made on a thread
// of their own as soon as extraction has written both targets, beside the rest of extraction,
// and taken back if extraction then fails; otherwise they are made after extraction.
#pragma once
#include <windows.h>

#include "base/context.h"

struct InstallLinks {
  const InstallerContext* context;
  char folders[2][1024];  // the per-user and all-users link folders; "" where there is none
  int32_t beside;         // the links are made by thread, once ready is set
  int32_t madeFolders[2];  // beside: folders of the path made for the links (0-2), to take back
  HANDLE ready;           // beside: both targets written, or extraction ended
  HANDLE thread;
  LONG targetsWritten;    // bit 0: readme.txt written, bit 1: the program written
  LONG extractionEnded;   // 1: extraction ended well, 2: it failed
  int32_t made;           // the thread made the links
  WIN32_FILE_ATTRIBUTE_DATA seen[2];  // the targets as they were then; found[i] 0: missing
  int32_t found[2];
};

// Works out the folders and, on a first install (no link file of ours in either folder yet,
// each folder's programs folder existing), starts the thread that makes the links.
void BeginInstallLinks(const InstallerContext* context, InstallLinks* links);

// The observer of extraction (a PackageSink's entryDone): links is the InstallLinks.
void InstallLinksEntryDone(void* links, int32_t index, int32_t outcome);

// After a successful extraction: the links, made now unless they were made beside it; made
// again if a target changed after they were made (a package naming the same file twice), so
// that they hold what they would hold made now.
void EndInstallLinks(InstallLinks* links);

// After a failed extraction: no link and no folder made for them is left.
void DropInstallLinks(InstallLinks* links);
