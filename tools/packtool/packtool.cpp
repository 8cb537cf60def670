// packtool: the publisher's packing tool. Makes a package from a manifest of 17 files, builds a
// finished installer from a built one and a manifest, lists and verifies a package (on its own or
// embedded in an installer) and unpacks one, applying the installer's own rules through the same
// package code.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/packagedir.h"
#include "base/text.h"
#include "package/directory.h"
#include "package/keystream.h"
#include "package/md5.h"
#include "package/stream.h"
#include "package/entryname.h"
#include "package/place.h"
#include "package/seal.h"
#include "tools/packtool/hostfile.h"
#include "tools/packtool/manifest.h"
#include "tools/packtool/pe.h"
#include "tools/packtool/pebuild.h"

namespace {

const char kManifestHelp[] =
    "MANIFEST: one line per entry, in directory order: the entry name, '|', and the source\n"
    "file, relative to the manifest's folder. A line whose first character other than a blank\n"
    "is '#' is a comment; elsewhere '#' is part of the line, and a source ending in a blank and\n"
    "'#...' (a comment after an entry) is refused. Blank lines are skipped; a UTF-8 byte-order\n"
    "mark at the start is allowed; a line holds at most 8192 bytes. 17 entries; the payload\n"
    "holds TavrinSolo.exe and readme.txt at the top level, and the last file is not empty.\n"
    "Entry names: printable ASCII, at most 127 characters, backslashes between folders, no\n"
    "drive, no leading backslash, no \".\" or \"..\" part, no device name (CON, NUL, COM1...),\n"
    "no name twice (case is ignored).\n";

const char kWriteExit[] =
    "OUTPUT is written as OUTPUT.packtool-part, which must not exist, and renamed when whole.\n"
    "Prints nothing on success. Exit status: 0 written; 1 refused or failed, with one line on\n"
    "stderr and nothing written; 2 wrong arguments.\n";

const char kResultHelp[] =
    "Then prints \"result: N\", the result the installer's extraction would give:\n"
    "  0           every entry whole\n"
    "  -1          every entry whole, but the last one is empty (the installer refuses it)\n"
    "  -101..-117  1 to 17 entries failed (-100 minus their count); each is named above it\n";

struct Command {
  const char* name;
  size_t arguments;
  const char* synopsis;  // the line in the general usage
  const char* what;      // the rest of the command's own usage
  const char* more[2];   // shared paragraphs, or null
};

const Command kCommands[] = {
    {"pack", 2, "pack MANIFEST OUTPUT              make a package from the 17 files a manifest names",
     "Writes OUTPUT: the package (the installer's resource RCDATA 100) of the files MANIFEST\n"
     "names.\n",
     {kWriteExit, kManifestHelp}},
    {"build", 3,
     "build INSTALLER MANIFEST OUTPUT   write OUTPUT: INSTALLER with the payload of MANIFEST",
     "Writes OUTPUT: INSTALLER (a TavrinSoloSetup.exe built by this project, with any payload,\n"
     "unsigned) with its package replaced by one packed from MANIFEST. Sign OUTPUT afterwards.\n",
     {kWriteExit, kManifestHelp}},
    {"list", 1, "list FILE                         print the directory: name, size, offset, MD5",
     "Prints one line per entry (number, size, offset, plain MD5, name), then the package's\n"
     "size in bytes. FILE is a package file or an executable (signed or not) that carries one\n"
     "as resource RCDATA 100.\n"
     "Exit status: 0 listed; 1 a file that cannot be read as a package, or one whose entries end\n"
     "beyond it (one line on stderr); 2 wrong arguments.\n",
     {nullptr, nullptr}},
    {"verify", 1, "verify FILE                       unscramble and check every entry; print the result",
     "Checks the layout (one line per problem: whatever the installer reads is read, entries\n"
     "sharing bytes and a first entry not at 2720 included), then unscrambles and digests every\n"
     "entry as the installer would, in blocks. FILE is as for list.\n",
     {kResultHelp,
      "Exit status: 0 result 0 and no layout problem; 1 otherwise, with one line on stderr (no\n"
      "result when the file cannot be read as a package); 2 wrong arguments.\n"}},
    {"unpack", 2, "unpack FILE FOLDER                write the files into FOLDER as the installer would",
     "Writes the files into FOLDER (new, or an existing empty folder that is not a link) as the\n"
     "installer places them, after the lines verify prints. A file whose entry fails its check\n"
     "is removed, so only whole files are left, also when stopped. Names that differ only in\n"
     "case make one file, as on Windows: the first spelling, the later bytes. FILE is as for list.\n",
     {kResultHelp,
      "Exit status: 0 result 0 and no layout problem; 1 otherwise, or a file that cannot be read\n"
      "or written, with one line on stderr; 2 wrong arguments.\n"}},
};

void PrintUsage(FILE* to) {
  fputs("usage: packtool [--quiet] COMMAND ARGUMENTS\n\n", to);
  for (const Command& c : kCommands) fprintf(to, "  %s\n", c.synopsis);
  fputs("\n"
        "  packtool COMMAND --help           that command's usage, exit status and results\n"
        "  --quiet, -q                       (with any command) no progress line\n"
        "\n"
        "Exit status: 0 success; 1 refused or failed, with one line on stderr; 2 wrong arguments\n"
        "or an unknown command. A stop (Ctrl+C) prints one line saying what it left.\n",
        to);
}

void PrintCommandUsage(const Command& c, FILE* to) {
  std::string line = c.synopsis;
  fprintf(to, "usage: packtool %s\n\n%s", line.substr(0, line.find("  ")).c_str(), c.what);
  for (const char* more : c.more) {
    if (more != nullptr) fprintf(to, "\n%s", more);
  }
}

const uint64_t kLargeBytes = 64u << 20;  // show progress above this, on a terminal
// The installer maps its whole image, package included, into a 32-bit address space of 2 GB
// that DLLs, heaps and stacks share; one contiguous gigabyte leaves room for them.
const uint64_t kMaxInstallerImage = 1ull << 30;

int Fail(const std::string& message) {
  fprintf(stderr, "packtool: %s\n", message.c_str());
  return 1;
}

bool gQuiet = false;  // --quiet: no progress line

// One line on standard error, updated in place while a large payload is worked through: bytes
// done of the total and the entry at hand; ended when all is done. Only on a terminal.
void Progress(const char* what, uint64_t done, uint64_t total, const std::string& entry) {
  static int terminal = -1;
  if (gQuiet || total < kLargeBytes) return;
  if (terminal < 0) terminal = HostErrorIsTerminal() ? 1 : 0;
  if (terminal == 0) return;
  std::string name = entry.size() > 40 ? "..." + entry.substr(entry.size() - 37) : entry;
  fprintf(stderr, "\r%s: %llu of %llu MB (%3u%%) %-40s", what,
          (unsigned long long)(done >> 20), (unsigned long long)(total >> 20),
          (unsigned)(done * 100 / total), done == total ? "" : name.c_str());
  if (done == total) fputc('\n', stderr);
  fflush(stderr);
  HostProgressShowing(done != total);
}

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

void ClosePayload(Payload* payload) {
  for (HostFile& f : payload->sources) HostClose(&f);
}

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

// Bytes read, sealed and written at a time.
const size_t kBlock = 4u << 20;

// Below this many bytes a block is digested on the calling thread (a thread costs more).
const uint32_t kThreadMinBytes = 256u << 10;

// The entries of a package in blocks through their streams (package/stream.h), each block read
// once: while a second thread reads block j + 1 and digests it as read, this thread turns block j
// (the keystream beside the other digest) and puts it. begin gives the stream of an entry whose
// first block is next, begun; end comes once its last block is put. read gets the bytes at an
// offset in the entry (last: the entry ends there). serial: each block read only after the one
// before is put (entries that share bytes read what the entries before them wrote back).
struct BlockPipe {
  bool (*read)(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size, bool last);
  EntryStream* (*begin)(void* user, int e);
  bool (*put)(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size);
  void (*end)(void* user, int e);
  void* user;
  bool serial;
};

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

// Runs count entries (their indices and sizes) through the pipe; false when a callback fails.
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
    if (more && !pipe->serial && blocks[j + 1].size >= kThreadMinBytes) {
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

// Sealing: the sources read, the package written at the end of the part file, where it
// starts at base; with checksum, the PE checksum sum of the bytes written is added to it.
struct Sealing {
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

EntryStream* BeginSealing(void* user, int) {
  Sealing* s = static_cast<Sealing*>(user);
  BeginPackageEntry(&s->stream);
  return &s->stream.entry;
}

bool PutSealed(void* user, int e, uint64_t, uint8_t* bytes, uint32_t size) {
  Sealing* s = static_cast<Sealing*>(user);
  if (s->checksum != nullptr) {
    *s->checksum = PeChecksumAddAt(*s->checksum, s->base + PACKAGE_DIRECTORY_SIZE + s->written,
                                   bytes, size);
  }
  if (!HostWritePart(s->part, bytes, size, s->error)) return false;
  s->written += size;
  Progress("packing", s->written, s->payload->total, s->payload->entries[e].name);
  return true;
}

void EndSealing(void* user, int) { EndPackageEntry(&static_cast<Sealing*>(user)->stream); }

// Writes the package in blocks: the directory's room first, then each entry sealed as its
// source is read, then the directory, with the plain digests, over its room.
bool WritePackage(Payload* payload, HostPart* part, uint64_t base, uint64_t* checksum,
                  std::string* error) {
  const uint8_t room[PACKAGE_DIRECTORY_SIZE] = {};
  if (!HostWritePart(part, room, PACKAGE_DIRECTORY_SIZE, error)) return false;
  Sealing sealing = {payload, part, base, 0, checksum, error, {}, {}};
  StartPackageStream(&sealing.stream, &payload->directory, 0, PACKAGE_SEAL, nullptr, nullptr,
                     nullptr);
  BlockPipe pipe = {ReadSource, BeginSealing, PutSealed, EndSealing, &sealing, false};
  int entries[PACKAGE_ENTRY_COUNT];
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    entries[i] = i;
    sizes[i] = payload->directory.entries[i].dataSize;
  }
  if (!RunPipe(&pipe, entries, sizes, PACKAGE_ENTRY_COUNT)) {
    if (error->empty()) *error = sealing.readError;
    return false;
  }
  if (checksum != nullptr) {
    *checksum = PeChecksumAddAt(*checksum, base, (const uint8_t*)&payload->directory,
                                PACKAGE_DIRECTORY_SIZE);
  }
  return HostWritePartAt(part, base, &payload->directory, PACKAGE_DIRECTORY_SIZE, error);
}

int Pack(const std::string& manifestPath, const std::string& outputPath) {
  HostOnStop("reading the sources", outputPath + " unchanged");
  Payload payload;
  std::string error;
  HostPart part;
  bool ok = ReadManifest(manifestPath, &payload, &error) &&
            HostCreatePart(outputPath, &part, &error) &&
            WritePackage(&payload, &part, 0, nullptr, &error);
  ClosePayload(&payload);
  if (!ok) {
    HostAbandonPart(&part);
    return Fail(error);
  }
  if (!HostCommitPart(&part, -1, &error)) return Fail(error);
  return 0;
}

bool ReadHostFileAt(void* user, uint64_t offset, void* bytes, size_t size) {
  std::string ignored;
  return HostReadAt(static_cast<HostFile*>(user), "", offset, bytes, size, &ignored);
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
bool BuildInstaller(const std::string& installerPath, Payload* payload, unsigned* mode,
                    const std::string& outputPath, HostPart* part, std::string* error) {
  HostFile input;
  if (!HostOpenRead(installerPath, &input, error)) return false;
  *mode = input.mode;
  if (input.size >= 0x100000000ull) {
    HostClose(&input);
    return *error = installerPath + ": 4 GB or larger; too large for a package", false;
  }
  PeWindow window = {ReadHostFileAt, &input};
  PeFile file = {nullptr, input.size, &window};
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
         WritePackage(payload, part, packageOffset, &sum, error) &&
         HostWritePart(part, around.data() + packageOffset, around.size() - packageOffset,
                       error) &&
         WriteChecksum(part, sum, size, around.data() + fieldOffset, fieldOffset, error);
}

int Build(const std::string& installerPath, const std::string& manifestPath,
          const std::string& outputPath) {
  HostOnStop("reading the inputs", outputPath + " unchanged");
  if (HostSameFile(installerPath, outputPath)) {
    return Fail(outputPath + ": OUTPUT is INSTALLER; write the new installer to another file");
  }
  Payload payload;
  payload.manifest = manifestPath;
  unsigned mode = 0644;
  std::string error;
  HostPart part;
  bool ok = BuildInstaller(installerPath, &payload, &mode, outputPath, &part, &error);
  ClosePayload(&payload);
  if (!ok) {
    HostAbandonPart(&part);
    return Fail(error);
  }
  if (!HostCommitPart(&part, (int)mode, &error)) return Fail(error);
  return 0;
}

// A package file, or the RCDATA 100 package of an executable, left on disk and read through
// bounded reads: its size and where it starts in the file.
struct PackageView {
  std::string path;
  HostFile file;
  uint64_t base = 0, size = 0;
};

bool ReadThroughWindow(void* user, uint64_t offset, void* bytes, size_t size) {
  PackageView* view = static_cast<PackageView*>(user);
  std::string ignored;
  return HostReadAt(&view->file, view->path, offset, bytes, size, &ignored);
}

bool OpenPackage(const std::string& path, PackageView* view, std::string* error) {
  view->path = path;
  if (!HostOpenRead(path, &view->file, error)) return false;
  if (view->file.size >= 0x100000000ull) {
    return *error = path + ": 4 GB or larger; too large for a package", false;
  }
  PeWindow window = {ReadThroughWindow, view};
  PeFile file = {nullptr, view->file.size, &window};
  PeImage pe;
  std::string peError;
  int kind = ReadPeImage(file, &pe, &peError);
  if (kind < 0) return *error = path + ": " + peError, false;
  if (kind == 1) {
    if (pe.package < 0) return *error = path + ": executable without a package (RCDATA 100)", false;
    view->base = pe.packageOffset;
    view->size = pe.packageSize;
  } else {
    view->size = view->file.size;
  }
  if (view->size <= PACKAGE_DIRECTORY_SIZE) {
    return *error = path + ": truncated or not a package (" + std::to_string(view->size) +
                    " bytes, the directory alone takes 2720)", false;
  }
  return true;
}

bool ReadPackageBytes(PackageView* view, uint64_t offset, void* bytes, size_t size,
                      std::string* error) {
  return HostReadAt(&view->file, view->path, view->base + offset, bytes, size, error);
}

bool ReadPackageDirectory(PackageView* view, PackageDirectory* directory, std::string* error) {
  uint8_t bytes[PACKAGE_DIRECTORY_SIZE];
  if (!ReadPackageBytes(view, 0, bytes, sizeof bytes, error)) return false;
  CopyPackageDirectory(bytes, (uint32_t)view->size, directory);
  return true;
}

std::string PrintableName(const PackageEntry& entry) {
  return ShownName(std::string(entry.entryName, strnlen(entry.entryName, PACKAGE_NAME_SIZE)));
}

std::string DigestText(const uint8_t* bytes, int count) {
  std::string s;
  char two[3];
  for (int i = 0; i < count; ++i) {
    snprintf(two, sizeof two, "%02x", bytes[i]);
    s += two;
  }
  return s;
}

// The invariants of a well-formed package, one line per violation.
std::vector<std::string> LayoutProblems(uint64_t imageSize, const PackageDirectory& directory) {
  std::vector<std::string> problems;
  uint64_t expected = PACKAGE_DIRECTORY_SIZE;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& e = directory.entries[i];
    std::string who = "entry " + std::to_string(i + 1) + " (" + PrintableName(e) + "): ";
    if (!IsSafeEntryName(e.entryName, PACKAGE_NAME_SIZE)) {
      problems.push_back(who + "name the installer refuses");
    }
    if (e.dataOffset != expected) {
      problems.push_back(who + "offset " + std::to_string(e.dataOffset) + ", expected " +
                         std::to_string(expected));
    }
    if (e.dataSize >= 0x80000000u) problems.push_back(who + "size of 2^31 bytes or more");
    if ((uint64_t)e.dataOffset + e.dataSize > imageSize) {
      problems.push_back(who + "ends beyond the package (truncated)");
    }
    expected = (uint64_t)e.dataOffset + e.dataSize;
  }
  if (expected != imageSize) {
    problems.push_back("package is " + std::to_string(imageSize) +
                       " bytes; the last entry ends at " + std::to_string(expected));
  }
  if (directory.entries[PACKAGE_ENTRY_COUNT - 1].dataSize == 0) {
    problems.push_back("entry 17 is empty: the installer would return -1");
  }
  return problems;
}

int List(const std::string& path) {
  PackageView view;
  PackageDirectory directory;
  std::string error;
  bool ok = OpenPackage(path, &view, &error) && ReadPackageDirectory(&view, &directory, &error);
  HostClose(&view.file);
  if (!ok) return Fail(error);
  printf("%-3s %10s %10s  %-32s  %s\n", "#", "size", "offset", "plain MD5", "name");
  bool truncated = false;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& e = directory.entries[i];
    printf("%-3d %10u %10u  %s  %s\n", i + 1, e.dataSize, e.dataOffset,
           DigestText(e.plainDigest, 16).c_str(), PrintableName(e).c_str());
    if ((uint64_t)e.dataOffset + e.dataSize > view.size) truncated = true;
  }
  printf("%llu bytes\n", (unsigned long long)view.size);
  if (truncated) return Fail(path + ": truncated (an entry ends beyond the package)");
  return 0;
}

// verify and unpack: the package read entry by entry through the package stream, each block
// once, and placed by the installer's placing through a sink that takes the entry's index and
// name. Memory: two blocks, whatever the size.
struct Run {
  PackageView* view = nullptr;
  PackageDirectory directory;
  bool unpack = false;
  HostTree tree;       // unpack: the host folder
  uint64_t done = 0, total = 0;
  std::string error;   // the first host error of unpack
  std::string fatal;   // a read error, or a package that changed under us: the run stops
  std::string readError;  // set on the reading thread
  // When entries share bytes, a copy of the package in which each entry is unscrambled in place
  // as it is read, so that a later entry sees what it sees in the installer's memory.
  bool shared = false;
  HostFile scratch;
  PackageStream stream;
  // The entry at hand: its keystream parameters, its digests as first read, the file written as
  // it is read (unpack of an entry larger than a block), and its bytes when it fits in a block.
  int index = 0;
  EntryChain params;
  uint8_t in[16], out[16];
  HostTreeFile file;
  bool writeFailed = false;
  const uint8_t* plainBlock = nullptr;
  // Relative paths made so far, by their lower-case form: a later name that differs only in
  // case is written over the file (or into the folder) made first, as a Windows file system does.
  std::map<std::string, std::string> spelled;
};

std::string LowerPath(const char* name) {
  std::string lower;
  for (const char* c = name; *c != '\0'; ++c) {
    lower += *c == '\\' ? '/' : (char)(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c);
  }
  return lower;
}

// The entry's name as a '/'-separated path below the folder, each part spelled as first made.
std::string TreePath(Run* run, const char* name) {
  std::string path, lower;
  for (const char* c = name;; ++c) {
    if (*c == '\\' || *c == '\0') {
      auto made = run->spelled.emplace(lower, path);
      path = made.first->second;
      if (*c == '\0') return path;
      path += '/';
      lower += '/';
    } else {
      path += *c;
      lower += (char)(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c);
    }
  }
}

bool ReadEntryBytes(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size, bool) {
  Run* run = static_cast<Run*>(user);
  const uint64_t offset = run->directory.entries[e].dataOffset + at;
  if (run->shared) return HostReadAt(&run->scratch, run->view->path, offset, bytes, size,
                                     &run->readError);
  return ReadPackageBytes(run->view, offset, bytes, size, &run->readError);
}

bool PutEntryBytes(void* user, int, uint64_t at, uint8_t* bytes, uint32_t size) {
  Run* run = static_cast<Run*>(user);
  const PackageEntry& e = run->directory.entries[run->index];
  if (!run->fatal.empty()) return false;  // the entry before changed under us
  std::string error;
  if (run->shared && !HostWriteAt(&run->scratch, "scratch copy", e.dataOffset + at, bytes, size,
                                  &run->fatal)) {
    return false;
  }
  if (run->file.handle != -1 && !HostTreeWriteMore(&run->file, bytes, size, &error)) {
    run->writeFailed = true;  // the file is removed
    if (run->error.empty()) run->error = error;
  }
  run->plainBlock = e.dataSize <= kBlock ? bytes : nullptr;
  if (at + size < e.dataSize) {
    Progress(run->unpack ? "unpacking" : "verifying", run->done + at + size, run->total,
             PrintableName(e));
  }
  return true;
}

const char* OutcomeText(int32_t outcome) {
  switch (outcome) {
    case ENTRY_OUT_OF_BOUNDS: return "range ends beyond the package (skipped, not chained)";
    case ENTRY_DIGEST_MISMATCH: return "digest mismatch after unscrambling";
    case ENTRY_NAME_REFUSED: return "name refused";
    case ENTRY_PATH_TOO_LONG: return "path too long";
    case ENTRY_WRITE_FAILED: return "cannot write the file";
    default: return "written";
  }
}

bool CreateEntryFile(Run* run, const char* name) {
  std::string path = TreePath(run, name), error;
  size_t slash = path.rfind('/');
  bool ok = (slash == std::string::npos ||
             HostTreeMakeFolders(&run->tree, path.substr(0, slash), &error)) &&
            HostTreeCreateFile(&run->tree, path, &run->file, &error);
  if (!ok && run->error.empty()) run->error = error;
  return ok;
}

// The entry at hand into its file in blocks, read again: from the scratch copy, where it is
// unscrambled already, or from the package, unscrambled once more with its digests taken into
// *again.
bool WriteAgain(Run* run, uint32_t size, EntryStream* again, std::string* error) {
  const uint64_t offset = run->directory.entries[run->index].dataOffset;
  std::vector<uint8_t> block(std::min<size_t>(kBlock, size));
  BeginEntryStream(again, size, &run->params);
  for (uint32_t at = 0; at < size;) {
    uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, size - at);
    if (run->shared) {
      if (!HostReadAt(&run->scratch, "scratch copy", offset + at, block.data(), n, error)) {
        return false;
      }
    } else {
      if (!ReadPackageBytes(run->view, offset + at, block.data(), n, &run->fatal)) return false;
      FeedEntryStream(again, block.data(), n);
    }
    if (!HostTreeWriteMore(&run->file, block.data(), n, error)) return false;
    at += n;
  }
  return true;
}

