// The MD5 round functions, steps and rounds (RFC 1321, section 3.4), shared by the digest, the
// one-lane unscrambling that runs the keystream beside it, and the lanes.
#pragma once
#include <stdint.h>
#include <string.h>

#define MD5_F(x, y, z) (((x) & (y)) | (~(x) & (z)))
#define MD5_G(x, y, z) (((x) & (z)) | ((y) & ~(z)))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, s) \
  (a) += f((b), (c), (d)) + (x) + (uint32_t)(t); \
  (a) = (((a) << (s)) | ((a) >> (32 - (s)))) + (b)

inline constexpr uint32_t md5Initial[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// The sine constants in step order (one shared copy), and each round's message-word order.
inline constexpr uint32_t md5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
#define MD5_WORD_F(i) (i)
#define MD5_WORD_G(i) ((5 * (i) + 1) & 15)
#define MD5_WORD_H(i) ((3 * (i) + 5) & 15)
#define MD5_WORD_I(i) ((7 * (i)) & 15)

// Steps i to i + 3 of a round, the words a, b, c, d turning; STEP(f, word, i, s, a, b, c, d) is
// one step as the caller runs it.
#define MD5_FOUR_STEPS(STEP, f, word, i, s0, s1, s2, s3) \
  STEP(f, word, i, s0, a, b, c, d) \
  STEP(f, word, (i) + 1, s1, d, a, b, c) \
  STEP(f, word, (i) + 2, s2, c, d, a, b) \
  STEP(f, word, (i) + 3, s3, b, c, d, a)

// The four rounds: ROUND(letter of the round function, first step, the four rotations).
#define MD5_ROUNDS(ROUND) \
  ROUND(F, 0, 7, 12, 17, 22) \
  ROUND(G, 16, 5, 9, 14, 20) \
  ROUND(H, 32, 4, 11, 16, 23) \
  ROUND(I, 48, 6, 10, 15, 21)

// Unroll the round loops where registers are plenty and size is not the aim: x86-64 builds
// optimised for speed. The i686 installer keeps them as loops.
#if defined(__OPTIMIZE__) && !defined(__OPTIMIZE_SIZE__) && !defined(__i386__)
#define MD5_UNROLL _Pragma("GCC unroll 4")
#else
#define MD5_UNROLL
#endif

// One round as a loop of four steps at a time, and one block: the rounds over the words of
// state, added back into them.
#define MD5_ROUND(STEP, F, first, s0, s1, s2, s3) \
  MD5_UNROLL \
  for (int i = first; i < first + 16; i += 4) { \
    MD5_FOUR_STEPS(STEP, MD5_##F, MD5_WORD_##F, i, s0, s1, s2, s3) \
  }
#define MD5_BLOCK(state, ROUND) \
  { \
    uint32_t a = (state)[0], b = (state)[1], c = (state)[2], d = (state)[3]; \
    MD5_ROUNDS(ROUND) \
    const uint32_t turned[4] = {a, b, c, d}; \
    for (int k = 0; k < 4; ++k) (state)[k] += turned[k]; \
  }

// Message words are little-endian; both targets are, so a block is read as it lies.
static inline void Md5LoadBlock(uint32_t x[16], const uint8_t* block) { memcpy(x, block, 64); }
