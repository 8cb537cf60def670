// The package directory read from an image in memory.
#include "package/directory.h"

#include <string.h>

int32_t CopyPackageDirectory(const uint8_t* image, uint32_t size, PackageDirectory* directory) {
  if (image == nullptr || size <= PACKAGE_DIRECTORY_SIZE) return -1;
  memcpy(directory, image, PACKAGE_DIRECTORY_SIZE);
  return 0;
}

// A 64-bit sum: an offset near 2^32 must not wrap back into the image.
int32_t EntryInImage(const PackageEntry* entry, uint32_t size) {
  return (uint64_t)entry->dataOffset + entry->dataSize <= size;
}

// The ends of entries inside the image lie inside it, so their 32-bit sums do not wrap.
int32_t EntriesShareBytes(const PackageDirectory* directory, uint32_t size) {
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry* a = &directory->entries[i];
    if (a->dataSize == 0 || !EntryInImage(a, size)) continue;
    for (int32_t j = i + 1; j < PACKAGE_ENTRY_COUNT; ++j) {
      const PackageEntry* b = &directory->entries[j];
      if (b->dataSize != 0 && EntryInImage(b, size) &&
          a->dataOffset < b->dataOffset + b->dataSize &&
          b->dataOffset < a->dataOffset + a->dataSize) {
        return 1;
      }
    }
  }
  return 0;
}
