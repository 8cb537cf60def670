// packtool: the publisher's packing tool. Makes a package from a manifest of 17 files, builds a
// finished installer from a built one and a manifest, lists and verifies a package (on its own or
// embedded in an installer) and unpacks one, applying the installer's own rules through the same
// package code.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "base/packagedir.h"
#include "package/entryname.h"
#include "package/image.h"
#include "package/seal.h"
#include "tools/packtool/hostfile.h"
#include "tools/packtool/pe.h"
#include "tools/packtool/pebuild.h"

namespace {

const char kHelp[] =
    "usage: packtool COMMAND ARGUMENTS\n"
    "\n"
    "  pack MANIFEST OUTPUT              make a package from the 17 files a manifest names\n"
    "  build INSTALLER MANIFEST OUTPUT   write OUTPUT: the installer with its package replaced\n"
    "                                    by one packed from the manifest (sign OUTPUT after)\n"
    "  list FILE                         print the directory: name, size, offset, plain MD5\n"
    "  verify FILE                       check the layout, then unscramble and digest every\n"
    "                                    entry in memory; prints each failure and the\n"
    "                                    installer's result code\n"
    "  unpack FILE FOLDER                write the files into FOLDER as the installer would\n"
    "  --help                            this text\n"
    "\n"
    "FILE is a package file or an executable that carries one as resource RCDATA 100.\n"
    "INSTALLER is a TavrinSoloSetup.exe built by this project, with any payload, unsigned.\n"
    "A manifest has one line per entry, in directory order: the entry name (backslashes\n"
    "between folders), a '|', and the source file, relative to the manifest's folder.\n"
    "Blank lines and lines starting with '#' are skipped.\n";

const uint64_t kLargeBytes = 64u << 20;  // show progress above this, on a terminal
// The installer maps its whole image, package included, into a 32-bit address space of 2 GB
// that DLLs, heaps and stacks share; one contiguous gigabyte leaves room for them.
const uint64_t kMaxInstallerImage = 1ull << 30;

int Fail(const std::string& message) {
  fprintf(stderr, "packtool: %s\n", message.c_str());
  return 1;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Reads size bytes of a file into bytes; false when it cannot, or when the file's size is not
// size any more.
bool ReadInto(const std::string& path, uint8_t* bytes, uint64_t size, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return *error = path + ": " + strerror(errno), false;
  size_t got = size == 0 ? 0 : fread(bytes, 1, (size_t)size, f);
  bool ok = got == size && fgetc(f) == EOF && !ferror(f);
  fclose(f);
  if (!ok) return *error = path + ": read error, or the file changed while being read", false;
  return true;
}

// Reads a whole file of less than 4 GB.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  uint64_t size;
  if (!HostFileSize(path, &size, error)) return false;
  if (size >= 0x100000000ull) return *error = path + ": 4 GB or larger; too large for a package", false;
  bytes->resize((size_t)size);
  return ReadInto(path, bytes->data(), size, error);
}

// Writes a file whole, through a temporary file beside it that replaces it only when complete;
// with the permissions of likeFile when one is named.
bool WriteWholeFile(const std::string& path, const uint8_t* bytes, size_t size,
                    std::string* error, const std::string& likeFile = "") {
  std::string part = path + ".packtool-part";
  FILE* out = fopen(part.c_str(), "wb");
  if (out == nullptr) return *error = path + ": " + strerror(errno), false;
  bool ok = size == 0 || fwrite(bytes, 1, size, out) == size;
  ok = (fclose(out) == 0) && ok;
  if (!ok) {
    remove(part.c_str());
    return *error = path + ": write error", false;
  }
  if (!likeFile.empty()) HostCopyPermissions(likeFile, part);
  if (!HostReplaceFile(part, path, error)) {
    remove(part.c_str());
    return false;
  }
  return true;
}

void Progress(const char* what, uint64_t done, uint64_t total) {
  if (total < kLargeBytes || !HostErrorIsTerminal()) return;
  fprintf(stderr, "\r%s: %3u%%", what, (unsigned)(done * 100 / (total ? total : 1)));
  if (done == total) fputc('\n', stderr);
}

struct ManifestEntry {
  std::string name, source;
  int line;
  uint32_t size;
};

// A checked manifest: 17 entries with names the installer accepts, each source a regular file
// below 2 GB, the last one not empty; and the package's directory laid out for those sizes.
struct Payload {
  std::vector<ManifestEntry> entries;
  PackageDirectory directory;
  uint64_t imageSize, total;
};

bool ReadManifest(const std::string& manifestPath, Payload* payload, std::string* error) {
  FILE* m = fopen(manifestPath.c_str(), "r");
  if (m == nullptr) return *error = manifestPath + ": " + strerror(errno), false;
  std::string base = HostFolderOf(manifestPath);
  std::vector<ManifestEntry>& entries = payload->entries;
  char buffer[8192];
  int lineNumber = 0;
  while (fgets(buffer, sizeof buffer, m) != nullptr) {
    ++lineNumber;
    std::string line = Trim(buffer);
    if (line.empty() || line[0] == '#') continue;
    size_t bar = line.find('|');
    if (bar == std::string::npos) {
      fclose(m);
      return *error = manifestPath + ":" + std::to_string(lineNumber) +
                      ": expected 'entry name | source file'", false;
    }
    entries.push_back({Trim(line.substr(0, bar)), Trim(line.substr(bar + 1)), lineNumber, 0});
  }
  fclose(m);
  if (entries.size() != PACKAGE_ENTRY_COUNT) {
    return *error = manifestPath + ": " + std::to_string(entries.size()) +
                    " entries; a package holds exactly 17", false;
  }
  std::set<std::string> seen;
  for (const ManifestEntry& e : entries) {
    std::string where = manifestPath + ":" + std::to_string(e.line) + ": ";
    if (!IsSafeEntryName(e.name.c_str(), PACKAGE_NAME_SIZE)) {
      return *error = where + "entry name \"" + e.name + "\" would be refused by the installer",
             false;
    }
    std::string folded = e.name;
    for (char& c : folded) c = (char)tolower((unsigned char)c);
    if (!seen.insert(folded).second) {
      return *error = where + "entry name \"" + e.name + "\" twice", false;
    }
  }
  // Every source is looked at before anything is read or written.
  const char* names[PACKAGE_ENTRY_COUNT];
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  payload->total = 0;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    ManifestEntry& e = entries[i];
    if (!e.source.empty() && !HostIsAbsolute(e.source)) e.source = base + e.source;
    uint64_t size;
    if (!HostFileSize(e.source, &size, error)) return false;
    if (size >= 0x80000000ull) {
      return *error = e.source + ": 2 GB or larger; an entry must stay below 2^31 bytes", false;
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
  if (payload->imageSize == 0) return *error = "the package would reach 4 GB; it must stay below", false;
  return true;
}

// Reads the payload's files into image (payload->imageSize bytes) and seals the package there.
bool FillPackage(Payload* payload, uint8_t* image, std::string* error) {
  uint64_t copied = 0;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const ManifestEntry& e = payload->entries[i];
    if (!ReadInto(e.source, image + payload->directory.entries[i].dataOffset, e.size, error)) {
      return false;
    }
    copied += e.size;
    Progress("packing", copied / 2, payload->total);
  }
  SealPackage(&payload->directory, image);
  Progress("packing", payload->total, payload->total);
  return true;
}

int Pack(const std::string& manifestPath, const std::string& outputPath) {
  Payload payload;
  std::string error;
  if (!ReadManifest(manifestPath, &payload, &error)) return Fail(error);
  std::vector<uint8_t> image((size_t)payload.imageSize);
  if (!FillPackage(&payload, image.data(), &error)) return Fail(error);
  if (!WriteWholeFile(outputPath, image.data(), image.size(), &error)) return Fail(error);
  return 0;
}

int Build(const std::string& installerPath, const std::string& manifestPath,
          const std::string& outputPath) {
  if (HostSameFile(installerPath, outputPath)) {
    return Fail(outputPath + ": OUTPUT is INSTALLER; write the new installer to another file");
  }
  std::vector<uint8_t> file;
  std::string error;
  if (!ReadWholeFile(installerPath, &file, &error)) return Fail(error);
  InstallerLayout layout;
  if (!ReadInstaller(file.data(), file.size(), &layout, &error)) {
    return Fail(installerPath + ": " + error);
  }
  Payload payload;
  if (!ReadManifest(manifestPath, &payload, &error)) return Fail(error);
  uint64_t imageSize = BuiltImageSize(layout, payload.imageSize);
  if (imageSize > kMaxInstallerImage) {
    return Fail(manifestPath + ": payload of " + std::to_string(payload.total) +
                " bytes too large: the installer, a 32-bit program that maps itself whole, "
                "must stay within 1 GB (its image would take " + std::to_string(imageSize) +
                " bytes)");
  }
  std::vector<uint8_t> out;
  size_t packageOffset;
  WriteInstaller(file.data(), layout, (uint32_t)payload.imageSize, &out, &packageOffset);
  std::vector<uint8_t>().swap(file);
  if (!FillPackage(&payload, out.data() + packageOffset, &error)) return Fail(error);
  SetPeChecksum(&out, layout);
  if (!WriteWholeFile(outputPath, out.data(), out.size(), &error, installerPath)) {
    return Fail(error);
  }
  return 0;
}

// Loads a package file, or the RCDATA 100 package of an executable, into *image.
bool LoadPackage(const std::string& path, std::vector<uint8_t>* image, std::string* error) {
  std::vector<uint8_t> file;
  if (!ReadWholeFile(path, &file, error)) return false;
  bool found;
  size_t offset, size;
  std::string peError;
  int kind = FindPeResource(file.data(), file.size(), RESOURCE_RCDATA, PACKAGE_RESOURCE_ID,
                            &found, &offset, &size, &peError);
  if (kind < 0) return *error = path + ": " + peError, false;
  if (kind == 1) {
    if (!found) return *error = path + ": executable without a package (RCDATA 100)", false;
    image->assign(file.begin() + offset, file.begin() + offset + size);
  } else {
    image->swap(file);
  }
  if (image->size() <= PACKAGE_DIRECTORY_SIZE) {
    return *error = path + ": truncated or not a package (" + std::to_string(image->size()) +
                    " bytes, the directory alone takes 2720)", false;
  }
  return true;
}

std::string PrintableName(const PackageEntry& entry) {
  std::string name;
  for (int i = 0; i < PACKAGE_NAME_SIZE && entry.entryName[i] != '\0'; ++i) {
    unsigned char c = (unsigned char)entry.entryName[i];
    if (c < 32 || c >= 127) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      name += hex;
    } else {
      name += (char)c;
    }
  }
  return name;
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
std::vector<std::string> LayoutProblems(const std::vector<uint8_t>& image,
                                        const PackageDirectory& directory) {
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
    if ((uint64_t)e.dataOffset + e.dataSize > image.size()) {
      problems.push_back(who + "ends beyond the package (truncated)");
    }
    expected = (uint64_t)e.dataOffset + e.dataSize;
  }
  if (expected != image.size()) {
    problems.push_back("package is " + std::to_string(image.size()) +
                       " bytes; the last entry ends at " + std::to_string(expected));
  }
  if (directory.entries[PACKAGE_ENTRY_COUNT - 1].dataSize == 0) {
    problems.push_back("entry 17 is empty: the installer would return -1");
  }
  return problems;
}

