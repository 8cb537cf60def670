// The entries of a package sealed in blocks through their streams (package/stream.h), each block
// read once, two blocks in flight: pack and build seal through it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "package/stream.h"

// Bytes read, sealed and written at a time.
const size_t kBlock = 4u << 20;

// While a second thread reads block j + 1 and digests it as read, this thread turns block j (the
// keystream beside the other digest) and puts it, entry by entry through stream. read gets the
// bytes at an offset in the entry (last: the entry ends there).
struct BlockPipe {
  bool (*read)(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size, bool last);
  bool (*put)(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size);
  void* user;
  PackageStream* stream;  // started; its directory gives the entries' sizes
};

// Seals the 17 entries through the pipe; false when a callback fails.
bool RunPipe(BlockPipe* pipe);
