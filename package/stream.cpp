// The package as a stream of entries: one entry's three chains, and the chaining and placing of
// the entries in directory order.
#include "package/stream.h"

#include <string.h>

#include "package/directory.h"
#include "package/unscramble.h"

void BeginEntryStream(EntryStream* stream, uint32_t size, const EntryChain* chain) {
  KeystreamStart(&stream->ks, size, chain->entrySeed, chain->mixDigest);
  Md5Init(&stream->in);
  Md5Init(&stream->out);
}

void DigestEntryIn(EntryStream* stream, const uint8_t* bytes, uint32_t count) {
  Md5Update(&stream->in, bytes, count);
}

void TurnEntryBytes(EntryStream* stream, uint8_t* bytes, uint32_t count) {
  UnscrambleThenDigest(&stream->ks, &stream->out, bytes, count);
}

// Part by part, so that the bytes the first digest has just read are still in the cache when the
// keystream turns them.
static const uint32_t FEED_PART = 32768;

void FeedEntryStream(EntryStream* stream, uint8_t* bytes, uint32_t count) {
  for (uint32_t done = 0; done < count; done += FEED_PART) {
    const uint32_t part = count - done < FEED_PART ? count - done : FEED_PART;
    DigestEntryIn(stream, bytes + done, part);
    TurnEntryBytes(stream, bytes + done, part);
  }
}

void EndEntryStream(EntryStream* stream, uint8_t inDigest[16], uint8_t outDigest[16]) {
  Md5Final(&stream->in, inDigest);
  Md5Final(&stream->out, outDigest);
}

void StartPackageStream(PackageStream* stream, PackageDirectory* directory, uint32_t imageSize,
                        int32_t way, const uint8_t* image, const PackageSink* sink) {
  stream->directory = directory;
  stream->imageSize = imageSize;
  stream->way = way;
  stream->index = -1;
  StartEntryChain(&stream->chain);
  StartPlacing(&stream->placing, image, directory, sink);
}

int32_t BeginPackageEntry(PackageStream* stream) {
  int32_t i = stream->index + 1;
  if (stream->way == PACKAGE_CHECK) {
    // Skipped, and not chained.
    while (i < PACKAGE_ENTRY_COUNT && !EntryInImage(&stream->directory->entries[i],
                                                    stream->imageSize)) {
      PlaceNextEntry(&stream->placing, nullptr);
      ++i;
    }
  }
  if (i >= PACKAGE_ENTRY_COUNT) return stream->index = PACKAGE_ENTRY_COUNT, -1;
  stream->index = i;
  BeginEntryStream(&stream->entry, stream->directory->entries[i].dataSize, &stream->chain);
  return i;
}

void EndPackageEntry(PackageStream* stream) {
  uint8_t in[16], out[16];
  EndEntryStream(&stream->entry, in, out);
  if (stream->way == PACKAGE_SEAL) {
    memcpy(stream->directory->entries[stream->index].plainDigest, in, 16);
    ChainEntry(&stream->chain, out);
  } else {
    PlaceNextEntry(&stream->placing, out);
    ChainEntry(&stream->chain, in);  // whatever became of the file
  }
}

int32_t PackageStreamResult(const PackageStream* stream) {
  return PlacingResult(&stream->placing);
}
