// Where files are placed: each entry, in entry order, after its unscrambled bytes were checked,
// becomes a folder and a file through a sink, and its outcome is counted into the extraction's
// result. The installer's sink is Win32 (package/extract.h); the tests, the fuzzer and the packing
// tool bring their own. Also the walk of CreateFolderPath.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"

enum {
  EXTRACT_PATH_SIZE = 1024,  // entry path and folder path buffers, terminator included
};

// What became of one entry, for an observer (the packing tool prints it, tests check it).
enum EntryOutcome {
  ENTRY_WRITTEN = 0,
  ENTRY_OUT_OF_BOUNDS,    // range ends beyond the image: skipped, not chained
  ENTRY_DIGEST_MISMATCH,  // unscrambled bytes do not match plainDigest: no folder, no file
  ENTRY_NAME_REFUSED,     // IsSafeEntryName refused the name: no folder, no file
  ENTRY_PATH_TOO_LONG,    // target folder + name does not fit EXTRACT_PATH_SIZE
  ENTRY_WRITE_FAILED,     // writeWholeFile gave 0
};

struct PackageSink {
  // Both as CreateFolderPath and WriteWholeFile: 1 on success, 0 on failure.
  int32_t (*createFolderPath)(void* user, const char* path);
  int32_t (*writeWholeFile)(void* user, const char* path, uint32_t size, const void* bytes);
  void (*entryDone)(void* user, int32_t index, int32_t outcome);  // may be null
  void* user;
  // May be null. When set, it takes the place of the two calls above: the sink places the entry
  // itself, given its index and its name (already checked) rather than a joined path; 1 on
  // success, 0 on failure.
  int32_t (*placeEntry)(void* user, int32_t index, const char* name, uint32_t size,
                        const void* bytes);
};

// The placing of one extraction's entries.
struct Placing {
  const uint8_t* image;
  const PackageDirectory* directory;
  const char* targetFolder;
  const PackageSink* sink;
  int32_t next;  // the entry placed next
  int32_t failureCount;
};

// targetFolder may be null (taken as empty). image may be null when the sink brings each
// entry's bytes itself (the packing tool reads them in blocks): writeWholeFile then gets null.
void StartPlacing(Placing* placing, const uint8_t* image, const PackageDirectory* directory,
                  const char* targetFolder, const PackageSink* sink);

// Places entry placing->next, whose unscrambled bytes have the digest plainDigest (null: its range
// lies outside the image), tells the sink's entryDone what became of it, and moves on.
void PlaceNextEntry(Placing* placing, const uint8_t plainDigest[16]);

// 0 on full success; -1 when all went well but the seventeenth entry is empty; otherwise -100
// minus the number of failed entries.
int32_t PlacingResult(const Placing* placing);

// The walk of CreateFolderPath: calls makeFolder for each folder of path below its root, from
// the top down; makeFolder gives 1 when that folder exists afterwards and 0 on failure, which
// ends the walk. The root (a drive, or the server and share of a network path) is never made.
// 1 when the walk completes or there is nothing to make; 0 for a null path, one of fewer than 5
// characters or more than 1023, one without a root (PathRootLength), or a failed step.
int32_t WalkFolderPath(const char* path, int32_t (*makeFolder)(void* user, const char* folder),
                       void* user);
