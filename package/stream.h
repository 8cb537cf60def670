// An entry as a stream of three chains (the digest of the bytes fed, the keystream in place, the
// digest of what it gives), and the package sealed as a stream of entries. The keystream undoes
// itself: sealing (plain bytes fed) and checking (stored bytes fed) are the same chains.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"
#include "package/keystream.h"
#include "package/md5.h"

// One entry's three chains. Parts are fed in order, every part but the entry's last a multiple
// of 64 bytes. A caller with a second thread may run the digest of the bytes fed (Md5Update of
// in) of one part beside the keystream and the other digest (TurnEntryBytes) of another.
struct EntryStream {
  KeystreamState ks;
  Md5State in;   // the bytes as fed: stored when checking, plain when sealing
  Md5State out;  // the bytes the keystream gives
};

void BeginEntryStream(EntryStream* stream, uint32_t size, const EntryChain* chain);
// The keystream in place, beside the digest of what it gives.
void TurnEntryBytes(EntryStream* stream, uint8_t* bytes, uint32_t count);
void EndEntryStream(EntryStream* stream, uint8_t inDigest[16], uint8_t outDigest[16]);

// The entries of one package sealed in directory order, chained from entry to entry: each fed
// its plain bytes, and given its plain digest as it ends.
struct PackageStream {
  PackageDirectory* directory;
  int32_t index;  // the entry at hand
  EntryChain chain;
  EntryStream entry;
};

void StartPackageStream(PackageStream* stream, PackageDirectory* directory);
// The index of the next entry to feed, begun; -1 when every entry is done.
int32_t BeginPackageEntry(PackageStream* stream);
// Ends the entry at hand: its plain digest set, then the chain.
void EndPackageEntry(PackageStream* stream);
