// One entry's bytes unscrambled and checked on one lane. The keystream and the plain digest are
// each a serial chain of about the cost of an MD5 pass: run side by side, the processor overlaps
// them.
#include "package/unscramble.h"

#include "package/keystream.h"
#include "package/md5.h"
#include "package/md5_steps.h"

// For j in [0, count): the MD5 of the block at md5Bytes + 64 j and the keystream on the block at
// keyBytes + 64 j (the next one), one step of each in turn. The digest holds whole blocks only
// when called.
#define PAIR_STEP(f, word, i, s, a, b, c, d) \
  MD5_STEP(f, a, b, c, d, x[word(i)], md5Sine[i], s); \
  *key++ ^= KeystreamByte(&kt, kn--, ks->mix);
#define PAIR_ROUND(F, first, s0, s1, s2, s3) MD5_ROUND(PAIR_STEP, F, first, s0, s1, s2, s3)

static void DigestBesideKeystream(Md5State* md5, const uint8_t* md5Bytes, KeystreamState* ks,
                                  uint8_t* keyBytes, uint32_t count) {
  uint32_t kt = ks->t, kn = ks->left;
  for (uint32_t j = 0; j < count; ++j) {
    uint32_t x[16];
    Md5LoadBlock(x, md5Bytes + 64 * j);
    uint8_t* key = keyBytes + 64 * j;
    MD5_BLOCK(md5->state, PAIR_ROUND)
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
