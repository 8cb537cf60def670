// The pipe of blocks: the reading and first digest of the next block on a second thread beside
// the keystream and other digest of this one.
#include "tools/packtool/blocks.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "tools/packtool/hostfile.h"

namespace {

// Below this many bytes a block is read and digested on the calling thread (a thread costs more).
const uint32_t kThreadMinBytes = 256u << 10;

struct PipeBlock {
  int entry;  // the index into the entries run through the pipe
  uint64_t at;
  uint32_t size;
  bool last;
};

// The reading and first digest of one block, on the second thread.
struct ReadJob {
  BlockPipe* pipe;
  int e;
  PipeBlock block;
  uint8_t* bytes;
  Md5State* in;
  bool ok;
};

void ReadAndDigest(void* user) {
  ReadJob* job = static_cast<ReadJob*>(user);
  const PipeBlock& b = job->block;
  if (b.at == 0) Md5Init(job->in);
  job->ok = job->pipe->read(job->pipe->user, job->e, b.at, job->bytes, b.size, b.last);
  if (job->ok) Md5Update(job->in, job->bytes, b.size);
}

}  // namespace

bool RunPipe(BlockPipe* pipe, const int* entries, const uint32_t* sizes, int count) {
  std::vector<PipeBlock> blocks;
  for (int k = 0; k < count; ++k) {
    uint64_t at = 0;
    do {
      uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, sizes[k] - at);
      blocks.push_back({k, at, n, at + n == sizes[k]});
      at += n;
    } while (at < sizes[k]);
  }
  if (blocks.empty()) return true;
  std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(kBlock), std::vector<uint8_t>(kBlock)};
  std::vector<Md5State> ins(count);
  auto job = [&](size_t j) {
    const PipeBlock& b = blocks[j];
    return ReadJob{pipe, entries[b.entry], b, buffers[j & 1].data(), &ins[b.entry], false};
  };
  ReadJob next = job(0);
  ReadAndDigest(&next);
  EntryStream* stream = nullptr;
  for (size_t j = 0; j < blocks.size(); ++j) {
    if (!next.ok) return false;
    const PipeBlock b = blocks[j];
    const int e = entries[b.entry];
    std::thread helper;
    const bool more = j + 1 < blocks.size();
    if (more) next = job(j + 1);
    const bool beside = more && (!pipe->serial || blocks[j + 1].entry == b.entry);
    if (beside && blocks[j + 1].size >= kThreadMinBytes) {
      HostStartThread(&helper, ReadAndDigest, &next);
    }
    if (b.at == 0) stream = pipe->begin(pipe->user, e);
    uint8_t* bytes = buffers[j & 1].data();
    TurnEntryBytes(stream, bytes, b.size);
    bool ok = pipe->put(pipe->user, e, b.at, bytes, b.size);
    if (ok && b.last) {
      stream->in = ins[b.entry];
      pipe->end(pipe->user, e);
    }
    if (helper.joinable()) {
      helper.join();
    } else if (more && ok) {
      ReadAndDigest(&next);
    }
    if (!ok) return false;
  }
  return true;
}

