// The package logic over an image in memory: copying the directory, and extracting the 17
// entries through a sink that makes folders and writes files. The installer's sink is Win32; the
// tests, the fuzzer and the packing tool bring their own.
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
};

// Copies the first 2720 bytes of the image into *directory when the image is larger than that:
// 0. Otherwise -1 and *directory is left as it was.
int32_t CopyPackageDirectory(const uint8_t* image, uint32_t size, PackageDirectory* directory);

// Extracts every entry of the image into targetFolder. The directory is copied into *directory
// first when the image is larger than 2720 bytes (else the entries already there are used).
// Each entry's stored bytes are unscrambled in place. 0 on full success; -1 when all went well
// but the seventeenth entry is empty; otherwise -100 minus the number of failed entries.
int32_t ExtractPackageImage(uint8_t* image, uint32_t size, PackageDirectory* directory,
                            const char* targetFolder, const PackageSink* sink);

// A second thread for extraction, brought by the caller. startHelper runs RunPackageHelper(job)
// on a new thread and gives a handle to it, or null when no thread can be made; joinHelper waits
// for that thread to end and releases it; yield (may be null) lets another thread have the
// processor while one waits for the other.
// lanes chooses between the two ways of sharing the work (below); the tests and the benchmark
// set it, the installer leaves it at PACKAGE_LANES_WHEN_FASTER.
enum PackageLanes {
  PACKAGE_LANES_WHEN_FASTER = 0,  // four lanes where they pay (SSE2, no entry too large)
  PACKAGE_LANES_NEVER,
  PACKAGE_LANES_ALWAYS,           // four lanes wherever the processor has SSE2
};

struct PackageThreads {
  void* (*startHelper)(void* job);
  void (*joinHelper)(void* thread);
  void (*yield)(void);
  int32_t lanes;  // a PackageLanes
};

// The work of the helper thread that startHelper starts.
void RunPackageHelper(void* job);

// ExtractPackageImage on two threads, in one of two ways:
// - four lanes (package/lanes.h), unless one entry is so large that the lanes would wait for
//   it: the entries are dealt out to the two threads; both digest their entries' stored bytes,
//   four at a time, then, once every seed is known, unscramble and digest them; the calling
//   thread places each entry as soon as it and those before it are done;
// - otherwise a pipeline: the helper digests the stored bytes of every entry ahead and
//   unscrambles the last entries (about a quarter of the bytes); the calling thread follows,
//   unscrambling and digesting the other entries, and makes the folders and files in entry
//   order, entry i while the helper is still on later ones.
// Results, sink calls (all on the calling thread, in entry order) and image bytes are those of
// ExtractPackageImage. It runs as ExtractPackageImage on the calling thread alone when threads
// is null, when the processor has no SSE2 (both ways use the lanes), when no helper thread can
// be made, and when two entries inside the image share bytes (one entry's unscrambling then
// changes what another's digest reads, which fixes the order).
int32_t ExtractPackageImageOnTwoThreads(uint8_t* image, uint32_t size, PackageDirectory* directory,
                                        const char* targetFolder, const PackageSink* sink,
                                        const PackageThreads* threads);

// The walk of CreateFolderPath: calls makeFolder for each folder of path below its root, from
// the top down; makeFolder gives 1 when that folder exists afterwards and 0 on failure, which
// ends the walk. The root (a drive, or the server and share of a network path) is never made.
// 1 when the walk completes or there is nothing to make; 0 for a null path, one of fewer than 5
// characters or more than 1023, or a failed step.
int32_t WalkFolderPath(const char* path, int32_t (*makeFolder)(void* user, const char* folder),
                       void* user);
