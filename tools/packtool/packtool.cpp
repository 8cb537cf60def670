// packtool: the publisher's packing tool. Makes a package from a manifest of 17 files, builds a
// finished installer from a built one and a manifest, lists and verifies a package (on its own or
// embedded in an installer) and unpacks one, applying the installer's own rules through the same
// package code.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/packagedir.h"
#include "base/text.h"
#include "package/directory.h"
#include "package/keystream.h"
#include "package/md5.h"
#include "package/unscramble.h"
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
     "Exit status: 0 listed; 1 not a package, or one whose entries end beyond it (one line on\n"
     "stderr); 2 wrong arguments.\n",
     {nullptr, nullptr}},
    {"verify", 1, "verify FILE                       unscramble and check every entry; print the result",
     "Checks the layout (one line per problem), then unscrambles and digests every entry as the\n"
     "installer would, in blocks. FILE is as for list.\n",
     {kResultHelp,
      "Exit status: 0 result 0 and no layout problem; 1 otherwise, or a file that cannot be\n"
      "read as a package (one line on stderr, no result); 2 wrong arguments.\n"}},
    {"unpack", 2, "unpack FILE FOLDER                write the files into FOLDER as the installer would",
     "Writes the files into FOLDER (new, or an existing empty folder that is not a link) as the\n"
     "installer places them; each entry is checked before its file is made, so only whole\n"
     "files are left, also when stopped. FILE is as for list.\n",
     {kResultHelp,
      "Exit status: 0 result 0; 1 otherwise, or a file that cannot be read or written (one line\n"
      "on stderr); 2 wrong arguments.\n"}},
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

// The digests of one block, made on a second thread while the calling thread reads and
// scrambles the next: the plain digest of the bytes as read, the stored digest of the bytes as
// scrambled.
struct DigestJob {
  Md5State* plain;
  Md5State* stored;
  const uint8_t* bytes;
  const uint8_t* scrambled;
  uint32_t size;
};

void DigestBlock(void* user) {
  DigestJob* job = static_cast<DigestJob*>(user);
  Md5Update(job->plain, job->bytes, job->size);
  Md5Update(job->stored, job->scrambled, job->size);
}

// Writes the package at the end of the part file, where it starts at base, in blocks: the
// directory's room first, then each entry as its source is read, its plain digest, keystream and
// stored digest running forward through its bytes (the stored digest seeds the next entry); then
// the directory, with the plain digests, over its room. The bytes SealPackage gives. With
// checksum, the PE checksum sum of the bytes written is added to *checksum as they are written.
// Two blocks are in flight: while the second thread digests block k, this one writes it, then
// reads and scrambles block k + 1 into the other pair of buffers. Only an entry's last digest
// holds this thread up: the next entry's keystream needs it.
bool WritePackage(Payload* payload, HostPart* part, uint64_t base, uint64_t* checksum,
                  std::string* error) {
  std::vector<uint8_t> buffers[2][2];  // [pair][0: as read, 1: scrambled]
  for (auto& pair : buffers) {
    for (std::vector<uint8_t>& buffer : pair) buffer.resize(kBlock);
  }
  memset(buffers[0][0].data(), 0, PACKAGE_DIRECTORY_SIZE);
  if (!HostWritePart(part, buffers[0][0].data(), PACKAGE_DIRECTORY_SIZE, error)) return false;
  EntryChain chain;
  StartEntryChain(&chain);
  uint64_t written = 0;
  HostThread helper;
  DigestJob job;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const ManifestEntry& e = payload->entries[i];
    PackageEntry* entry = &payload->directory.entries[i];
    Md5State plain, stored;
    Md5Init(&plain);
    Md5Init(&stored);
    KeystreamState ks;
    KeystreamStart(&ks, entry->dataSize, chain.entrySeed, chain.mixDigest);
    uint32_t done = 0;
    int pair = 0;
    bool ok = true;
    do {
      uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, e.size - done);
      bool last = done + n == e.size;
      uint8_t* bytes = buffers[pair][0].data();
      uint8_t* scrambled = buffers[pair][1].data();
      if (!HostReadExactly(&payload->sources[i], e.source, bytes, n, last, error)) {
        *error = payload->manifest + ":" + std::to_string(e.line) + ": " + *error;
        ok = false;
        break;
      }
      memcpy(scrambled, bytes, n);
      KeystreamApplyPart(&ks, scrambled, n);
      HostJoinThread(&helper);  // done with the block before: its buffers are the other pair
      job = {&plain, &stored, bytes, scrambled, n};
      if (n >= kThreadMinBytes) {
        HostStartThread(&helper, DigestBlock, &job);
      } else {
        DigestBlock(&job);
      }
      if (checksum != nullptr) {
        *checksum = PeChecksumAddAt(*checksum, base + PACKAGE_DIRECTORY_SIZE + written, scrambled,
                                    n);
      }
      if (!HostWritePart(part, scrambled, n, error)) {
        ok = false;
        break;
      }
      done += n;
      written += n;
      pair ^= 1;
      Progress("packing", written, payload->total, e.name);
    } while (done < e.size);
    HostJoinThread(&helper);
    if (!ok) return false;
    uint8_t storedDigest[16];
    Md5Final(&plain, entry->plainDigest);
    Md5Final(&stored, storedDigest);
    ChainEntry(&chain, storedDigest);
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
  uint32_t asWritten = field[0] | field[1] << 8 | field[2] << 16 | (uint32_t)field[3] << 24;
  uint32_t checksum = PeChecksumFinish(sum, asWritten, size);
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
  if (directory->entries[0].dataOffset != PACKAGE_DIRECTORY_SIZE) {
    return *error = view->path + ": not a package (the first entry does not start at 2720)", false;
  }
  return true;
}

