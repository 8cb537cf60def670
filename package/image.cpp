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

// Two threads. The helper walks the entries in order: it digests each part of an entry's stored
// bytes (and, for the entries given to it, unscrambles the part right after), keeps the chain of
// seeds, and hands each part over by raising progress. The calling thread follows part by part,
// never past what was handed over: it unscrambles the other entries' parts, digests the
// unscrambled bytes, and places each entry while the helper is already on the next ones. Entries
// that share no bytes are independent apart from the chain, so every byte goes through the same
// steps in the same order as on one thread.
// Bytes per hand-over: an entry below 2^32 bytes has at most 2^16 parts, and a mark for its last
// part equals the mark of the next entry's start, so marks only ever grow.
enum { HAND_OVER_PART = 65536 };

struct TwoThreadJob {
  uint8_t* image;
  const PackageDirectory* directory;
  uint8_t inImage[PACKAGE_ENTRY_COUNT];
  uint8_t keyOnHelper[PACKAGE_ENTRY_COUNT];
  // Written by the helper before it hands over the entry's first part.
  uint32_t entrySeed[PACKAGE_ENTRY_COUNT];
  uint8_t mixDigest[PACKAGE_ENTRY_COUNT][16];
  // (entry << 16) + parts of that entry handed over; written with release ordering.
  uint32_t progress;
};

static uint32_t ProgressMark(int32_t entry, uint32_t parts) {
  return ((uint32_t)entry << 16) + parts;
}

void RunPackageHelper(void* jobPointer) {
  TwoThreadJob* job = (TwoThreadJob*)jobPointer;
  uint32_t entrySeed = PACKAGE_SEED;
  uint8_t mixDigest[16] = {0};
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry* entry = &job->directory->entries[i];
    if (job->inImage[i]) {
      job->entrySeed[i] = entrySeed;
      memcpy(job->mixDigest[i], mixDigest, 16);
      uint8_t* bytes = job->image + entry->dataOffset;
      Md5State stored;
      KeystreamState ks;
      Md5Init(&stored);
      KeystreamStart(&ks, entry->dataSize, entrySeed, mixDigest);
      uint32_t parts = 0;
      for (uint32_t done = 0; done < entry->dataSize; done += HAND_OVER_PART) {
        uint32_t length = entry->dataSize - done;
        if (length > HAND_OVER_PART) length = HAND_OVER_PART;
        DigestThenUnscramble(&stored, job->keyOnHelper[i] ? &ks : nullptr, bytes + done, length);
        __atomic_store_n(&job->progress, ProgressMark(i, ++parts), __ATOMIC_RELEASE);
      }
      uint8_t storedDigest[16];
      Md5Final(&stored, storedDigest);
      memcpy(mixDigest, storedDigest, 16);
      entrySeed = NextEntrySeed(entrySeed, storedDigest);
    }
    __atomic_store_n(&job->progress, ProgressMark(i + 1, 0), __ATOMIC_RELEASE);
  }
}

static void WaitForHelper(const TwoThreadJob* job, uint32_t mark, const PackageThreads* threads) {
  for (uint32_t spins = 0; __atomic_load_n(&job->progress, __ATOMIC_ACQUIRE) < mark; ++spins) {
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
  job.image = image;
  job.directory = directory;
  job.progress = 0;
  // The keystream costs about as much as a digest: each thread takes one digest of every entry
  // and the keystream of about half the bytes, alternating so that neither waits long.
  uint64_t helperKeyBytes = 0, ownKeyBytes = 0;
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry* entry = &directory->entries[i];
    job.inImage[i] = (uint8_t)InImage(entry, size);
    job.keyOnHelper[i] = helperKeyBytes <= ownKeyBytes;
    if (!job.inImage[i]) continue;
    if (job.keyOnHelper[i]) {
      helperKeyBytes += entry->dataSize;
    } else {
      ownKeyBytes += entry->dataSize;
    }
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
      Md5State plain;
      KeystreamState ks;
      Md5Init(&plain);
      uint32_t parts = 0;
      for (uint32_t done = 0; done < entry->dataSize; done += HAND_OVER_PART) {
        uint32_t length = entry->dataSize - done;
        if (length > HAND_OVER_PART) length = HAND_OVER_PART;
        WaitForHelper(&job, ProgressMark(i, ++parts), threads);
        // The seed and mix digest were written before the first part was handed over.
        if (parts == 1) KeystreamStart(&ks, entry->dataSize, job.entrySeed[i], job.mixDigest[i]);
        UnscrambleThenDigest(job.keyOnHelper[i] ? nullptr : &ks, &plain, bytes + done, length);
      }
      uint8_t plainDigest[16];
      Md5Final(&plain, plainDigest);
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
