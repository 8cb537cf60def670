// Rewriting a built installer around a new package. The resource section is laid out as GNU ld
// lays it out (directories depth first, then data entries, names, and the data 8-byte aligned in
// the order of the tree), except that RCDATA 100 always comes last, so that the output does not
// depend on where the input's package sat.
#include "tools/packtool/pe.h"

#include <string.h>

#include <initializer_list>

#include "package/bounds.h"

namespace {

// The output without the package's bytes: the hole [holeStart, holeStart + holeSize) of the file
// is not held, and what follows it is held holeSize bytes earlier. Every write names an offset in
// the file and is checked against the output; one that does not fit is not made and clears ok.
struct Output {
  std::vector<uint8_t>* bytes;
  bool ok;
  uint64_t holeStart = 0, holeSize = 0;
};

uint8_t* At(Output* o, uint64_t offset, uint64_t length) {
  uint64_t holeEnd = o->holeStart + o->holeSize, size = o->bytes->size();
  // Nothing but the package is written in the hole.
  bool inHole = o->holeSize != 0 && offset < holeEnd && offset + length > o->holeStart;
  if (o->holeSize != 0 && offset >= holeEnd) offset -= o->holeSize;
  if (inHole || offset > size || length > size - offset) return o->ok = false, nullptr;
  return o->bytes->data() + offset;
}

// Stores the low size bytes of v, little-endian.
void Put(Output* o, uint64_t offset, uint32_t v, int size = 4) {
  uint8_t* p = At(o, offset, size);
  for (int i = 0; p != nullptr && i < size; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
void PutWords(Output* o, uint64_t offset, std::initializer_list<uint32_t> words) {
  for (uint32_t word : words) Put(o, offset, word), offset += 4;
}
// Nothing to copy is nothing to check: a section without file bytes may name any offset.
void CopyBytes(Output* o, uint64_t offset, const uint8_t* from, uint64_t length) {
  if (uint8_t* p = length == 0 ? nullptr : At(o, offset, length)) memcpy(p, from, (size_t)length);
}
// Copies length bytes of the input file at from, checked against the input too.
void Copy(Output* o, uint64_t offset, PeFile& file, uint64_t from, uint64_t length) {
  if (length == 0) return;
  uint8_t* p = IsRangeInsideImage(0, file.size, from, length) ? At(o, offset, length) : nullptr;
  bool read = p != nullptr && file.read(file.user, from, p, (size_t)length);
  if (p != nullptr && !read) file.failed = true;
  if (!read) o->ok = false;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool Holds(const PeSection& s, uint32_t rva) {
  return rva >= s.virtualAddress && rva - s.virtualAddress < PeMappedSize(s);
}

// Where everything of the new resource section goes, as offsets from its start.
struct ResourcePlan {
  std::vector<uint64_t> directory, dataEntry, data;
  uint64_t names = 0;  // the first name; names follow one another in the order of the tree
  uint64_t size = 0;
};

ResourcePlan PlanResources(const PeImage& layout, uint64_t packageSize) {
  const ResourceTree& tree = layout.tree;
  ResourcePlan plan;
  uint64_t at = 0, names = 0;
  for (const ResourceDirectory& d : tree.directories) {
    plan.directory.push_back(at);
    at += 16 + 8 * d.entries.size();
    for (const ResourceEntry& e : d.entries) names += e.named ? 2 + e.name.size() : 0;
  }
  for (size_t i = 0; i < tree.data.size(); ++i, at += 16) plan.dataEntry.push_back(at);
  plan.names = at;
  at = AlignUp(at + names, 8);
  plan.data.resize(tree.data.size());
  for (size_t i = 0; i < tree.data.size(); ++i) {
    if ((int)i == layout.package) continue;
    plan.data[i] = at;
    at = AlignUp(at + tree.data[i].size, 8);
  }
  plan.data[layout.package] = at;
  plan.size = at + packageSize;
  return plan;
}

// Every section with its new address, offset and sizes: the resource section grows or shrinks,
// the ones after it move.
struct SectionPlan {
  std::vector<PeSection> sections;
  uint64_t imageSize, fileSize;
};

SectionPlan PlanSections(const PeImage& layout, uint64_t resourceSize) {
  const PeHeaders& pe = layout.pe;
  SectionPlan plan = {pe.sections, 0, 0};
  uint64_t virtualEnd = 0, rawEnd = 0;
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    PeSection& s = plan.sections[i];
    uint64_t va = s.virtualAddress, raw = s.rawOffset, vsize = s.virtualSize, rsize = s.rawSize;
    if ((int)i == layout.resourceSection) {
      vsize = resourceSize;
      rsize = AlignUp(resourceSize, pe.fileAlignment);
    } else if ((int)i > layout.resourceSection) {
      va = AlignUp(virtualEnd, pe.sectionAlignment);
      if (rsize != 0) raw = rawEnd;
    }
    s.virtualAddress = (uint32_t)va;
    s.rawOffset = (uint32_t)raw;
    s.virtualSize = (uint32_t)vsize;
    s.rawSize = (uint32_t)rsize;
    virtualEnd = va + (vsize != 0 ? vsize : rsize);
    if (rsize != 0) rawEnd = raw + rsize;
  }
  plan.imageSize = AlignUp(virtualEnd, pe.sectionAlignment);
  plan.fileSize = rawEnd;
  return plan;
}

bool NotOurs(std::string* error, const std::string& what) {
  return *error = what + " (not an installer built by this project)", false;
}

}  // namespace

bool ReadInstaller(PeFile& file, PeImage* layout, std::string* error) {
  int kind = ReadPeImage(file, layout, error);
  if (kind == 0) return *error = "not a Windows executable", false;
  if (kind < 0) return false;
  const PeHeaders& pe = layout->pe;
  if (pe.directoryAddress[PE_DIRECTORY_SECURITY] != 0 ||
      pe.directorySize[PE_DIRECTORY_SECURITY] != 0) {
    return *error = "carries an Authenticode signature; build first, then sign", false;
  }
  if (pe.symbolTable != 0) return NotOurs(error, "carries a symbol table");
  if (!PowerOfTwo(pe.fileAlignment) || pe.fileAlignment < 512 || pe.fileAlignment > 65536 ||
      !PowerOfTwo(pe.sectionAlignment) || pe.sectionAlignment < pe.fileAlignment) {
    return NotOurs(error, "unusual section or file alignment");
  }
  if (layout->package < 0) return *error = "executable without a package (RCDATA 100)", false;
  const PeSection& resources = pe.sections[layout->resourceSection];
  if (resources.virtualAddress != pe.directoryAddress[PE_DIRECTORY_RESOURCE]) {
    return NotOurs(error, "the resource tree does not start a section");
  }
  for (const ResourceData& d : layout->tree.data) {
    if (!IsRangeInsideImage(resources.virtualAddress, PeMappedSize(resources), d.rva, d.size)) {
      return NotOurs(error, "resource data outside the resource section");
    }
  }
  // Sections in ascending order in the file too (the reader saw to memory and to the file's end);
  // after the resources only relocations, which can move because nothing in the image points
  // into them but their data directory.
  uint64_t rawEnd = 0;
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const PeSection& s = pe.sections[i];
    if ((int)i > layout->resourceSection && strcmp(s.name, ".reloc") != 0) {
      return NotOurs(error, std::string("section ") + s.name + " follows the resources");
    }
    // A section without file bytes has no file offset that counts (the loader ignores it).
    if (s.rawSize == 0) continue;
    if (s.rawOffset < rawEnd) return NotOurs(error, "sections out of order or beyond the file");
    rawEnd = AlignUp((uint64_t)s.rawOffset + s.rawSize, pe.fileAlignment);
  }
  if (file.size > rawEnd) {
    return NotOurs(error, std::to_string(file.size - rawEnd) + " bytes after the last section");
  }
  // No data directory but the resources may point into the resource section, and each one
  // points into a section (which keeps its place, or moves with the directory's address).
  for (uint32_t d = 0; d < 16; ++d) {
    uint32_t address = pe.directoryAddress[d];
    if (d == PE_DIRECTORY_RESOURCE || d == PE_DIRECTORY_SECURITY || address == 0) continue;
    bool inSection = false;
    for (const PeSection& s : pe.sections) inSection = inSection || Holds(s, address);
    std::string what = "data directory " + std::to_string(d);
    if (!inSection) return NotOurs(error, what + " points into no section");
    if (Holds(resources, address)) return NotOurs(error, what + " inside the resource section");
  }
  return true;
}

uint64_t BuiltImageSize(const PeImage& layout, uint64_t packageSize) {
  return PlanSections(layout, PlanResources(layout, packageSize).size).imageSize;
}

bool WriteInstallerAround(PeFile& file, const PeImage& layout, uint32_t packageSize,
                          std::vector<uint8_t>* out, size_t* packageOffset, std::string* error) {
  const PeHeaders& pe = layout.pe;
  const ResourceTree& tree = layout.tree;
  const PeSection& resources = pe.sections[layout.resourceSection];
  const uint64_t optional = pe.optionalHeader, directories = optional + PE_OPTIONAL_DIRECTORIES;
  ResourcePlan res = PlanResources(layout, packageSize);
  SectionPlan sec = PlanSections(layout, res.size);
  *packageOffset = (size_t)(resources.rawOffset + res.data[layout.package]);
  Output o = {out, *packageOffset + (uint64_t)packageSize <= sec.fileSize};
  if (o.ok) o.holeStart = *packageOffset, o.holeSize = packageSize;
  out->assign((size_t)(sec.fileSize - o.holeSize), 0);
  // The header area: the file up to the resource section's bytes, kept as it is; the header fields
  // below are written in it, in front of SizeOfHeaders, which the reader found in front of every
  // section's bytes (the check makes a layout that breaks this fail instead of writing elsewhere).
  uint64_t r = resources.rawOffset;
  Copy(&o, 0, file, 0, r);
  if (pe.sizeOfHeaders > r) o.ok = false;
  uint64_t name = res.names;
  for (size_t d = 0; d < tree.directories.size(); ++d) {
    const ResourceDirectory& dir = tree.directories[d];
    uint64_t p = r + res.directory[d];
    CopyBytes(&o, p, dir.header, 12);
    uint32_t named = 0;
    for (const ResourceEntry& e : dir.entries) named += e.named;
    Put(&o, p + 12, named | ((uint32_t)dir.entries.size() - named) << 16);
    for (size_t i = 0; i < dir.entries.size(); ++i) {
      const ResourceEntry& e = dir.entries[i];
      uint64_t q = p + 16 + 8 * i;
      Put(&o, q, e.named ? 0x80000000u | (uint32_t)name : e.id);
      if (e.named) {
        Put(&o, r + name, (uint32_t)e.name.size() / 2, 2);
        CopyBytes(&o, r + name + 2, e.name.data(), e.name.size());
        name += 2 + e.name.size();
      }
      Put(&o, q + 4, e.directory >= 0 ? 0x80000000u | (uint32_t)res.directory[e.directory]
                                      : (uint32_t)res.dataEntry[e.data]);
    }
  }
  for (size_t i = 0; i < tree.data.size(); ++i) {
    const ResourceData& d = tree.data[i];
    bool package = (int)i == layout.package;
    PutWords(&o, r + res.dataEntry[i], {resources.virtualAddress + (uint32_t)res.data[i],
                                        package ? packageSize : d.size, d.codePage, d.reserved});
    if (!package) Copy(&o, r + res.data[i], file, r + (d.rva - resources.virtualAddress), d.size);
  }
  // Every section's header; the sections after the resources moved, with the data directories
  // that point into them.
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const PeSection& s = pe.sections[i];
    const PeSection& to = sec.sections[i];
    PutWords(&o, s.headerOffset + 8, {to.virtualSize, to.virtualAddress, to.rawSize, to.rawOffset});
    if ((int)i <= layout.resourceSection) continue;
    Copy(&o, to.rawOffset, file, s.rawOffset, s.rawSize);
    for (uint32_t d = 0; d < 16; ++d) {
      uint32_t address = pe.directoryAddress[d];
      if (d != PE_DIRECTORY_SECURITY && Holds(s, address)) {
        Put(&o, directories + 8 * d, address - s.virtualAddress + to.virtualAddress);
      }
    }
  }
  Put(&o, directories + 8 * PE_DIRECTORY_RESOURCE + 4, (uint32_t)res.size);
  // SizeOfInitializedData changes by what the resource section's file bytes changed.
  Put(&o, optional + PE_OPTIONAL_SIZE_OF_INITIALIZED_DATA,
      pe.sizeOfInitializedData + sec.sections[layout.resourceSection].rawSize -
          (uint32_t)AlignUp(resources.rawSize, pe.fileAlignment));
  Put(&o, optional + PE_OPTIONAL_SIZE_OF_IMAGE, (uint32_t)sec.imageSize);
  Put(&o, optional + PE_OPTIONAL_CHECKSUM, 0);
  if (!o.ok) {
    out->clear();
    *error = file.failed ? "read error"
                 : "internal error: the new layout does not fit the output; nothing written";
  }
  return o.ok;
}

