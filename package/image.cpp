// Extraction of a package in one of two schedules run by the same lanes (package/DESIGN.md): the
// fused loop, entry by entry on one lane, or two phases over every entry (stored digests, then
// keystream and plain digests) on one thread or two. Every byte goes through the same steps in
// the same order in both, so results, sink calls and image bytes are the same; entries sharing
// bytes would break that and take the fused loop.
#include "package/image.h"

#include <cpuid.h>
#include <string.h>

#include "base/shared.h"
#include "package/keystream.h"
#include "package/lanes.h"
#include "package/md5.h"
#include "package/unscramble.h"

int32_t LaneWidthOf(uint32_t ecx1, uint32_t edx1, uint32_t xcr0, uint32_t ebx7) {
  if ((edx1 >> 26 & 1) == 0) return 0;
  return (ecx1 >> 27 & 3) == 3 && (xcr0 & 6) == 6 && (ebx7 >> 5 & 1) != 0 ? 8 : 4;
}

// XGETBV faults unless the system enabled it (OSXSAVE), so it is read only then.
int32_t PackageLaneWidth(void) {
  unsigned int a, b, c, d, e, xcr0 = 0, ebx7 = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
  if ((c >> 27 & 1) != 0) __asm__("xgetbv" : "=a"(xcr0), "=d"(e) : "c"(0));
  __get_cpuid_count(7, 0, &a, &ebx7, &b, &e);
  return LaneWidthOf(c, d, xcr0, ebx7);
}

enum {
  LANE_STEP = 65536,  // bytes of each lane between two looks at what can be placed
  // Below this, a helper costs more than it saves: starting it and its signals takes some
  // 1.4 ms under Wine, what the lanes on one thread need for about 1.4 MB.
  TWO_THREADS_MIN_BYTES = 4 << 20,
};

int32_t ChoosePackageSchedule(const PackageDirectory* directory, uint32_t size,
                              const PackageThreads* threads) {
  if (threads == nullptr || PackageLaneWidth() == 0 || EntriesShareBytes(directory, size)) {
    return PACKAGE_FUSED_LOOP;
  }
  if (threads->schedule != PACKAGE_SCHEDULE_CHOSEN) return threads->schedule;
  uint32_t total = 0;  // the entries share no bytes: their sum fits
  int32_t wide = 0;  // entries of a block or more
  for (const PackageEntry& entry : directory->entries) {
    if (!EntryInImage(&entry, size)) continue;
    total += entry.dataSize;
    wide += entry.dataSize >= 64;
  }
  if (wide < 2) return PACKAGE_FUSED_LOOP;
  return threads->processors < 2 || total < TWO_THREADS_MIN_BYTES ? PACKAGE_LANES_ONE_THREAD
                                                                  : PACKAGE_LANES_TWO_THREADS;
}

// One extraction on the lanes: the source (an image, or a reader), the entries dealt to each
// thread, their digests and seeds, and the words the threads publish them by.
struct LaneJob {
  uint8_t* image;          // the image in memory, or null
  PackageReader* reader;   // or the package read in parts
  const PackageSink* sink;
  const PackageDirectory* directory;
  const PackageThreads* threads;
  int32_t width;           // lanes on each thread: 4, or 8 with AVX2
  int32_t (*nextWindow)(struct LaneRun* run, int32_t lane);  // ImageWindow or PartWindow
  void* callerSignal;      // raised by the helper when it publishes a word
  void* helperSignal;      // raised by the calling thread when the seeds are chained
  uint8_t inImage[PACKAGE_ENTRY_COUNT];
  int8_t queue[2][PACKAGE_ENTRY_COUNT];  // the entries of the calling thread (0), the helper (1)
  uint8_t count[2];
  uint8_t stored[PACKAGE_ENTRY_COUNT][16];
  uint8_t again[PACKAGE_ENTRY_COUNT][16];  // read in parts: the second reading's stored digests
  EntryChain chain[PACKAGE_ENTRY_COUNT];
  uint8_t plain[PACKAGE_ENTRY_COUNT][16];
  // Shared words (base/shared.h), each publishing what its thread wrote into the fields above.
  int32_t helperStored;                     // 1: the helper's entries have their stored digests
  int32_t seedsChained;                     // 1: chain holds every entry's parameters
  int32_t plainReady[PACKAGE_ENTRY_COUNT];  // 1: the entry has its plain digest
  int32_t stopped;                          // PACKAGE_STOPPED or PACKAGE_CHANGED: all stop
};

