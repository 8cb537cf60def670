// Sealing: directory layout and the in-place scrambling of every entry, chained by the digest
// of each entry's stored bytes.
#include "package/seal.h"

#include <string.h>

#include "package/keystream.h"
#include "package/unscramble.h"

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

// Unscrambling and scrambling are the same keystream, so the extraction's one-pass pipeline
// (digest of the bytes as given, keystream, digest of the result, interleaved over 64-byte
// blocks) gives the plain digest, the scrambled bytes and the stored digest at once, in about
// half the time of three separate passes.
void SealPackage(PackageDirectory* directory, uint8_t* image) {
  EntryChain chain;
  StartEntryChain(&chain);
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    PackageEntry* entry = &directory->entries[i];
    uint8_t storedDigest[16];
    UnscrambleEntry(image + entry->dataOffset, entry->dataSize, &chain, entry->plainDigest,
                    storedDigest);
    ChainEntry(&chain, storedDigest);
  }
  memcpy(image, directory, PACKAGE_DIRECTORY_SIZE);
}
