// The three per-entry passes (stored digest, keystream, plain digest) are each a serial chain of
// about the same cost. Run one after the other they cost three MD5 passes; run as a pipeline over
// 64-byte blocks - the stored digest on block i+1, the keystream on block i and the plain digest
// on block i-1, one step of each in turn - the processor overlaps the three chains. Once the
// stored digest is known (the lanes' second phase): the keystream beside the plain digest.
#include "package/unscramble.h"

#include "package/keystream.h"
#include "package/md5.h"
#include "package/md5_steps.h"

// One MD5 step on each digest and one keystream byte; each round is a loop of four steps. On
// x86-64 the loops are unrolled (measured about 1.3x one MD5 pass instead of 1.7x). On i686
// they stay loops: unrolled they would add 6 KB to the installer for a 10 MB package that then
// unpacks some 15 ms sooner (the installer's build compiles this file with -O2 either way).
#define UNPACK_STEP(f, word, i, s, a1, b1, c1, d1, a2, b2, c2, d2) \
  MD5_STEP(f, a1, b1, c1, d1, xs[word(i)], md5Sine[i], s); \
  MD5_STEP(f, a2, b2, c2, d2, xp[word(i)], md5Sine[i], s); \
  *key++ ^= KeystreamByte(&kt, kn--, ks->mix);

#define UNPACK_ROUND(f, word, first, s0, s1, s2, s3) \
  MD5_UNROLL \
  for (int i = first; i < first + 16; i += 4) { \
    UNPACK_STEP(f, word, i, s0, a1, b1, c1, d1, a2, b2, c2, d2) \
    UNPACK_STEP(f, word, i + 1, s1, d1, a1, b1, c1, d2, a2, b2, c2) \
    UNPACK_STEP(f, word, i + 2, s2, c1, d1, a1, b1, c2, d2, a2, b2) \
    UNPACK_STEP(f, word, i + 3, s3, b1, c1, d1, a1, b2, c2, d2, a2) \
  }

// For each block i in [1, last): stored digest of block i+1, keystream on block i, plain digest
// of block i-1. Both digests hold whole blocks only when called.
static void UnpackBlocks(Md5State* stored, Md5State* plain, KeystreamState* ks, uint8_t* bytes,
                         uint32_t last) {
  uint32_t kt = ks->t, kn = ks->left;
  for (uint32_t block = 1; block < last; ++block) {
    uint32_t xs[16], xp[16];
    Md5LoadBlock(xs, bytes + 64 * (block + 1));
    Md5LoadBlock(xp, bytes + 64 * (block - 1));
    uint8_t* key = bytes + 64 * block;
    uint32_t a1 = stored->state[0], b1 = stored->state[1], c1 = stored->state[2],
             d1 = stored->state[3];
    uint32_t a2 = plain->state[0], b2 = plain->state[1], c2 = plain->state[2],
             d2 = plain->state[3];
    UNPACK_ROUND(MD5_F, MD5_WORD_F, 0, 7, 12, 17, 22)
    UNPACK_ROUND(MD5_G, MD5_WORD_G, 16, 5, 9, 14, 20)
    UNPACK_ROUND(MD5_H, MD5_WORD_H, 32, 4, 11, 16, 23)
    UNPACK_ROUND(MD5_I, MD5_WORD_I, 48, 6, 10, 15, 21)
    stored->state[0] += a1;
    stored->state[1] += b1;
    stored->state[2] += c1;
    stored->state[3] += d1;
    plain->state[0] += a2;
    plain->state[1] += b2;
    plain->state[2] += c2;
    plain->state[3] += d2;
    stored->length += 64;
    plain->length += 64;
  }
  ks->t = kt;
  ks->left = kn;
}