// Ends the run on both threads; a thread waiting is woken to see it.
static int32_t Stop(LaneJob* job, int32_t why) {
  StoreShared(&job->stopped, why);
  if (job->callerSignal != nullptr) {
    job->threads->raiseSignal(job->callerSignal);
    job->threads->raiseSignal(job->helperSignal);
  }
  return 0;
}

// Blocks until *word is set or the run stops (0 then). The signal may have been raised for an
// earlier word: look again.
static int32_t AwaitWord(const LaneJob* job, const int32_t* word, void* signal) {
  while (LoadShared(word) == 0) {
    if (LoadShared(&job->stopped) != 0) return 0;
    job->threads->awaitSignal(signal);
  }
  return 1;
}

// On one thread: every entry, in entry order. On two: entries are dealt out largest first, each
// to the lane (of twice the width) with the fewest bytes so far; the first width lanes make one
// thread's share, the others the other's. A thread's lanes advance together, so its time follows
// its fullest lane: the helper takes the share with the fuller lane, since the calling thread
// also places the files. Each share stays in entry order, so that entries are done about in the
// order they are placed. The entries in the image share no bytes here: their sums fit in 32 bits.
static void DealEntries(LaneJob* job, int32_t threadCount) {
  uint32_t laneBytes[2 * LANES_MAX] = {0};
  int8_t laneOf[PACKAGE_ENTRY_COUNT];
  memset(laneOf, -1, sizeof laneOf);
  memset(job->count, 0, sizeof job->count);  // dealt again on one thread when no helper starts
  for (;;) {
    int32_t largest = -1;
    for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
      const uint32_t bytes = job->directory->entries[i].dataSize;
      if (!job->inImage[i] || laneOf[i] >= 0) continue;
      if (largest < 0 || bytes > job->directory->entries[largest].dataSize) largest = i;
    }
    if (largest < 0) break;
    int32_t lane = 0;
    for (int32_t l = 1; l < 2 * job->width; ++l) {
      if (laneBytes[l] < laneBytes[lane]) lane = l;
    }
    laneOf[largest] = (int8_t)lane;
    laneBytes[lane] += job->directory->entries[largest].dataSize;
  }
  uint32_t fullest[2] = {0, 0};
  for (int32_t l = 0; l < 2 * job->width; ++l) {
    if (laneBytes[l] > fullest[l / job->width]) fullest[l / job->width] = laneBytes[l];
  }
  const int32_t helperLanes = fullest[0] > fullest[1] ? 0 : 1;  // the share the helper takes
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (!job->inImage[i]) continue;
    const int32_t share = threadCount == 2 && laneOf[i] / job->width == helperLanes;
    job->queue[share][job->count[share]++] = (int8_t)i;
  }
}

// One thread's lanes in one phase: the stored digests (in), or (unscramble) the keystream and
// plain digests (out, and in again for a package read in parts). Each lane works through a
// window of its entry: the whole entry in the image, or the part its buffer holds.
struct LaneRun {
  LaneJob* job;
  int32_t thread, unscramble;
  LaneGroup in, out;
  int32_t entryOf[LANES_MAX];
  uint32_t done[LANES_MAX];    // bytes of the lane's entry run so far
  uint8_t* window[LANES_MAX];  // the bytes of the entry from windowAt on
  uint32_t windowAt[LANES_MAX], windowEnd[LANES_MAX];
};

// The lane's next window (its window is run through): in the image, the whole entry; read in
// parts, the plain bytes of the window before go to the sink first, and the next part is read
// into the lane's buffer.
static int32_t ImageWindow(LaneRun* run, int32_t lane) {
  const PackageEntry* entry = &run->job->directory->entries[run->entryOf[lane]];
  run->window[lane] = run->job->image + entry->dataOffset;
  run->windowEnd[lane] = entry->dataSize;
  return 1;
}

