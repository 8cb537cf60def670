// Rewriting a built installer around a new package. The resource section is laid out as GNU ld
// lays it out (directories depth first, then data entries, names, and the data 8-byte aligned in
// the order of the tree), except that RCDATA 100 always comes last, so that the output does not
// depend on where the input's package sat.
#include "tools/packtool/pebuild.h"

#include <string.h>

namespace {

void Store16(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
void Store32(uint8_t* p, uint32_t v) {
  Store16(p, v);
  Store16(p + 2, v >> 16);
}

// The output buffer: every write names an offset in it and is checked against its size; one
// that does not fit is not made and clears ok.
// The output without the package's bytes: the hole [holeStart, holeStart + holeSize) of the file
// is not held, and what follows it is held holeSize bytes earlier.
struct Output {
  std::vector<uint8_t>* bytes;
  bool ok;
  uint64_t holeStart = 0, holeSize = 0;
};

uint8_t* At(Output* o, uint64_t offset, uint64_t length) {
  if (o->holeSize != 0 && offset < o->holeStart + o->holeSize &&
      offset + length > o->holeStart) {
    o->ok = false;  // nothing but the package is written there
    return nullptr;
  }
  if (o->holeSize != 0 && offset >= o->holeStart + o->holeSize) offset -= o->holeSize;
  uint64_t size = o->bytes->size();
  if (offset > size || length > size - offset) {
    o->ok = false;
    return nullptr;
  }
  return o->bytes->data() + offset;
}

void Put16(Output* o, uint64_t offset, uint32_t v) {
  if (uint8_t* p = At(o, offset, 2)) Store16(p, v);
}
void Put32(Output* o, uint64_t offset, uint32_t v) {
  if (uint8_t* p = At(o, offset, 4)) Store32(p, v);
}
// Nothing to copy is nothing to check: a section without file bytes may name any offset.
void CopyBytes(Output* o, uint64_t offset, const uint8_t* from, uint64_t length) {
  if (length == 0) return;
  if (uint8_t* p = At(o, offset, length)) memcpy(p, from, (size_t)length);
}
// Copies length bytes of the input file at from, checked against the input too.
void Copy(Output* o, uint64_t offset, const PeFile& file, uint64_t from, uint64_t length) {
  if (length == 0) return;
  if (from > file.size || length > file.size - from) {
    o->ok = false;
    return;
  }
  uint8_t* p = At(o, offset, length);
  if (p != nullptr && !file.window->read(file.window->user, from, p, (size_t)length)) {
    file.window->failed = true;
    o->ok = false;
  }
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Where everything of the new resource section goes, as offsets from its start.
struct ResourcePlan {
  std::vector<uint64_t> directory, dataEntry, data;
  uint64_t names = 0;  // the first name; names follow one another in the order of the tree
  uint64_t size = 0;
};

ResourcePlan PlanResources(const InstallerLayout& layout, uint64_t packageSize) {
  const ResourceTree& tree = layout.tree;
  ResourcePlan plan;
  uint64_t at = 0;
  for (const ResourceDirectory& d : tree.directories) {
    plan.directory.push_back(at);
    at += 16 + 8 * d.entries.size();
  }
  for (size_t i = 0; i < tree.data.size(); ++i) {
    plan.dataEntry.push_back(at);
    at += 16;
  }
  plan.names = at;
  for (const ResourceDirectory& d : tree.directories) {
    for (const ResourceEntry& e : d.entries) {
      if (e.named) at += 2 + e.name.size();
    }
  }
  at = AlignUp(at, 8);
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

// New virtual address and file offset of every section from the resource section on.
struct SectionPlan {
  std::vector<uint32_t> virtualAddress, rawOffset, virtualSize, rawSize;
  uint64_t imageSize, fileSize;
};

SectionPlan PlanSections(const InstallerLayout& layout, uint64_t resourceSize) {
  const PeHeaders& pe = layout.pe;
  SectionPlan plan;
  uint64_t virtualEnd = 0, rawEnd = 0;
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const PeSection& s = pe.sections[i];
    uint64_t va = s.virtualAddress, raw = s.rawOffset, vsize = s.virtualSize, rsize = s.rawSize;
    if ((int)i == layout.resourceSection) {
      vsize = resourceSize;
      rsize = AlignUp(resourceSize, pe.fileAlignment);
    } else if ((int)i > layout.resourceSection) {
      va = AlignUp(virtualEnd, pe.sectionAlignment);
      if (rsize != 0) raw = rawEnd;
    }
    plan.virtualAddress.push_back((uint32_t)va);
    plan.rawOffset.push_back((uint32_t)raw);
    plan.virtualSize.push_back((uint32_t)vsize);
    plan.rawSize.push_back((uint32_t)rsize);
    virtualEnd = va + (vsize != 0 ? vsize : rsize);
    if (rsize != 0) rawEnd = raw + rsize;
  }
  plan.imageSize = AlignUp(virtualEnd, pe.sectionAlignment);
  plan.fileSize = rawEnd;
  return plan;
}

}  // namespace

bool ReadInstaller(const PeFile& file, InstallerLayout* layout, std::string* error) {
  int kind = ReadPeImage(file, layout, error);
  if (kind == 0) return *error = "not a Windows executable", false;
  if (kind < 0) return false;
  const PeHeaders& pe = layout->pe;
  if (pe.directoryCount > PE_DIRECTORY_SECURITY &&
      (pe.directoryAddress[PE_DIRECTORY_SECURITY] != 0 ||
       pe.directorySize[PE_DIRECTORY_SECURITY] != 0)) {
    return *error = "carries an Authenticode signature; build first, then sign", false;
  }
  const char* kind_ = " (not an installer built by this project)";
  if (pe.symbolTable != 0) return *error = std::string("carries a symbol table") + kind_, false;
  if (!PowerOfTwo(pe.fileAlignment) || pe.fileAlignment < 512 || pe.fileAlignment > 65536 ||
      !PowerOfTwo(pe.sectionAlignment) || pe.sectionAlignment < pe.fileAlignment) {
    return *error = std::string("unusual section or file alignment") + kind_, false;
  }
  if (layout->package < 0) return *error = "executable without a package (RCDATA 100)", false;
  uint32_t resourceRva = pe.directoryAddress[PE_DIRECTORY_RESOURCE];
  const PeSection& resources = pe.sections[layout->resourceSection];
  if (resources.virtualAddress != resourceRva) {
    return *error = std::string("the resource tree does not start a section") + kind_, false;
  }
  for (const ResourceData& d : layout->tree.data) {
    if (d.rva < resources.virtualAddress ||
        (uint64_t)d.rva + d.size > resources.virtualAddress + PeMappedSize(resources)) {
      return *error = std::string("resource data outside the resource section") + kind_, false;
    }
  }
  // Sections in ascending order in memory and in the file; after the resources only relocations,
  // which can move because nothing in the image points into them but their data directory.
  uint64_t virtualEnd = 0, rawEnd = 0;
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const PeSection& s = pe.sections[i];
    if ((int)i > layout->resourceSection && strcmp(s.name, ".reloc") != 0) {
      return *error = std::string("section ") + s.name + " follows the resources" + kind_, false;
    }
    // A section without file bytes has no file offset that counts (the loader ignores it).
    bool rawOk = s.rawSize == 0 ||
                 (s.rawOffset >= rawEnd && (uint64_t)s.rawOffset + s.rawSize <= file.size);
    if (s.virtualAddress < virtualEnd || !rawOk) {
      return *error = std::string("sections out of order or beyond the file") + kind_, false;
    }
    virtualEnd = (uint64_t)s.virtualAddress + PeMappedSize(s);
    if (s.rawSize != 0) rawEnd = AlignUp((uint64_t)s.rawOffset + s.rawSize, pe.fileAlignment);
  }
  if (file.size > rawEnd) {
    return *error = std::to_string(file.size - rawEnd) + " bytes after the last section" + kind_,
           false;
  }
  // No data directory but the resources may point into the resource section, and each one
  // points into a section (which keeps its place, or moves with the directory's address).
  for (uint32_t d = 0; d < pe.directoryCount; ++d) {
    uint32_t address = pe.directoryAddress[d];
    if (d == PE_DIRECTORY_RESOURCE || d == PE_DIRECTORY_SECURITY || address == 0) continue;
    bool inSection = false;
    for (const PeSection& s : pe.sections) {
      if (address >= s.virtualAddress && address - s.virtualAddress < PeMappedSize(s)) {
        inSection = true;
      }
    }
    if (!inSection) {
      return *error = "data directory " + std::to_string(d) + " points into no section" + kind_,
             false;
    }
    if (address >= resources.virtualAddress &&
        address - resources.virtualAddress < PeMappedSize(resources)) {
      return *error = "data directory " + std::to_string(d) + " inside the resource section" +
                      kind_, false;
    }
  }
  return true;
}

uint64_t BuiltImageSize(const InstallerLayout& layout, uint64_t packageSize) {
  return PlanSections(layout, PlanResources(layout, packageSize).size).imageSize;
}

namespace {
bool Write(const PeFile& file, const InstallerLayout& layout, uint32_t packageSize,
           std::vector<uint8_t>* out, size_t* packageOffset, std::string* error) {
  const PeHeaders& pe = layout.pe;
  const ResourceTree& tree = layout.tree;
  const PeSection& resources = pe.sections[layout.resourceSection];
  ResourcePlan res = PlanResources(layout, packageSize);
  SectionPlan sec = PlanSections(layout, res.size);
  Output o = {out, true};
  *packageOffset = (size_t)(resources.rawOffset + res.data[layout.package]);
  if (*packageOffset + (uint64_t)packageSize > sec.fileSize) o.ok = false;
  if (o.ok) {
    o.holeStart = *packageOffset;
    o.holeSize = packageSize;
  }
  out->assign((size_t)(sec.fileSize - o.holeSize), 0);
  // The header area: the file up to the resource section's bytes, kept as it is. The header
  // fields below are written at their offsets in it, which the reader found in front of every
  // section; the checks make a layout that breaks this fail instead of writing elsewhere.
  uint64_t headerArea = resources.rawOffset;
  Copy(&o, 0, file, 0, headerArea);
  if (pe.headersEnd > headerArea) o.ok = false;
  // The resource section.
  uint64_t r = resources.rawOffset;
  uint64_t name = res.names;
  for (size_t d = 0; d < tree.directories.size(); ++d) {
    const ResourceDirectory& dir = tree.directories[d];
    uint64_t p = r + res.directory[d];
    CopyBytes(&o, p, dir.header, 12);
    uint32_t named = 0;
    for (const ResourceEntry& e : dir.entries) named += e.named;
    Put16(&o, p + 12, named);
    Put16(&o, p + 14, (uint32_t)dir.entries.size() - named);
    for (size_t i = 0; i < dir.entries.size(); ++i) {
      const ResourceEntry& e = dir.entries[i];
      uint64_t q = p + 16 + 8 * i;
      if (e.named) {
        Put32(&o, q, 0x80000000u | (uint32_t)name);
        Put16(&o, r + name, (uint32_t)e.name.size() / 2);
        CopyBytes(&o, r + name + 2, e.name.data(), e.name.size());
        name += 2 + e.name.size();
      } else {
        Put32(&o, q, e.id);
      }
      Put32(&o, q + 4, e.directory >= 0 ? 0x80000000u | (uint32_t)res.directory[e.directory]
                                        : (uint32_t)res.dataEntry[e.data]);
    }
  }
  for (size_t i = 0; i < tree.data.size(); ++i) {
    const ResourceData& d = tree.data[i];
    uint32_t dataSize = (int)i == layout.package ? packageSize : d.size;
    uint64_t p = r + res.dataEntry[i];
    Put32(&o, p, resources.virtualAddress + (uint32_t)res.data[i]);
    Put32(&o, p + 4, dataSize);
    Put32(&o, p + 8, d.codePage);
    Put32(&o, p + 12, d.reserved);
    if ((int)i != layout.package) {
      Copy(&o, r + res.data[i], file, resources.rawOffset + (d.rva - resources.virtualAddress),
           d.size);
    }
  }

  // The sections after it, moved; their headers and the data directories that point into them.
  for (size_t i = 0; i < pe.sections.size(); ++i) {
    const PeSection& s = pe.sections[i];
    uint64_t h = s.headerOffset;
    if (h + 40 > headerArea) o.ok = false;
    Put32(&o, h + 8, sec.virtualSize[i]);
    Put32(&o, h + 12, sec.virtualAddress[i]);
    Put32(&o, h + 16, sec.rawSize[i]);
    Put32(&o, h + 20, sec.rawOffset[i]);
    if ((int)i <= layout.resourceSection) continue;
    Copy(&o, sec.rawOffset[i], file, s.rawOffset, s.rawSize);
    for (uint32_t d = 0; d < pe.directoryCount; ++d) {
      uint32_t address = pe.directoryAddress[d];
      if (d == PE_DIRECTORY_SECURITY || address < s.virtualAddress ||
          address - s.virtualAddress >= PeMappedSize(s)) {
        continue;
      }
      Put32(&o, pe.directories + 8 * d, address - s.virtualAddress + sec.virtualAddress[i]);
    }
  }
  Put32(&o, pe.directories + 8 * PE_DIRECTORY_RESOURCE + 4, (uint32_t)res.size);
  uint64_t optional = pe.optionalHeader;
  // SizeOfInitializedData changes by what the resource section's file bytes changed.
  uint32_t initialized = pe.optionalHeader + PE_OPTIONAL_SIZE_OF_INITIALIZED_DATA + 4 <= headerArea
                             ? PeLoad32(out->data() + optional + PE_OPTIONAL_SIZE_OF_INITIALIZED_DATA)
                             : 0;
  initialized += sec.rawSize[layout.resourceSection] -
                 (uint32_t)AlignUp(resources.rawSize, pe.fileAlignment);
  Put32(&o, optional + PE_OPTIONAL_SIZE_OF_INITIALIZED_DATA, initialized);
  Put32(&o, optional + PE_OPTIONAL_SIZE_OF_IMAGE, (uint32_t)sec.imageSize);
  Put32(&o, optional + PE_OPTIONAL_CHECKSUM, 0);
  if (pe.optionalHeader + PE_OPTIONAL_CHECKSUM + 4 > headerArea) o.ok = false;
  if (!o.ok) {
    out->clear();
    *error = file.window != nullptr && file.window->failed
                 ? "read error"
                 : "internal error: the new layout does not fit the output; nothing written";
  }
  return o.ok;
}
}  // namespace

bool WriteInstallerAround(const PeFile& file, const InstallerLayout& layout,
                          uint32_t packageSize, std::vector<uint8_t>* out, size_t* packageOffset,
                          std::string* error) {
  return Write(file, layout, packageSize, out, packageOffset, error);
}

uint64_t PeChecksumAdd(uint64_t sum, const uint8_t* bytes, size_t size) {
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    uint32_t word;
    memcpy(&word, bytes + i, 4);
    sum += word;
  }
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
