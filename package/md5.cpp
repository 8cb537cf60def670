// MD5 (RFC 1321): the block transform, and the incremental digest.
#include "package/md5.h"

#include <string.h>

#include "package/md5_steps.h"

#define DIGEST_STEP(f, word, i, s, a, b, c, d) MD5_STEP(f, a, b, c, d, x[word(i)], md5Sine[i], s);
#define DIGEST_ROUND(F, first, s0, s1, s2, s3) MD5_ROUND(DIGEST_STEP, F, first, s0, s1, s2, s3)

static void Md5Transform(uint32_t state[4], const uint8_t* block) {
  uint32_t x[16];
  Md5LoadBlock(x, block);
  MD5_BLOCK(state, DIGEST_ROUND)
}

void Md5Init(Md5State* md5) {
  memcpy(md5->state, md5Initial, 16);
  md5->length = 0;
}

void Md5Update(Md5State* md5, const uint8_t* bytes, uint32_t length) {
  uint32_t have = (uint32_t)(md5->length & 63);
  md5->length += length;
  if (have != 0) {
    uint32_t take = 64 - have;
    if (take > length) take = length;
    memcpy(md5->buffer + have, bytes, take);
    bytes += take;
    length -= take;
    if (have + take < 64) return;
    Md5Transform(md5->state, md5->buffer);
  }
  for (; length >= 64; bytes += 64, length -= 64) Md5Transform(md5->state, bytes);
  if (length != 0) memcpy(md5->buffer, bytes, length);
}

void Md5Final(Md5State* md5, uint8_t digest[16]) {
  uint64_t bits = md5->length * 8;
  uint8_t pad[72] = {0x80};
  uint32_t have = (uint32_t)(md5->length & 63);
  uint32_t padLength = (have < 56 ? 56 : 120) - have;
  for (int i = 0; i < 8; ++i) pad[padLength + i] = (uint8_t)(bits >> (8 * i));
  Md5Update(md5, pad, padLength + 8);
  memcpy(digest, md5->state, 16);
}
