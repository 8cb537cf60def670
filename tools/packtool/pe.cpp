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

// The one way to the file's bytes: length bytes at offset, or null when they are not all there.
bool InFile(const PeFile& file, uint64_t offset, uint64_t length) {
  return offset <= file.size && length <= file.size - offset;
}

const uint8_t* Bytes(const PeFile& file, uint64_t offset, uint64_t length) {
  if (!InFile(file, offset, length)) return nullptr;
  PeWindow* w = file.window;
  if (w->held + length > kPeWindowHeld) return w->failed = true, nullptr;
  w->pieces.emplace_back((size_t)length + 1);  // + 1: a valid pointer for no bytes too
  w->held += length;
  uint8_t* p = w->pieces.back().data();
  if (length != 0 && !w->read(w->user, offset, p, (size_t)length)) return w->failed = true, nullptr;
  return p;
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", (unsigned long long)value);
  return text;
}

// The part of a section the loader fills from the file: its raw bytes, cut to its virtual size.
uint64_t FileBackedExtent(const PeSection& s) {
  uint64_t mapped = PeMappedSize(s);
  return mapped < s.rawSize ? mapped : s.rawSize;
}

const char kNotOurs[] = " (not an installer built by this project)";

int Refuse(std::string* error, const std::string& what) {
  *error = what;
  return -1;
}

