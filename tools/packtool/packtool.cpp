// packtool: the publisher's packing tool. Makes a package from a manifest of 17 files, lists and
// verifies a package (on its own or embedded in a built installer) and unpacks one, applying
// the installer's own rules through the same package code.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "base/packagedir.h"
#include "package/entryname.h"
#include "package/image.h"
#include "package/packbuild.h"
#include "tools/packtool/pe.h"

namespace {

const char kHelp[] =
    "usage: packtool COMMAND ARGUMENTS\n"
    "\n"
    "  pack MANIFEST OUTPUT   make a package from the 17 files a manifest names\n"
    "  list FILE              print the directory: name, size, offset, plain MD5\n"
    "  verify FILE            check the layout, then unscramble and digest every entry in\n"
    "                         memory; prints each failure and the installer's result code\n"
    "  unpack FILE FOLDER     write the files into FOLDER as the installer would\n"
    "  --help                 this text\n"
    "\n"
    "FILE is a package file or an executable that carries one as resource RCDATA 100.\n"
    "A manifest has one line per entry, in directory order: the entry name (backslashes\n"
    "between folders), a '|', and the source file, relative to the manifest's folder.\n"
    "Blank lines and lines starting with '#' are skipped.\n";

const uint64_t kLargeBytes = 64u << 20;  // show progress above this, on a terminal

int Fail(const std::string& message) {
  fprintf(stderr, "packtool: %s\n", message.c_str());
  return 1;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Reads a whole file of less than limit bytes.
bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
              uint64_t limit = 0x80000000ull) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return *error = path + ": " + strerror(errno), false;
  if (!S_ISREG(info.st_mode)) return *error = path + ": not a regular file", false;
  if ((uint64_t)info.st_size >= limit) {
    return *error = path + (limit == 0x80000000ull
                                ? ": 2 GB or larger; an entry must stay below 2^31 bytes"
                                : ": 4 GB or larger; too large for a package"), false;
  }
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return *error = path + ": " + strerror(errno), false;
  bytes->resize((size_t)info.st_size);
  size_t got = bytes->empty() ? 0 : fread(bytes->data(), 1, bytes->size(), f);
  bool ok = got == bytes->size() && !ferror(f);
  fclose(f);
  if (!ok) return *error = path + ": read error", false;
  return true;
}

void Progress(const char* what, uint64_t done, uint64_t total) {
  if (total < kLargeBytes || !isatty(2)) return;
  fprintf(stderr, "\r%s: %3u%%", what, (unsigned)(done * 100 / (total ? total : 1)));
  if (done == total) fputc('\n', stderr);
}

struct ManifestEntry {
  std::string name, source;
  int line;
};

int Pack(const std::string& manifestPath, const std::string& outputPath) {
  FILE* m = fopen(manifestPath.c_str(), "r");
  if (m == nullptr) return Fail(manifestPath + ": " + strerror(errno));
  std::string base = manifestPath.find('/') == std::string::npos
                         ? ""
                         : manifestPath.substr(0, manifestPath.rfind('/') + 1);
  std::vector<ManifestEntry> entries;
  char buffer[8192];
  int lineNumber = 0;
  while (fgets(buffer, sizeof buffer, m) != nullptr) {
    ++lineNumber;
    std::string line = Trim(buffer);
    if (line.empty() || line[0] == '#') continue;
    size_t bar = line.find('|');
    if (bar == std::string::npos) {
      fclose(m);
      return Fail(manifestPath + ":" + std::to_string(lineNumber) +
                  ": expected 'entry name | source file'");
    }
    entries.push_back({Trim(line.substr(0, bar)), Trim(line.substr(bar + 1)), lineNumber});
  }
  fclose(m);
  if (entries.size() != PACKAGE_ENTRY_COUNT) {
    return Fail(manifestPath + ": " + std::to_string(entries.size()) +
                " entries; a package holds exactly 17");
  }
  std::set<std::string> seen;
  for (const ManifestEntry& e : entries) {
    std::string where = manifestPath + ":" + std::to_string(e.line) + ": ";
    if (!IsSafeEntryName(e.name.c_str(), PACKAGE_NAME_SIZE)) {
      return Fail(where + "entry name \"" + e.name + "\" would be refused by the installer");
    }
    std::string folded = e.name;
    for (char& c : folded) c = (char)tolower((unsigned char)c);
    if (!seen.insert(folded).second) return Fail(where + "entry name \"" + e.name + "\" twice");
  }
  // Read every file first, so that a missing one is reported before anything is written.
  std::vector<std::vector<uint8_t>> contents(PACKAGE_ENTRY_COUNT);
  const char* names[PACKAGE_ENTRY_COUNT];
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  uint64_t total = 0;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    std::string source = entries[i].source;
    if (!source.empty() && source[0] != '/') source = base + source;
    std::string error;
    if (!ReadFile(source, &contents[i], &error)) return Fail(error);
    names[i] = entries[i].name.c_str();
    sizes[i] = (uint32_t)contents[i].size();
    total += sizes[i];
  }
  if (sizes[PACKAGE_ENTRY_COUNT - 1] == 0) {
    return Fail(manifestPath + ":" + std::to_string(entries[PACKAGE_ENTRY_COUNT - 1].line) +
                ": entry 17 (" + entries[PACKAGE_ENTRY_COUNT - 1].name +
                ") is empty: the installer would refuse the whole package");
  }
  PackageDirectory directory;
  uint64_t imageSize = LayoutPackage(&directory, names, sizes);
  if (imageSize == 0) return Fail("the package would reach 4 GB; it must stay below");
  std::vector<uint8_t> image((size_t)imageSize);
  uint64_t copied = 0;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (sizes[i] != 0) memcpy(&image[directory.entries[i].dataOffset], contents[i].data(), sizes[i]);
    std::vector<uint8_t>().swap(contents[i]);
    copied += sizes[i];
    Progress("packing", copied / 2, total);
  }
  SealPackage(&directory, image.data());
  Progress("packing", total, total);
  FILE* out = fopen(outputPath.c_str(), "wb");
  if (out == nullptr) return Fail(outputPath + ": " + strerror(errno));
  bool ok = fwrite(image.data(), 1, image.size(), out) == image.size();
  ok = (fclose(out) == 0) && ok;
  if (!ok) {
    remove(outputPath.c_str());
    return Fail(outputPath + ": write error");
  }
  return 0;
}

// Loads a package file, or the RCDATA 100 package of an executable, into *image.
bool LoadPackage(const std::string& path, std::vector<uint8_t>* image, std::string* error) {
  std::vector<uint8_t> file;
  if (!ReadFile(path, &file, error, 0x100000000ull)) return false;
  bool found;
  size_t offset, size;
  const char* peError;
  if (FindPeResource(file, 10, PACKAGE_RESOURCE_ID, &found, &offset, &size, &peError)) {
    if (peError != nullptr) return *error = path + ": " + peError, false;
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
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return 0;
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
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      return Fail(folder + ": " + strerror(errno));
    }
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
  if (args.size() == 2 && args[0] == "list") return List(args[1]);
  if (args.size() == 2 && args[0] == "verify") return Extract(args[1], "");
  if (args.size() == 3 && args[0] == "unpack") return Extract(args[1], args[2]);
  fputs(kHelp, stderr);
  return 2;
}
