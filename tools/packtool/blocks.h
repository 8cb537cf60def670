// The entries of a package in blocks through their streams (package/stream.h), each block read
// once, two blocks in flight: pack and build seal through it, verify and unpack check.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "package/stream.h"

// Bytes read, sealed or checked, and written at a time.
const size_t kBlock = 4u << 20;

// Two blocks in flight (three with keep): while a second thread reads block j + 1 and digests it
// as read, this thread turns block j (the keystream beside the other digest) and puts it. begin
// gives the stream of an entry whose first block is next, begun; end comes once its last block
// is put. read gets the bytes at an offset in the entry (last: the entry ends there). serial: an
// entry's first block read only after the entry before is put (entries that share bytes read
// what those before wrote back).
struct BlockPipe {
  bool (*read)(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size, bool last);
  EntryStream* (*begin)(void* user, int e);
  bool (*put)(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size);
  void (*end)(void* user, int e);
  void* user;
  bool serial;
  // May be null. Takes a block after its put, on the second thread beside the turning of the
  // next block of the same entry; an entry's last block is kept on this thread before end.
  void (*keep)(void* user, int e, uint64_t at, const uint8_t* bytes, uint32_t size);
};

// Runs count entries (their indices and sizes) through the pipe; false when a callback fails.
bool RunPipe(BlockPipe* pipe, const int* entries, const uint32_t* sizes, int count);
