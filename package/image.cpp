// Directory copy, the extraction loop over an image in memory (on one thread, or on two), and the
// folder-path walk.
#include "package/image.h"

#include <string.h>

#include "base/text.h"
#include "package/entryname.h"
#include "package/keystream.h"
#include "package/lanes.h"
#include "package/md5.h"
#include "package/unpack.h"

int32_t CopyPackageDirectory(const uint8_t* image, uint32_t size, PackageDirectory* directory) {
  if (image == nullptr || size <= PACKAGE_DIRECTORY_SIZE) return -1;
  memcpy(directory, image, PACKAGE_DIRECTORY_SIZE);
  return 0;
}

// Everything after the digests: the name check, the path, the folder and the file.
static int32_t PlaceEntry(const PackageEntry* entry, const uint8_t* bytes,
                          const char* targetFolder, const PackageSink* sink) {
  char entryPath[EXTRACT_PATH_SIZE];
  char folder[EXTRACT_PATH_SIZE];
  // The name comes from the package: it is checked before it reaches any path.
  if (!IsSafeEntryName(entry->entryName, PACKAGE_NAME_SIZE)) return ENTRY_NAME_REFUSED;
  if (!JoinPath(entryPath, sizeof entryPath, targetFolder, entry->entryName)) {
    return ENTRY_PATH_TOO_LONG;
  }
  TextCopy(folder, sizeof folder, entryPath);
  char* cut = strrchr(folder, '\\');  // JoinPath put at least one backslash in
  *cut = '\0';
  if (strcmp(folder, targetFolder) != 0) sink->createFolderPath(sink->user, folder);
  if (!sink->writeWholeFile(sink->user, entryPath, entry->dataSize, bytes)) {
    return ENTRY_WRITE_FAILED;
  }
  return ENTRY_WRITTEN;
}

// 64-bit sum: an offset near 2^32 must not wrap back into the image.
static int32_t InImage(const PackageEntry* entry, uint32_t size) {
  return (uint64_t)entry->dataOffset + entry->dataSize <= size;
}

static int32_t ExtractionResult(int32_t failureCount, uint32_t lastSize) {
  if (failureCount != 0) return -100 - failureCount;
  return lastSize != 0 ? 0 : -1;
}

int32_t ExtractPackageImage(uint8_t* image, uint32_t size, PackageDirectory* directory,
                            const char* targetFolder, const PackageSink* sink) {
  int32_t failureCount = 0;
  uint32_t lastSize = 0;
  uint32_t entrySeed = PACKAGE_SEED;
  uint8_t mixDigest[16] = {0};
  if (targetFolder == nullptr) targetFolder = "";
  CopyPackageDirectory(image, size, directory);
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry* entry = &directory->entries[i];
    int32_t outcome = ENTRY_OUT_OF_BOUNDS;
    lastSize = entry->dataSize;
    if (InImage(entry, size)) {
      uint8_t* bytes = image + entry->dataOffset;
      uint8_t storedDigest[16], plainDigest[16];
      UnpackEntryBytes(bytes, entry->dataSize, entrySeed, mixDigest, storedDigest, plainDigest);
      if (memcmp(plainDigest, entry->plainDigest, 16) != 0) {
        outcome = ENTRY_DIGEST_MISMATCH;
      } else {
        outcome = PlaceEntry(entry, bytes, targetFolder, sink);
      }
      // Chained whatever became of the file.
      memcpy(mixDigest, storedDigest, 16);
      entrySeed = NextEntrySeed(entrySeed, storedDigest);
    }
    if (outcome != ENTRY_WRITTEN) ++failureCount;
    if (sink->entryDone != nullptr) sink->entryDone(sink->user, i, outcome);
  }
  return ExtractionResult(failureCount, lastSize);
}

