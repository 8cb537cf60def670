// MD5 and the package keystream on four entries at once in SSE2 registers; the installer's build
// compiles this file alone with SSE2.
#include "package/lanes.h"

#include <emmintrin.h>

#include "package/md5_steps.h"

typedef __m128i Lanes;

void FourLanesStartDigest(FourLanes* lanes, int32_t lane) {
  for (int w = 0; w < 4; ++w) lanes->md5[w][lane] = md5Initial[w];
}

// Key byte i of an entry of length L mixes in mixDigest[(L - i) mod 16]. Blocks start at
// multiples of 64, so key word w of every block (bytes 4w to 4w+3) takes the same four mix
// bytes as key word w mod 4 of the first block.
void FourLanesStartKeystream(FourLanes* lanes, int32_t lane, uint32_t length, uint32_t entrySeed,
                             const uint8_t mixDigest[16]) {
  lanes->t[lane] = entrySeed;
  lanes->left[lane] = length;
  for (uint32_t w = 0; w < 4; ++w) {
    uint32_t word = 0;
    for (uint32_t k = 0; k < 4; ++k) {
      word |= (uint32_t)mixDigest[(length - 4 * w - k) & 15] << 8 * k;
    }
    lanes->mixWords[w][lane] = word;
  }
}

// Unaligned loads and stores (through void pointers: nothing here is 16-byte aligned).
static inline Lanes Load(const void* bytes) {
  return _mm_loadu_si128((const Lanes*)bytes);
}

static inline void Store(void* bytes, Lanes value) {
  _mm_storeu_si128((Lanes*)bytes, value);
}

// rows[i] holds four words of lane i; afterwards rows[j] holds word j of each lane.
static inline void Transpose(Lanes rows[4]) {
  Lanes t0 = _mm_unpacklo_epi32(rows[0], rows[1]);
  Lanes t1 = _mm_unpacklo_epi32(rows[2], rows[3]);
  Lanes t2 = _mm_unpackhi_epi32(rows[0], rows[1]);
  Lanes t3 = _mm_unpackhi_epi32(rows[2], rows[3]);
  rows[0] = _mm_unpacklo_epi64(t0, t1);
  rows[1] = _mm_unpackhi_epi64(t0, t1);
  rows[2] = _mm_unpacklo_epi64(t2, t3);
  rows[3] = _mm_unpackhi_epi64(t2, t3);
}

// x[w] := word w of the block of each lane.
static inline void LoadBlocks(Lanes x[16], uint8_t* const bytes[4]) {
  for (int q = 0; q < 4; ++q) {
    Lanes* rows = x + 4 * q;
    for (int lane = 0; lane < 4; ++lane) {
      rows[lane] = Load(bytes[lane] + 16 * q);
    }
    Transpose(rows);
  }
}

// The inverse: word w of each lane's block := x[w].
static inline void StoreBlocks(uint8_t* const bytes[4], const Lanes x[16]) {
  for (int q = 0; q < 4; ++q) {
    Lanes rows[4] = {x[4 * q], x[4 * q + 1], x[4 * q + 2], x[4 * q + 3]};
    Transpose(rows);
    for (int lane = 0; lane < 4; ++lane) {
      Store(bytes[lane] + 16 * q, rows[lane]);
    }
  }
}

#define LANES_ADD(a, b) _mm_add_epi32((a), (b))
#define LANES_MD5_F(b, c, d) _mm_xor_si128((d), _mm_and_si128((b), _mm_xor_si128((c), (d))))
#define LANES_MD5_G(b, c, d) _mm_xor_si128((c), _mm_and_si128((d), _mm_xor_si128((b), (c))))
#define LANES_MD5_H(b, c, d) _mm_xor_si128(_mm_xor_si128((b), (c)), (d))
#define LANES_MD5_I(b, c, d) \
  _mm_xor_si128((c), _mm_or_si128((b), _mm_xor_si128((d), _mm_set1_epi32(-1))))

// One MD5 step on all four lanes (RFC 1321: a = b + ((a + f(b, c, d) + x + t) <<< s)).
#define LANES_STEP(f, word, i, s, a, b, c, d) \
  { \
    Lanes sum = LANES_ADD(LANES_ADD(a, f(b, c, d)), \
                          LANES_ADD(x[word(i)], _mm_set1_epi32((int)md5Sine[i]))); \
    a = LANES_ADD(_mm_or_si128(_mm_slli_epi32(sum, s), _mm_srli_epi32(sum, 32 - (s))), b); \
  }

// The keystream runs two lanes to a register: lanes 0 and 1 in the low words of the two 64-bit
// halves of low, lanes 2 and 3 likewise in high, so that one unsigned 32 x 32 multiply squares
// both (the high words are left over and never read). One key byte of a lane:
//   v = t + n; u = v * v (low 32 bits); t = u >> 8 arithmetic; key = mix + (u + t) (low byte),
// the low byte of u + t being that of u + (u >> 8).
#define LANES_KEY_STEP(t, n, out) \
  { \
    Lanes v = LANES_ADD(t, n); \
    Lanes u = _mm_mul_epu32(v, v); \
    t = _mm_srai_epi32(u, 8); \
    out = LANES_ADD(u, t); \
    n = _mm_sub_epi32(n, one); \
  }

