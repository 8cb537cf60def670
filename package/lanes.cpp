// MD5 and the package keystream on four entries at once in SSE2 registers; lanes_wide.cpp
// compiles this file again with LANES_WIDTH 8 for eight in AVX2 registers. The AVX2 intrinsics
// mirror the SSE2 ones half by half, so one text serves both.
#include "package/lanes.h"

#include <immintrin.h>

#include "package/md5_steps.h"

void RunFourLanes(LaneGroup* lanes, uint32_t count, int32_t unscramble);
void RunEightLanes(LaneGroup* lanes, uint32_t count, int32_t unscramble);

#if LANES_WIDTH == 8
typedef __m256i Lanes;
#define LANES(op) _mm256_##op
#define LANES_SI(op) _mm256_##op##_si256
#define RUN_BLOCKS RunEightLanes
// A row: 16 bytes of lane r (at p) in the low half, of lane r + 4 (at q) in the high half.
#define LOAD_ROW(p, q) _mm256_loadu2_m128i((__m128i*)(void*)(q), (__m128i*)(void*)(p))
#define STORE_ROW(p, q, row) _mm256_storeu2_m128i((__m128i*)(void*)(q), (__m128i*)(void*)(p), row)
#else
#define LANES_WIDTH 4
typedef __m128i Lanes;
#define LANES(op) _mm_##op
#define LANES_SI(op) _mm_##op##_si128
#define RUN_BLOCKS RunFourLanes
#define LOAD_ROW(p, q) Load(p)
#define STORE_ROW(p, q, row) Store(p, row)

// Key byte i of an entry of length L mixes in mixDigest[(L - i) mod 16]. Blocks start at
// multiples of 64, so key word w of every block (bytes 4w to 4w+3) takes the same four mix
// bytes as key word w mod 4 of the first block.
void LaneStartEntry(LaneGroup* in, LaneGroup* out, int32_t lane, uint32_t length,
                    uint32_t entrySeed, const uint8_t mixDigest[16]) {
  for (int w = 0; w < 4; ++w) in->md5[w][lane] = out->md5[w][lane] = md5Initial[w];
  out->t[lane] = entrySeed;
  out->left[lane] = length;
  uint8_t mix[16];  // little-endian: byte k of key word w is mix[4 w + k]
  for (uint32_t i = 0; i < 16; ++i) mix[i] = mixDigest[(length - i) & 15];
  for (int w = 0; w < 4; ++w) memcpy(&out->mixWords[w][lane], mix + 4 * w, 4);
}

void RunLaneGroup(LaneGroup* lanes, int32_t width, uint32_t blocks, int32_t unscramble) {
  if (blocks != 0) (width == 8 ? RunEightLanes : RunFourLanes)(lanes, blocks, unscramble);
}
#endif

// Unaligned loads and stores, through void pointers: nothing here is aligned to a register.
static inline Lanes Load(const void* p) { return LANES_SI(loadu)((const Lanes*)p); }
static inline void Store(void* p, Lanes value) { LANES_SI(storeu)((Lanes*)p, value); }

// rows[i] holds four words of lane i (in each half); afterwards rows[j] holds word j of each lane.
static inline void Transpose(Lanes rows[4]) {
  Lanes t0 = LANES(unpacklo_epi32)(rows[0], rows[1]);
  Lanes t1 = LANES(unpacklo_epi32)(rows[2], rows[3]);
  Lanes t2 = LANES(unpackhi_epi32)(rows[0], rows[1]);
  Lanes t3 = LANES(unpackhi_epi32)(rows[2], rows[3]);
  rows[0] = LANES(unpacklo_epi64)(t0, t1);
  rows[1] = LANES(unpackhi_epi64)(t0, t1);
  rows[2] = LANES(unpacklo_epi64)(t2, t3);
  rows[3] = LANES(unpackhi_epi64)(t2, t3);
}