// Two threads. Every byte goes through the same steps in the same order as on one thread -
// stored digest, keystream, plain digest - and entries that share no bytes are independent apart
// from the chain of seeds, which needs only the stored digests. Two ways of sharing the work:
// - The pipeline, for packages with one large entry: the helper first digests the stored bytes
//   of all entries, up to four entries at a time on the lanes, publishing how far each entry is
//   digested and each entry's seed and mix digest as soon as the digests before it are known.
//   Meanwhile the calling thread follows, never past the digested bytes: keystream and plain
//   digest side by side, entry by entry, placing each entry (its folder and file) before it goes
//   on. The last entries, about a quarter of the bytes, are unscrambled and digested by the
//   helper once its stored digests are done.
// - Four lanes on each thread (below ExtractOnLanes), for the others.
enum { HAND_OVER_PART = 65536 };  // bytes digested or unscrambled between two hand-overs

// The entries dealt out to the calling thread (queue 0) and the helper (queue 1).
enum { LANE_COUNT = 8 };
struct LanePlan {
  int8_t queue[2][PACKAGE_ENTRY_COUNT];
  uint8_t count[2];
};

struct TwoThreadJob {
  uint8_t* image;
  const PackageDirectory* directory;
  const PackageThreads* threads;
  int32_t onLanes;  // the four-lane way, with plan
  LanePlan plan;
  uint8_t stored[PACKAGE_ENTRY_COUNT][16];  // four-lane way: written before storedDone
  uint32_t storedDone;  // four-lane way: the helper's stored digests are done
  uint8_t inImage[PACKAGE_ENTRY_COUNT];
  uint8_t onHelper[PACKAGE_ENTRY_COUNT];  // keystream and plain digest on the helper
  // Written by the helper, each published by the release store of the counter after it:
  uint32_t entrySeed[PACKAGE_ENTRY_COUNT];        // seedsKnown
  uint8_t mixDigest[PACKAGE_ENTRY_COUNT][16];     // seedsKnown
  uint8_t plainDigest[PACKAGE_ENTRY_COUNT][16];   // plainReady
  uint32_t seedsKnown;                    // entries [0, seedsKnown) have their seed
  uint32_t digested[PACKAGE_ENTRY_COUNT];  // stored bytes of the entry digested so far
  uint32_t plainReady[PACKAGE_ENTRY_COUNT];  // 1: plainDigest of an onHelper entry is written
};

