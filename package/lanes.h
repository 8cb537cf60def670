// Entries unscrambled and checked four or eight at a time, one in each 32-bit lane of the SSE2 or
// AVX2 registers, so that each serial chain (a digest, a keystream) costs a quarter or an eighth
// of what it costs alone. Whole 64-byte blocks only: an entry's last partial block is left to the
// one-lane routines (package/unscramble.h). Never more lanes than PackageLaneWidth (image.h) gives.
#pragma once
#include <stdint.h>

enum { LANES_MAX = 8 };  // a run on four lanes uses the first four of each row below
struct LaneGroup {
  uint32_t md5[4][LANES_MAX];       // digest words a, b, c, d: [word][lane]
  uint32_t t[LANES_MAX];            // keystream state of each lane
  uint32_t left[LANES_MAX];         // bytes of each lane's entry not yet unscrambled
  uint32_t mixWords[4][LANES_MAX];  // [key word of a block mod 4][lane]: its key bytes' mix bytes
  uint8_t* bytes[LANES_MAX];        // each lane's next block
  uint32_t step[LANES_MAX];         // 64; 0 for an idle lane, working on the same block each time
};

// Starts an entry of length bytes on a lane: the digests of in and out afresh (the MD5 initial
// words), the keystream of out with the entry's seed and mix digest.
void LaneStartEntry(LaneGroup* in, LaneGroup* out, int32_t lane, uint32_t length,
                    uint32_t entrySeed, const uint8_t mixDigest[16]);

// For blocks whole blocks of every lane of width (4, or 8 with AVX2): with unscramble, the
// keystream applied in place, then the MD5 of the result; else the MD5 of the bytes as they are.
// Each lane's bytes move on by its step per block.
void RunLaneGroup(LaneGroup* lanes, int32_t width, uint32_t blocks, int32_t unscramble);