static int32_t PartWindow(LaneRun* run, int32_t lane) {
  LaneJob* job = run->job;
  if (LoadShared(&job->stopped) != 0) return 0;  // the other thread stopped the run
  const int32_t e = run->entryOf[lane];
  const PackageEntry* entry = &job->directory->entries[e];
  const uint32_t at = run->done[lane];
  if (run->unscramble && at != 0 && job->sink->plainPart != nullptr &&
      !job->sink->plainPart(job->sink->user, e, run->windowAt[lane], run->window[lane],
                            at - run->windowAt[lane])) {
    return Stop(job, PACKAGE_STOPPED);
  }
  if (at == entry->dataSize) return 1;
  const uint32_t part = job->reader->part / (job->width / 4);  // the thread's buffer shared
  const uint32_t count = entry->dataSize - at < part ? entry->dataSize - at : part;
  uint8_t* buffer = job->reader->buffers[run->thread] + (size_t)lane * part;
  if (!job->reader->read(job->reader->user, run->thread, e, at, buffer, count)) {
    return Stop(job, PACKAGE_STOPPED);
  }
  run->window[lane] = buffer;
  run->windowAt[lane] = at;
  run->windowEnd[lane] = at + count;
  return 1;
}

// Ends the lane's entry on one lane from where the lanes left it: the rest of an entry alone on
// its thread, where the one-lane routines are faster than the lanes with the rest idle; the last
// partial block; or a whole entry of less than a block. 0 when the run stops.
static int32_t FinishOnOneLane(LaneRun* run, int32_t lane) {
  LaneJob* job = run->job;
  const int32_t e = run->entryOf[lane];
  const PackageEntry* entry = &job->directory->entries[e];
  const int32_t digestIn = !run->unscramble || job->reader != nullptr;
  Md5State in, out;
  for (int32_t w = 0; w < 4; ++w) {
    in.state[w] = run->in.md5[w][lane];
    out.state[w] = run->out.md5[w][lane];
  }
  in.length = out.length = run->done[lane];
  KeystreamState ks;  // the keystream from where the lanes left it
  KeystreamStart(&ks, run->out.left[lane], run->out.t[lane], job->chain[e].mixDigest);
  while (run->done[lane] != entry->dataSize) {
    if (run->done[lane] == run->windowEnd[lane] && !job->nextWindow(run, lane)) return 0;
    uint8_t* bytes = run->window[lane] + (run->done[lane] - run->windowAt[lane]);
    const uint32_t count = run->windowEnd[lane] - run->done[lane];
    if (digestIn) Md5Update(&in, bytes, count);
    if (run->unscramble) UnscrambleThenDigest(&ks, &out, bytes, count);
    run->done[lane] += count;
  }
  if (job->reader != nullptr && !job->nextWindow(run, lane)) return 0;  // the last plain bytes
  run->entryOf[lane] = -1;
  if (!run->unscramble) return Md5Final(&in, job->stored[e]), 1;
  if (digestIn) Md5Final(&in, job->again[e]);
  Md5Final(&out, job->plain[e]);
  StoreShared(&job->plainReady[e], 1);  // published, and the calling thread woken for it
  if (run->thread == 1) job->threads->raiseSignal(job->callerSignal);
  return 1;
}

// The lane takes the thread's next entry while it is free; entries under a block are done on
// the spot. 0 when the run stops.
static int32_t TakeEntry(LaneRun* run, int32_t lane, int32_t* taken) {
  LaneJob* job = run->job;
  while (run->entryOf[lane] < 0 && *taken < job->count[run->thread]) {
    const int32_t e = job->queue[run->thread][(*taken)++];
    const PackageEntry* entry = &job->directory->entries[e];
    run->entryOf[lane] = e;
    run->done[lane] = run->windowAt[lane] = run->windowEnd[lane] = 0;
    LaneStartEntry(&run->in, &run->out, lane, entry->dataSize, job->chain[e].entrySeed,
                   job->chain[e].mixDigest);
    if (entry->dataSize < 64 && !FinishOnOneLane(run, lane)) return 0;
  }
  return 1;
}