std::string PrintableName(const PackageEntry& entry) {
  return ShownName(std::string(entry.entryName, strnlen(entry.entryName, PACKAGE_NAME_SIZE)));
}

std::string Hex(const uint8_t* bytes, int count) {
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
           Hex(e.plainDigest, 16).c_str(), PrintableName(e).c_str());
    if ((uint64_t)e.dataOffset + e.dataSize > view.size) truncated = true;
  }
  printf("%llu bytes\n", (unsigned long long)view.size);
  if (truncated) return Fail(path + ": truncated (an entry ends beyond the package)");
  return 0;
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

// An earlier entry that extraction has unscrambled in place: an entry sharing bytes with it (a
// damaged or crafted package may overlap entries) sees them unscrambled, so reads apply its
// keystream over the shared bytes.
struct Unscrambled {
  uint32_t offset, size;
  EntryChain params;
};

// One earlier entry's keystream, moved forward over an entry's bytes as they are read in order.
struct Overlay {
  const Unscrambled* under;
  KeystreamState ks;
  uint32_t at;  // bytes of under's keystream used or skipped
};

struct Run {
  PackageView* view = nullptr;
  PackageDirectory directory;
  bool unpack = false;
  HostTree tree;       // unpack: the host folder
  uint64_t done = 0, total = 0;
  std::string error;   // the first host error of unpack
  std::string fatal;   // a read error, or a package that changed under us: the run stops
  std::vector<uint8_t> block;
  std::vector<Unscrambled> unscrambled;
  std::vector<Overlay> overlays;
  // The entry at hand: its keystream parameters, and whether block holds all of its
  // unscrambled bytes (an entry of one block is read once).
  int index = 0;
  EntryChain params;
  bool plainInBlock = false;
};

const char kTarget[] = "OUT";  // stands for the host folder in the paths extraction joins

// The path below the host folder of a path extraction joined onto kTarget, '/'-separated.
std::string RelativePath(const char* path) {
  std::string p = path + strlen(kTarget);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p.empty() ? p : p.substr(1);
}

// Starts a pass over the bytes of entry e: the earlier entries that share them.
void StartEntryPass(Run* run, const PackageEntry& e) {
  run->overlays.clear();
  for (const Unscrambled& u : run->unscrambled) {
    if (u.offset < (uint64_t)e.dataOffset + e.dataSize &&
        e.dataOffset < (uint64_t)u.offset + u.size) {
      Overlay o = {&u, {}, 0};
      KeystreamStart(&o.ks, u.size, u.params.entrySeed, u.params.mixDigest);
      run->overlays.push_back(o);
    }
  }
}