static void Publish(uint32_t* word, uint32_t value) {
  __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

// One stored digest in progress.
struct DigestLane {
  int32_t entry;  // -1: idle
  uint32_t done;
  Md5State md5;
};

// The stored digests, four entries at a time on the lanes; seeds and mix digests published in
// order. An entry's last partial block is digested at once, so that its seed follows soon; when
// one entry alone has whole blocks left, it goes on one lane, which is faster than four with
// three idle.
static void DigestAllStoredBytes(TwoThreadJob* job) {
  const PackageEntry* entries = job->directory->entries;
  DigestLane lanes[4];
  for (DigestLane& lane : lanes) lane.entry = -1;
  FourLanes four = {};
  uint8_t scratch[4][64] = {};
  uint8_t stored[PACKAGE_ENTRY_COUNT][16];
  uint8_t storedKnown[PACKAGE_ENTRY_COUNT] = {0};
  uint32_t entrySeed = PACKAGE_SEED;
  uint8_t mixDigest[16] = {0};
  int32_t next = 0, seeded = 0;
  for (;;) {
    // Each entry's seed follows from the stored digests of the entries before it.
    while (seeded < PACKAGE_ENTRY_COUNT) {
      int32_t previous = seeded - 1;
      if (previous >= 0 && job->inImage[previous]) {
        if (!storedKnown[previous]) break;
        memcpy(mixDigest, stored[previous], 16);
        entrySeed = NextEntrySeed(entrySeed, stored[previous]);
      }
      job->entrySeed[seeded] = entrySeed;
      memcpy(job->mixDigest[seeded], mixDigest, 16);
      Publish(&job->seedsKnown, (uint32_t)++seeded);
    }
    int32_t busy = 0, wide = 0;
    DigestLane* alone = nullptr;
    uint32_t blocks = HAND_OVER_PART / 64;
    for (DigestLane& lane : lanes) {
      while (lane.entry < 0 && next < PACKAGE_ENTRY_COUNT) {
        if (job->inImage[next]) {
          lane.entry = next;
          lane.done = 0;
          Md5Init(&lane.md5);
        }
        ++next;
      }
      if (lane.entry < 0) continue;
      ++busy;
      const uint32_t rest = entries[lane.entry].dataSize - lane.done;
      const uint8_t* bytes = job->image + entries[lane.entry].dataOffset + lane.done;
      if (rest < 64) {
        Md5Update(&lane.md5, bytes, rest);
        lane.done += rest;
      } else {
        ++wide;
        alone = &lane;
        if (rest / 64 < blocks) blocks = rest / 64;
      }
    }
    if (busy == 0) return;
    if (wide >= 2) {
      for (int32_t l = 0; l < 4; ++l) {
        const DigestLane& lane = lanes[l];
        const int32_t whole = lane.entry >= 0 && entries[lane.entry].dataSize - lane.done >= 64;
        four.bytes[l] =
            whole ? job->image + entries[lane.entry].dataOffset + lane.done : scratch[l];
        four.step[l] = whole ? 64 : 0;
        for (int32_t w = 0; w < 4; ++w) four.md5[w][l] = lane.md5.state[w];
      }
      DigestFourLanes(&four, blocks);
      for (int32_t l = 0; l < 4; ++l) {
        DigestLane& lane = lanes[l];
        if (four.step[l] == 0) continue;
        for (int32_t w = 0; w < 4; ++w) lane.md5.state[w] = four.md5[w][l];
        lane.md5.length += 64 * blocks;
        lane.done += 64 * blocks;
      }
    } else if (wide == 1) {
      uint32_t rest = entries[alone->entry].dataSize - alone->done;
      if (rest > HAND_OVER_PART) rest = HAND_OVER_PART;
      Md5Update(&alone->md5, job->image + entries[alone->entry].dataOffset + alone->done, rest);
      alone->done += rest;
    }
    for (DigestLane& lane : lanes) {
      if (lane.entry < 0) continue;
      Publish(&job->digested[lane.entry], lane.done);
      if (lane.done == entries[lane.entry].dataSize) {
        Md5Final(&lane.md5, stored[lane.entry]);
        storedKnown[lane.entry] = 1;
        lane.entry = -1;
      }
    }
  }
}

struct Placing;
static void RunLanes(TwoThreadJob* job, int32_t thread, int32_t unpack, Placing* placing);
static void WaitForHelper(const uint32_t* word, uint32_t value, const PackageThreads* threads);

void RunPackageHelper(void* jobPointer) {
  TwoThreadJob* job = (TwoThreadJob*)jobPointer;
  if (job->onLanes) {
    RunLanes(job, 1, 0, nullptr);
    Publish(&job->storedDone, 1);
    WaitForHelper(&job->seedsKnown, PACKAGE_ENTRY_COUNT, job->threads);
    RunLanes(job, 1, 1, nullptr);
    return;
  }
  DigestAllStoredBytes(job);
  // Every seed is known now: the helper's own entries, whole.
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (!job->onHelper[i]) continue;
    const PackageEntry* entry = &job->directory->entries[i];
    KeystreamState ks;
    Md5State plain;
    KeystreamStart(&ks, entry->dataSize, job->entrySeed[i], job->mixDigest[i]);
    Md5Init(&plain);
    UnscrambleThenDigest(&ks, &plain, job->image + entry->dataOffset, entry->dataSize);
    Md5Final(&plain, job->plainDigest[i]);
    Publish(&job->plainReady[i], 1);
  }
}