// Places entries in order while each is done; with wait, until all are placed. A package read
// in parts: an entry whose stored digest differs between its readings stops the run. 0 when the
// run stops.
static int32_t PlaceReadyEntries(LaneJob* job, Placing* placing, int32_t wait) {
  while (placing->next < PACKAGE_ENTRY_COUNT) {
    const int32_t i = placing->next;
    if (job->inImage[i] && LoadShared(&job->plainReady[i]) == 0) {
      if (!wait) return 1;
      if (!AwaitWord(job, &job->plainReady[i], job->callerSignal)) return 0;
    }
    if (job->inImage[i] && job->reader != nullptr && memcmp(job->stored[i], job->again[i], 16)) {
      job->reader->changedEntry = i;
      return Stop(job, PACKAGE_CHANGED);
    }
    PlaceNextEntry(placing, job->inImage[i] ? job->plain[i] : nullptr);
  }
  return 1;
}

// One phase of one thread's lanes over the entries dealt to it. An idle lane works on a scratch
// block of its own. The calling thread (placing not null) places what it can between two steps.
// 0 when the run stops (a thread sees a stop of the other at its next read).
static int32_t RunLanes(LaneJob* job, int32_t thread, int32_t unscramble, Placing* placing) {
  LaneRun run = {job, thread, unscramble, {}, {}, {-1, -1, -1, -1, -1, -1, -1, -1}, {}, {}, {}, {}};
  uint8_t scratch[LANES_MAX][64] = {};
  int32_t taken = 0;
  const int32_t digestIn = !unscramble || job->reader != nullptr;
  for (;;) {
    int32_t busy = 0, busyLane = 0;
    uint32_t blocks = LANE_STEP / 64;
    for (int32_t lane = 0; lane < job->width; ++lane) {
      uint8_t* bytes = scratch[lane];
      uint32_t step = 0;
      if (!TakeEntry(&run, lane, &taken)) return 0;
      if (run.entryOf[lane] >= 0) {
        if (run.done[lane] == run.windowEnd[lane] && !job->nextWindow(&run, lane)) return 0;
        bytes = run.window[lane] + (run.done[lane] - run.windowAt[lane]);
        step = 64;
        ++busy;
        busyLane = lane;
        const uint32_t held = (run.windowEnd[lane] - run.done[lane]) / 64;
        if (held < blocks) blocks = held;
      }
      run.in.bytes[lane] = run.out.bytes[lane] = bytes;
      run.in.step[lane] = run.out.step[lane] = step;
    }
    if (busy == 0) return 1;
    if (busy == 1) {
      if (!FinishOnOneLane(&run, busyLane)) return 0;
    } else {
      if (digestIn) RunLaneGroup(&run.in, job->width, blocks, 0);
      if (unscramble) RunLaneGroup(&run.out, job->width, blocks, 1);
      for (int32_t lane = 0; lane < job->width; ++lane) {
        const int32_t e = run.entryOf[lane];
        if (e < 0) continue;
        run.done[lane] += 64 * blocks;
        // The whole blocks are run: the last partial block, if any, on one lane.
        if (job->directory->entries[e].dataSize - run.done[lane] < 64 &&
            !FinishOnOneLane(&run, lane)) {
          return 0;
        }
      }
    }
    if (placing != nullptr && !PlaceReadyEntries(job, placing, 0)) return 0;
  }
}

void RunPackageHelper(void* jobPointer) {
  LaneJob* job = (LaneJob*)jobPointer;
  if (!RunLanes(job, 1, 0, nullptr)) return;
  StoreShared(&job->helperStored, 1);
  job->threads->raiseSignal(job->callerSignal);
  if (AwaitWord(job, &job->seedsChained, job->helperSignal)) RunLanes(job, 1, 1, nullptr);
}