int ReadHeaders(const PeFile& file, PeHeaders* pe, std::string* error) {
  const uint8_t* mz = Bytes(file, 0, 2);
  if (mz == nullptr || mz[0] != 'M' || mz[1] != 'Z') return 0;
  const uint8_t* dos = Bytes(file, 0, 64);
  if (dos == nullptr) {
    return Refuse(error, "truncated: " + std::to_string(file.size) +
                             " bytes, less than the 64-byte DOS header");
  }
  uint64_t header = PeLoad32(dos + 0x3C);
  if (header < 64) {
    return Refuse(error, "damaged PE header: e_lfanew (" + Hex(header) +
                             ") points into the DOS header");
  }
  const uint8_t* nt = Bytes(file, header, 24);
  if (nt == nullptr) {
    return Refuse(error, "truncated or damaged PE header: e_lfanew (" + Hex(header) +
                             ") points beyond the end of the file");
  }
  if (memcmp(nt, "PE\0\0", 4) != 0) {
    return Refuse(error, "damaged PE header: no PE signature at e_lfanew (" + Hex(header) + ")");
  }
  const uint8_t* h = nt + 4;
  pe->machine = (uint16_t)U16(h);
  uint32_t sectionCount = U16(h + 2), optionalSize = U16(h + 16);
  pe->symbolTable = PeLoad32(h + 8);
  pe->characteristics = (uint16_t)U16(h + 18);
  pe->optionalHeader = (size_t)header + 24;
  const uint8_t* o = Bytes(file, pe->optionalHeader, optionalSize);
  if (o == nullptr || optionalSize < 2) {
    return Refuse(error,
                  "truncated or damaged PE header: the optional header ends beyond the file");
  }
  pe->magic = (uint16_t)U16(o);
  if (pe->magic == 0x20B) {
    return Refuse(error, "a 64-bit executable (PE32+); the installer is a 32-bit program (PE32)");
  }
  if (pe->magic != 0x10B) {
    return Refuse(error, "damaged PE header: unknown optional header magic " + Hex(pe->magic));
  }
  if (pe->machine != 0x14C) {
    return Refuse(error, "not a 32-bit Windows executable (PE32, i386): machine " +
                             Hex(pe->machine));
  }
  if (pe->characteristics & 0x2000) {
    return Refuse(error, "a DLL, not a program" + std::string(kNotOurs));
  }
  if (!(pe->characteristics & 0x0002)) {
    return Refuse(error, "not marked executable" + std::string(kNotOurs));
  }
  if (optionalSize < 96) {
    return Refuse(error, "damaged PE header: an optional header of " +
                             std::to_string(optionalSize) + " bytes (PE32 needs at least 96)");
  }
  pe->sectionAlignment = PeLoad32(o + 32);
  pe->fileAlignment = PeLoad32(o + 36);
  pe->sizeOfImage = PeLoad32(o + PE_OPTIONAL_SIZE_OF_IMAGE);
  pe->sizeOfHeaders = PeLoad32(o + 60);
  uint32_t declared = PeLoad32(o + 92);
  if (declared > 16 || 96 + 8 * (uint64_t)declared > optionalSize) {
    uint32_t room = (optionalSize - 96) / 8;
    return Refuse(error, "damaged PE header: " + std::to_string(declared) +
                             " data directories declared, room for " +
                             std::to_string(room > 16 ? 16 : room));
  }
  pe->directoryCount = declared;
  pe->directories = pe->optionalHeader + 96;
  pe->directoryAddress.clear();
  pe->directorySize.clear();
  for (uint32_t d = 0; d < declared; ++d) {
    pe->directoryAddress.push_back(PeLoad32(o + 96 + 8 * d));
    pe->directorySize.push_back(PeLoad32(o + 96 + 8 * d + 4));
  }
  if (sectionCount == 0 || sectionCount > 96) {
    return Refuse(error, "damaged PE header: " + std::to_string(sectionCount) + " sections");
  }
  uint64_t table = pe->optionalHeader + (uint64_t)optionalSize;
  const uint8_t* s = Bytes(file, table, 40ull * sectionCount);
  if (s == nullptr) {
    return Refuse(error, "truncated or damaged PE header: the section table ends beyond the file");
  }
  pe->headersEnd = (size_t)(table + 40ull * sectionCount);
  // The headers stay where the loader and build expect them: inside SizeOfHeaders, which lies in
  // the file and in front of every section's bytes.
  if (pe->headersEnd > pe->sizeOfHeaders) {
    return Refuse(error, "damaged PE header: the headers (up to " + Hex(pe->headersEnd) +
                             ") reach past SizeOfHeaders (" + Hex(pe->sizeOfHeaders) + ")");
  }
  if (pe->sizeOfHeaders > file.size) {
    return Refuse(error, "truncated: SizeOfHeaders (" + Hex(pe->sizeOfHeaders) +
                             ") is beyond the end of the file");
  }
  pe->sections.clear();
  uint64_t virtualEnd = pe->sizeOfHeaders;
  for (uint32_t i = 0; i < sectionCount; ++i, s += 40) {
    PeSection section;
    memcpy(section.name, s, 8);
    section.name[8] = '\0';
    for (char& c : section.name) {
      if (c != '\0' && (c < 32 || c > 126)) c = '?';
    }
    section.virtualSize = PeLoad32(s + 8);
    section.virtualAddress = PeLoad32(s + 12);
    section.rawSize = PeLoad32(s + 16);
    section.rawOffset = PeLoad32(s + 20);
    section.headerOffset = (size_t)(table + 40 * i);
    std::string who = std::string("section ") + section.name;
    if (section.rawSize != 0 && section.rawOffset < pe->sizeOfHeaders) {
      return Refuse(error, "damaged PE header: " + who + "'s bytes (at " +
                               Hex(section.rawOffset) + ") overlap the headers");
    }
    if (section.rawSize != 0 && !InFile(file, section.rawOffset, section.rawSize)) {
      return Refuse(error, "truncated: " + who + " ends beyond the end of the file");
    }
    if (section.virtualAddress < virtualEnd ||
        (uint64_t)section.virtualAddress + PeMappedSize(section) > pe->sizeOfImage) {
      return Refuse(error, "damaged PE header: " + who +
                               " overlaps the one before it or leaves the image");
    }
    virtualEnd = (uint64_t)section.virtualAddress + PeMappedSize(section);
    pe->sections.push_back(section);
  }
  return 1;
}

const std::string kDamaged = "damaged resource table: ";

// A structure of the resource section or a resource's data, as an RVA range: no two may share a
// byte, or a copy of the tree would hold some of them twice.
struct Span {
  uint64_t start, end;
  std::string what;
};

struct TreeWalk {
  const PeFile& file;
  const PeHeaders& pe;
  uint32_t rootRva;
  uint64_t rootOffset, areaSize;  // the resource section's bytes from the root on
  ResourceTree* tree;
  std::string* error;
  uint64_t claimed;  // bytes of the area that the structures read so far take
  std::set<uint64_t> directories, names, dataEntries;  // offsets visited
  std::vector<Span> spans;
};

// The area's bytes [offset, offset + length) for a structure called what, counted against the
// area's size, or null (with *error) when they do not fit or the tree claims more than it holds.
const uint8_t* Claim(TreeWalk& w, uint64_t offset, uint64_t length, const std::string& what) {
  if (offset > w.areaSize || length > w.areaSize - offset) {
    *w.error = kDamaged + what + " at offset " + Hex(offset) +
               " does not fit in the resource section";
    return nullptr;
  }
  w.claimed += length;
  if (w.claimed > w.areaSize) {
    *w.error = kDamaged + "more entries than the resource section can hold";
    return nullptr;
  }
  if (length != 0) w.spans.push_back({w.rootRva + offset, w.rootRva + offset + length, what});
  const uint8_t* p = Bytes(w.file, w.rootOffset + offset, length);
  if (p == nullptr) *w.error = kDamaged + "cannot read " + what + " (a read error, or too large)";
  return p;
}

