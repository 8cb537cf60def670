// The package keystream and the chaining of entry seeds.
#include "package/keystream.h"

#include <string.h>

void KeystreamStart(KeystreamState* ks, uint32_t length, uint32_t entrySeed,
                    const uint8_t mixDigest[16]) {
  ks->t = entrySeed;
  ks->left = length;
  memcpy(ks->mix, mixDigest, 16);
}

void KeystreamApplyPart(KeystreamState* ks, uint8_t* bytes, uint32_t count) {
  uint32_t t = ks->t, n = ks->left;
  for (uint32_t i = 0; i < count; ++i, --n) bytes[i] ^= KeystreamByte(&t, n, ks->mix);
  ks->t = t;
  ks->left = n;
}

uint32_t NextEntrySeed(uint32_t entrySeed, const uint8_t storedDigest[16]) {
  return ((entrySeed * entrySeed) << 8) | storedDigest[0];
}

void StartEntryChain(EntryChain* chain) {
  chain->entrySeed = PACKAGE_SEED;
  memset(chain->mixDigest, 0, 16);
}

void ChainEntry(EntryChain* chain, const uint8_t storedDigest[16]) {
  chain->entrySeed = NextEntrySeed(chain->entrySeed, storedDigest);
  memcpy(chain->mixDigest, storedDigest, 16);
}
