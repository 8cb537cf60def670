// Extraction of a package image in memory, in one of two schedules:
// - the fused loop: the package stream (package/stream.h) entry by entry on the calling thread,
//   each entry's stored digest and then its keystream fused with its plain digest, chained and
//   placed before the next;
// - two phases on the lanes (package/lanes.h): the stored digests of every entry, four entries
//   at a time; the seeds chained once from them; then the keystream and plain digests, again
//   four at a time. On two threads the entries are dealt out to the calling thread and a helper,
//   four lanes each, and the threads hand over twice: the helper's stored digests, then the
//   chained seeds. Either way the calling thread alone places the entries, in order, each as
//   soon as it and those before it are done.
// Every byte goes through the same steps in the same order in both, so results, sink calls and
// image bytes are the same; entries sharing bytes would break that and take the fused loop.
#include "package/image.h"

#include <cpuid.h>
#include <string.h>

#include "base/shared.h"
#include "package/keystream.h"
#include "package/lanes.h"
#include "package/md5.h"
#include "package/stream.h"
#include "package/unscramble.h"

int32_t ExtractPackageImage(uint8_t* image, uint32_t size, PackageDirectory* directory,
                            const char* targetFolder, const PackageSink* sink) {
  CopyPackageDirectory(image, size, directory);
  PackageStream stream;
  StartPackageStream(&stream, directory, size, PACKAGE_CHECK, image, targetFolder, sink);
  for (int32_t i; (i = BeginPackageEntry(&stream)) >= 0;) {
    const PackageEntry* entry = &directory->entries[i];
    FeedEntryStream(&stream.entry, image + entry->dataOffset, entry->dataSize);
    EndPackageEntry(&stream);
  }
  return PackageStreamResult(&stream);
}

int32_t PackageHasSse2(void) {
  unsigned int a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  return (d >> 26) & 1;
}

int32_t ChoosePackageSchedule(const PackageDirectory* directory, uint32_t size,
                              const PackageThreads* threads) {
  if (threads == nullptr || !PackageHasSse2() || EntriesShareBytes(directory, size)) {
    return PACKAGE_FUSED_LOOP;
  }
  if (threads->schedule != PACKAGE_SCHEDULE_CHOSEN) return threads->schedule;
  uint64_t total = 0;
  int32_t wide = 0;  // entries of a block or more
  for (const PackageEntry& entry : directory->entries) {
    if (!EntryInImage(&entry, size)) continue;
    total += entry.dataSize;
    wide += entry.dataSize >= 64;
  }
  if (wide < 2) return PACKAGE_FUSED_LOOP;
  if (threads->processors < 2 || total < PACKAGE_TWO_THREADS_MIN_BYTES) {
    return PACKAGE_LANES_ONE_THREAD;
  }
  return PACKAGE_LANES_TWO_THREADS;
}

enum {
  LANE_PART = 65536,  // bytes of each lane between two looks at what can be placed
  LANE_COUNT = 8,     // four on each thread
};

struct LaneJob {
  uint8_t* image;
  const PackageDirectory* directory;
  const PackageThreads* threads;
  void* callerSignal;  // raised by the helper when it publishes a word
  void* helperSignal;  // raised by the calling thread when the seeds are chained
  uint8_t inImage[PACKAGE_ENTRY_COUNT];
  int8_t queue[2][PACKAGE_ENTRY_COUNT];  // the entries of the calling thread (0), the helper (1)
  uint8_t count[2];
  uint8_t stored[PACKAGE_ENTRY_COUNT][16];
  EntryChain chain[PACKAGE_ENTRY_COUNT];
  uint8_t plain[PACKAGE_ENTRY_COUNT][16];
  // Shared words (base/shared.h), each publishing what its thread wrote into the fields above.
  int32_t helperStored;                    // 1: the helper's entries have their stored digests
  int32_t seedsChained;                    // 1: chain holds every entry's parameters
  int32_t plainReady[PACKAGE_ENTRY_COUNT];  // 1: the entry has its plain digest
};

// Blocks until *word is set. The signal may have been raised for an earlier word: look again.
static void AwaitWord(const LaneJob* job, const int32_t* word, void* signal) {
  while (LoadShared(word) == 0) job->threads->awaitSignal(signal);
}

