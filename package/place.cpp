// Placing checked entries as folders and files, in entry order, and counting their outcomes.
#include "package/place.h"

#include <string.h>

#include "base/path.h"
#include "base/text.h"
#include "package/entryname.h"

void StartPlacing(Placing* placing, const uint8_t* image, const PackageDirectory* directory,
                  const char* targetFolder, const PackageSink* sink) {
  placing->image = image;
  placing->directory = directory;
  placing->targetFolder = targetFolder != nullptr ? targetFolder : "";
  placing->sink = sink;
  placing->next = 0;
  placing->failureCount = 0;
}

// Everything after the digests: the name check, the path, the folder and the file.
static int32_t PlaceFile(const Placing* placing, int32_t index, const PackageEntry* entry) {
  char entryPath[EXTRACT_PATH_SIZE];
  char folder[EXTRACT_PATH_SIZE];
  // The name comes from the package: it is checked before it reaches any path.
  if (!IsSafeEntryName(entry->entryName, PACKAGE_NAME_SIZE)) return ENTRY_NAME_REFUSED;
  const PackageSink* sink = placing->sink;
  const uint8_t* bytes = placing->image != nullptr ? placing->image + entry->dataOffset : nullptr;
  if (sink->placeEntry != nullptr) {
    return sink->placeEntry(sink->user, index, entry->entryName, entry->dataSize, bytes)
               ? ENTRY_WRITTEN : ENTRY_WRITE_FAILED;
  }
  if (!JoinPath(entryPath, sizeof entryPath, placing->targetFolder, entry->entryName)) {
    return ENTRY_PATH_TOO_LONG;
  }
  TextCopy(folder, sizeof folder, entryPath);
  char* cut = LastPathSeparator(folder);  // JoinPath put at least one backslash in
  *cut = '\0';
  if (strcmp(folder, placing->targetFolder) != 0) sink->createFolderPath(sink->user, folder);
  if (!sink->writeWholeFile(sink->user, entryPath, entry->dataSize, bytes)) {
    return ENTRY_WRITE_FAILED;
  }
  return ENTRY_WRITTEN;
}

void PlaceNextEntry(Placing* placing, const uint8_t plainDigest[16]) {
  const int32_t index = placing->next++;
  const PackageEntry* entry = &placing->directory->entries[index];
  int32_t outcome = ENTRY_OUT_OF_BOUNDS;
  if (plainDigest != nullptr) {
    outcome = memcmp(plainDigest, entry->plainDigest, 16) != 0 ? (int32_t)ENTRY_DIGEST_MISMATCH
                                                               : PlaceFile(placing, index, entry);
  }
  if (outcome != ENTRY_WRITTEN) ++placing->failureCount;
  const PackageSink* sink = placing->sink;
  if (sink->entryDone != nullptr) sink->entryDone(sink->user, index, outcome);
}

int32_t PlacingResult(const Placing* placing) {
  if (placing->failureCount != 0) return -100 - placing->failureCount;
  return placing->directory->entries[PACKAGE_ENTRY_COUNT - 1].dataSize != 0 ? 0 : -1;
}

int32_t WalkFolderPath(const char* path, int32_t (*makeFolder)(void* user, const char* folder),
                       void* user) {
  char work[EXTRACT_PATH_SIZE];
  if (path == nullptr || !TextCopy(work, sizeof work, path)) return 0;
  size_t length = strlen(work);
  if (length < 5) return 0;
  // The root (a drive, or the server and share of a network path) is never made; a path
  // without one is refused. The walk steps by character: the second byte of a double-byte
  // character may be a backslash.
  const size_t root = PathRootLength(work, 0);
  if (root == 0) return 0;
  if (work[root] == '\0') return 1;
  for (char* p = work + root; *p != '\0'; p = const_cast<char*>(NextPathChar(p))) {
    if (*p != '\\') continue;
    *p = '\0';
    int32_t made = makeFolder(user, work);
    *p = '\\';
    if (!made) return 0;
  }
  if (EndsWithBackslash(work)) return 1;
  return makeFolder(user, work);
}
