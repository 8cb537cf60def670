// pack and build: a manifest's 17 files sealed into a package, written on its own or into a
// built installer in place of its package.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/packagedir.h"
#include "package/directory.h"
#include "package/entryname.h"
#include "package/seal.h"
#include "package/stream.h"
#include "tools/packtool/blocks.h"
#include "tools/packtool/commands.h"
#include "tools/packtool/hostfile.h"
#include "tools/packtool/manifest.h"
#include "tools/packtool/pe.h"
#include "tools/packtool/pebuild.h"

namespace {

// The installer maps its whole image, package included, into a 32-bit address space of 2 GB
// that DLLs, heaps and stacks share; one contiguous gigabyte leaves room for them.
const uint64_t kMaxInstallerImage = 1ull << 30;

// A checked manifest: 17 entries with names the installer accepts, each source a regular file
// below 2 GB, open (each is opened once, here, and read through that handle), the last one not
// empty; and the package's directory laid out for those sizes.
struct Payload {
  std::string manifest;
  std::vector<ManifestEntry> entries;
  HostFile sources[PACKAGE_ENTRY_COUNT];
  PackageDirectory directory;
  uint64_t imageSize, total;
};

bool ReadFromHostFile(void* user, void* bytes, size_t size, size_t* got) {
  return HostReadSome(static_cast<HostFile*>(user), bytes, size, got);
}

bool ReadManifest(const std::string& manifestPath, Payload* payload, std::string* error) {
  payload->manifest = manifestPath;
  HostFile m;
  if (!HostOpenRead(manifestPath, &m, error)) return false;
  bool ok = ReadManifestEntries(manifestPath, ReadFromHostFile, &m, &payload->entries, error);
  HostClose(&m);
  if (!ok) return false;
  std::vector<ManifestEntry>& entries = payload->entries;
  std::string base = HostFolderOf(manifestPath);
  // Every source is opened and looked at before anything is read or written.
  const char* names[PACKAGE_ENTRY_COUNT];
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  payload->total = 0;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    ManifestEntry& e = entries[i];
    std::string where = manifestPath + ":" + std::to_string(e.line) + ": ";
    if (!e.source.empty() && !HostIsAbsolute(e.source)) e.source = base + e.source;
    if (!HostOpenRead(e.source, &payload->sources[i], error)) return *error = where + *error, false;
    uint64_t size = payload->sources[i].size;
    if (size >= 0x80000000ull) {
      return *error = where + e.source + ": 2 GB or larger; an entry must stay below 2^31 bytes",
             false;
    }
    e.size = sizes[i] = (uint32_t)size;
    names[i] = e.name.c_str();
    payload->total += size;
  }
  if (sizes[PACKAGE_ENTRY_COUNT - 1] == 0) {
    return *error = manifestPath + ":" + std::to_string(entries[PACKAGE_ENTRY_COUNT - 1].line) +
                    ": entry 17 (" + entries[PACKAGE_ENTRY_COUNT - 1].name +
                    ") is empty: the installer would refuse the whole package", false;
  }
  payload->imageSize = LayoutPackage(&payload->directory, names, sizes);
  if (payload->imageSize == 0) {
    return *error = manifestPath + ": the package would reach 4 GB; it must stay below", false;
  }
  return true;
}

// Sealing: the sources read, the package written at the end of the part file, where it
// starts at base; with checksum, the PE checksum sum of the bytes written is added to it.
struct Sealing {
  const CommandCalls* calls;
  Payload* payload;
  HostPart* part;
  uint64_t base, written;
  uint64_t* checksum;
  std::string* error;
  std::string readError;  // set on the reading thread
  PackageStream stream;
};

bool ReadSource(void* user, int e, uint64_t, uint8_t* bytes, uint32_t size, bool last) {
  Sealing* s = static_cast<Sealing*>(user);
  const ManifestEntry& m = s->payload->entries[e];
  if (HostReadExactly(&s->payload->sources[e], m.source, bytes, size, last, &s->readError)) {
    return true;
  }
  s->readError = s->payload->manifest + ":" + std::to_string(m.line) + ": " + s->readError;
  return false;
}

bool PutSealed(void* user, int e, uint64_t, uint8_t* bytes, uint32_t size) {
  Sealing* s = static_cast<Sealing*>(user);
  if (s->checksum != nullptr) {
    *s->checksum = PeChecksumAddAt(*s->checksum, s->base + PACKAGE_DIRECTORY_SIZE + s->written,
                                   bytes, size);
  }
  if (!HostWritePart(s->part, bytes, size, s->error)) return false;
  s->written += size;
  s->calls->progress("packing", s->written, s->payload->total, s->payload->entries[e].name);
  return true;
}

