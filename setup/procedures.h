// The two procedures: installing (on the install worker thread) and removing (on the window
// thread). Both report failure by writing errorCaption and errorText and posting ID_RESULT with
// RESULT_FAILED to the window; the install also posts RESULT_SUCCEEDED on success.
#pragma once
#include <stdint.h>

#include "base/context.h"

// A procedure's failure: errorText formatted from format with argument for every "%s", then
// ID_RESULT with RESULT_FAILED posted to the window, as the procedure's last step. Returns result.
int32_t FailProcedure(InstallerContext* context, const char* format, const char* argument,
                      int32_t result);

// 0 on success; -1 package unreadable, -2 no target folder, -3 target folder not created,
// -10 extraction failed.
int32_t InstallProcedure(InstallerContext* context);

// 0 on success; -1 package unreadable, -2 no target folder. Nothing is removed on failure.
int32_t UninstallProcedure(void);

// Deletes the package's 17 files from the target folder; a file that cannot be deleted gets a
// ".del" name. Entry names that fail IsSafeEntryName are skipped. Returns 0.
int32_t RemovePackageFiles(void);

// Deletes folder's files and subfolders, then folder, by their wide names (any name Windows
// allows, spelled in the code page or not), read-only ones too. Stops at the first file it cannot
// delete, passes over subfolders whose names begin with a dot, removes links (junctions, symbolic
// links) without entering them, and refuses empty, relative and root paths. Returns 1.
int32_t DeleteFolderTree(const char* folder);
