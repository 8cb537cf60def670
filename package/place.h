// Where checked entries are placed: each entry, in entry order, after its unscrambled bytes were
// checked, goes to a sink with what became of it, and its outcome is counted into the
// extraction's result. The installer's sink writes into the target folder (package/extract.h);
// the tests, the fuzzer and the packing tool bring their own.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"

// What became of one entry.
enum EntryOutcome {
  ENTRY_WRITTEN = 0,
  ENTRY_OUT_OF_BOUNDS,    // range ends beyond the image: skipped, not chained
  ENTRY_DIGEST_MISMATCH,  // unscrambled bytes do not match plainDigest: no folder, no file
  ENTRY_NAME_REFUSED,     // IsSafeEntryName refused the name: no folder, no file
  ENTRY_PATH_TOO_LONG,    // target folder + name does not fit
  ENTRY_WRITE_FAILED,     // the file could not be written
};

struct PackageSink {
  // Each entry in entry order, on the thread that extracts: outcome is ENTRY_WRITTEN when its
  // digest matches and its name passes, and the sink then places the file; any other outcome is
  // only told. bytes: the entry's plain bytes in the image, or null for a package read in parts
  // (they came through plainPart) or an entry outside the image. Gives the entry's outcome.
  int32_t (*place)(void* user, int32_t index, const PackageEntry* entry, const uint8_t* bytes,
                   int32_t outcome);
  // A package read in parts only (may be null): count plain bytes of entry e from byte at on,
  // on the thread that unscrambled them (an entry's parts in order, before it is placed); 0
  // stops the extraction.
  int32_t (*plainPart)(void* user, int32_t e, uint32_t at, const uint8_t* bytes, uint32_t count);
  void* user;
};

// The placing of one extraction's entries.
struct Placing {
  const uint8_t* image;  // null for a package read in parts
  const PackageDirectory* directory;
  const PackageSink* sink;
  int32_t next;  // the entry placed next
  int32_t failureCount;
};

// Places entry placing->next, whose unscrambled bytes have the digest plainDigest (null: its
// range lies outside the image), and moves on.
void PlaceNextEntry(Placing* placing, const uint8_t plainDigest[16]);

// 0 on full success; -1 when all went well but the seventeenth entry is empty; otherwise -100
// minus the number of failed entries.
int32_t PlacingResult(const Placing* placing);