// The sink's placing of a checked entry (unpack). Its file was written as it was read, or is
// written now: from the block, from the scratch copy, or, for a large entry whose name this run
// wrote before (the earlier file stays until this one is checked), read again and written, its
// digests taken once more: if they differ now, the package changed under us and the file goes.
int32_t PlaceCheckedEntry(void* user, int32_t, const char* name, uint32_t size, const void*) {
  Run* run = static_cast<Run*>(user);
  if (!run->unpack) return 1;
  if (run->writeFailed) return 0;
  std::string error;
  bool ok = true;
  if (run->file.handle == -1) {
    ok = CreateEntryFile(run, name);
    if (ok && run->plainBlock != nullptr) {
      ok = HostTreeWriteMore(&run->file, run->plainBlock, size, &error);
    } else if (ok) {
      EntryStream again;
      uint8_t in[16], out[16];
      ok = WriteAgain(run, size, &again, &error);
      EndEntryStream(&again, in, out);
      if (ok && !run->shared && (memcmp(in, run->in, 16) != 0 || memcmp(out, run->out, 16) != 0)) {
        run->fatal = run->view->path + ": changed while it was read (entry " +
                     std::to_string(run->index + 1) + " differs from its first reading)";
        ok = false;
      }
    }
  }
  if (ok && run->file.handle != -1) ok = HostTreeFinishFile(&run->file, &error);
  HostTreeAbandonFile(&run->file);  // nothing when finished
  if (!ok && !error.empty() && run->error.empty()) run->error = error;
  return ok ? 1 : 0;
}

