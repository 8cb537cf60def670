// pack and build: a manifest's 17 files sealed into a package in blocks, two in flight, written
// on its own or into a built installer in place of its package.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "base/packagedir.h"
#include "package/seal.h"
#include "package/stream.h"
#include "tools/packtool/commands.h"
#include "tools/packtool/hostfile.h"
#include "tools/packtool/manifest.h"
#include "tools/packtool/pe.h"

namespace {

// The installer maps its whole image, package included, into a 32-bit address space of 2 GB
// that DLLs, heaps and stacks share; one contiguous gigabyte leaves room for them.
const uint64_t kMaxInstallerImage = 1ull << 30;

// A checked manifest: 17 entries, each source a regular file below 2 GB opened once (and read
// through that handle), the last one not empty; and the package's directory laid out for them.
struct Payload {
  std::string manifest;
  std::vector<ManifestEntry> entries;
  HostFile sources[PACKAGE_ENTRY_COUNT];
  PackageDirectory directory;
  uint64_t imageSize, total;
};

bool ReadManifest(const std::string& manifestPath, Payload* payload, std::string* error) {
  payload->manifest = manifestPath;
  HostFile m;
  if (!HostOpenRead(manifestPath, &m, error)) return false;
  bool ok = ReadManifestEntries(manifestPath, HostReadSome, &m, &payload->entries, error);
  HostClose(&m);
  if (!ok) return false;
  // Every source is opened and looked at before anything is read or written.
  const char* names[PACKAGE_ENTRY_COUNT];
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  payload->total = 0;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    ManifestEntry& e = payload->entries[i];
    std::string where = manifestPath + ":" + std::to_string(e.line) + ": ";
    e.source = HostBeside(manifestPath, e.source);
    if (!HostOpenRead(e.source, &payload->sources[i], error)) return *error = where + *error, false;
    uint64_t size = payload->sources[i].size;
    if (size >= 0x80000000ull) {
      return *error = where + e.source + ": 2 GB or larger; an entry stays below 2^31 bytes", false;
    }
    if (i == PACKAGE_ENTRY_COUNT - 1 && size == 0) {
      return *error = where + "entry 17 (" + e.name + ") is empty; the installer refuses it", false;
    }
    sizes[i] = (uint32_t)size;
    names[i] = e.name.c_str();
    payload->total += size;
  }
  payload->imageSize = LayoutPackage(&payload->directory, names, sizes);
  if (payload->imageSize != 0) return true;
  return *error = manifestPath + ": the package would reach 4 GB; it must stay below", false;
}

// Bytes read, sealed and written at a time.
const uint32_t kBlock = 4u << 20;

struct Block {
  int entry;
  uint64_t at;  // in the entry
  uint32_t size;
  bool last;    // the entry ends there
};

// Sealing: the sources read, the package written at the end of the part file, where it
// starts at base; with checksum, the PE checksum sum of the bytes written is added to it.
struct Sealing {
  const CommandCalls* calls;
  Payload* payload;
  HostPart* part;
  uint64_t base, written;
  uint64_t* checksum;
  std::string* error;
  PackageStream stream;
  std::vector<Block> blocks;
  std::vector<uint8_t> buffers[2];  // block j in buffers[j % 2]
  Md5State ins[PACKAGE_ENTRY_COUNT];
  size_t next = 0;        // the block ReadAndDigest reads
  bool readOk = false;    // and whether it could
  std::string readError;  // set on the reading thread
};

// Reads block next into its buffer and digests it, on the second thread or this one.
void ReadAndDigest(void* user) {
  Sealing* s = static_cast<Sealing*>(user);
  const Block& b = s->blocks[s->next];
  const ManifestEntry& m = s->payload->entries[b.entry];
  uint8_t* bytes = s->buffers[s->next % 2].data();
  if (b.at == 0) Md5Init(&s->ins[b.entry]);
  s->readOk = HostReadAt(&s->payload->sources[b.entry], m.source, b.at, bytes, b.size,
                         &s->readError, b.last);
  if (s->readOk) {
    Md5Update(&s->ins[b.entry], bytes, b.size);
  } else {
    s->readError = s->payload->manifest + ":" + std::to_string(m.line) + ": " + s->readError;
  }
}

// Seals the entries in blocks: while a second thread reads block j + 1 and digests it, this thread
// turns block j (the keystream beside the other digest) and writes it.
bool SealBlocks(Sealing* s) {
  for (int e = 0; e < PACKAGE_ENTRY_COUNT; ++e) {
    const uint32_t size = s->payload->directory.entries[e].dataSize;
    for (uint64_t at = 0; at == 0 || at < size; at += kBlock) {
      const uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, size - at);
      s->blocks.push_back({e, at, n, at + n == size});
    }
  }
  for (std::vector<uint8_t>& buffer : s->buffers) buffer.resize(kBlock);
  s->next = 0;
  ReadAndDigest(s);
  EntryStream* stream = &s->stream.entry;
  for (size_t j = 0; j < s->blocks.size(); ++j) {
    if (!s->readOk) return false;
    const Block b = s->blocks[j];
    std::thread helper;
    if (++s->next < s->blocks.size()) helper = HostStartThread(ReadAndDigest, s);
    if (b.at == 0) BeginPackageEntry(&s->stream);
    uint8_t* bytes = s->buffers[j % 2].data();
    TurnEntryBytes(stream, bytes, b.size);
    const uint64_t at = s->base + PACKAGE_DIRECTORY_SIZE + s->written;
    if (s->checksum != nullptr) *s->checksum = PeChecksumAddAt(*s->checksum, at, bytes, b.size);
    const bool ok = HostWritePartAt(s->part, at, bytes, b.size, s->error);
    const std::string& name = s->payload->entries[b.entry].name;
    s->written += b.size;
    if (ok) s->calls->progress("packing", s->written, s->payload->total, name);
    if (helper.joinable()) helper.join();
    if (!ok) return false;
    if (b.last) {  // the entry's blocks are all read and digested: its "in" digest is whole
      stream->in = s->ins[b.entry];
      EndPackageEntry(&s->stream);
    }
  }
  return true;
}

