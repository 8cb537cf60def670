// One entry's three chains, and the package sealed entry by entry in directory order.
#include "package/stream.h"

#include <string.h>

#include "package/unscramble.h"

void BeginEntryStream(EntryStream* stream, uint32_t size, const EntryChain* chain) {
  KeystreamStart(&stream->ks, size, chain->entrySeed, chain->mixDigest);
  Md5Init(&stream->in);
  Md5Init(&stream->out);
}

void TurnEntryBytes(EntryStream* stream, uint8_t* bytes, uint32_t count) {
  UnscrambleThenDigest(&stream->ks, &stream->out, bytes, count);
}

void EndEntryStream(EntryStream* stream, uint8_t inDigest[16], uint8_t outDigest[16]) {
  Md5Final(&stream->in, inDigest);
  Md5Final(&stream->out, outDigest);
}

void StartPackageStream(PackageStream* stream, PackageDirectory* directory) {
  stream->directory = directory;
  stream->index = -1;
  StartEntryChain(&stream->chain);
}

int32_t BeginPackageEntry(PackageStream* stream) {
  if (stream->index + 1 >= PACKAGE_ENTRY_COUNT) return -1;
  const int32_t i = ++stream->index;
  BeginEntryStream(&stream->entry, stream->directory->entries[i].dataSize, &stream->chain);
  return i;
}

void EndPackageEntry(PackageStream* stream) {
  uint8_t in[16], out[16];
  EndEntryStream(&stream->entry, in, out);
  memcpy(stream->directory->entries[stream->index].plainDigest, in, 16);
  ChainEntry(&stream->chain, out);
}