// The helper and its two signals, or none of them.
static void* StartHelper(LaneJob* job) {
  const PackageThreads* threads = job->threads;
  job->callerSignal = threads->makeSignal();
  job->helperSignal = threads->makeSignal();
  void* helper = job->callerSignal != nullptr && job->helperSignal != nullptr
                     ? threads->startHelper(job) : nullptr;
  if (helper == nullptr) {
    if (job->callerSignal != nullptr) threads->freeSignal(job->callerSignal);
    if (job->helperSignal != nullptr) threads->freeSignal(job->helperSignal);
    job->callerSignal = job->helperSignal = nullptr;
  }
  return helper;
}

// The two phases over the entries queued: their stored digests, the seeds chained in entry
// order past out-of-bounds entries, then their keystream and plain digests, each entry placed
// once it and those before it are done. 0 when the run stops.
static int32_t RunPhases(LaneJob* job, void* helper, Placing* placing) {
  if (!RunLanes(job, 0, 0, nullptr) ||
      (helper != nullptr && !AwaitWord(job, &job->helperStored, job->callerSignal))) {
    return 0;
  }
  EntryChain chain;
  StartEntryChain(&chain);
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    job->chain[i] = chain;
    if (job->inImage[i]) ChainEntry(&chain, job->stored[i]);
  }
  if (helper != nullptr) {
    StoreShared(&job->seedsChained, 1);
    job->threads->raiseSignal(job->helperSignal);
  }
  return RunLanes(job, 0, 1, placing) && PlaceReadyEntries(job, placing, 0);
}

// Extraction of an image in memory or of a package read by reader in the schedule
// ChoosePackageSchedule gives: the fused loop (each entry alone on one lane, both phases,
// placed before the next), or the two phases over every entry on one thread or two.
static int32_t Extract(uint8_t* image, PackageReader* reader, uint32_t size,
                       const PackageDirectory* directory, const PackageSink* sink,
                       const PackageThreads* threads,
                       int32_t (*nextWindow)(LaneRun* run, int32_t lane)) {
  const int32_t width = threads != nullptr && threads->width != 4 &&
                        (reader == nullptr || reader->part % 128 == 0) ? PackageLaneWidth() : 4;
  LaneJob job = {image, reader, sink, directory, threads, width == 8 ? 8 : 4, nextWindow,
                 nullptr, nullptr, {}, {}, {}, {}, {}, {}, {}, 0, 0, {}, 0};
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    job.inImage[i] = (uint8_t)EntryInImage(&directory->entries[i], size);
  }
  Placing placing = {image, directory, sink, 0, 0};
  const int32_t schedule = ChoosePackageSchedule(directory, size, threads);
  void* helper = nullptr;
  int32_t going = 1;
  if (schedule == PACKAGE_FUSED_LOOP) {
    job.count[0] = 1;  // one entry queued: one lane busy
    for (int32_t i = 0; going && i < PACKAGE_ENTRY_COUNT; ++i) {
      job.queue[0][0] = (int8_t)i;
      going = !job.inImage[i] || RunPhases(&job, nullptr, &placing);
    }
  } else {
    if (schedule == PACKAGE_LANES_TWO_THREADS) {
      DealEntries(&job, 2);
      helper = StartHelper(&job);
    }
    if (helper == nullptr) DealEntries(&job, 1);
    going = RunPhases(&job, helper, &placing);
  }
  if (going) PlaceReadyEntries(&job, &placing, 1);
  if (helper != nullptr) {
    threads->joinHelper(helper);
    threads->freeSignal(job.callerSignal);
    threads->freeSignal(job.helperSignal);
  }
  const int32_t stopped = LoadShared(&job.stopped);
  return stopped != 0 ? stopped : PlacingResult(&placing);
}

int32_t ExtractPackageImageScheduled(uint8_t* image, uint32_t size, PackageDirectory* directory,
                                     const PackageSink* sink, const PackageThreads* threads) {
  CopyPackageDirectory(image, size, directory);
  return Extract(image, nullptr, size, directory, sink, threads, ImageWindow);
}

int32_t ExtractPackageParts(PackageReader* reader, uint32_t size,
                            const PackageDirectory* directory, const PackageSink* sink,
                            const PackageThreads* threads) {
  // PartWindow is named only here, so that a program that reads no parts links none of it.
  return Extract(nullptr, reader, size, directory, sink, threads, PartWindow);
}