// Waits until *word is at least value.
static void WaitForHelper(const uint32_t* word, uint32_t value, const PackageThreads* threads) {
  for (uint32_t spins = 0; __atomic_load_n(word, __ATOMIC_ACQUIRE) < value; ++spins) {
    if (spins >= 64 && threads->yield != nullptr) {
      threads->yield();
    } else {
#if defined(__i386__) || defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
  }
}

// Whether two entries inside the image share a byte. Their ends lie inside the image, so the
// 32-bit sums do not wrap.
static int32_t EntriesShareBytes(const PackageDirectory* directory, const uint8_t inImage[]) {
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry* a = &directory->entries[i];
    for (int32_t j = i + 1; j < PACKAGE_ENTRY_COUNT; ++j) {
      const PackageEntry* b = &directory->entries[j];
      if (inImage[i] && inImage[j] && a->dataSize != 0 && b->dataSize != 0 &&
          a->dataOffset < b->dataOffset + b->dataSize &&
          b->dataOffset < a->dataOffset + a->dataSize) {
        return 1;
      }
    }
  }
  return 0;
}

// Four lanes on each thread. Entries are dealt out largest first, each to the lane (of eight)
// with the fewest bytes so far; lanes 0-3 make one thread's share, 4-7 the other's. The lanes of
// a thread advance together, so its time follows its fullest lane: the helper takes the share
// with the fuller lane, since the calling thread also writes the files. The bytes of the
// fullest lane are the result.
static uint64_t PlanLanes(const PackageDirectory* directory, const uint8_t inImage[],
                          LanePlan* plan) {
  uint64_t laneBytes[LANE_COUNT] = {0};
  uint8_t dealt[PACKAGE_ENTRY_COUNT] = {0};
  memset(plan, 0, sizeof *plan);
  for (;;) {
    int32_t largest = -1;
    for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
      if (!inImage[i] || dealt[i]) continue;
      if (largest < 0 || directory->entries[i].dataSize > directory->entries[largest].dataSize) {
        largest = i;
      }
    }
    if (largest < 0) break;
    int32_t lane = 0;
    for (int32_t l = 1; l < LANE_COUNT; ++l) {
      if (laneBytes[l] < laneBytes[lane]) lane = l;
    }
    dealt[largest] = 1;
    laneBytes[lane] += directory->entries[largest].dataSize;
    const int32_t share = lane / 4;
    plan->queue[share][plan->count[share]++] = (int8_t)largest;
  }
  // Each share in entry order: entries are then done about in the order the calling thread
  // places them, which writes each file soon after it is done instead of all at the end.
  for (int32_t share = 0; share < 2; ++share) {
    int8_t* queue = plan->queue[share];
    for (int32_t i = 1; i < plan->count[share]; ++i) {
      for (int32_t j = i; j > 0 && queue[j - 1] > queue[j]; --j) {
        const int8_t entry = queue[j];
        queue[j] = queue[j - 1];
        queue[j - 1] = entry;
      }
    }
  }
  uint64_t fullest[2] = {0, 0};
  for (int32_t l = 0; l < LANE_COUNT; ++l) {
    if (laneBytes[l] > fullest[l / 4]) fullest[l / 4] = laneBytes[l];
  }
  if (fullest[0] > fullest[1]) {
    LanePlan swapped;
    memcpy(swapped.queue[0], plan->queue[1], sizeof plan->queue[1]);
    memcpy(swapped.queue[1], plan->queue[0], sizeof plan->queue[0]);
    swapped.count[0] = plan->count[1];
    swapped.count[1] = plan->count[0];
    *plan = swapped;
    return fullest[0];
  }
  return fullest[1];
}

// The calling thread's placing of entries in order, between two runs of its lanes.
struct Placing {
  const PackageSink* sink;
  const char* targetFolder;
  int32_t next;  // the first entry not placed yet
  int32_t failureCount;
};