void ReportEntry(void* user, int32_t index, int32_t outcome) {
  Run* run = static_cast<Run*>(user);
  HostTreeAbandonFile(&run->file);  // an entry written as it was read, then refused
  const PackageEntry& e = run->directory.entries[index];
  run->done += e.dataSize;
  Progress(run->unpack ? "unpacking" : "verifying", run->done, run->total, PrintableName(e));
  if (outcome != ENTRY_WRITTEN) {
    printf("entry %d (%s): %s\n", index + 1, PrintableName(e).c_str(), OutcomeText(outcome));
  }
}

// A copy of the package to unscramble entries in, when entries share bytes.
bool CopyToScratch(Run* run, std::string* error) {
  if (!HostOpenScratch(&run->scratch, error)) return false;
  std::vector<uint8_t> block(kBlock);
  for (uint64_t at = 0; at < run->view->size;) {
    size_t n = (size_t)std::min<uint64_t>(kBlock, run->view->size - at);
    if (!ReadPackageBytes(run->view, at, block.data(), n, error) ||
        !HostWriteAt(&run->scratch, "scratch copy", at, block.data(), n, error)) {
      return false;
    }
    at += n;
  }
  return true;
}

EntryStream* BeginChecking(void* user, int e) {
  Run* run = static_cast<Run*>(user);
  BeginPackageEntry(&run->stream);  // e: the entries out of the image are skipped alike
  const PackageEntry& entry = run->directory.entries[e];
  run->index = e;
  run->params = run->stream.chain;
  run->writeFailed = false;
  if (run->unpack && !run->shared && entry.dataSize > kBlock &&
      IsSafeEntryName(entry.entryName, PACKAGE_NAME_SIZE) &&
      run->spelled.count(LowerPath(entry.entryName)) == 0) {
    CreateEntryFile(run, entry.entryName);
  }
  return &run->stream.entry;
}

