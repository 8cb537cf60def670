// The folders installing and removing work in: the all-users Start-menu programs folder and the
// user's Startup folder (resolved once per process), and the application's target folder below
// Program Files.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "base/context.h"
#include "setup/paths.h"  // PathToRoot and the other path rules

// Process-wide, outside InstallerContext. commonProgramsFolder starts empty, startupFolder as
// the relative name "Startup"; each holds the shell's answer once resolved.
extern char commonProgramsFolder[512];
extern char startupFolder[512];
extern int32_t systemFoldersResolved;

// Asks the shell (SHELL32, then SHFOLDER) for both folders. Only the first call does anything.
void ResolveSystemFolders(void);

// Rebuilds context->targetFolder as Program Files joined with "Quorel\Tavrin-Solo", without a
// trailing backslash. 0 on success, -1 when no folder could be found (or it would not fit).
int32_t ResolveTargetFolder(InstallerContext* context);

// 1 when the running program lies in context->targetFolder (compared as full paths, ignoring
// case): it is the uninstaller copy, which the record starts and no removal deletes.
int32_t RunningFromTargetFolder(const InstallerContext* context);

// The fallback when the shell gives no Program Files: the root of the Windows directory joined
// with "Program Files\" (C:\Program Files\). 1 on success, 0 when it would not fit out.
int32_t ProgramFilesFromWindowsDirectory(char* out, size_t outSize);
