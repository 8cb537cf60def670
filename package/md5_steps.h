// The MD5 round functions and step macro (RFC 1321, section 3.4), shared by the plain digest
// routine and the entry unpacker, which runs two digests side by side.
#pragma once
#include <stdint.h>
#include <string.h>

#define MD5_F(x, y, z) (((x) & (y)) | (~(x) & (z)))
#define MD5_G(x, y, z) (((x) & (z)) | ((y) & ~(z)))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_ROTL(x, s) (((x) << (s)) | ((x) >> (32 - (s))))
#define MD5_STEP(f, a, b, c, d, x, t, s) \
  (a) += f((b), (c), (d)) + (x) + (uint32_t)(t); \
  (a) = MD5_ROTL((a), (s)) + (b)

// The 64 steps: round function, word index, sine constant, rotation, in RFC order.
// M(f, k, t, s) is expanded once per step; the caller defines M.
#define MD5_ALL_STEPS(M) \
  M(MD5_F, 0, 0xd76aa478, 7) M(MD5_F, 1, 0xe8c7b756, 12) M(MD5_F, 2, 0x242070db, 17) \
  M(MD5_F, 3, 0xc1bdceee, 22) M(MD5_F, 4, 0xf57c0faf, 7) M(MD5_F, 5, 0x4787c62a, 12) \
  M(MD5_F, 6, 0xa8304613, 17) M(MD5_F, 7, 0xfd469501, 22) M(MD5_F, 8, 0x698098d8, 7) \
  M(MD5_F, 9, 0x8b44f7af, 12) M(MD5_F, 10, 0xffff5bb1, 17) M(MD5_F, 11, 0x895cd7be, 22) \
  M(MD5_F, 12, 0x6b901122, 7) M(MD5_F, 13, 0xfd987193, 12) M(MD5_F, 14, 0xa679438e, 17) \
  M(MD5_F, 15, 0x49b40821, 22) \
  M(MD5_G, 1, 0xf61e2562, 5) M(MD5_G, 6, 0xc040b340, 9) M(MD5_G, 11, 0x265e5a51, 14) \
  M(MD5_G, 0, 0xe9b6c7aa, 20) M(MD5_G, 5, 0xd62f105d, 5) M(MD5_G, 10, 0x02441453, 9) \
  M(MD5_G, 15, 0xd8a1e681, 14) M(MD5_G, 4, 0xe7d3fbc8, 20) M(MD5_G, 9, 0x21e1cde6, 5) \
  M(MD5_G, 14, 0xc33707d6, 9) M(MD5_G, 3, 0xf4d50d87, 14) M(MD5_G, 8, 0x455a14ed, 20) \
  M(MD5_G, 13, 0xa9e3e905, 5) M(MD5_G, 2, 0xfcefa3f8, 9) M(MD5_G, 7, 0x676f02d9, 14) \
  M(MD5_G, 12, 0x8d2a4c8a, 20) \
  M(MD5_H, 5, 0xfffa3942, 4) M(MD5_H, 8, 0x8771f681, 11) M(MD5_H, 11, 0x6d9d6122, 16) \
  M(MD5_H, 14, 0xfde5380c, 23) M(MD5_H, 1, 0xa4beea44, 4) M(MD5_H, 4, 0x4bdecfa9, 11) \
  M(MD5_H, 7, 0xf6bb4b60, 16) M(MD5_H, 10, 0xbebfbc70, 23) M(MD5_H, 13, 0x289b7ec6, 4) \
  M(MD5_H, 0, 0xeaa127fa, 11) M(MD5_H, 3, 0xd4ef3085, 16) M(MD5_H, 6, 0x04881d05, 23) \
  M(MD5_H, 9, 0xd9d4d039, 4) M(MD5_H, 12, 0xe6db99e5, 11) M(MD5_H, 15, 0x1fa27cf8, 16) \
  M(MD5_H, 2, 0xc4ac5665, 23) \
  M(MD5_I, 0, 0xf4292244, 6) M(MD5_I, 7, 0x432aff97, 10) M(MD5_I, 14, 0xab9423a7, 15) \
  M(MD5_I, 5, 0xfc93a039, 21) M(MD5_I, 12, 0x655b59c3, 6) M(MD5_I, 3, 0x8f0ccc92, 10) \
  M(MD5_I, 10, 0xffeff47d, 15) M(MD5_I, 1, 0x85845dd1, 21) M(MD5_I, 8, 0x6fa87e4f, 6) \
  M(MD5_I, 15, 0xfe2ce6e0, 10) M(MD5_I, 6, 0xa3014314, 15) M(MD5_I, 13, 0x4e0811a1, 21) \
  M(MD5_I, 4, 0xf7537e82, 6) M(MD5_I, 11, 0xbd3af235, 10) M(MD5_I, 2, 0x2ad7d2bb, 15) \
  M(MD5_I, 9, 0xeb86d391, 21)

// The sine constants in step order, and each round's message-word order, for rounds written as
// loops of four steps.
#define MD5_SINE(f, k, t, s) t,  // one shared copy (inline variable)
inline constexpr uint32_t md5Sine[64] = {MD5_ALL_STEPS(MD5_SINE)};
#define MD5_WORD_F(i) (i)
#define MD5_WORD_G(i) ((5 * (i) + 1) & 15)
#define MD5_WORD_H(i) ((3 * (i) + 5) & 15)
#define MD5_WORD_I(i) ((7 * (i)) & 15)

// Unroll the round loops where registers are plenty and size is not the aim: x86-64 builds
// optimised for speed. The i686 installer keeps them as loops.
#if defined(__OPTIMIZE__) && !defined(__OPTIMIZE_SIZE__) && !defined(__i386__)
#define MD5_UNROLL _Pragma("GCC unroll 4")
#else
#define MD5_UNROLL
#endif

// Message words are little-endian; both targets are, so a block is read as it lies.
static inline void Md5LoadBlock(uint32_t x[16], const uint8_t* block) { memcpy(x, block, 64); }
