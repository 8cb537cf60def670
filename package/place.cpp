// Placing checked entries in entry order through the sink, and counting their outcomes.
#include "package/place.h"

#include <string.h>

#include "package/entryname.h"

void PlaceNextEntry(Placing* placing, const uint8_t plainDigest[16]) {
  const int32_t index = placing->next++;
  const PackageEntry* entry = &placing->directory->entries[index];
  const uint8_t* bytes = nullptr;
  int32_t outcome = ENTRY_OUT_OF_BOUNDS;
  if (plainDigest != nullptr) {
    if (placing->image != nullptr) bytes = placing->image + entry->dataOffset;
    // The name comes from the package: it is checked before it reaches any path.
    outcome = memcmp(plainDigest, entry->plainDigest, 16) != 0 ? (int32_t)ENTRY_DIGEST_MISMATCH
              : !IsSafeEntryName(entry->entryName, PACKAGE_NAME_SIZE) ? (int32_t)ENTRY_NAME_REFUSED
                                                                      : ENTRY_WRITTEN;
  }
  const PackageSink* sink = placing->sink;
  placing->failureCount += sink->place(sink->user, index, entry, bytes, outcome) != ENTRY_WRITTEN;
}

int32_t PlacingResult(const Placing* placing) {
  if (placing->failureCount != 0) return -100 - placing->failureCount;
  return placing->directory->entries[PACKAGE_ENTRY_COUNT - 1].dataSize != 0 ? 0 : -1;
}