void EndChecking(void* user, int) {
  Run* run = static_cast<Run*>(user);
  EntryStream ended = run->stream.entry;
  EndEntryStream(&ended, run->in, run->out);
  EndPackageEntry(&run->stream);  // places the entry
}

// Extraction in blocks, entry by entry as the installer's in memory, through the package
// stream; for unpack an entry larger than a block whose name the installer takes and this run
// has not written yet is written as it is read (and removed if its digests then fail), a
// smaller one from its block once checked. The installer's result code in *result; false with
// *error on a read error.
bool ExtractInBlocks(Run* run, int32_t* result, std::string* error) {
  const uint32_t size = (uint32_t)run->view->size;
  run->shared = EntriesShareBytes(&run->directory, size) != 0;
  if (run->shared && !CopyToScratch(run, error)) return false;
  PackageSink sink = {nullptr, nullptr, ReportEntry, run, PlaceCheckedEntry};
  StartPackageStream(&run->stream, &run->directory, size, PACKAGE_CHECK, nullptr, nullptr, &sink);
  int entries[PACKAGE_ENTRY_COUNT], count = 0;
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (!EntryInImage(&run->directory.entries[i], size)) continue;
    sizes[count] = run->directory.entries[i].dataSize;
    entries[count++] = i;
  }
  BlockPipe pipe = {ReadEntryBytes, BeginChecking, PutEntryBytes, EndChecking, run, run->shared};
  bool ok = RunPipe(&pipe, entries, sizes, count);
  HostTreeAbandonFile(&run->file);  // nothing when the run went through
  if (!ok || !run->fatal.empty()) {
    return *error = !run->fatal.empty() ? run->fatal : run->readError, false;
  }
  BeginPackageEntry(&run->stream);  // the entries out of the image after the last one
  *result = PackageStreamResult(&run->stream);
  return true;
}