// Places entries from placing->next on while each is done; with wait, until all are placed.
static void PlaceDoneEntries(TwoThreadJob* job, Placing* placing, int32_t wait) {
  for (; placing->next < PACKAGE_ENTRY_COUNT; ++placing->next) {
    const int32_t i = placing->next;
    const PackageEntry* entry = &job->directory->entries[i];
    int32_t outcome = ENTRY_OUT_OF_BOUNDS;
    if (job->inImage[i]) {
      if (wait) WaitForHelper(&job->plainReady[i], 1, job->threads);
      if (!__atomic_load_n(&job->plainReady[i], __ATOMIC_ACQUIRE)) return;
      if (memcmp(job->plainDigest[i], entry->plainDigest, 16) != 0) {
        outcome = ENTRY_DIGEST_MISMATCH;
      } else {
        outcome = PlaceEntry(entry, job->image + entry->dataOffset, placing->targetFolder,
                             placing->sink);
      }
    }
    if (outcome != ENTRY_WRITTEN) ++placing->failureCount;
    const PackageSink* sink = placing->sink;
    if (sink->entryDone != nullptr) sink->entryDone(sink->user, i, outcome);
  }
}

// Ends entry e on one lane from byte done on (a multiple of 64; before it, the lane's digest and
// keystream state hold the bytes done): the rest of an entry alone on its thread, where the
// one-lane routines are faster than the lanes with three idle; the last partial block; or a
// whole entry of less than a block.
static void FinishOnOneLane(TwoThreadJob* job, const FourLanes* lanes, int32_t lane, int32_t e,
                            uint32_t done, int32_t unpack) {
  const PackageEntry* entry = &job->directory->entries[e];
  uint8_t* bytes = job->image + entry->dataOffset + done;
  const uint32_t rest = entry->dataSize - done;
  Md5State md5;
  Md5Init(&md5);
  if (done != 0) {
    for (int32_t w = 0; w < 4; ++w) md5.state[w] = lanes->md5[w][lane];
    md5.length = done;
  }
  if (!unpack) {
    Md5Update(&md5, bytes, rest);
    Md5Final(&md5, job->stored[e]);
    return;
  }
  KeystreamState ks;
  KeystreamStart(&ks, entry->dataSize, job->entrySeed[e], job->mixDigest[e]);
  if (done != 0) {
    ks.t = lanes->t[lane];
    ks.left = lanes->left[lane];
  }
  UnscrambleThenDigest(&ks, &md5, bytes, rest);
  Md5Final(&md5, job->plainDigest[e]);
  Publish(&job->plainReady[e], 1);
}

