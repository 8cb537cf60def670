// The lanes over entries read in parts: each lane reads its entry into its own buffer a part at
// a time and runs whole 64-byte blocks with the other lanes; an entry's last partial block, and
// an entry left alone on its share, are finished with the one-lane routines.
#include "package/blocklanes.h"

#include <string.h>

#include "package/directory.h"
#include "package/lanes.h"
#include "package/md5.h"
#include "package/unscramble.h"

// Blocks of every lane run between two looks at the buffers: the stored digest and then the
// keystream go over the same bytes, which stay in the cache.
static const uint32_t LANE_STEP_BLOCKS = 1024;

void StartLaneCheck(LaneCheck* check, const PackageDirectory* directory, uint32_t size,
                    int32_t shares) {
  memset(check, 0, sizeof *check);
  check->directory = directory;
  check->part = LANE_READ_PART;
  uint64_t bytes[2] = {0, 0};
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry* entry = &directory->entries[i];
    check->inImage[i] = (uint8_t)EntryInImage(entry, size);
    if (!check->inImage[i]) continue;
    const int32_t share = shares == 2 && bytes[1] < bytes[0];
    bytes[share] += entry->dataSize;
    check->queue[share][check->count[share]++] = (int8_t)i;
  }
}

void ChainLaneCheck(LaneCheck* check) {
  EntryChain chain;
  StartEntryChain(&chain);
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    check->chain[i] = chain;
    if (check->inImage[i]) ChainEntry(&chain, check->stored[i]);
  }
}

// One share's lanes: the stored digests, and in the second phase the keystream and plain
// digests beside them; where each lane's entry is and what its buffer still holds.
struct LaneShare {
  LaneCheck* check;
  const LaneReader* reader;
  int32_t share;
  int32_t unscramble;
  uint8_t* buffers;
  FourLanes stored, turned;
  int32_t entryOf[4];
  uint32_t readTo[4];  // bytes of the lane's entry read so far
  uint32_t held[4];    // bytes read and not yet run, from stored.bytes[lane] on
};

static uint32_t NextPart(const LaneShare* s, uint32_t rest) {
  return rest < s->check->part ? rest : s->check->part;
}

static int32_t ReadPart(LaneShare* s, int32_t lane, uint32_t count) {
  uint8_t* buffer = s->buffers + (size_t)lane * s->check->part;
  if (!s->reader->read(s->reader->user, s->share, s->entryOf[lane], s->readTo[lane], buffer,
                       count)) {
    return 0;
  }
  s->stored.bytes[lane] = buffer;
  s->readTo[lane] += count;
  s->held[lane] = count;
  return 1;
}

// The rest of the lane's entry on one lane: what its buffer holds, then the parts not read yet.
static int32_t FinishOnOneLane(LaneShare* s, int32_t lane) {
  LaneCheck* check = s->check;
  const int32_t e = s->entryOf[lane];
  const uint32_t size = check->directory->entries[e].dataSize;
  Md5State in, out;
  KeystreamState ks;
  for (int32_t w = 0; w < 4; ++w) {
    in.state[w] = s->stored.md5[w][lane];
    out.state[w] = s->turned.md5[w][lane];
  }
  in.length = out.length = s->readTo[lane] - s->held[lane];
  KeystreamStart(&ks, size, check->chain[e].entrySeed, check->chain[e].mixDigest);
  ks.t = s->turned.t[lane];
  ks.left = s->turned.left[lane];
  for (;;) {
    uint8_t* bytes = s->stored.bytes[lane];
    const uint32_t count = s->held[lane];
    Md5Update(&in, bytes, count);
    if (s->unscramble) UnscrambleThenDigest(&ks, &out, bytes, count);
    if (s->readTo[lane] == size) break;
    const uint32_t rest = size - s->readTo[lane];
    if (!ReadPart(s, lane, NextPart(s, rest))) return 0;
  }
  if (s->unscramble) {
    Md5Final(&in, check->again[e]);
    Md5Final(&out, check->plain[e]);
  } else {
    Md5Final(&in, check->stored[e]);
  }
  s->entryOf[lane] = -1;
  return 1;
}

// The lane takes the share's next entry, if any; 0 when a read failed.
static int32_t TakeEntry(LaneShare* s, int32_t lane, int32_t* taken) {
  LaneCheck* check = s->check;
  while (s->entryOf[lane] < 0 && *taken < check->count[s->share]) {
    const int32_t e = check->queue[s->share][(*taken)++];
    const uint32_t size = check->directory->entries[e].dataSize;
    s->entryOf[lane] = e;
    s->readTo[lane] = 0;
    s->held[lane] = 0;
    s->stored.step[lane] = 64;
    FourLanesStartDigest(&s->stored, lane);
    FourLanesStartDigest(&s->turned, lane);
    FourLanesStartKeystream(&s->turned, lane, size, check->chain[e].entrySeed,
                            check->chain[e].mixDigest);
    if (size < 64) {
      if ((size != 0 && !ReadPart(s, lane, size)) || !FinishOnOneLane(s, lane)) return 0;
    }
  }
  return 1;
}

int32_t RunLaneShare(LaneCheck* check, const LaneReader* reader, int32_t share,
                     int32_t unscramble, uint8_t* buffers) {
  LaneShare s;
  memset(&s, 0, sizeof s);
  s.check = check;
  s.reader = reader;
  s.share = share;
  s.unscramble = unscramble;
  s.buffers = buffers;
  uint8_t scratch[4][64] = {};
  int32_t taken = 0;
  for (int32_t lane = 0; lane < 4; ++lane) s.entryOf[lane] = -1;
  for (;;) {
    int32_t busy = 0, busyLane = 0;
    uint32_t blocks = LANE_STEP_BLOCKS;
    for (int32_t lane = 0; lane < 4; ++lane) {
      if (!TakeEntry(&s, lane, &taken)) return 0;
      const int32_t e = s.entryOf[lane];
      if (e < 0) {
        s.stored.bytes[lane] = scratch[lane];
        s.stored.step[lane] = 0;
        continue;
      }
      const uint32_t whole = check->directory->entries[e].dataSize & ~63u;
      if (s.held[lane] == 0) {
        const uint32_t rest = whole - s.readTo[lane];
        if (!ReadPart(&s, lane, NextPart(&s, rest))) return 0;
      }
      ++busy;
      busyLane = lane;
      if (s.held[lane] / 64 < blocks) blocks = s.held[lane] / 64;
    }
    if (busy == 0) return 1;
    if (busy == 1) {
      if (!FinishOnOneLane(&s, busyLane)) return 0;
      continue;
    }
    memcpy(s.turned.bytes, s.stored.bytes, sizeof s.turned.bytes);
    memcpy(s.turned.step, s.stored.step, sizeof s.turned.step);
    DigestFourLanes(&s.stored, blocks);
    if (unscramble) UnscrambleDigestFourLanes(&s.turned, blocks);
    for (int32_t lane = 0; lane < 4; ++lane) {
      const int32_t e = s.entryOf[lane];
      if (e < 0) continue;
      s.held[lane] -= 64 * blocks;
      const uint32_t size = check->directory->entries[e].dataSize;
      if (s.held[lane] != 0 || s.readTo[lane] != (size & ~63u)) continue;
      // The whole blocks are run: the last partial block, if any, on one lane.
      const uint32_t tail = size - s.readTo[lane];
      if ((tail != 0 && !ReadPart(&s, lane, tail)) || !FinishOnOneLane(&s, lane)) return 0;
    }
  }
}