// Writes the package in blocks: the directory's room first, then each entry sealed as its
// source is read, then the directory, with the plain digests, over its room.
bool WritePackage(const CommandCalls& calls, Payload* payload, HostPart* part, uint64_t base,
                  uint64_t* checksum, std::string* error) {
  const uint8_t room[PACKAGE_DIRECTORY_SIZE] = {};
  if (!HostWritePart(part, room, PACKAGE_DIRECTORY_SIZE, error)) return false;
  Sealing sealing = {&calls, payload, part, base, 0, checksum, error, {}, {}};
  StartPackageStream(&sealing.stream, &payload->directory);
  BlockPipe pipe = {ReadSource, PutSealed, &sealing, &sealing.stream};
  if (!RunPipe(&pipe)) {
    if (error->empty()) *error = sealing.readError;
    return false;
  }
  if (checksum != nullptr) {
    *checksum = PeChecksumAddAt(*checksum, base, (const uint8_t*)&payload->directory,
                                PACKAGE_DIRECTORY_SIZE);
  }
  return HostWritePartAt(part, base, &payload->directory, PACKAGE_DIRECTORY_SIZE, error);
}

// Closes the sources and finishes the part file: renamed over OUTPUT when ok, else removed.
int Finish(const CommandCalls& calls, Payload* payload, HostPart* part, bool ok, int mode,
           std::string* error) {
  for (HostFile& f : payload->sources) HostClose(&f);
  if (!ok) HostAbandonPart(part);
  if (!ok || !HostCommitPart(part, mode, error)) return calls.fail(*error);
  return 0;
}

// Stores the PE checksum, from the sum of every byte written (the CheckSum field's as written
// taken out), in the CheckSum field.
bool WriteChecksum(HostPart* part, uint64_t sum, uint64_t size, const uint8_t* field,
                   uint64_t fieldOffset, std::string* error) {
  uint32_t checksum = PeChecksumFinish(sum, PeLoad32(field), size);
  uint8_t bytes[4] = {(uint8_t)checksum, (uint8_t)(checksum >> 8), (uint8_t)(checksum >> 16),
                      (uint8_t)(checksum >> 24)};
  return HostWritePartAt(part, fieldOffset, bytes, 4, error);
}

// Writes the new installer through *part: the installer read through a window, its layout made
// for the payload's size, the part file made once everything is checked; then the bytes before
// the package, the package, the bytes after it and the checksum.
bool BuildInstaller(const CommandCalls& calls, const std::string& installerPath,
                    Payload* payload, unsigned* mode, const std::string& outputPath,
                    HostPart* part, std::string* error) {
  HostFile input;
  if (!HostOpenPackageFile(installerPath, &input, error)) return false;
  *mode = input.mode;
  PeWindow window = {HostReadAtFor, &input};
  PeFile file = {input.size, &window};
  InstallerLayout layout;
  std::vector<uint8_t> around;
  size_t packageOffset = 0;
  bool ok = ReadInstaller(file, &layout, error);
  if (!ok) *error = installerPath + ": " + *error;
  ok = ok && ReadManifest(payload->manifest, payload, error);
  if (ok) {
    uint64_t imageSize = BuiltImageSize(layout, payload->imageSize);
    if (imageSize > kMaxInstallerImage) {
      *error = payload->manifest + ": payload of " + std::to_string(payload->total) +
               " bytes too large: the installer, a 32-bit program that maps itself whole, "
               "must stay within 1 GB (its image would take " + std::to_string(imageSize) +
               " bytes)";
      ok = false;
    }
  }
  if (ok && !WriteInstallerAround(file, layout, (uint32_t)payload->imageSize, &around,
                                  &packageOffset, error)) {
    *error = installerPath + ": " + *error;
    ok = false;
  }
  HostClose(&input);
  if (!ok) return false;
  uint64_t size = around.size() + payload->imageSize;
  uint64_t fieldOffset = layout.pe.optionalHeader + PE_OPTIONAL_CHECKSUM;
  if (fieldOffset + 4 > packageOffset) {  // the reader put the headers before every section
    return *error = installerPath + ": CheckSum field beyond the headers", false;
  }
  uint64_t sum = PeChecksumAddAt(0, 0, around.data(), packageOffset);
  sum = PeChecksumAddAt(sum, packageOffset + payload->imageSize, around.data() + packageOffset,
                        around.size() - packageOffset);
  return HostCreatePart(outputPath, part, error) &&
         HostWritePart(part, around.data(), packageOffset, error) &&
         WritePackage(calls, payload, part, packageOffset, &sum, error) &&
         HostWritePart(part, around.data() + packageOffset, around.size() - packageOffset,
                       error) &&
         WriteChecksum(part, sum, size, around.data() + fieldOffset, fieldOffset, error);
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