// On one thread: every entry, in entry order. On two: entries are dealt out largest first, each
// to the lane (of eight) with the fewest bytes so far; lanes 0-3 make one thread's share, 4-7
// the other's. A thread's lanes advance together, so its time follows its fullest lane: the
// helper takes the share with the fuller lane, since the calling thread also places the files.
// Each share stays in entry order, so that entries are done about in the order they are placed.
static void DealEntries(LaneJob* job, int32_t threadCount) {
  uint64_t laneBytes[LANE_COUNT] = {0};
  int8_t laneOf[PACKAGE_ENTRY_COUNT];
  memset(laneOf, -1, sizeof laneOf);
  memset(job->count, 0, sizeof job->count);
  for (;;) {
    int32_t largest = -1;
    for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
      const uint32_t bytes = job->directory->entries[i].dataSize;
      if (!job->inImage[i] || laneOf[i] >= 0) continue;
      if (largest < 0 || bytes > job->directory->entries[largest].dataSize) largest = i;
    }
    if (largest < 0) break;
    int32_t lane = 0;
    for (int32_t l = 1; l < LANE_COUNT; ++l) {
      if (laneBytes[l] < laneBytes[lane]) lane = l;
    }
    laneOf[largest] = (int8_t)lane;
    laneBytes[lane] += job->directory->entries[largest].dataSize;
  }
  uint64_t fullest[2] = {0, 0};
  for (int32_t l = 0; l < LANE_COUNT; ++l) {
    if (laneBytes[l] > fullest[l / 4]) fullest[l / 4] = laneBytes[l];
  }
  const int32_t helperLanes = fullest[0] > fullest[1] ? 0 : 1;  // the share the helper takes
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (!job->inImage[i]) continue;
    const int32_t share = threadCount == 2 && laneOf[i] / 4 == helperLanes;
    job->queue[share][job->count[share]++] = (int8_t)i;
  }
}

// The entry has its plain digest: published for the calling thread, woken if it is the helper's.
static void EntryUnscrambled(LaneJob* job, int32_t thread, int32_t e) {
  StoreShared(&job->plainReady[e], 1);
  if (thread == 1) job->threads->raiseSignal(job->callerSignal);
}

// Ends entry e on one lane from byte done on (a multiple of 64; before it, the lane's digest and
// keystream state hold the bytes done): the rest of an entry alone on its thread, where the
// one-lane routines are faster than the lanes with three idle; the last partial block; or a
// whole entry of less than a block.
static void FinishOnOneLane(LaneJob* job, const FourLanes* lanes, int32_t lane, int32_t thread,
                            int32_t e, uint32_t done, int32_t unscramble) {
  const PackageEntry* entry = &job->directory->entries[e];
  uint8_t* bytes = job->image + entry->dataOffset + done;
  const uint32_t rest = entry->dataSize - done;
  Md5State md5;
  for (int32_t w = 0; w < 4; ++w) md5.state[w] = lanes->md5[w][lane];
  md5.length = done;
  if (!unscramble) {
    Md5Update(&md5, bytes, rest);
    Md5Final(&md5, job->stored[e]);
    return;
  }
  KeystreamState ks;
  KeystreamStart(&ks, entry->dataSize, job->chain[e].entrySeed, job->chain[e].mixDigest);
  ks.t = lanes->t[lane];
  ks.left = lanes->left[lane];
  UnscrambleThenDigest(&ks, &md5, bytes, rest);
  Md5Final(&md5, job->plain[e]);
  EntryUnscrambled(job, thread, e);
}

static void PlaceReadyEntries(LaneJob* job, Placing* placing, int32_t wait);

// One phase of one thread's four lanes over the entries dealt to it: the stored digests, or
// (unscramble) the keystream and plain digests. Each lane takes the thread's next entry when it
// is free; an idle lane works on a scratch block of its own. The calling thread (placing not
// null) places what it can between two parts.
static void RunLanes(LaneJob* job, int32_t thread, int32_t unscramble, Placing* placing) {
  FourLanes lanes = {};
  uint8_t scratch[4][64] = {};
  int32_t entryOf[4] = {-1, -1, -1, -1};
  uint32_t blocksLeft[4] = {0};
  int32_t taken = 0;
  for (;;) {
    int32_t busy = 0, busyLane = 0;
    uint32_t blocks = LANE_PART / 64;
    for (int32_t lane = 0; lane < 4; ++lane) {
      while (entryOf[lane] < 0 && taken < job->count[thread]) {
        const int32_t e = job->queue[thread][taken++];
        const PackageEntry* entry = &job->directory->entries[e];
        lanes.bytes[lane] = job->image + entry->dataOffset;
        lanes.step[lane] = 64;
        FourLanesStartDigest(&lanes, lane);
        if (unscramble) {
          FourLanesStartKeystream(&lanes, lane, entry->dataSize, job->chain[e].entrySeed,
                                  job->chain[e].mixDigest);
        }
        if (entry->dataSize < 64) {
          FinishOnOneLane(job, &lanes, lane, thread, e, 0, unscramble);
          continue;
        }
        entryOf[lane] = e;
        blocksLeft[lane] = entry->dataSize / 64;
      }
      if (entryOf[lane] < 0) {
        lanes.bytes[lane] = scratch[lane];
        lanes.step[lane] = 0;
        continue;
      }
      ++busy;
      busyLane = lane;
      if (blocksLeft[lane] < blocks) blocks = blocksLeft[lane];
    }
    if (busy == 0) return;
    if (busy == 1) {
      const int32_t e = entryOf[busyLane];
      const uint32_t whole = job->directory->entries[e].dataSize & ~63u;
      FinishOnOneLane(job, &lanes, busyLane, thread, e, whole - 64 * blocksLeft[busyLane],
                      unscramble);
      entryOf[busyLane] = -1;
    } else {
      if (unscramble) {
        UnscrambleDigestFourLanes(&lanes, blocks);
      } else {
        DigestFourLanes(&lanes, blocks);
      }
      for (int32_t lane = 0; lane < 4; ++lane) {
        if (entryOf[lane] < 0) continue;
        blocksLeft[lane] -= blocks;
        if (blocksLeft[lane] != 0) continue;
        const int32_t e = entryOf[lane];
        FinishOnOneLane(job, &lanes, lane, thread, e, job->directory->entries[e].dataSize & ~63u,
                        unscramble);
        entryOf[lane] = -1;
      }
    }
    if (placing != nullptr) PlaceReadyEntries(job, placing, 0);
  }
}

