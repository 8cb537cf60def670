// The bounded PE reader: headers, section table and resource tree. Offsets are computed in 64
// bits, so that no value a damaged file holds can wrap round, and every byte is taken through
// Bytes(), which checks the range against the file first.
#include "tools/packtool/pe.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>

#include "package/bounds.h"

namespace {

uint32_t U16(const uint8_t* p) { return p[0] | (p[1] << 8); }

// length bytes at offset, or null when they are not all in the file or cannot be held.
const uint8_t* Bytes(PeFile& file, uint64_t offset, uint64_t length) {
  if (!IsRangeInsideImage(0, file.size, offset, length)) return nullptr;
  if (file.held + length > kPeWindowHeld) return file.failed = true, nullptr;
  file.pieces.emplace_back((size_t)length + 1);  // + 1: a valid pointer for no bytes too
  file.held += length;
  uint8_t* p = file.pieces.back().data();
  if (length != 0 && !file.read(file.user, offset, p, (size_t)length)) {
    return file.failed = true, nullptr;
  }
  return p;
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", (unsigned long long)value);
  return text;
}

// The part of a section the loader fills from the file: its raw bytes, cut to its virtual size.
uint64_t FileBackedExtent(const PeSection& s) {
  return std::min(PeMappedSize(s), (uint64_t)s.rawSize);
}

const std::string kNotOurs = " (not an installer built by this project)";
const std::string kBadHeader = "damaged PE header: ", kDamaged = "damaged resource table: ";

int Refuse(std::string* error, const std::string& what) { return *error = what, -1; }

int ReadHeaders(PeFile& file, PeHeaders* pe, std::string* error) {
  auto bad = [error](const std::string& what) { return Refuse(error, kBadHeader + what); };
  auto cut = [error](const std::string& what) {
    return Refuse(error, "truncated or " + kBadHeader + what);
  };
  const uint8_t* mz = Bytes(file, 0, 2);
  if (mz == nullptr || mz[0] != 'M' || mz[1] != 'Z') return 0;
  const uint8_t* dos = Bytes(file, 0, 64);
  if (dos == nullptr) return Refuse(error, "truncated: less than the 64-byte DOS header");
  uint64_t header = PeLoad32(dos + 0x3C);
  const std::string lfanew = "e_lfanew (" + Hex(header) + ")";
  if (header < 64) return bad(lfanew + " points into the DOS header");
  const uint8_t* nt = Bytes(file, header, 24);
  if (nt == nullptr) return cut(lfanew + " points beyond the end of the file");
  if (memcmp(nt, "PE\0\0", 4) != 0) return bad("no PE signature at " + lfanew);
  const uint8_t* h = nt + 4;
  uint32_t machine = U16(h), count = U16(h + 2), optionalSize = U16(h + 16);
  uint32_t characteristics = U16(h + 18);
  pe->symbolTable = PeLoad32(h + 8);
  pe->optionalHeader = (size_t)header + 24;
  const uint8_t* o = Bytes(file, pe->optionalHeader, optionalSize);
  if (o == nullptr || optionalSize < 2) return cut("the optional header ends beyond the file");
  uint32_t magic = U16(o);
  if (magic == 0x20B) return Refuse(error, "a 64-bit executable (PE32+), not a 32-bit one");
  if (magic != 0x10B) return bad("unknown optional header magic " + Hex(magic));
  if (machine != 0x14C) return Refuse(error, "not an i386 executable: machine " + Hex(machine));
  if (characteristics & 0x2000) return Refuse(error, "a DLL, not a program" + kNotOurs);
  if (!(characteristics & 0x0002)) return Refuse(error, "not marked executable" + kNotOurs);
  if (optionalSize < 96) {
    return bad("an optional header of " + std::to_string(optionalSize) +
               " bytes (PE32 needs at least 96)");
  }
  pe->sectionAlignment = PeLoad32(o + 32);
  pe->fileAlignment = PeLoad32(o + 36);
  pe->sizeOfImage = PeLoad32(o + PE_OPTIONAL_SIZE_OF_IMAGE);
  pe->sizeOfHeaders = PeLoad32(o + 60);
  pe->sizeOfInitializedData = PeLoad32(o + PE_OPTIONAL_SIZE_OF_INITIALIZED_DATA);
  uint32_t directories = PeLoad32(o + 92), room = std::min((optionalSize - 96) / 8, 16u);
  if (directories > room) {
    return bad(std::to_string(directories) + " data directories declared, room for " +
               std::to_string(room));
  }
  for (uint32_t d = 0; d < 16; ++d) {
    pe->directoryAddress[d] = d < directories ? PeLoad32(o + PE_OPTIONAL_DIRECTORIES + 8 * d) : 0;
    pe->directorySize[d] = d < directories ? PeLoad32(o + PE_OPTIONAL_DIRECTORIES + 8 * d + 4) : 0;
  }
  if (count == 0 || count > 96) return bad(std::to_string(count) + " sections");
  uint64_t table = pe->optionalHeader + (uint64_t)optionalSize;
  const uint8_t* s = Bytes(file, table, 40ull * count);
  if (s == nullptr) return cut("the section table ends beyond the file");
  uint64_t headersEnd = table + 40ull * count;
  // The headers stay where the loader and build expect them: inside SizeOfHeaders, which lies in
  // the file and in front of every section's bytes.
  if (headersEnd > pe->sizeOfHeaders) {
    return bad("the headers (up to " + Hex(headersEnd) + ") reach past SizeOfHeaders (" +
               Hex(pe->sizeOfHeaders) + ")");
  }
  if (pe->sizeOfHeaders > file.size) {
    return Refuse(error, "truncated: SizeOfHeaders " + Hex(pe->sizeOfHeaders) + " beyond the file");
  }
  pe->sections.assign(count, PeSection());
  uint64_t virtualEnd = pe->sizeOfHeaders;
  for (uint32_t i = 0; i < count; ++i, s += 40) {
    PeSection& section = pe->sections[i];
    for (int c = 0; c < 8; ++c) section.name[c] = s[c] && (s[c] < 32 || s[c] > 126) ? '?' : s[c];
    section.virtualSize = PeLoad32(s + 8);
    section.virtualAddress = PeLoad32(s + 12);
    section.rawSize = PeLoad32(s + 16);
    section.rawOffset = PeLoad32(s + 20);
    section.headerOffset = (size_t)(table + 40 * i);
    std::string who = std::string("section ") + section.name;
    if (section.rawSize != 0 && section.rawOffset < pe->sizeOfHeaders) {
      return bad(who + "'s bytes (at " + Hex(section.rawOffset) + ") overlap the headers");
    }
    if (section.rawSize != 0 &&
        !IsRangeInsideImage(0, file.size, section.rawOffset, section.rawSize)) {
      return Refuse(error, "truncated: " + who + " ends beyond the end of the file");
    }
    uint64_t end = (uint64_t)section.virtualAddress + PeMappedSize(section);
    if (section.virtualAddress < virtualEnd || end > pe->sizeOfImage) {
      return bad(who + " overlaps the one before it or leaves the image");
    }
    virtualEnd = end;
  }
  return 1;
}

// A structure of the resource section or a resource's data, as an RVA range: no two may share a
// byte, or a copy of the tree would hold some of them twice.
struct Span {
  uint64_t start, end;
  std::string what;
};

struct TreeWalk {
  PeFile& file;
  const PeHeaders& pe;
  uint32_t rootRva;
  uint64_t rootOffset, areaSize;  // the resource section's bytes from the root on
  ResourceTree* tree;
  std::string* error;
  uint64_t claimed;  // bytes of the area that the structures read so far take
  std::set<uint64_t> seen[3];  // offsets of the directories, names and data entries visited
  std::vector<Span> spans;
};
enum { SEEN_DIRECTORY, SEEN_NAME, SEEN_DATA };

int Fail(TreeWalk& w, const std::string& what) { return Refuse(w.error, kDamaged + what); }

// The area's bytes [offset, offset + length) for a structure called what, visited for the first
// time as a structure of its kind; null (with *error) when it was seen before, does not fit, or
// the tree claims more than the area holds.
const uint8_t* Claim(TreeWalk& w, int kind, uint64_t offset, uint64_t length,
                     const std::string& what) {
  const char* wrong = nullptr;
  if (kind >= 0 && !w.seen[kind].insert(offset).second) {
    wrong = " is referenced twice (a shared subtree or a loop)";
  } else if (offset > w.areaSize || length > w.areaSize - offset) {
    wrong = " does not fit in the resource section";
  }
  if (wrong != nullptr) return Fail(w, what + " at offset " + Hex(offset) + wrong), nullptr;
  w.claimed += length;
  if (w.claimed > w.areaSize) return Fail(w, "more entries than the section holds"), nullptr;
  if (length != 0) w.spans.push_back({w.rootRva + offset, w.rootRva + offset + length, what});
  const uint8_t* p = Bytes(w.file, w.rootOffset + offset, length);
  if (p == nullptr) Fail(w, "cannot read " + what + " (a read error, or too large)");
  return p;
}

// Orders two names as the loader's binary search does: by UTF-16 code unit, then by length.
bool NameBefore(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size()) / 2;
  for (size_t i = 0; i < n; ++i) {
    uint32_t x = U16(a.data() + 2 * i), y = U16(b.data() + 2 * i);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// Reads the directory at offset and, depth first, everything below it. Its index, or -1.
int ReadDirectory(TreeWalk& w, uint64_t offset, int depth, const std::string& path) {
  std::string what = "directory " + (path.empty() ? std::string("/") : path);
  const uint8_t* d = Claim(w, SEEN_DIRECTORY, offset, 16, what);
  if (d == nullptr) return -1;
  uint32_t named = U16(d + 12), count = named + U16(d + 14);
  const uint8_t* e = Claim(w, -1, offset + 16, 8ull * count, what + "'s entries");
  if (e == nullptr) return -1;
  int index = (int)w.tree->directories.size();
  w.tree->directories.push_back(ResourceDirectory());
  memcpy(w.tree->directories[index].header, d, 12);
  std::vector<ResourceEntry> entries;
  for (uint32_t i = 0; i < count; ++i, e += 8) {
    ResourceEntry entry = {i < named, PeLoad32(e), {}, -1, -1};
    std::string name = path + "/" + std::to_string(entry.id);
    if (entry.named != ((entry.id & 0x80000000u) != 0)) {
      return Fail(w, what + ": entry " + std::to_string(i + 1) + " is counted as " +
                         (entry.named ? "named but holds an id" : "an id but holds a name"));
    }
    if (entry.named) {
      uint64_t at = entry.id & 0x7FFFFFFFu;
      name = path + "/(name at " + Hex(at) + ")";
      const uint8_t* length = Claim(w, SEEN_NAME, at, 2, "the name of " + name);
      const uint8_t* text = length == nullptr ? nullptr
                            : Claim(w, -1, at + 2, 2ull * U16(length), "the name of " + name);
      if (text == nullptr) return -1;
      entry.name.assign(text, text + 2ull * U16(length));
    }
    if (i > 0 && i != named &&
        (entry.named ? !NameBefore(entries.back().name, entry.name)
                     : entries.back().id >= entry.id)) {
      return Fail(w, what + ": entry " + name + " is not in ascending order (the loader "
                                                "searches the entries by bisection)");
    }
    uint32_t target = PeLoad32(e + 4);
    bool subdirectory = (target & 0x80000000u) != 0;
    if (depth < 2 && !subdirectory) return Fail(w, name + " holds data where a directory belongs");
    if (depth == 2 && subdirectory) return Fail(w, name + " nests deeper than three levels");
    if (subdirectory) {
      entry.directory = ReadDirectory(w, target & 0x7FFFFFFFu, depth + 1, name);
      if (entry.directory < 0) return -1;
    } else {
      std::string data = "resource " + name + ": data";
      const uint8_t* p = Claim(w, SEEN_DATA, target, 16, data + " entry");
      if (p == nullptr) return -1;
      ResourceData r = {PeLoad32(p), PeLoad32(p + 4), PeLoad32(p + 8), PeLoad32(p + 12)};
      if (PeFileRange(w.pe, w.file.size, r.rva, r.size) < 0) {
        return Fail(w, data + " (RVA " + Hex(r.rva) + ", " + std::to_string(r.size) +
                           " bytes) wraps round or lies outside the image or the file");
      }
      if (r.size != 0) w.spans.push_back({r.rva, (uint64_t)r.rva + r.size, data});
      entry.data = (int)w.tree->data.size();
      w.tree->data.push_back(r);
    }
    entries.push_back(entry);
  }
  w.tree->directories[index].entries.swap(entries);
  return index;
}

// The subdirectory of directory (or -1) under integer id, or -1.
int FindId(const ResourceTree& tree, int directory, uint32_t id) {
  if (directory < 0) return -1;
  for (const ResourceEntry& e : tree.directories[directory].entries) {
    if (!e.named && e.id == id) return e.directory;
  }
  return -1;
}

int ReadResources(PeFile& file, PeImage* image, std::string* error) {
  const PeHeaders& pe = image->pe;
  ResourceTree* tree = &image->tree;
  *tree = ResourceTree();
  image->resourceSection = image->package = -1;
  uint32_t rva = pe.directoryAddress[PE_DIRECTORY_RESOURCE];
  if (rva == 0) return 1;
  TreeWalk w = {file, pe, rva, 0, 0, tree, error, 0, {}, {}};
  for (size_t i = 0; i < pe.sections.size() && image->resourceSection < 0; ++i) {
    const PeSection& s = pe.sections[i];
    uint64_t extent = FileBackedExtent(s);
    if (rva < s.virtualAddress || rva - s.virtualAddress >= extent) continue;
    image->resourceSection = (int)i;
    w.rootOffset = (uint64_t)s.rawOffset + (rva - s.virtualAddress);
    w.areaSize = extent - (rva - s.virtualAddress);
  }
  if (image->resourceSection < 0) {
    return Refuse(error, kDamaged + "the resource directory (RVA " + Hex(rva) + ") in no section");
  }
  if (ReadDirectory(w, 0, 0, "") != 0) return -1;
  std::sort(w.spans.begin(), w.spans.end(),
            [](const Span& a, const Span& b) { return a.start < b.start; });
  for (size_t i = 1; i < w.spans.size(); ++i) {
    if (w.spans[i].start < w.spans[i - 1].end) {
      return Fail(w, w.spans[i - 1].what + " and " + w.spans[i].what + " share bytes");
    }
  }
  // The package: RCDATA 100 in exactly one language, found by number as the loader finds it.
  int id = FindId(*tree, FindId(*tree, 0, RESOURCE_RCDATA), 100);
  if (id < 0) return 1;
  const std::vector<ResourceEntry>& languages = tree->directories[id].entries;
  if (languages.size() != 1) {
    return Refuse(error, "RCDATA 100 in " + std::to_string(languages.size()) + " languages, not 1");
  }
  if (languages[0].named) return Fail(w, "RCDATA 100's language is a name, not a language id");
  image->package = languages[0].data;
  const ResourceData& data = tree->data[image->package];
  image->packageOffset = (uint64_t)PeFileRange(pe, file.size, data.rva, data.size);
  image->packageSize = data.size;
  return 1;
}

}  // namespace

int ReadPeImage(PeFile& file, PeImage* image, std::string* error) {
  int kind = ReadHeaders(file, &image->pe, error);
  if (kind == 1) kind = ReadResources(file, image, error);
  if (file.failed) {
    return Refuse(error, "cannot read the headers or the resource tree (a read error, or they "
                         "take more than 16 MB)");
  }
  if (kind == 1) error->clear();
  return kind;
}

int64_t PeFileRange(const PeHeaders& pe, uint64_t fileSize, uint32_t rva, uint32_t size) {
  if (!IsRangeInsideImage(0, pe.sizeOfImage, rva, size)) return -1;
  for (const PeSection& s : pe.sections) {
    if (!IsRangeInsideImage(s.virtualAddress, FileBackedExtent(s), rva, size)) continue;
    uint64_t offset = (uint64_t)s.rawOffset + (rva - s.virtualAddress);
    return IsRangeInsideImage(0, fileSize, offset, size) ? (int64_t)offset : -1;
  }
  return -1;
}