// One thread's four lanes over the entries dealt to it: the stored digests, or (unpack) the
// keystream and plain digests. Each lane takes the next entry of the thread's share when it is
// free. An entry of less than a block is done on one lane at once; an idle lane works on a
// scratch block of its own.
static void RunLanes(TwoThreadJob* job, int32_t thread, int32_t unpack, Placing* placing) {
  FourLanes lanes = {};
  uint8_t scratch[4][64] = {};
  int32_t entryOf[4] = {-1, -1, -1, -1};
  uint32_t blocksLeft[4] = {0};
  uint32_t taken = 0;
  for (;;) {
    int32_t busy = 0, busyLane = 0;
    uint32_t blocks = HAND_OVER_PART / 64;
    for (int32_t lane = 0; lane < 4; ++lane) {
      while (entryOf[lane] < 0 && taken < job->plan.count[thread]) {
        const int32_t e = job->plan.queue[thread][taken++];
        const PackageEntry* entry = &job->directory->entries[e];
        if (entry->dataSize < 64) {
          FinishOnOneLane(job, &lanes, lane, e, 0, unpack);
          continue;
        }
        entryOf[lane] = e;
        blocksLeft[lane] = entry->dataSize / 64;
        lanes.bytes[lane] = job->image + entry->dataOffset;
        lanes.step[lane] = 64;
        FourLanesStartDigest(&lanes, lane);
        if (unpack) {
          FourLanesStartKeystream(&lanes, lane, entry->dataSize, job->entrySeed[e],
                                  job->mixDigest[e]);
        }
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
      const uint32_t whole = job->directory->entries[entryOf[busyLane]].dataSize & ~63u;
      FinishOnOneLane(job, &lanes, busyLane, entryOf[busyLane], whole - 64 * blocksLeft[busyLane],
                      unpack);
      entryOf[busyLane] = -1;
    } else {
      if (unpack) {
        UnscrambleDigestFourLanes(&lanes, blocks);
      } else {
        DigestFourLanes(&lanes, blocks);
      }
      for (int32_t lane = 0; lane < 4; ++lane) {
        if (entryOf[lane] < 0) continue;
        blocksLeft[lane] -= blocks;
        if (blocksLeft[lane] != 0) continue;
        const int32_t e = entryOf[lane];
        FinishOnOneLane(job, &lanes, lane, e, job->directory->entries[e].dataSize & ~63u, unpack);
        entryOf[lane] = -1;
      }
    }
    if (placing != nullptr) PlaceDoneEntries(job, placing, 0);
  }
}

// The calling thread's part of the four-lane way, the helper running.
static int32_t ExtractOnLanes(TwoThreadJob* job, const char* targetFolder,
                              const PackageSink* sink) {
  RunLanes(job, 0, 0, nullptr);
  WaitForHelper(&job->storedDone, 1, job->threads);
  // Every stored digest is known: the seeds in entry order, out-of-bounds entries not chained.
  uint32_t entrySeed = PACKAGE_SEED;
  uint8_t mixDigest[16] = {0};
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    job->entrySeed[i] = entrySeed;
    memcpy(job->mixDigest[i], mixDigest, 16);
    if (!job->inImage[i]) continue;
    memcpy(mixDigest, job->stored[i], 16);
    entrySeed = NextEntrySeed(entrySeed, job->stored[i]);
  }
  Publish(&job->seedsKnown, PACKAGE_ENTRY_COUNT);
  Placing placing = {sink, targetFolder, 0, 0};
  RunLanes(job, 0, 1, &placing);
  PlaceDoneEntries(job, &placing, 1);
  return placing.failureCount;
}

