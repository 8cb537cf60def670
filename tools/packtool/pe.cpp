// Bounds-checked reading of a PE file's headers, section table and resource tree. Offsets are
// computed in 64 bits, so that no value a damaged file holds can wrap round.
#include "tools/packtool/pe.h"

#include <stdio.h>
#include <string.h>

#include "package/bounds.h"

namespace {

uint32_t U16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", (unsigned long long)value);
  return text;
}

// The part of a section the loader fills from the file: its raw bytes, cut to its virtual size.
uint64_t FileBackedExtent(const PeSection& s) {
  uint64_t mapped = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
  return mapped < s.rawSize ? mapped : s.rawSize;
}

// The resource section as a byte range of the file: every directory, data entry and name the
// tree refers to must lie inside it.
struct ResourceArea {
  const uint8_t* bytes;
  uint64_t size;
};

const std::string kDamaged = "damaged resource table: ";

bool AreaOf(const uint8_t* file, size_t size, const PeHeaders& pe, ResourceArea* area,
            bool* present, std::string* error) {
  uint32_t rva = PeDirectoryAddress(file, pe, PE_DIRECTORY_RESOURCE);
  *present = rva != 0;
  if (rva == 0) return true;
  for (const PeSection& s : pe.sections) {
    uint64_t extent = FileBackedExtent(s);
    if (rva < s.virtualAddress || rva - s.virtualAddress >= extent) continue;
    uint64_t start = (uint64_t)s.rawOffset + (rva - s.virtualAddress);
    uint64_t end = (uint64_t)s.rawOffset + extent;
    if (end > size) end = size;
    if (start >= end) break;
    area->bytes = file + start;
    area->size = end - start;
    return true;
  }
  *error = kDamaged + std::string("the resource directory (RVA ") + Hex(rva) +
           ") lies in no section's bytes";
  return false;
}

// A directory at offset (from the resource root): its entry count, or -1 when it does not fit.
int DirectoryEntries(const ResourceArea& area, uint64_t offset) {
  if (offset + 16 > area.size) return -1;
  uint64_t count = U16(area.bytes + offset + 12) + (uint64_t)U16(area.bytes + offset + 14);
  if (offset + 16 + 8 * count > area.size) return -1;
  return (int)count;
}

bool ReadData(size_t size, const PeHeaders& pe, const ResourceArea& area,
              uint64_t offset, const std::string& what, ResourceData* data, std::string* error) {
  if (offset + 16 > area.size) {
    *error = kDamaged + what + ": data entry offset " + Hex(offset) +
             " lies outside the resource section";
    return false;
  }
  const uint8_t* p = area.bytes + offset;
  *data = {U32(p), U32(p + 4), U32(p + 8), U32(p + 12)};
  if (PeFileRange(pe, size, data->rva, data->size) < 0) {
    *error = kDamaged + what + ": data (RVA " + Hex(data->rva) + ", " +
             std::to_string(data->size) + " bytes) wraps round or lies outside the image (" +
             Hex(pe.sizeOfImage) + " bytes) or the file";
    return false;
  }
  return true;
}

struct TreeWalk {
  const uint8_t* file;
  size_t size;
  const PeHeaders& pe;
  ResourceArea area;
  ResourceTree* tree;
  std::string* error;
};

