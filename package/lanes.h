// Entries unscrambled and checked four at a time, one in each 32-bit lane of the SSE2 registers,
// so that each serial chain (a digest, a keystream) costs about a quarter of what it costs alone.
// Whole 64-byte blocks only: an entry's last partial block is left to the one-lane routines
// (package/unscramble.h). Nothing here may run before PackageHasSse2 (package/image.h) said yes.
#pragma once
#include <stdint.h>

struct FourLanes {
  uint32_t md5[4][4];       // digest words a, b, c, d: [word][lane]
  uint32_t t[4];            // keystream state of each lane
  uint32_t left[4];         // bytes of each lane's entry not yet unscrambled
  uint32_t mixWords[4][4];  // [key word of the block mod 4][lane]: four key bytes' mix bytes
  uint8_t* bytes[4];        // each lane's next block
  uint32_t step[4];         // 64; 0 for an idle lane, which works on the same block each time
};

// Starts the digest of a lane afresh (the MD5 initial words).
void FourLanesStartDigest(FourLanes* lanes, int32_t lane);

// Starts the keystream of a lane for an entry of length bytes with its seed and mix digest.
void FourLanesStartKeystream(FourLanes* lanes, int32_t lane, uint32_t length, uint32_t entrySeed,
                             const uint8_t mixDigest[16]);

// For blocks whole blocks of every lane: with unscramble, the keystream applied in place, then the
// MD5 of the result; else the MD5 of the bytes as they are. Each lane's bytes move on by its step
// per block.
void RunFourLanes(FourLanes* lanes, uint32_t blocks, int32_t unscramble);