// Places entries in order while each is done; with wait, until all are placed.
static void PlaceReadyEntries(LaneJob* job, Placing* placing, int32_t wait) {
  while (placing->next < PACKAGE_ENTRY_COUNT) {
    const int32_t i = placing->next;
    if (job->inImage[i] && LoadShared(&job->plainReady[i]) == 0) {
      if (!wait) return;
      AwaitWord(job, &job->plainReady[i], job->callerSignal);
    }
    PlaceNextEntry(placing, job->inImage[i] ? job->plain[i] : nullptr);
  }
}

void RunPackageHelper(void* jobPointer) {
  LaneJob* job = (LaneJob*)jobPointer;
  RunLanes(job, 1, 0, nullptr);
  StoreShared(&job->helperStored, 1);
  job->threads->raiseSignal(job->callerSignal);
  AwaitWord(job, &job->seedsChained, job->helperSignal);
  RunLanes(job, 1, 1, nullptr);
}

// The helper and its two signals, or none of them.
static void* StartHelper(LaneJob* job) {
  const PackageThreads* threads = job->threads;
  job->callerSignal = threads->makeSignal();
  job->helperSignal = threads->makeSignal();
  void* helper = nullptr;
  if (job->callerSignal != nullptr && job->helperSignal != nullptr) {
    helper = threads->startHelper(job);
  }
  if (helper == nullptr) {
    if (job->callerSignal != nullptr) threads->freeSignal(job->callerSignal);
    if (job->helperSignal != nullptr) threads->freeSignal(job->helperSignal);
  }
  return helper;
}

int32_t ExtractPackageImageScheduled(uint8_t* image, uint32_t size, PackageDirectory* directory,
                                     const char* targetFolder, const PackageSink* sink,
                                     const PackageThreads* threads) {
  CopyPackageDirectory(image, size, directory);
  const int32_t schedule = ChoosePackageSchedule(directory, size, threads);
  if (schedule == PACKAGE_FUSED_LOOP) {
    return ExtractPackageImage(image, size, directory, targetFolder, sink);
  }
  LaneJob job;
  memset(&job, 0, sizeof job);
  job.image = image;
  job.directory = directory;
  job.threads = threads;
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    job.inImage[i] = (uint8_t)EntryInImage(&directory->entries[i], size);
  }
  void* helper = nullptr;
  if (schedule == PACKAGE_LANES_TWO_THREADS) {
    DealEntries(&job, 2);
    helper = StartHelper(&job);
  }
  if (helper == nullptr) DealEntries(&job, 1);

  RunLanes(&job, 0, 0, nullptr);
  if (helper != nullptr) AwaitWord(&job, &job.helperStored, job.callerSignal);
  // Every stored digest is known: the seeds, chained in entry order past out-of-bounds entries.
  EntryChain chain;
  StartEntryChain(&chain);
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    job.chain[i] = chain;
    if (job.inImage[i]) ChainEntry(&chain, job.stored[i]);
  }
  if (helper != nullptr) {
    StoreShared(&job.seedsChained, 1);
    threads->raiseSignal(job.helperSignal);
  }
  Placing placing;
  StartPlacing(&placing, image, directory, targetFolder, sink);
  RunLanes(&job, 0, 1, &placing);
  PlaceReadyEntries(&job, &placing, 1);
  if (helper != nullptr) {
    threads->joinHelper(helper);
    threads->freeSignal(job.callerSignal);
    threads->freeSignal(job.helperSignal);
  }
  return PlacingResult(&placing);
}
