// Sealing: directory layout and the in-place scrambling of every entry, chained by the digest
// of each entry's stored bytes.
#include "package/seal.h"

#include <string.h>

#include "package/image.h"
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

// The plain digests do not depend on the chain: all of them first, four entries at a time. Then
// entry by entry, scrambling and unscrambling being the same keystream, the keystream beside the
// digest of its result gives the stored bytes and their digest, which chains the next entry.
void SealPackage(PackageDirectory* directory, uint8_t* image) {
  uint8_t plainDigests[PACKAGE_ENTRY_COUNT][16];
  DigestEntryBytes(image, directory, plainDigests);
  EntryChain chain;
  StartEntryChain(&chain);
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    PackageEntry* entry = &directory->entries[i];
    memcpy(entry->plainDigest, plainDigests[i], 16);
    KeystreamState ks;
    Md5State stored;
    uint8_t storedDigest[16];
    KeystreamStart(&ks, entry->dataSize, chain.entrySeed, chain.mixDigest);
    Md5Init(&stored);
    UnscrambleThenDigest(&ks, &stored, image + entry->dataOffset, entry->dataSize);
    Md5Final(&stored, storedDigest);
    ChainEntry(&chain, storedDigest);
  }
  memcpy(image, directory, PACKAGE_DIRECTORY_SIZE);
}
