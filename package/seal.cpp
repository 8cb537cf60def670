// The directory of a package laid out for its entries' names and sizes.
#include "package/seal.h"

#include <string.h>

uint64_t LayoutPackage(PackageDirectory* directory, const char* const names[PACKAGE_ENTRY_COUNT],
                       const uint32_t sizes[PACKAGE_ENTRY_COUNT]) {
  uint64_t offset = PACKAGE_DIRECTORY_SIZE;
  memset(directory, 0, sizeof *directory);
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    PackageEntry* entry = &directory->entries[i];
    size_t length = strlen(names[i]);
    if (length >= PACKAGE_NAME_SIZE) return 0;
    memcpy(entry->entryName, names[i], length);
    entry->dataOffset = (uint32_t)offset;
    entry->dataSize = sizes[i];
    offset += sizes[i];
    if (offset > 0xFFFFFFFFu) return 0;
  }
  return offset;
}
