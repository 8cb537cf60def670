// Extraction of a package: every entry unscrambled and checked, and placed through a sink, in one
// of two schedules (package/image.cpp), from an image in memory or from a package read in parts.
#pragma once
#include <stdint.h>

#include "package/directory.h"
#include "package/place.h"

enum PackageSchedule {
  PACKAGE_SCHEDULE_CHOSEN = 0,  // in PackageThreads: let extraction choose
  PACKAGE_FUSED_LOOP,           // entry by entry on one lane of the calling thread
  PACKAGE_LANES_ONE_THREAD,     // two phases on the lanes, on the calling thread alone
  PACKAGE_LANES_TWO_THREADS,    // two phases on the lanes, the calling thread and a helper
};

// What extraction may use besides the calling thread, brought by the caller (the installer's
// are Win32, the tests' std::thread). startHelper runs RunPackageHelper(job) on a new thread and
// gives a handle to it, or null when no thread can be made; joinHelper waits for it to end and
// releases it. A signal wakes one waiting thread: raiseSignal sets it (it stays set until a wait
// takes it), awaitSignal blocks until it is set and clears it; makeSignal gives null when none
// can be made. processors: how many the process may run on at once. schedule: a
// PackageSchedule; tests and the benchmark force one, the installer leaves it CHOSEN. width: the
// lanes on each thread, 4 or 8 (4 without AVX2), 0 for the most the processor runs.
struct PackageThreads {
  void* (*startHelper)(void* job);
  void (*joinHelper)(void* thread);
  void* (*makeSignal)(void);
  void (*raiseSignal)(void* signal);
  void (*awaitSignal)(void* signal);
  void (*freeSignal)(void* signal);
  int32_t processors;
  int32_t schedule;
  int32_t width;
};

// The lanes the processor runs at once: 8 with AVX2 and the system saving its registers, 4 with
// SSE2, 0 without; LaneWidthOf tells it from CPUID 1's ECX and EDX, XCR0 and CPUID 7's EBX.
int32_t PackageLaneWidth(void);
int32_t LaneWidthOf(uint32_t ecx1, uint32_t edx1, uint32_t xcr0, uint32_t ebx7);

// The schedule extraction takes for the entries of directory in an image of size bytes: the
// fused loop without threads (null), without SSE2, when entries share bytes (the order of the
// work is then fixed), and for a lone entry (nothing to run beside it); else the lanes, on two
// threads where two processors serve 4 MB of entries or more, on the calling thread alone
// otherwise. A schedule forced in threads is taken unless SSE2 or shared bytes rule it out.
int32_t ChoosePackageSchedule(const PackageDirectory* directory, uint32_t size,
                              const PackageThreads* threads);

// The work of the helper thread that startHelper starts.
void RunPackageHelper(void* job);

// Extracts every entry of the image, its stored bytes unscrambled in place, in the schedule
// ChoosePackageSchedule gives (no helper thread or signal made: the lanes on the calling thread).
// The directory is first copied into *directory when the image is larger than 2720 bytes (else
// its entries are used). Results, sink calls (on the calling thread, in entry order) and image
// bytes are the same in every schedule. 0 on full success; -1 when all went well but the
// seventeenth entry is empty; otherwise -100 minus the number of failed entries.
int32_t ExtractPackageImageScheduled(uint8_t* image, uint32_t size, PackageDirectory* directory,
                                     const PackageSink* sink, const PackageThreads* threads);

enum {
  PACKAGE_READ_PART = 1 << 20,  // bytes a lane reads at a time from a package read in parts
  PACKAGE_STOPPED = -2,         // a read, or the sink's plainPart, failed
  PACKAGE_CHANGED = -3,         // an entry's stored digest differed between its two readings
};

// A package on disk, read in parts. read gives count bytes of entry e from byte at of the entry
// on, on thread (0 the calling thread, 1 the helper); 0 on failure. part: the bytes a lane reads
// at a time on four lanes (half on eight, which need it a multiple of 128), a multiple of 64
// (PACKAGE_READ_PART); buffers: each thread's 4 * part bytes (the helper's only on two threads).
struct PackageReader {
  int32_t (*read)(void* user, int32_t thread, int32_t e, uint32_t at, uint8_t* bytes,
                  uint32_t count);
  void* user;
  uint32_t part;
  uint8_t* buffers[2];
  int32_t changedEntry;  // set with PACKAGE_CHANGED
};

// A package of size bytes read in parts (its entries must not share bytes: such a package is
// extracted in memory) in the schedule ChoosePackageSchedule gives: the fused loop reads each
// entry twice in turn, the two phases every entry once in each; its stored digest is taken in
// both readings. Its plain bytes go to the sink's plainPart as they are unscrambled; it is
// placed, in entry order on the calling thread, once its digests are known. The result of
// ExtractPackageImageScheduled, PACKAGE_STOPPED, or PACKAGE_CHANGED (nothing placed after it).
int32_t ExtractPackageParts(PackageReader* reader, uint32_t size,
                            const PackageDirectory* directory, const PackageSink* sink,
                            const PackageThreads* threads);