// Reads the directory at offset and, depth first, everything below it. Its index, or -1.
int ReadDirectory(TreeWalk& w, uint64_t offset, int depth, const std::string& path) {
  int count = DirectoryEntries(w.area, offset);
  if (count < 0) {
    *w.error = kDamaged + "directory " + path + " at offset " + Hex(offset) +
               " does not fit in the resource section";
    return -1;
  }
  if (w.tree->directories.size() >= 4096) {
    *w.error = kDamaged + "more than 4096 directories";
    return -1;
  }
  int index = (int)w.tree->directories.size();
  w.tree->directories.push_back(ResourceDirectory());
  memcpy(w.tree->directories[index].header, w.area.bytes + offset, 12);
  uint32_t named = U16(w.area.bytes + offset + 12);
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = w.area.bytes + offset + 16 + 8 * i;
    ResourceEntry entry = {(uint32_t)i < named, U32(e), {}, -1, -1};
    std::string name = path + "/" + std::to_string(entry.id);
    if (entry.named) {
      uint64_t at = entry.id & 0x7FFFFFFFu;
      uint64_t length = at + 2 <= w.area.size ? U16(w.area.bytes + at) : 0;
      if (at + 2 + 2 * length > w.area.size) {
        *w.error = kDamaged + "a name in directory " + path + " lies outside the resource section";
        return -1;
      }
      entry.name.assign(w.area.bytes + at + 2, w.area.bytes + at + 2 + 2 * length);
      name = path + "/(name)";
    }
    uint32_t target = U32(e + 4);
    if (target & 0x80000000u) {
      if (depth == 2) {
        *w.error = kDamaged + "directory " + name + " nests deeper than three levels";
        return -1;
      }
      entry.directory = ReadDirectory(w, target & 0x7FFFFFFFu, depth + 1, name);
      if (entry.directory < 0) return -1;
    } else {
      ResourceData data;
      if (!ReadData(w.size, w.pe, w.area, target, "resource " + name, &data, w.error)) {
        return -1;
      }
      entry.data = (int)w.tree->data.size();
      w.tree->data.push_back(data);
    }
    w.tree->directories[index].entries.push_back(entry);
  }
  return index;
}

// In the directory at offset: the target word of the first entry with integer id (any id when
// anyId), 0 when there is none, or -1 (with *error) when the directory does not fit.
int64_t FindEntry(const ResourceArea& area, uint64_t offset, uint32_t id, bool anyId,
                  const std::string& path, std::string* error) {
  int count = DirectoryEntries(area, offset);
  if (count < 0) {
    *error = kDamaged + "directory " + path + " at offset " + Hex(offset) +
             " does not fit in the resource section";
    return -1;
  }
  uint32_t named = U16(area.bytes + offset + 12);
  for (int i = named; i < count; ++i) {
    const uint8_t* e = area.bytes + offset + 16 + 8 * i;
    if (anyId || U32(e) == id) return U32(e + 4);
  }
  return 0;
}

}  // namespace

int ReadPeHeaders(const uint8_t* file, size_t size, PeHeaders* pe, std::string* error) {
  if (size < 2 || file[0] != 'M' || file[1] != 'Z') return 0;
  *error = "damaged PE header";
  if (size < 0x40) return -1;
  uint64_t header = U32(file + 0x3C);
  if (header + 24 > size || memcmp(file + header, "PE\0\0", 4) != 0) return -1;
  const uint8_t* h = file + header + 4;
  pe->machine = (uint16_t)U16(h);
  uint32_t sectionCount = U16(h + 2), optionalSize = U16(h + 16);
  pe->symbolTable = U32(h + 8);
  pe->optionalHeader = (size_t)header + 24;
  if (pe->optionalHeader + (uint64_t)optionalSize > size || optionalSize < 96) return -1;
  const uint8_t* o = file + pe->optionalHeader;
  pe->magic = (uint16_t)U16(o);
  if (pe->magic != 0x10B && pe->magic != 0x20B) return -1;
  uint32_t directoriesAt = pe->magic == 0x20B ? 112 : 96;
  if (optionalSize < directoriesAt) return -1;
  pe->sectionAlignment = U32(o + 32);
  pe->fileAlignment = U32(o + 36);
  pe->sizeOfImage = U32(o + PE_OPTIONAL_SIZE_OF_IMAGE);
  uint32_t declared = U32(o + directoriesAt - 4);
  uint32_t room = (optionalSize - directoriesAt) / 8;
  pe->directoryCount = declared < room ? declared : room;
  if (pe->directoryCount > 16) pe->directoryCount = 16;
  pe->directories = pe->optionalHeader + directoriesAt;
  uint64_t table = pe->optionalHeader + (uint64_t)optionalSize;
  if (table + 40ull * sectionCount > size) return -1;
  pe->sections.clear();
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint8_t* s = file + table + 40 * i;
    PeSection section;
    memcpy(section.name, s, 8);
    section.name[8] = '\0';
    section.virtualSize = U32(s + 8);
    section.virtualAddress = U32(s + 12);
    section.rawSize = U32(s + 16);
    section.rawOffset = U32(s + 20);
    section.headerOffset = (size_t)(table + 40 * i);
    pe->sections.push_back(section);
  }
  error->clear();
  return 1;
}