int List(const std::string& path) {
  std::vector<uint8_t> image;
  std::string error;
  if (!LoadPackage(path, &image, &error)) return Fail(error);
  PackageDirectory directory;
  CopyPackageDirectory(image.data(), (uint32_t)image.size(), &directory);
  if (directory.entries[0].dataOffset != PACKAGE_DIRECTORY_SIZE) {
    return Fail(path + ": not a package (the first entry does not start at 2720)");
  }
  printf("%-3s %10s %10s  %-32s  %s\n", "#", "size", "offset", "plain MD5", "name");
  bool truncated = false;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& e = directory.entries[i];
    printf("%-3d %10u %10u  %s  %s\n", i + 1, e.dataSize, e.dataOffset,
           Hex(e.plainDigest, 16).c_str(), PrintableName(e).c_str());
    if ((uint64_t)e.dataOffset + e.dataSize > image.size()) truncated = true;
  }
  printf("%zu bytes\n", image.size());
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

struct Run {
  PackageDirectory directory;
  std::string folder;  // unpack: the host folder; verify: empty
  uint64_t done = 0, total = 0;
  std::string error;   // the first host error of unpack
};

const char kTarget[] = "OUT";  // stands for the host folder in the paths extraction joins

std::string HostPath(const Run* run, const char* path) {
  std::string p = path + strlen(kTarget);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return run->folder + p;
}