bool FirstVisit(TreeWalk& w, std::set<uint64_t>& seen, uint64_t offset, const std::string& what) {
  if (seen.insert(offset).second) return true;
  *w.error = kDamaged + what + " at offset " + Hex(offset) +
             " is referenced twice (a shared subtree or a loop)";
  return false;
}

// Orders two names as the loader's binary search does: by UTF-16 code unit, then by length.
int CompareNames(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size()) / 2;
  for (size_t i = 0; i < n; ++i) {
    uint32_t x = U16(a.data() + 2 * i), y = U16(b.data() + 2 * i);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool ReadDataEntry(TreeWalk& w, uint64_t offset, const std::string& what) {
  if (!FirstVisit(w, w.dataEntries, offset, what + ": data entry")) return false;
  const uint8_t* p = Claim(w, offset, 16, what + ": data entry");
  if (p == nullptr) return false;
  ResourceData data = {PeLoad32(p), PeLoad32(p + 4), PeLoad32(p + 8), PeLoad32(p + 12)};
  if (PeFileRange(w.pe, w.file.size, data.rva, data.size) < 0) {
    *w.error = kDamaged + what + ": data (RVA " + Hex(data.rva) + ", " +
               std::to_string(data.size) + " bytes) wraps round or lies outside the image (" +
               Hex(w.pe.sizeOfImage) + " bytes) or the file";
    return false;
  }
  if (data.size != 0) {
    w.spans.push_back({data.rva, (uint64_t)data.rva + data.size, what + ": data"});
  }
  w.tree->data.push_back(data);
  return true;
}

// Reads the directory at offset and, depth first, everything below it. Its index, or -1.
int ReadDirectory(TreeWalk& w, uint64_t offset, int depth, const std::string& path) {
  std::string what = "directory " + (path.empty() ? std::string("/") : path);
  if (!FirstVisit(w, w.directories, offset, what)) return -1;
  const uint8_t* d = Claim(w, offset, 16, what);
  if (d == nullptr) return -1;
  uint32_t named = U16(d + 12), count = named + U16(d + 14);
  const uint8_t* e = Claim(w, offset + 16, 8ull * count, what + "'s entries");
  if (e == nullptr) return -1;
  int index = (int)w.tree->directories.size();
  w.tree->directories.push_back(ResourceDirectory());
  memcpy(w.tree->directories[index].header, d, 12);
  std::vector<ResourceEntry> entries;
  for (uint32_t i = 0; i < count; ++i, e += 8) {
    ResourceEntry entry = {i < named, PeLoad32(e), {}, -1, -1};
    std::string name = path + "/" + std::to_string(entry.id);
    if (entry.named != ((entry.id & 0x80000000u) != 0)) {
      *w.error = kDamaged + what + ": entry " + std::to_string(i + 1) +
                 (entry.named ? " is counted as named but holds an id"
                              : " is counted as an id but holds a name");
      return -1;
    }
    if (entry.named) {
      uint64_t at = entry.id & 0x7FFFFFFFu;
      name = path + "/(name at " + Hex(at) + ")";
      if (!FirstVisit(w, w.names, at, "the name of " + name)) return -1;
      const uint8_t* length = Claim(w, at, 2, "the name of " + name);
      const uint8_t* text =
          length == nullptr ? nullptr : Claim(w, at + 2, 2ull * U16(length), "the name of " + name);
      if (text == nullptr) return -1;
      entry.name.assign(text, text + 2ull * U16(length));
    }
    // The loader finds an entry by binary search: names first, then ids, each ascending.
    if (i > 0 && i != named &&
        (entry.named ? CompareNames(entries.back().name, entry.name) >= 0
                     : entries.back().id >= entry.id)) {
      *w.error = kDamaged + what + ": entry " + name +
                 " is not in ascending order (the loader searches the entries by bisection)";
      return -1;
    }
    uint32_t target = PeLoad32(e + 4);
    if (depth < 2) {
      if (!(target & 0x80000000u)) {
        *w.error = kDamaged + name + " holds data where a directory belongs";
        return -1;
      }
      entry.directory = ReadDirectory(w, target & 0x7FFFFFFFu, depth + 1, name);
      if (entry.directory < 0) return -1;
    } else {
      if (target & 0x80000000u) {
        *w.error = kDamaged + "directory " + name + " nests deeper than three levels";
        return -1;
      }
      entry.data = (int)w.tree->data.size();
      if (!ReadDataEntry(w, target, "resource " + name)) return -1;
    }
    entries.push_back(entry);
  }
  w.tree->directories[index].entries.swap(entries);
  return index;
}

// The subdirectory of directory under integer id, or -1.
int FindId(const ResourceTree& tree, int directory, uint32_t id) {
  for (const ResourceEntry& e : tree.directories[directory].entries) {
    if (!e.named && e.id == id) return e.directory;
  }
  return -1;
}

int ReadResources(const PeFile& file, PeImage* image, std::string* error) {
  const PeHeaders& pe = image->pe;
  ResourceTree* tree = &image->tree;
  tree->directories.clear();
  tree->data.clear();
  image->resourceSection = -1;
  image->package = -1;
  uint32_t rva = pe.directoryCount > PE_DIRECTORY_RESOURCE
                     ? pe.directoryAddress[PE_DIRECTORY_RESOURCE] : 0;
  if (rva == 0) return 1;
  TreeWalk w = {file, pe, rva, 0, 0, tree, error, 0, {}, {}, {}, {}};
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const PeSection& s = pe.sections[i];
    uint64_t extent = FileBackedExtent(s);
    if (rva < s.virtualAddress || rva - s.virtualAddress >= extent) continue;
    image->resourceSection = (int)i;
    w.rootOffset = (uint64_t)s.rawOffset + (rva - s.virtualAddress);
    w.areaSize = extent - (rva - s.virtualAddress);
    break;
  }
  if (image->resourceSection < 0) {
    return Refuse(error, kDamaged + "the resource directory (RVA " + Hex(rva) +
                             ") lies in no section's bytes");
  }
  if (ReadDirectory(w, 0, 0, "") != 0) return -1;
  std::sort(w.spans.begin(), w.spans.end(),
            [](const Span& a, const Span& b) { return a.start < b.start; });
  for (size_t i = 1; i < w.spans.size(); ++i) {
    if (w.spans[i].start < w.spans[i - 1].end) {
      return Refuse(error, kDamaged + w.spans[i - 1].what + " and " + w.spans[i].what +
                               " share bytes");
    }
  }
  // The package: RCDATA 100 in exactly one language, found by number as the loader finds it.
  int type = FindId(*tree, 0, RESOURCE_RCDATA);
  int id = type < 0 ? -1 : FindId(*tree, type, 100);
  if (id < 0) return 1;
  const std::vector<ResourceEntry>& languages = tree->directories[id].entries;
  if (languages.size() != 1) {
    return Refuse(error, "RCDATA 100 in " + std::to_string(languages.size()) +
                             " languages; an installer carries one package");
  }
  if (languages[0].named) {
    return Refuse(error, kDamaged + "RCDATA 100's language entry is a name, not a language id");
  }
  image->package = languages[0].data;
  const ResourceData& data = tree->data[image->package];
  image->packageOffset = (uint64_t)PeFileRange(pe, file.size, data.rva, data.size);
  image->packageSize = data.size;
  return 1;
}

}  // namespace

int ReadPeImage(const PeFile& file, PeImage* image, std::string* error) {
  const std::string unread = "cannot read the headers or the resource tree (a read error, or "
                             "they take more than 16 MB)";
  int kind = ReadHeaders(file, &image->pe, error);
  if (file.window->failed) return Refuse(error, unread);
  if (kind != 1) return kind;
  if (ReadResources(file, image, error) != 1) {
    if (file.window->failed) return Refuse(error, unread);
    return -1;
  }
  error->clear();
  return 1;
}

// The installer's own range rule (IsRangeInsideImage), applied to the image, to one section's
// file-backed bytes and to the file.
int64_t PeFileRange(const PeHeaders& pe, uint64_t fileSize, uint32_t rva, uint32_t size) {
  if (!IsRangeInsideImage(0, pe.sizeOfImage, rva, size)) return -1;
  for (const PeSection& s : pe.sections) {
    if (!IsRangeInsideImage(s.virtualAddress, FileBackedExtent(s), rva, size)) continue;
    uint64_t offset = (uint64_t)s.rawOffset + (rva - s.virtualAddress);
    if (!IsRangeInsideImage(0, fileSize, offset, size)) return -1;
    return (int64_t)offset;
  }
  return -1;
}