uint64_t PeChecksumAdd(uint64_t sum, const uint8_t* bytes, size_t size) {
  size_t i = 0;
  for (; i + 4 <= size; i += 4) sum += PeLoad32(bytes + i);
  uint32_t last = 0;
  memcpy(&last, bytes + i, size - i);
  return sum + last;
}

// A byte's weight in the one's complement sum is 1 at an even offset and 256 at an odd one
// (2^16 is 1 modulo 2^16 - 1). A piece summed from its own start at an odd offset therefore
// counts 256 times its sum: the folded sum rotated by 8 bits. Folding keeps a nonzero sum
// nonzero, so the finished checksum is the one of the whole file summed in one piece.
uint64_t PeChecksumAddAt(uint64_t sum, uint64_t offset, const uint8_t* bytes, size_t size) {
  uint64_t piece = PeChecksumAdd(0, bytes, size);
  if ((offset & 1) != 0) {
    while (piece >> 16) piece = (piece & 0xFFFFu) + (piece >> 16);
    piece = ((piece << 8) | (piece >> 8)) & 0xFFFFu;
  }
  return sum + piece;
}

uint32_t PeChecksumFinish(uint64_t sum, uint32_t field, uint64_t size) {
  sum += (uint64_t)(0xFFFFu - (field & 0xFFFFu)) + (0xFFFFu - (field >> 16));
  while (sum >> 16) sum = (sum & 0xFFFFu) + (sum >> 16);
  return (uint32_t)sum + (uint32_t)size;
}