int32_t HostCreateFolderPath(void* user, const char* path) {
  Run* run = static_cast<Run*>(user);
  if (run->folder.empty()) return 1;
  std::string host = HostPath(run, path);
  for (size_t i = run->folder.size() + 1; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '/') {
      std::string part = host.substr(0, i);
      if (!HostMakeFolder(part)) return 0;
    }
  }
  return 1;
}

int32_t HostWriteWholeFile(void* user, const char* path, uint32_t size, const void* bytes) {
  Run* run = static_cast<Run*>(user);
  if (run->folder.empty()) return 1;
  std::string host = HostPath(run, path);
  FILE* f = fopen(host.c_str(), "wb");
  if (f == nullptr) {
    if (run->error.empty()) run->error = host + ": " + strerror(errno);
    return 0;
  }
  bool ok = size == 0 || fwrite(bytes, 1, size, f) == size;
  ok = (fclose(f) == 0) && ok;
  if (!ok && run->error.empty()) run->error = host + ": write error";
  return ok;
}

void ReportEntry(void* user, int32_t index, int32_t outcome) {
  Run* run = static_cast<Run*>(user);
  const PackageEntry& e = run->directory.entries[index];
  run->done += e.dataSize;
  Progress(run->folder.empty() ? "verifying" : "unpacking", run->done, run->total);
  if (outcome != ENTRY_WRITTEN) {
    printf("entry %d (%s): %s\n", index + 1, PrintableName(e).c_str(), OutcomeText(outcome));
  }
}

