// The keystream that scrambles each package entry, and the chaining of its parameters from entry
// to entry. Applying the keystream twice with the same parameters restores the bytes.
#pragma once
#include <stdint.h>

enum : uint32_t { PACKAGE_SEED = 0x5E27B0D3u };

// The entrySeed of the entry after one with seed entrySeed and stored-bytes digest storedDigest.
uint32_t NextEntrySeed(uint32_t entrySeed, const uint8_t storedDigest[16]);

// The keystream parameters of one entry, chained from entry to entry: the first entry's are
// PACKAGE_SEED and 16 zero bytes; ChainEntry turns an entry's into the next one's, given the
// entry's stored digest. Extraction and sealing chain through it alike.
struct EntryChain {
  uint32_t entrySeed;
  uint8_t mixDigest[16];
};

void StartEntryChain(EntryChain* chain);
void ChainEntry(EntryChain* chain, const uint8_t storedDigest[16]);

// The keystream of one entry applied in consecutive parts: start it with the entry's parameters
// and full length, then feed the entry's bytes in order, in parts of any size.
struct KeystreamState {
  uint32_t t;          // the running state
  uint32_t left;       // bytes of the entry not yet combined
  uint8_t mix[16];     // mixDigest
};

void KeystreamStart(KeystreamState* ks, uint32_t length, uint32_t entrySeed,
                    const uint8_t mixDigest[16]);
// count must not exceed ks->left.
void KeystreamApplyPart(KeystreamState* ks, uint8_t* bytes, uint32_t count);

// One key byte: the step shared by every form of the keystream. n is the number of bytes left,
// this one included; *t is advanced.
static inline uint8_t KeystreamByte(uint32_t* t, uint32_t n, const uint8_t mix[16]) {
  uint32_t v = *t + n;
  uint32_t u = v * v;
  // Arithmetic shift of u read as signed: bits 24-31 repeat bit 31. GCC and Clang shift signed
  // values arithmetically (C++20 requires it); one sar keeps the serial chain short.
  *t = (uint32_t)((int32_t)u >> 8);
  return (uint8_t)(mix[n & 15] + (u >> 8) + u);
}
