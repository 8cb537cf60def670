// Directory copy, the extraction loop over an image in memory, and the folder-path walk.
#include "package/image.h"

#include <string.h>

#include "base/text.h"
#include "package/entryname.h"
#include "package/keystream.h"
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
    // 64-bit sum: an offset near 2^32 must not wrap back into the image.
    if ((uint64_t)entry->dataOffset + entry->dataSize <= size) {
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
  if (failureCount != 0) return -100 - failureCount;
  return lastSize != 0 ? 0 : -1;
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
