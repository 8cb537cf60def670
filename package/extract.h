// The package resource (RCDATA 100) of the running module: reading its directory, extracting
// its 17 files into the target folder, and the two file-system operations extraction uses.
#pragma once
#include <stdint.h>

#include "base/context.h"
#include "package/folder.h"
#include "package/image.h"

// Copies the first 2720 bytes of the package into context->packageDirectory.
// 0 on success; -1 when the resource is missing, not loadable, or 2720 bytes or smaller.
int32_t ReadPackageDirectory(InstallerContext* context);

// Extracts every entry into context->targetFolder. 0 on full success; -1 when the package is
// missing or not loadable, or all went well but the seventeenth entry is empty; otherwise -100
// minus the number of failed entries.
int32_t ExtractPackage(InstallerContext* context);

// The installer's threads and signals for extraction (Win32), and whether the process may run on
// two processors or more.
void InstallerPackageThreads(PackageThreads* threads);

// The installer's sink: each entry that passed its checks written under targetFolder (its
// folder made, then the file) through *writer; both must outlive the extraction.
void InstallerPackageSink(PackageSink* sink, FolderWriter* writer, const char* targetFolder);

// Creates every missing folder of path (at most 1023 characters). 1 when they all exist
// afterwards or there was nothing to create; 0 on failure.
int32_t CreateFolderPath(const char* path);

// Creates or replaces the file and writes all bytes with one write. 1 on success, else 0.
int32_t WriteWholeFile(const char* path, uint32_t size, const void* bytes);
