// One entry's bytes unscrambled and checked on one lane. The keystream and the plain digest are
// each a serial chain of about the cost of an MD5 pass; run side by side over 64-byte blocks -
// the keystream on block j + 1 while the digest takes block j, one step of each in turn - the
// processor overlaps the two.
#include "package/unscramble.h"

#include "package/keystream.h"
#include "package/md5.h"
#include "package/md5_steps.h"

// For j in [0, count): the MD5 of the block at md5Bytes + 64 j and the keystream on the block at
// keyBytes + 64 j, one step of each in turn. The two blocks of one step never coincide. The
// digest holds whole blocks only when called.
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