uint32_t PeDirectoryAddress(const uint8_t* file, const PeHeaders& pe, int index) {
  return (uint32_t)index < pe.directoryCount ? U32(file + pe.directories + 8 * index) : 0;
}

uint32_t PeDirectorySize(const uint8_t* file, const PeHeaders& pe, int index) {
  return (uint32_t)index < pe.directoryCount ? U32(file + pe.directories + 8 * index + 4) : 0;
}

// The installer's own range rule (IsRangeInsideImage), applied to the image, to one section's
// file-backed bytes and to the file.
int64_t PeFileRange(const PeHeaders& pe, size_t fileSize, uint32_t rva, uint32_t size) {
  if (!IsRangeInsideImage(0, pe.sizeOfImage, rva, size)) return -1;
  for (const PeSection& s : pe.sections) {
    if (!IsRangeInsideImage(s.virtualAddress, FileBackedExtent(s), rva, size)) continue;
    uint64_t offset = (uint64_t)s.rawOffset + (rva - s.virtualAddress);
    if (!IsRangeInsideImage(0, fileSize, offset, size)) return -1;
    return (int64_t)offset;
  }
  return -1;
}

bool ReadResourceTree(const uint8_t* file, size_t size, const PeHeaders& pe, ResourceTree* tree,
                      std::string* error) {
  TreeWalk w = {file, size, pe, {nullptr, 0}, tree, error};
  bool present;
  if (!AreaOf(file, size, pe, &w.area, &present, error)) return false;
  tree->directories.clear();
  tree->data.clear();
  if (!present) return true;
  return ReadDirectory(w, 0, 0, "") == 0;
}

int FindResourceData(const ResourceTree& tree, uint32_t type, uint32_t id, int* languages) {
  int directory = 0;
  *languages = 0;
  if (tree.directories.empty()) return -1;
  for (uint32_t want : {type, id}) {
    int next = -1;
    for (const ResourceEntry& e : tree.directories[directory].entries) {
      if (!e.named && e.id == want) {
        next = e.directory;
        break;
      }
    }
    if (next < 0) return -1;
    directory = next;
  }
  const std::vector<ResourceEntry>& entries = tree.directories[directory].entries;
  *languages = (int)entries.size();
  return entries.empty() ? -1 : entries[0].data;
}

int FindPeResource(const uint8_t* file, size_t size, uint32_t type, uint32_t id, bool* found,
                   size_t* offset, size_t* length, std::string* error) {
  *found = false;
  PeHeaders pe;
  int kind = ReadPeHeaders(file, size, &pe, error);
  if (kind != 1) return kind;
  ResourceArea area;
  bool present;
  if (!AreaOf(file, size, pe, &area, &present, error)) return -1;
  if (!present) return 1;
  // Three levels: type, id, language (the first one). High bit: a subdirectory follows.
  std::string what = "resource " + std::to_string(type) + "/" + std::to_string(id);
  int64_t level = FindEntry(area, 0, type, false, "/", error);
  if (level < 0) return -1;
  if (!(level & 0x80000000u)) return level == 0 ? 1 : (*error = kDamaged + what, -1);
  level = FindEntry(area, level & 0x7FFFFFFFu, id, false, "/" + std::to_string(type), error);
  if (level < 0) return -1;
  if (!(level & 0x80000000u)) return level == 0 ? 1 : (*error = kDamaged + what, -1);
  level = FindEntry(area, level & 0x7FFFFFFFu, 0, true, what, error);
  if (level < 0) return -1;
  if (level == 0 || (level & 0x80000000u)) {
    *error = kDamaged + what + ": no language entry with data";
    return -1;
  }
  ResourceData data;
  if (!ReadData(size, pe, area, (uint64_t)level, what, &data, error)) return -1;
  *found = true;
  *offset = (size_t)PeFileRange(pe, size, data.rva, data.size);
  *length = data.size;
  return 1;
}