// x[w] := word w of the block of each lane.
static inline void LoadBlocks(Lanes x[16], uint8_t* const bytes[LANES_WIDTH]) {
  for (int q = 0; q < 4; ++q) {
    for (int r = 0; r < 4; ++r) x[4 * q + r] = LOAD_ROW(bytes[r] + 16 * q, bytes[r + 4] + 16 * q);
    Transpose(x + 4 * q);
  }
}

// The inverse: word w of each lane's block := x[w].
static inline void StoreBlocks(uint8_t* const bytes[LANES_WIDTH], const Lanes x[16]) {
  for (int q = 0; q < 4; ++q) {
    Lanes rows[4] = {x[4 * q], x[4 * q + 1], x[4 * q + 2], x[4 * q + 3]};
    Transpose(rows);
    for (int r = 0; r < 4; ++r) STORE_ROW(bytes[r] + 16 * q, bytes[r + 4] + 16 * q, rows[r]);
  }
}

#define LANES_ADD(a, b) LANES(add_epi32)((a), (b))
#define LANES_MD5_F(b, c, d) LANES_SI(xor)((d), LANES_SI(and)((b), LANES_SI(xor)((c), (d))))
#define LANES_MD5_G(b, c, d) LANES_SI(xor)((c), LANES_SI(and)((d), LANES_SI(xor)((b), (c))))
#define LANES_MD5_H(b, c, d) LANES_SI(xor)(LANES_SI(xor)((b), (c)), (d))
#define LANES_MD5_I(b, c, d) \
  LANES_SI(xor)((c), LANES_SI(or)((b), LANES_SI(xor)((d), LANES(set1_epi32)(-1))))

// One MD5 step on every lane (RFC 1321: a = b + ((a + f(b, c, d) + x + t) <<< s)).
#define LANES_STEP(f, word, i, s, a, b, c, d) \
  { \
    Lanes sum = LANES_ADD(LANES_ADD(a, f(b, c, d)), \
                          LANES_ADD(x[word(i)], LANES(set1_epi32)((int)md5Sine[i]))); \
    a = LANES_ADD(LANES_SI(or)(LANES(slli_epi32)(sum, s), LANES(srli_epi32)(sum, 32 - (s))), b); \
  }

// The keystream runs half the lanes to a register: lanes 0 and 1 in the low words of the first
// two 64-bit quarters of low, lanes 2 and 3 likewise in high (lanes 4 to 7 in the next two), so
// that one unsigned 32 x 32 multiply squares them (the high words are left over and never
// read). One key byte of a lane:
//   v = t + n; u = v * v (low 32 bits); t = u >> 8 arithmetic; key = mix + (u + t) (low byte),
// the low byte of u + t being that of u + (u >> 8).
#define LANES_KEY_STEP(t, n, out) \
  { \
    Lanes v = LANES_ADD(t, n); \
    Lanes u = LANES(mul_epu32)(v, v); \
    t = LANES(srai_epi32)(u, 8); \
    out = LANES_ADD(u, t); \
    n = LANES(sub_epi32)(n, one); \
  }

// Four key steps of each pair of lanes: the key word (before the mix) of each lane, in the low
// word of each 64-bit half.
#define LANES_KEY_WORD(t, n, word) \
  { \
    Lanes s0, s1, s2, s3; \
    LANES_KEY_STEP(t, n, s0) LANES_KEY_STEP(t, n, s1) LANES_KEY_STEP(t, n, s2) \
    LANES_KEY_STEP(t, n, s3) \
    word = LANES_SI(or)( \
        LANES_SI(or)(LANES_SI(and)(s0, low8), LANES(slli_epi32)(LANES_SI(and)(s1, low8), 8)), \
        LANES_SI(or)(LANES(slli_epi32)(LANES_SI(and)(s2, low8), 16), LANES(slli_epi32)(s3, 24))); \
  }

// Lanes 0 and 1 (4 and 5) from the low words of pairLow's 64-bit quarters, 2 and 3 (6 and 7)
// from pairHigh's.
static inline Lanes JoinPairs(Lanes pairLow, Lanes pairHigh) {
  return LANES(unpacklo_epi64)(LANES(shuffle_epi32)(pairLow, _MM_SHUFFLE(3, 1, 2, 0)),
                               LANES(shuffle_epi32)(pairHigh, _MM_SHUFFLE(3, 1, 2, 0)));
}