int32_t ExtractPackageImageOnTwoThreads(uint8_t* image, uint32_t size, PackageDirectory* directory,
                                        const char* targetFolder, const PackageSink* sink,
                                        const PackageThreads* threads) {
  // Both ways run on the lanes, which need SSE2. A processor without it has one core anyway.
  if (threads == nullptr || !FourLanesSupported()) {
    return ExtractPackageImage(image, size, directory, targetFolder, sink);
  }
  if (targetFolder == nullptr) targetFolder = "";
  CopyPackageDirectory(image, size, directory);
  TwoThreadJob job;
  memset(&job, 0, sizeof job);
  job.image = image;
  job.directory = directory;
  uint64_t total = 0;
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    job.inImage[i] = (uint8_t)InImage(&directory->entries[i], size);
    if (job.inImage[i]) total += directory->entries[i].dataSize;
  }
  job.threads = threads;
  if (threads->lanes != PACKAGE_LANES_NEVER) {
    // Measured in the installer's code under Wine: the two ways take about the same time when
    // the fullest lane holds a third of all bytes (one entry that large, say); with less, the
    // lanes are faster (0.6 against 1.05 MD5 passes for 17 equal entries), with more, the
    // pipeline (1.0 against 1.3 when one entry holds half).
    uint64_t fullest = PlanLanes(directory, job.inImage, &job.plan);
    job.onLanes = threads->lanes == PACKAGE_LANES_ALWAYS || 3 * fullest <= total;
  }
  // The pipeline's share for the helper: the last entries, up to the one whose middle passes a
  // quarter of the bytes. With one entry of half the bytes, shares from a fifth to two fifths
  // measured no faster in the installer under Wine.
  uint64_t taken = 0;
  for (int32_t i = PACKAGE_ENTRY_COUNT - 1; i >= 0 && !job.onLanes; --i) {
    if (!job.inImage[i]) continue;
    uint32_t entrySize = directory->entries[i].dataSize;
    if (4 * (taken + entrySize / 2) > total) break;
    job.onHelper[i] = 1;
    taken += entrySize;
  }
  void* helper = nullptr;
  if (!EntriesShareBytes(directory, job.inImage)) helper = threads->startHelper(&job);
  if (helper == nullptr) return ExtractPackageImage(image, size, directory, targetFolder, sink);

  int32_t failureCount = 0;
  if (job.onLanes) {
    failureCount = ExtractOnLanes(&job, targetFolder, sink);
    threads->joinHelper(helper);
    return ExtractionResult(failureCount, directory->entries[PACKAGE_ENTRY_COUNT - 1].dataSize);
  }
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry* entry = &directory->entries[i];
    int32_t outcome = ENTRY_OUT_OF_BOUNDS;
    if (job.inImage[i]) {
      uint8_t* bytes = image + entry->dataOffset;
      uint8_t ownDigest[16];
      const uint8_t* plainDigest = ownDigest;
      if (job.onHelper[i]) {
        WaitForHelper(&job.plainReady[i], 1, threads);
        plainDigest = job.plainDigest[i];
      } else {
        WaitForHelper(&job.seedsKnown, (uint32_t)i + 1, threads);
        KeystreamState ks;
        Md5State plain;
        KeystreamStart(&ks, entry->dataSize, job.entrySeed[i], job.mixDigest[i]);
        Md5Init(&plain);
        for (uint32_t done = 0; done < entry->dataSize; done += HAND_OVER_PART) {
          uint32_t length = entry->dataSize - done;
          if (length > HAND_OVER_PART) length = HAND_OVER_PART;
          WaitForHelper(&job.digested[i], done + length, threads);
          UnscrambleThenDigest(&ks, &plain, bytes + done, length);
        }
        Md5Final(&plain, ownDigest);
      }
      if (memcmp(plainDigest, entry->plainDigest, 16) != 0) {
        outcome = ENTRY_DIGEST_MISMATCH;
      } else {
        outcome = PlaceEntry(entry, bytes, targetFolder, sink);
      }
    }
    if (outcome != ENTRY_WRITTEN) ++failureCount;
    if (sink->entryDone != nullptr) sink->entryDone(sink->user, i, outcome);
  }
  threads->joinHelper(helper);
  return ExtractionResult(failureCount, directory->entries[PACKAGE_ENTRY_COUNT - 1].dataSize);
}

int32_t WalkFolderPath(const char* path, int32_t (*makeFolder)(void* user, const char* folder),
                       void* user) {
  char work[EXTRACT_PATH_SIZE];
  if (path == nullptr || !TextCopy(work, sizeof work, path)) return 0;
  size_t length = strlen(work);
  if (length < 5) return 0;
  // The root: up to the first backslash at index 2 or later ("C:\", "\\server\"), and for a
  // network path on to the next one, so that the share belongs to it too.
  size_t root = 2;
  while (root < length && work[root] != '\\') ++root;
  if (work[0] == '\\' && work[1] == '\\' && root < length) {
    ++root;
    while (root < length && work[root] != '\\') ++root;
  }
  if (root + 1 >= length) return 1;
  for (size_t i = root + 1; i < length; ++i) {
    if (work[i] != '\\') continue;
    work[i] = '\0';
    int32_t made = makeFolder(user, work);
    work[i] = '\\';
    if (!made) return 0;
  }
  if (work[length - 1] == '\\') return 1;
  return makeFolder(user, work);
}
