// Directory copy, the extraction loop over an image in memory (on one thread, or on two), and the
// folder-path walk.
#include "package/image.h"

#include <string.h>

#include "base/text.h"
#include "package/entryname.h"
#include "package/keystream.h"
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
// from the chain of seeds, which needs only the stored digests. So the helper first digests the
// stored bytes of all entries, two entries at a time side by side (about 0.65 of one MD5 pass for
// all), publishing how far each entry is digested and each entry's seed and mix digest as soon
// as the digests before it are known. Meanwhile the calling thread follows, never past the
// digested bytes: keystream and plain digest side by side, entry by entry, placing each entry
// (its folder and file) before it goes on. The last entries, about a quarter of the bytes, are
// unscrambled and digested by the helper once its stored digests are done, which leaves both
// threads about the same work (keystream and plain digest side by side cost some 1.25 passes).
enum { HAND_OVER_PART = 65536 };  // bytes digested or unscrambled between two hand-overs

struct TwoThreadJob {
  uint8_t* image;
  const PackageDirectory* directory;
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

// The stored digests, two entries at a time; seeds and mix digests published in order.
static void DigestAllStoredBytes(TwoThreadJob* job) {
  const PackageEntry* entries = job->directory->entries;
  DigestLane lanes[2] = {{-1, 0, {}}, {-1, 0, {}}};
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
    for (DigestLane& lane : lanes) {
      while (lane.entry < 0 && next < PACKAGE_ENTRY_COUNT) {
        if (job->inImage[next]) {
          lane.entry = next;
          lane.done = 0;
          Md5Init(&lane.md5);
        }
        ++next;
      }
    }
    DigestLane* a = &lanes[0];
    DigestLane* b = &lanes[1];
    if (a->entry < 0 && b->entry < 0) return;
    uint32_t restA = a->entry < 0 ? 0 : entries[a->entry].dataSize - a->done;
    uint32_t restB = b->entry < 0 ? 0 : entries[b->entry].dataSize - b->done;
    if (a->entry >= 0 && b->entry >= 0 && restA >= 64 && restB >= 64) {
      uint32_t blocks = (restA < restB ? restA : restB) / 64;
      if (blocks > HAND_OVER_PART / 64) blocks = HAND_OVER_PART / 64;
      DigestTwoRanges(&a->md5, job->image + entries[a->entry].dataOffset + a->done, &b->md5,
                      job->image + entries[b->entry].dataOffset + b->done, blocks);
      a->done += 64 * blocks;
      b->done += 64 * blocks;
    } else {
      // One lane alone: the idle one's partner, or the one with less than a block left.
      DigestLane* lane = a->entry >= 0 && (b->entry < 0 || restA < 64) ? a : b;
      uint32_t rest = lane == a ? restA : restB;
      if (rest > HAND_OVER_PART) rest = HAND_OVER_PART;
      Md5Update(&lane->md5, job->image + entries[lane->entry].dataOffset + lane->done, rest);
      lane->done += rest;
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

void RunPackageHelper(void* jobPointer) {
  TwoThreadJob* job = (TwoThreadJob*)jobPointer;
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

int32_t ExtractPackageImageOnTwoThreads(uint8_t* image, uint32_t size, PackageDirectory* directory,
                                        const char* targetFolder, const PackageSink* sink,
                                        const PackageThreads* threads) {
  if (threads == nullptr) return ExtractPackageImage(image, size, directory, targetFolder, sink);
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
  // The helper's share: the last entries, up to the one whose middle passes a quarter of the
  // bytes (0.65 + 1.25 / 4 = 1.25 * 3 / 4: about 0.95 of one MD5 pass each). A larger share, for
  // the files the calling thread writes, measured no faster in the installer under Wine.
  uint64_t taken = 0;
  for (int32_t i = PACKAGE_ENTRY_COUNT - 1; i >= 0; --i) {
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