// Reads n bytes of entry e from byte at on (passes read forward) into the block, as extraction in
// memory sees them when it comes to e.
bool ReadEntryPart(Run* run, const PackageEntry& e, uint32_t at, uint32_t n) {
  uint64_t from = (uint64_t)e.dataOffset + at, to = from + n;
  if (!ReadPackageBytes(run->view, from, run->block.data(), n, &run->fatal)) return false;
  for (Overlay& o : run->overlays) {
    uint64_t lo = std::max<uint64_t>(from, o.under->offset);
    uint64_t hi = std::min<uint64_t>(to, (uint64_t)o.under->offset + o.under->size);
    if (lo >= hi) continue;
    for (uint32_t skip = (uint32_t)(lo - o.under->offset) - o.at; skip > 0; --skip) {
      KeystreamByte(&o.ks.t, o.ks.left--, o.ks.mix);
    }
    KeystreamApplyPart(&o.ks, run->block.data() + (lo - from), (uint32_t)(hi - lo));
    o.at = (uint32_t)(hi - o.under->offset);
  }
  return true;
}

// Progress within the entry at hand: unpack's two passes over it count half each.
void ProgressInEntry(Run* run, uint64_t done) {
  const PackageEntry& e = run->directory.entries[run->index];
  if (done < e.dataSize) {
    Progress(run->unpack ? "unpacking" : "verifying", run->done + done, run->total,
             PrintableName(e));
  }
}

// The keystream and the plain digest over the whole entry at hand, read again in blocks; each
// block goes to file when one is given (the entry was checked before). False with run->fatal
// set on a read error, or *writeError on a write error (the file is then removed).
bool UnscrambleEntryInBlocks(Run* run, HostTreeFile* file, uint8_t plainDigest[16],
                             std::string* writeError) {
  const PackageEntry& e = run->directory.entries[run->index];
  KeystreamState ks;
  KeystreamStart(&ks, e.dataSize, run->params.entrySeed, run->params.mixDigest);
  Md5State plain;
  Md5Init(&plain);
  StartEntryPass(run, e);
  for (uint32_t done = 0; done < e.dataSize;) {
    uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, e.dataSize - done);
    if (!ReadEntryPart(run, e, done, n)) return false;
    UnscrambleThenDigest(&ks, &plain, run->block.data(), n);
    if (file != nullptr && !HostTreeWriteMore(file, run->block.data(), n, writeError)) {
      return false;
    }
    done += n;
    // unpack goes over an entry twice (checking, then writing): each pass counts half.
    ProgressInEntry(run, !run->unpack ? done
                                      : ((file != nullptr ? e.dataSize : 0) + (uint64_t)done) / 2);
  }
  Md5Final(&plain, plainDigest);
  return true;
}

int32_t HostCreateFolderPath(void* user, const char* path) {
  Run* run = static_cast<Run*>(user);
  if (!run->unpack) return 1;
  std::string error;
  if (HostTreeMakeFolders(&run->tree, RelativePath(path), &error)) return 1;
  if (run->error.empty()) run->error = error;
  return 0;
}

// Writes the checked entry at hand. Its bytes are read, unscrambled and digested once more as
// they are written: if the digest differs now, the package changed under us and the file goes.
// Why not a part file renamed when whole: its name would have to be one no entry can take, on
// both file systems, and a rename is one more effect in the folder than the installer's; here
// the only name ever made is the entry's, made after its bytes were checked.
int32_t HostWriteCheckedFile(void* user, const char* path, uint32_t size, const void* bytes) {
  (void)bytes;  // null: the bytes are read here
  Run* run = static_cast<Run*>(user);
  if (!run->unpack) return 1;
  std::string error;
  HostTreeFile file;
  bool ok = HostTreeCreateFile(&run->tree, RelativePath(path), &file, &error);
  if (ok && run->plainInBlock) {
    ok = HostTreeWriteMore(&file, run->block.data(), size, &error);
  } else if (ok) {
    uint8_t plainDigest[16];
    ok = UnscrambleEntryInBlocks(run, &file, plainDigest, &error);
    if (ok && memcmp(plainDigest, run->directory.entries[run->index].plainDigest, 16) != 0) {
      run->fatal = run->view->path + ": changed while it was read (entry " +
                   std::to_string(run->index + 1) + " differs from its first reading)";
      ok = false;
    }
  }
  if (ok) ok = HostTreeFinishFile(&file, &error);
  HostTreeAbandonFile(&file);  // nothing when finished
  if (!ok && !error.empty() && run->error.empty()) run->error = error;
  return ok ? 1 : 0;
}