int Extract(const std::string& path, const std::string& folder) {
  std::vector<uint8_t> image;
  std::string error;
  if (!LoadPackage(path, &image, &error)) return Fail(error);
  Run run;
  run.folder = folder;
  CopyPackageDirectory(image.data(), (uint32_t)image.size(), &run.directory);
  if (run.directory.entries[0].dataOffset != PACKAGE_DIRECTORY_SIZE) {
    return Fail(path + ": not a package (the first entry does not start at 2720)");
  }
  std::vector<std::string> problems = LayoutProblems(image, run.directory);
  if (folder.empty()) {
    for (const std::string& p : problems) printf("%s\n", p.c_str());
  }
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) run.total += run.directory.entries[i].dataSize;
  if (!folder.empty()) {
    if (!HostMakeFolder(folder)) return Fail(folder + ": " + strerror(errno));
    std::string probe = folder + "/.packtool-probe";
    FILE* f = fopen(probe.c_str(), "wb");
    if (f == nullptr) return Fail(folder + ": cannot write there: " + strerror(errno));
    fclose(f);
    remove(probe.c_str());
  }
  PackageSink sink = {HostCreateFolderPath, HostWriteWholeFile, ReportEntry, &run};
  int32_t result = ExtractPackageImage(image.data(), (uint32_t)image.size(), &run.directory,
                                       kTarget, &sink);
  printf("result: %d\n", result);
  if (!run.error.empty()) return Fail(run.error);
  return result == 0 && problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    fputs(kHelp, stdout);
    return 0;
  }
  if (args.size() == 3 && args[0] == "pack") return Pack(args[1], args[2]);
  if (args.size() == 4 && args[0] == "build") return Build(args[1], args[2], args[3]);
  if (args.size() == 2 && args[0] == "list") return List(args[1]);
  if (args.size() == 2 && args[0] == "verify") return Extract(args[1], "");
  if (args.size() == 3 && args[0] == "unpack") return Extract(args[1], args[2]);
  fputs(kHelp, stderr);
  return 2;
}
