// Where an entry lands in the target folder: its path joined onto the folder, the folder cut
// from that path and made, the file written. The installer's sink (package/extract.h) places
// through it with its Win32 calls; the tests and the fuzzer bring calls of their own.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"

enum { EXTRACT_PATH_SIZE = 1024 };  // entry path and folder path buffers, terminator included

// The calls an entry is placed through. Both 1 on success, 0 on failure.
struct FolderWriter {
  const char* targetFolder;
  int32_t (*createFolderPath)(void* user, const char* path);
  int32_t (*writeWholeFile)(void* user, const char* path, uint32_t size, const void* bytes);
  void* user;
};

// A sink's place (package/place.h) over writer, a FolderWriter: an entry that passed its checks
// has its name joined onto the target folder, the folder the path names made when it is not the
// target itself, and the file written; ENTRY_WRITTEN, ENTRY_PATH_TOO_LONG or ENTRY_WRITE_FAILED.
// Any other outcome is given back as it is.
int32_t PlaceInFolder(void* writer, int32_t index, const PackageEntry* entry,
                      const uint8_t* bytes, int32_t outcome);

// The walk of CreateFolderPath: calls makeFolder for each folder of path below its root, from
// the top down; makeFolder gives 1 when that folder exists afterwards and 0 on failure, which
// ends the walk. The root (a drive, or the server and share of a network path) is never made.
// 1 when the walk completes or there is nothing to make; 0 for a null path, one of fewer than 5
// characters or more than 1023, one without a root (PathRootLength), or a failed step.
int32_t WalkFolderPath(const char* path, int32_t (*makeFolder)(void* user, const char* folder),
                       void* user);
