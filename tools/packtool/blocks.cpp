// The pipe of blocks: the reading and first digest of the next block, and the keeping of the one
// before, on a second thread beside the keystream and other digest of this one.
#include "tools/packtool/blocks.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "base/shared.h"
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

// The reading and first digest of one block, on the second thread; with it, the keeping of the
// block put before, when there is one.
struct ReadJob {
  BlockPipe* pipe;
  int e;
  PipeBlock block;
  uint8_t* bytes;
  Md5State* in;
  bool ok;
  const PipeBlock* held;
  const uint8_t* heldBytes;
  int heldEntry;
  int32_t kept, done;  // shared words: the held block is kept; the job is done
};

void ReadAndDigest(void* user) {
  ReadJob* job = static_cast<ReadJob*>(user);
  const PipeBlock& b = job->block;
  if (job->held != nullptr) {
    job->pipe->keep(job->pipe->user, job->heldEntry, job->held->at, job->heldBytes,
                    job->held->size);
  }
  StoreShared(&job->kept, 1);
  if (b.at == 0) Md5Init(job->in);
  job->ok = job->pipe->read(job->pipe->user, job->e, b.at, job->bytes, b.size, b.last);
  if (job->ok) Md5Update(job->in, job->bytes, b.size);
  StoreShared(&job->done, 1);
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
  // Three buffers when blocks are kept: the one turned, the one read, the one being kept.
  const size_t ring = pipe->keep != nullptr ? 3 : 2;
  std::vector<uint8_t> buffers[3];
  for (size_t k = 0; k < ring; ++k) buffers[k].resize(kBlock);
  std::vector<Md5State> ins(count);
  auto job = [&](size_t j) {
    const PipeBlock& b = blocks[j];
    return ReadJob{pipe, entries[b.entry], b, buffers[j % ring].data(), &ins[b.entry], false,
                   nullptr, nullptr, 0, 0, 0};
  };
  ReadJob next = job(0);
  ReadAndDigest(&next);
  EntryStream* stream = nullptr;
  const PipeBlock* held = nullptr;  // put, not kept yet: a block of an entry that goes on
  const uint8_t* heldBytes = nullptr;
  for (size_t j = 0; j < blocks.size(); ++j) {
    if (!next.ok) return false;
    const PipeBlock b = blocks[j];
    const int e = entries[b.entry];
    std::thread helper;
    const bool more = j + 1 < blocks.size();
    if (more) next = job(j + 1);
    const bool beside = more && (!pipe->serial || blocks[j + 1].entry == b.entry);
    if (beside && blocks[j + 1].size >= kThreadMinBytes) {
      next.held = held;
      next.heldBytes = heldBytes;
      next.heldEntry = held != nullptr ? entries[held->entry] : 0;
      held = nullptr;
      HostStartThread(&helper, ReadAndDigest, &next);
    }
    if (held != nullptr) {
      pipe->keep(pipe->user, entries[held->entry], held->at, heldBytes, held->size);
      held = nullptr;
    }
    if (b.at == 0) stream = pipe->begin(pipe->user, e);
    uint8_t* bytes = buffers[j % ring].data();
    TurnEntryBytes(stream, bytes, b.size);
    bool ok = pipe->put(pipe->user, e, b.at, bytes, b.size);
    const bool ranBeside = helper.joinable();
    if (ok && pipe->keep != nullptr && !b.last) {
      // Kept here while the helper still reads (its own keeping done), so that the writes go to
      // the thread with time for them; else left to the next helper.
      if (!ranBeside || (LoadShared(&next.kept) != 0 && LoadShared(&next.done) == 0)) {
        pipe->keep(pipe->user, e, b.at, bytes, b.size);
      } else {
        held = &blocks[j];
        heldBytes = bytes;
      }
    }
    if (ranBeside) helper.join();
    if (ok && pipe->keep != nullptr && b.last) pipe->keep(pipe->user, e, b.at, bytes, b.size);
    if (ok && b.last) {
      stream->in = ins[b.entry];
      pipe->end(pipe->user, e);
    }
    if (!ranBeside && more && ok) ReadAndDigest(&next);
    if (!ok) return false;
  }
  return true;
}