void ReportEntry(void* user, int32_t index, int32_t outcome) {
  Run* run = static_cast<Run*>(user);
  const PackageEntry& e = run->directory.entries[index];
  run->done += e.dataSize;
  Progress(run->unpack ? "unpacking" : "verifying", run->done, run->total, PrintableName(e));
  if (outcome != ENTRY_WRITTEN) {
    printf("entry %d (%s): %s\n", index + 1, PrintableName(e).c_str(), OutcomeText(outcome));
  }
}

// Extraction in blocks, entry by entry as the installer's in memory: the stored digest in a
// first pass over the entry's bytes, the keystream and the plain digest in a second, then the
// installer's placing (name, path, folder, file) through a sink that, for unpack, writes the
// checked file: from the block when the entry fits in one (it is read once), else in a third
// pass. Nothing is written for verify. Memory: one block, whatever the size. The installer's
// result code in *result; false with *error on a read error.
bool ExtractInBlocks(Run* run, int32_t* result, std::string* error) {
  run->block.resize(kBlock);
  run->unscrambled.reserve(PACKAGE_ENTRY_COUNT);  // overlays point into it
  PackageSink sink = {HostCreateFolderPath, HostWriteCheckedFile, ReportEntry, run};
  Placing placing;
  StartPlacing(&placing, nullptr, &run->directory, kTarget, &sink);
  EntryChain chain;
  StartEntryChain(&chain);
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& e = run->directory.entries[i];
    if (!EntryInImage(&e, (uint32_t)run->view->size)) {  // skipped, and not chained
      PlaceNextEntry(&placing, nullptr);
      continue;
    }
    run->index = i;
    run->params = chain;
    Md5State stored;
    uint8_t storedDigest[16], plainDigest[16];
    Md5Init(&stored);
    StartEntryPass(run, e);
    for (uint32_t done = 0; done < e.dataSize;) {
      uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, e.dataSize - done);
      if (!ReadEntryPart(run, e, done, n)) return *error = run->fatal, false;
      Md5Update(&stored, run->block.data(), n);
      done += n;
    }
    Md5Final(&stored, storedDigest);
    run->plainInBlock = e.dataSize <= kBlock;
    if (run->plainInBlock) {
      KeystreamState ks;
      KeystreamStart(&ks, e.dataSize, chain.entrySeed, chain.mixDigest);
      Md5State plain;
      Md5Init(&plain);
      UnscrambleThenDigest(&ks, &plain, run->block.data(), e.dataSize);
      Md5Final(&plain, plainDigest);
    } else {
      if (!UnscrambleEntryInBlocks(run, nullptr, plainDigest, nullptr)) {
        return *error = run->fatal, false;
      }
    }
    PlaceNextEntry(&placing, plainDigest);
    if (!run->fatal.empty()) return *error = run->fatal, false;
    run->unscrambled.push_back({e.dataOffset, e.dataSize, chain});
    ChainEntry(&chain, storedDigest);  // whatever became of the file
  }
  *result = PlacingResult(&placing);
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
  if (folder.empty()) {
    for (const std::string& p : problems) printf("%s\n", p.c_str());
  }
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) run.total += run.directory.entries[i].dataSize;
  if (run.unpack && !HostOpenTree(folder, &run.tree, &error)) {
    HostClose(&view.file);
    return Fail(error);
  }
  int32_t result = 0;
  bool ok = ExtractInBlocks(&run, &result, &error);
  HostClose(&view.file);
  HostCloseTree(&run.tree);
  if (!ok) {
    fflush(stdout);
    return Fail(error);
  }
  printf("result: %d\n", result);
  if (!run.error.empty()) return Fail(run.error);
  return result == 0 && problems.empty() ? 0 : 1;
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
