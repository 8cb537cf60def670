// Checking a package's entries on the lanes (package/lanes.h) from bytes read in parts, for a
// caller that holds the package on disk rather than in memory: the two phases of the in-memory
// schedule, each entry read once in each. The first phase takes the stored digests, from which
// the seeds are chained; the second reads the entries again, takes their stored digests once
// more (bytes that changed between the readings show as a difference), and unscrambles them and
// takes their plain digests. Entries are dealt out to one or two shares, each run on four lanes
// by one thread with four buffers of its own.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"
#include "package/keystream.h"

enum {
  LANE_READ_PART = 1 << 20,  // bytes a lane reads at a time; a share's buffers hold four
};

// Reads count bytes of entry e from byte at of the entry on; 0 on failure. share: the share
// (0 or 1) whose thread reads.
struct LaneReader {
  int32_t (*read)(void* user, int32_t share, int32_t e, uint32_t at, uint8_t* bytes,
                  uint32_t count);
  void* user;
};

struct LaneCheck {
  const PackageDirectory* directory;
  uint8_t inImage[PACKAGE_ENTRY_COUNT];
  int8_t queue[2][PACKAGE_ENTRY_COUNT];  // each share's entries, in entry order
  uint8_t count[2];
  uint8_t stored[PACKAGE_ENTRY_COUNT][16];  // the first phase's stored digests
  EntryChain chain[PACKAGE_ENTRY_COUNT];    // chained from them
  uint8_t again[PACKAGE_ENTRY_COUNT][16];   // the second phase's stored digests
  uint8_t plain[PACKAGE_ENTRY_COUNT][16];
  uint32_t part;  // bytes a lane reads at a time, a multiple of 64: LANE_READ_PART
};

// The entries of directory inside an image of size bytes, dealt out to shares (1 or 2) by bytes.
void StartLaneCheck(LaneCheck* check, const PackageDirectory* directory, uint32_t size,
                    int32_t shares);

// One share's work in one phase (unscramble 0: stored digests; 1: the second reading), with
// 4 * check->part bytes of buffers. 0 when a read failed.
int32_t RunLaneShare(LaneCheck* check, const LaneReader* reader, int32_t share,
                     int32_t unscramble, uint8_t* buffers);

// Between the phases: every entry's keystream parameters, chained in entry order from the
// stored digests past the entries outside the image.
void ChainLaneCheck(LaneCheck* check);