// Four key steps of each pair of lanes: the key word (before the mix) of each lane, in the low
// word of each 64-bit half.
#define LANES_KEY_WORD(t, n, word) \
  { \
    Lanes s0, s1, s2, s3; \
    LANES_KEY_STEP(t, n, s0) \
    LANES_KEY_STEP(t, n, s1) \
    LANES_KEY_STEP(t, n, s2) \
    LANES_KEY_STEP(t, n, s3) \
    word = _mm_or_si128( \
        _mm_or_si128(_mm_and_si128(s0, low8), _mm_slli_epi32(_mm_and_si128(s1, low8), 8)), \
        _mm_or_si128(_mm_slli_epi32(_mm_and_si128(s2, low8), 16), _mm_slli_epi32(s3, 24))); \
  }

// Lanes 0 and 1 from the low words of pairLow's halves, lanes 2 and 3 from pairHigh's.
static inline Lanes JoinPairs(Lanes pairLow, Lanes pairHigh) {
  return _mm_unpacklo_epi64(_mm_shuffle_epi32(pairLow, _MM_SHUFFLE(3, 1, 2, 0)),
                            _mm_shuffle_epi32(pairHigh, _MM_SHUFFLE(3, 1, 2, 0)));
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
      next[g] = _mm_xor_si128(next[g], _mm_add_epi8(JoinPairs(wordLow, wordHigh), mix[g & 3])); \
    } \
  }

// The keystream of block j + 1 runs beside the digest of block j, one key word after each group
// of four steps, so that the serial chains of the two overlap instead of following each other.
// Each round stays a loop of four groups: unrolled, the code is 2 KB larger and no faster.
// Out of line: inlined into RunFourLanes, its i686 loop keeps other values in registers, which
// is not the code the benchmark figures were measured on.
__attribute__((noinline)) static void RunBlocks(FourLanes* lanes, uint32_t count,
                                                int32_t unscramble) {
  const Lanes one = _mm_set1_epi32(1);
  const Lanes low8 = _mm_set1_epi32(0xff);
  Lanes state[4], mix[4];
  for (int i = 0; i < 4; ++i) state[i] = Load(lanes->md5[i]);
  for (int i = 0; i < 4; ++i) mix[i] = Load(lanes->mixWords[i]);
  Lanes t = Load(lanes->t), n = Load(lanes->left);
  Lanes tLow = _mm_unpacklo_epi32(t, t), tHigh = _mm_unpackhi_epi32(t, t);
  Lanes nLow = _mm_unpacklo_epi32(n, n), nHigh = _mm_unpackhi_epi32(n, n);
  // Round j digests block j (already unscrambled, in x) while it loads block j + 1 and runs its
  // keystream. Round -1 only loads block 0 and runs its keystream, beside a digest of zeros that
  // is thrown away.
  Lanes x[16], next[16];
  for (int w = 0; w < 16; ++w) x[w] = _mm_setzero_si128();
  uint8_t* const* following = lanes->bytes;
  uint8_t* moved[4];
  for (int64_t j = -1; j < (int64_t)count; ++j) {
    const int32_t more = j + 1 < (int64_t)count;
    if (more) LoadBlocks(next, following);
    // After the last block the keystream must not run on: it stops with the digest.
    const int32_t key = unscramble && more;
    Lanes a = state[0], b = state[1], c = state[2], d = state[3];
    MD5_ROUNDS(LANES_ROUND_AND_KEYS)
    if (j >= 0) {
      state[0] = LANES_ADD(state[0], a);
      state[1] = LANES_ADD(state[1], b);
      state[2] = LANES_ADD(state[2], c);
      state[3] = LANES_ADD(state[3], d);
    }
    if (!more) break;
    if (key) StoreBlocks(following, next);
    for (int w = 0; w < 16; ++w) x[w] = next[w];
    for (int lane = 0; lane < 4; ++lane) moved[lane] = following[lane] + lanes->step[lane];
    following = moved;
  }
  // following is where the next call goes on: the block after the last one digested.
  for (int lane = 0; lane < 4; ++lane) lanes->bytes[lane] = following[lane];
  for (int i = 0; i < 4; ++i) Store(lanes->md5[i], state[i]);
  Store(lanes->t, JoinPairs(tLow, tHigh));
  Store(lanes->left, JoinPairs(nLow, nHigh));
}

void RunFourLanes(FourLanes* lanes, uint32_t blocks, int32_t unscramble) {
  if (blocks != 0) RunBlocks(lanes, blocks, unscramble);
}