// Writes the package at base in blocks: each entry sealed as its source is read, then the
// directory, with the plain digests, in front of them.
bool WritePackage(const CommandCalls& calls, Payload* payload, HostPart* part, uint64_t base,
                  uint64_t* checksum, std::string* error) {
  Sealing sealing = {&calls, payload, part, base, 0, checksum, error};
  StartPackageStream(&sealing.stream, &payload->directory);
  if (!SealBlocks(&sealing)) {
    if (error->empty()) *error = sealing.readError;
    return false;
  }
  if (checksum != nullptr) {
    *checksum = PeChecksumAddAt(*checksum, base, (const uint8_t*)&payload->directory,
                                PACKAGE_DIRECTORY_SIZE);
  }
  return HostWritePartAt(part, base, &payload->directory, PACKAGE_DIRECTORY_SIZE, error);
}

int Finish(const CommandCalls& calls, Payload* payload, HostPart* part, bool ok, int mode,
           std::string* error) {
  for (HostFile& f : payload->sources) HostClose(&f);
  if (!ok) HostAbandonPart(part);
  return ok && HostCommitPart(part, mode, error) ? 0 : calls.fail(*error);
}

// Writes the new installer through *part, made once everything is checked: the bytes before the
// package, the package, the bytes after it, and the checksum.
bool BuildInstaller(const CommandCalls& calls, const std::string& installerPath,
                    Payload* payload, unsigned* mode, const std::string& outputPath,
                    HostPart* part, std::string* error) {
  HostFile input;
  if (!HostOpenRead(installerPath, &input, error, true)) return false;
  *mode = input.mode;
  PeFile file = {input.size, HostReadAtFor, &input};
  PeImage layout;
  std::vector<uint8_t> around;
  size_t packageOffset = 0;
  std::string peError;  // set only on a failure of the executable's reader or writer
  bool ok = ReadInstaller(file, &layout, &peError) &&
            ReadManifest(payload->manifest, payload, error);
  const uint64_t imageSize = ok ? BuiltImageSize(layout, payload->imageSize) : 0;
  if (imageSize > kMaxInstallerImage) {
    *error = payload->manifest + ": payload of " + std::to_string(payload->total) +
             " bytes too large: the installer, a 32-bit program that maps itself whole, must "
             "stay within 1 GB (its image would take " + std::to_string(imageSize) + " bytes)";
    ok = false;
  }
  ok = ok && WriteInstallerAround(file, layout, (uint32_t)payload->imageSize, &around,
                                  &packageOffset, &peError);
  HostClose(&input);
  if (!peError.empty()) *error = installerPath + ": " + peError;
  if (!ok) return false;
  uint64_t size = around.size() + payload->imageSize;
  // In the headers, which the writer keeps in front of every section.
  uint64_t fieldOffset = layout.pe.optionalHeader + PE_OPTIONAL_CHECKSUM;
  const uint64_t afterAt = packageOffset + payload->imageSize, afterSize = size - afterAt;
  const uint8_t* after = around.data() + packageOffset;  // the bytes after the package
  uint64_t sum = PeChecksumAddAt(0, 0, around.data(), packageOffset);
  sum = PeChecksumAddAt(sum, afterAt, after, afterSize);
  if (!HostCreatePart(outputPath, part, error) ||
      !HostWritePartAt(part, 0, around.data(), packageOffset, error) ||
      !WritePackage(calls, payload, part, packageOffset, &sum, error) ||
      !HostWritePartAt(part, afterAt, after, afterSize, error)) {
    return false;
  }
  // The sum of every byte written, the CheckSum field's as written taken out.
  const uint32_t checksum = PeChecksumFinish(sum, PeLoad32(around.data() + fieldOffset), size);
  const uint8_t bytes[4] = {(uint8_t)checksum, (uint8_t)(checksum >> 8),
                            (uint8_t)(checksum >> 16), (uint8_t)(checksum >> 24)};
  return HostWritePartAt(part, fieldOffset, bytes, 4, error);
}

}  // namespace

int Pack(const CommandCalls& calls, const std::string* args) {
  HostOnStop("reading the sources", args[1] + " unchanged");
  Payload payload;
  std::string error;
  HostPart part;
  bool ok = ReadManifest(args[0], &payload, &error) && HostCreatePart(args[1], &part, &error) &&
            WritePackage(calls, &payload, &part, 0, nullptr, &error);
  return Finish(calls, &payload, &part, ok, -1, &error);
}

int Build(const CommandCalls& calls, const std::string* args) {
  HostOnStop("reading the inputs", args[2] + " unchanged");
  if (HostSameFile(args[0], args[2])) {
    return calls.fail(args[2] + ": OUTPUT is INSTALLER; write the new installer to another file");
  }
  Payload payload;
  payload.manifest = args[1];
  unsigned mode = 0644;
  std::string error;
  HostPart part;
  bool ok = BuildInstaller(calls, args[0], &payload, &mode, args[2], &part, &error);
  return Finish(calls, &payload, &part, ok, (int)mode, &error);
}
