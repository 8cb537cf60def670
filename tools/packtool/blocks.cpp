// The pipe of blocks: the reading and first digest of the next block on a second thread, beside
// the keystream and other digest of this one.
#include "tools/packtool/blocks.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "base/packagedir.h"
#include "tools/packtool/hostfile.h"

namespace {

// Below this many bytes a block is read and digested on the calling thread (a thread costs more).
const uint32_t kThreadMinBytes = 256u << 10;

struct PipeBlock {
  int entry;
  uint64_t at;
  uint32_t size;
  bool last;
};

// The reading and first digest of one block, on the second thread.
struct ReadJob {
  BlockPipe* pipe;
  PipeBlock block;
  uint8_t* bytes;
  Md5State* in;
  bool ok;
};

void ReadAndDigest(void* user) {
  ReadJob* job = static_cast<ReadJob*>(user);
  const PipeBlock& b = job->block;
  if (b.at == 0) Md5Init(job->in);
  job->ok = job->pipe->read(job->pipe->user, b.entry, b.at, job->bytes, b.size, b.last);
  if (job->ok) Md5Update(job->in, job->bytes, b.size);
}

}  // namespace

bool RunPipe(BlockPipe* pipe) {
  std::vector<PipeBlock> blocks;
  for (int e = 0; e < PACKAGE_ENTRY_COUNT; ++e) {
    const uint32_t size = pipe->stream->directory->entries[e].dataSize;
    uint64_t at = 0;
    do {
      uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, size - at);
      blocks.push_back({e, at, n, at + n == size});
      at += n;
    } while (at < size);
  }
  std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(kBlock), std::vector<uint8_t>(kBlock)};
  Md5State ins[PACKAGE_ENTRY_COUNT];
  auto job = [&](size_t j) {
    return ReadJob{pipe, blocks[j], buffers[j % 2].data(), &ins[blocks[j].entry], false};
  };
  ReadJob next = job(0);
  ReadAndDigest(&next);
  EntryStream* stream = &pipe->stream->entry;
  for (size_t j = 0; j < blocks.size(); ++j) {
    if (!next.ok) return false;
    const PipeBlock b = blocks[j];
    std::thread helper;
    const bool more = j + 1 < blocks.size();
    if (more) next = job(j + 1);
    if (more && blocks[j + 1].size >= kThreadMinBytes) {
      HostStartThread(&helper, ReadAndDigest, &next);
    }
    if (b.at == 0) BeginPackageEntry(pipe->stream);
    uint8_t* bytes = buffers[j % 2].data();
    TurnEntryBytes(stream, bytes, b.size);
    bool ok = pipe->put(pipe->user, b.entry, b.at, bytes, b.size);
    const bool ranBeside = helper.joinable();
    if (ranBeside) helper.join();
    if (ok && b.last) {
      stream->in = ins[b.entry];
      EndPackageEntry(pipe->stream);
    }
    if (!ranBeside && more && ok) ReadAndDigest(&next);
    if (!ok) return false;
  }
  return true;
}