void UnscrambleEntry(uint8_t* bytes, uint32_t length, const EntryChain* chain,
                     uint8_t storedDigest[16], uint8_t plainDigest[16]) {
  Md5State stored, plain;
  KeystreamState ks;
  Md5Init(&stored);
  Md5Init(&plain);
  KeystreamStart(&ks, length, chain->entrySeed, chain->mixDigest);
  uint32_t blocks = length / 64;
  // Fill the pipeline: stored digest two blocks ahead, keystream one block ahead.
  if (blocks >= 1) Md5Update(&stored, bytes, 64);
  if (blocks >= 2) Md5Update(&stored, bytes + 64, 64);
  if (blocks >= 1) KeystreamApplyPart(&ks, bytes, 64);
  if (blocks >= 3) UnpackBlocks(&stored, &plain, &ks, bytes, blocks - 1);
  // Drain it, then the partial block at the end.
  if (blocks >= 2) {
    KeystreamApplyPart(&ks, bytes + 64 * (blocks - 1), 64);
    Md5Update(&plain, bytes + 64 * (blocks - 2), 64);
  }
  if (blocks >= 1) Md5Update(&plain, bytes + 64 * (blocks - 1), 64);
  uint8_t* tail = bytes + 64 * blocks;
  uint32_t rest = length - 64 * blocks;
  Md5Update(&stored, tail, rest);
  KeystreamApplyPart(&ks, tail, rest);
  Md5Update(&plain, tail, rest);
  Md5Final(&stored, storedDigest);
  Md5Final(&plain, plainDigest);
}

// One digest beside the keystream, as in UnpackBlocks: for j in [0, count), the MD5 of the block
// at md5Bytes + 64 j and the keystream on the block at keyBytes + 64 j, one step of each in turn.
// The two blocks of one step never coincide. The digest holds whole blocks only when called.
#define PAIR_STEP(f, word, i, s, a, b, c, d) \
  MD5_STEP(f, a, b, c, d, x[word(i)], md5Sine[i], s); \
  *key++ ^= KeystreamByte(&kt, kn--, ks->mix);

#define PAIR_ROUND(f, word, first, s0, s1, s2, s3) \
  MD5_UNROLL \
  for (int i = first; i < first + 16; i += 4) { \
    PAIR_STEP(f, word, i, s0, a, b, c, d) \
    PAIR_STEP(f, word, i + 1, s1, d, a, b, c) \
    PAIR_STEP(f, word, i + 2, s2, c, d, a, b) \
    PAIR_STEP(f, word, i + 3, s3, b, c, d, a) \
  }

static void DigestBesideKeystream(Md5State* md5, const uint8_t* md5Bytes, KeystreamState* ks,
                                  uint8_t* keyBytes, uint32_t count) {
  uint32_t kt = ks->t, kn = ks->left;
  for (uint32_t j = 0; j < count; ++j) {
    uint32_t x[16];
    Md5LoadBlock(x, md5Bytes + 64 * j);
    uint8_t* key = keyBytes + 64 * j;
    uint32_t a = md5->state[0], b = md5->state[1], c = md5->state[2], d = md5->state[3];
    PAIR_ROUND(MD5_F, MD5_WORD_F, 0, 7, 12, 17, 22)
    PAIR_ROUND(MD5_G, MD5_WORD_G, 16, 5, 9, 14, 20)
    PAIR_ROUND(MD5_H, MD5_WORD_H, 32, 4, 11, 16, 23)
    PAIR_ROUND(MD5_I, MD5_WORD_I, 48, 6, 10, 15, 21)
    md5->state[0] += a;
    md5->state[1] += b;
    md5->state[2] += c;
    md5->state[3] += d;
    md5->length += 64;
  }
  ks->t = kt;
  ks->left = kn;
}

void UnscrambleThenDigest(KeystreamState* ks, Md5State* plain, uint8_t* bytes, uint32_t length) {
  uint32_t blocks = length / 64;
  // The keystream one block ahead of the digest.
  if (blocks >= 1) {
    KeystreamApplyPart(ks, bytes, 64);
    DigestBesideKeystream(plain, bytes, ks, bytes + 64, blocks - 1);
    Md5Update(plain, bytes + 64 * (blocks - 1), 64);
  }
  KeystreamApplyPart(ks, bytes + 64 * blocks, length - 64 * blocks);
  Md5Update(plain, bytes + 64 * blocks, length - 64 * blocks);
}
