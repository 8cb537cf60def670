// The package as a stream of entries, the one engine of sealing and checking: each entry begun
// with its chained keystream parameters, fed its bytes in order, and ended. Sealing feeds plain
// bytes and gets the stored ones; checking feeds stored bytes and gets the plain ones. The
// keystream undoes itself, so both are the same three chains: the digest of the bytes fed, the
// keystream in place, the digest of the bytes it gives.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"
#include "package/keystream.h"
#include "package/md5.h"
#include "package/place.h"

// One entry's three chains. Parts are fed in order, every part but the entry's last a multiple
// of 64 bytes. A caller with a second thread may run the digest of the bytes fed (DigestEntryIn)
// of one part beside the keystream and the other digest (TurnEntryBytes) of another.
struct EntryStream {
  KeystreamState ks;
  Md5State in;   // the bytes as fed: stored when checking, plain when sealing
  Md5State out;  // the bytes the keystream gives
};

void BeginEntryStream(EntryStream* stream, uint32_t size, const EntryChain* chain);
void DigestEntryIn(EntryStream* stream, const uint8_t* bytes, uint32_t count);
// The keystream in place, beside the digest of what it gives.
void TurnEntryBytes(EntryStream* stream, uint8_t* bytes, uint32_t count);
// DigestEntryIn and then TurnEntryBytes, 32 KB at a time so that the bytes stay in the cache.
void FeedEntryStream(EntryStream* stream, uint8_t* bytes, uint32_t count);
void EndEntryStream(EntryStream* stream, uint8_t inDigest[16], uint8_t outDigest[16]);

enum PackageStreamWay { PACKAGE_SEAL = 0, PACKAGE_CHECK = 1 };

// The entries of one package in directory order, chained from entry to entry.
// Sealing: each entry's plainDigest is set as it ends. Checking: an entry whose range ends
// beyond the image (imageSize) is skipped and not chained, and each entry is placed (placing,
// package/place.h) as it ends, whatever became of it.
struct PackageStream {
  PackageDirectory* directory;
  uint32_t imageSize;
  int32_t way;
  int32_t index;  // the entry at hand
  EntryChain chain;
  EntryStream entry;
  Placing placing;
};

// image and sink serve the placing when checking (as StartPlacing; sink null when sealing).
void StartPackageStream(PackageStream* stream, PackageDirectory* directory, uint32_t imageSize,
                        int32_t way, const uint8_t* image, const PackageSink* sink);
// The index of the next entry to feed, begun; -1 when every entry is done.
int32_t BeginPackageEntry(PackageStream* stream);
// Ends the entry at hand: sealing sets its plain digest, checking places it; then the chain.
void EndPackageEntry(PackageStream* stream);
// Checking: PlacingResult.
int32_t PackageStreamResult(const PackageStream* stream);