// One round (from step first on), each group of four steps followed by one key word of the
// next block.
#define LANES_ROUND_AND_KEYS(F, first, s0, s1, s2, s3) \
  _Pragma("GCC unroll 1") \
  for (int g = (first) / 4; g < (first) / 4 + 4; ++g) { \
    MD5_FOUR_STEPS(LANES_STEP, LANES_MD5_##F, MD5_WORD_##F, 4 * g, s0, s1, s2, s3) \
    if (key) { \
      Lanes wordLow, wordHigh; \
      LANES_KEY_WORD(tLow, nLow, wordLow) \
      LANES_KEY_WORD(tHigh, nHigh, wordHigh) \
      next[g] = LANES_SI(xor)(next[g], LANES(add_epi8)(JoinPairs(wordLow, wordHigh), mix[g & 3])); \
    } \
  }

// The keystream of block j + 1 runs beside the digest of block j, one key word after each group
// of four steps, so that the serial chains of the two overlap instead of following each other.
// Each round stays a loop of four groups: unrolled, the code is 2 KB larger and no faster.
// Out of line: inlined into RunLaneGroup, its i686 loop keeps other values in registers, which
// is not the code the benchmark figures were measured on.
__attribute__((noinline)) void RUN_BLOCKS(LaneGroup* lanes, uint32_t count, int32_t unscramble) {
  const Lanes one = LANES(set1_epi32)(1);
  const Lanes low8 = LANES(set1_epi32)(0xff);
  Lanes state[4], mix[4];
  for (int i = 0; i < 4; ++i) state[i] = Load(lanes->md5[i]);
  for (int i = 0; i < 4; ++i) mix[i] = Load(lanes->mixWords[i]);
  Lanes t = Load(lanes->t), n = Load(lanes->left);
  Lanes tLow = LANES(unpacklo_epi32)(t, t), tHigh = LANES(unpackhi_epi32)(t, t);
  Lanes nLow = LANES(unpacklo_epi32)(n, n), nHigh = LANES(unpackhi_epi32)(n, n);
  // Round j digests block j (already unscrambled, in x) while it loads block j + 1 and runs its
  // keystream. Round -1 only loads block 0 and runs its keystream, beside a digest of zeros that
  // is thrown away.
  Lanes x[16], next[16];
  for (int w = 0; w < 16; ++w) x[w] = LANES_SI(setzero)();
  uint8_t* const* following = lanes->bytes;
  uint8_t* moved[LANES_WIDTH];
  for (int64_t j = -1; j < (int64_t)count; ++j) {
    const int32_t more = j + 1 < (int64_t)count;
    if (more) LoadBlocks(next, following);
    // After the last block the keystream must not run on: it stops with the digest.
    const int32_t key = unscramble && more;
    Lanes a = state[0], b = state[1], c = state[2], d = state[3];
    MD5_ROUNDS(LANES_ROUND_AND_KEYS)
    const Lanes turned[4] = {a, b, c, d};
    for (int i = 0; i < 4 && j >= 0; ++i) state[i] = LANES_ADD(state[i], turned[i]);
    if (!more) break;
    if (key) StoreBlocks(following, next);
    for (int w = 0; w < 16; ++w) x[w] = next[w];
    for (int l = 0; l < LANES_WIDTH; ++l) moved[l] = following[l] + lanes->step[l];
    following = moved;
  }
  // following is where the next call goes on: the block after the last one digested.
  for (int l = 0; l < LANES_WIDTH; ++l) lanes->bytes[l] = following[l];
  for (int i = 0; i < 4; ++i) Store(lanes->md5[i], state[i]);
  Store(lanes->t, JoinPairs(tLow, tHigh));
  Store(lanes->left, JoinPairs(nLow, nHigh));
}
