// A minimal, bounds-checked walk of a PE file's headers, section table and resource tree.
#include "tools/packtool/pe.h"

namespace {

struct Reader {
  const std::vector<uint8_t>& file;
  bool ok = true;
  uint32_t U32(size_t at) {
    if (at + 4 > file.size() || at + 4 < at) return ok = false, 0;
    return file[at] | (file[at + 1] << 8) | (file[at + 2] << 16) | ((uint32_t)file[at + 3] << 24);
  }
  uint32_t U16(size_t at) {
    if (at + 2 > file.size() || at + 2 < at) return ok = false, 0;
    return file[at] | (file[at + 1] << 8);
  }
};

struct Section {
  uint32_t rva, virtualSize, rawOffset, rawSize;
};

// File offset of an RVA, or 0 when no section holds it.
size_t FileOffsetOf(const std::vector<Section>& sections, uint32_t rva) {
  for (const Section& s : sections) {
    uint32_t extent = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
    if (rva >= s.rva && rva - s.rva < extent && rva - s.rva < s.rawSize) {
      return (size_t)s.rawOffset + (rva - s.rva);
    }
  }
  return 0;
}

// The entry with integer id in the resource directory at dirOffset (file offset); its
// OffsetToData word, or 0 when absent.
uint32_t FindEntry(Reader& r, size_t dirOffset, uint32_t id, bool anyId) {
  uint32_t named = r.U16(dirOffset + 12), ids = r.U16(dirOffset + 14);
  for (uint32_t i = 0; r.ok && i < named + ids; ++i) {
    size_t e = dirOffset + 16 + 8 * (size_t)i;
    uint32_t name = r.U32(e);
    if (i >= named && (anyId || name == id)) return r.U32(e + 4);
  }
  return 0;
}

}  // namespace

bool FindPeResource(const std::vector<uint8_t>& file, uint32_t type, uint32_t id, bool* found,
                    size_t* offset, size_t* size, const char** error) {
  *found = false;
  *error = nullptr;
  if (file.size() < 2 || file[0] != 'M' || file[1] != 'Z') return false;
  Reader r{file};
  size_t pe = r.U32(0x3C);
  if (!r.ok || r.U32(pe) != 0x00004550u) return *error = "damaged PE header", true;
  uint32_t sectionCount = r.U16(pe + 6), optionalSize = r.U16(pe + 20);
  size_t optional = pe + 24;
  uint32_t magic = r.U16(optional);
  size_t directories = optional + (magic == 0x20B ? 112 : 96);
  uint32_t resourceRva = r.U32(directories + 2 * 8);
  std::vector<Section> sections;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    size_t s = optional + optionalSize + 40 * (size_t)i;
    sections.push_back({r.U32(s + 12), r.U32(s + 8), r.U32(s + 20), r.U32(s + 16)});
  }
  if (!r.ok) return *error = "damaged PE header", true;
  if (resourceRva == 0) return true;
  size_t root = FileOffsetOf(sections, resourceRva);
  if (root == 0) return *error = "resource directory outside every section", true;
  // Three levels: type, id, language (the first one). High bit: a subdirectory follows.
  uint32_t level = FindEntry(r, root, type, false);
  if (!(level & 0x80000000u)) return r.ok ? true : (*error = "damaged resource tree", true);
  level = FindEntry(r, root + (level & 0x7FFFFFFFu), id, false);
  if (!(level & 0x80000000u)) return r.ok ? true : (*error = "damaged resource tree", true);
  level = FindEntry(r, root + (level & 0x7FFFFFFFu), 0, true);
  if (level == 0 || (level & 0x80000000u)) return *error = "damaged resource tree", true;
  uint32_t dataRva = r.U32(root + level), dataSize = r.U32(root + level + 4);
  size_t dataOffset = FileOffsetOf(sections, dataRva);
  if (!r.ok || dataOffset == 0 || dataOffset + dataSize > file.size()) {
    return *error = "resource data outside the file", true;
  }
  *found = true;
  *offset = dataOffset;
  *size = dataSize;
  return true;
}