int Extract(const std::string& path, const std::string& folder) {
  PackageView view;
  Run run;
  run.view = &view;
  run.unpack = !folder.empty();
  HostOnStop(run.unpack ? "reading the package" : "verifying", "nothing written");
  std::string error;
  if (!OpenPackage(path, &view, &error) || !ReadPackageDirectory(&view, &run.directory, &error)) {
    HostClose(&view.file);
    return Fail(error);
  }
  std::vector<std::string> problems = LayoutProblems(view.size, run.directory);
  for (const std::string& p : problems) printf("%s\n", p.c_str());
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) run.total += run.directory.entries[i].dataSize;
  if (run.unpack && !HostOpenTree(folder, &run.tree, &error)) {
    HostClose(&view.file);
    return Fail(error);
  }
  int32_t result = 0;
  bool ok = ExtractInBlocks(&run, &result, &error);
  HostClose(&view.file);
  HostClose(&run.scratch);
  HostCloseTree(&run.tree);
  fflush(stdout);
  if (!ok) return Fail(error);
  printf("result: %d\n", result);
  fflush(stdout);
  if (!run.error.empty()) return Fail(run.error);
  if (result != 0) return Fail(path + ": result " + std::to_string(result) + (
      result == -1 ? ": the last entry is empty" : ": entries failed (named above)"));
  if (!problems.empty()) {
    return Fail(path + ": irregular layout (" + std::to_string(problems.size()) +
                " problem" + (problems.size() == 1 ? "" : "s") +
                " above); the installer extracts it as shown");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quiet") == 0 || strcmp(argv[i], "-q") == 0) {
      gQuiet = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.empty()) {
    PrintUsage(stderr);
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintUsage(stdout);
    return 0;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (args[0] == c.name) command = &c;
  }
  if (command == nullptr) {
    fprintf(stderr, "packtool: unknown command '%s'; the commands are pack, build, list, verify "
            "and unpack (packtool --help)\n", args[0].c_str());
    return 2;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      PrintCommandUsage(*command, stdout);
      return 0;
    }
  }
  if (args.size() != command->arguments + 1) {
    fprintf(stderr, "packtool: %s takes %u argument%s, not %u\n", command->name,
            (unsigned)command->arguments, command->arguments == 1 ? "" : "s",
            (unsigned)(args.size() - 1));
    PrintCommandUsage(*command, stderr);
    return 2;
  }
  const std::string& name = args[0];
  if (name == "pack") return Pack(args[1], args[2]);
  if (name == "build") return Build(args[1], args[2], args[3]);
  if (name == "list") return List(args[1]);
  if (name == "verify") return Extract(args[1], "");
  return Extract(args[1], args[2]);
}
