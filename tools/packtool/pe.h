// An installer's PE image: the one reader of its headers and resource tree, used by every
// packtool command (pe.cpp), which trusts nothing in the file; and the writer that rebuilds it
// around a new package (pebuild.cpp), every other byte kept.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// A file left on disk, read through read, and the pieces the reader has looked at (headers and
// resource tree, never the resources' data), each kept while the file is.
struct PeFile {
  uint64_t size;
  bool (*read)(void* user, uint64_t offset, void* bytes, size_t size);
  void* user;
  std::vector<std::vector<uint8_t>> pieces;
  uint64_t held = 0;
  bool failed = false;  // a read failed, or the pieces would take more than kPeWindowHeld
};
const uint64_t kPeWindowHeld = 16u << 20;

struct PeSection {
  char name[9];
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
  size_t headerOffset;  // file offset of its 40-byte section header
};

inline uint32_t PeLoad32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

// The bytes a section takes in the image: its virtual size, or its raw size when that is 0.
inline uint64_t PeMappedSize(const PeSection& s) {
  return s.virtualSize != 0 ? s.virtualSize : s.rawSize;
}

struct PeHeaders {
  size_t optionalHeader;  // file offset of the optional header
  uint32_t sizeOfImage, sizeOfHeaders, sectionAlignment, fileAlignment, symbolTable;
  uint32_t sizeOfInitializedData;
  std::vector<PeSection> sections;
  uint32_t directoryAddress[16], directorySize[16];  // 0 where not declared, as for the loader
};

enum {
  PE_DIRECTORY_RESOURCE = 2,
  PE_DIRECTORY_SECURITY = 4,  // the certificate table: a file offset, not an RVA
  PE_OPTIONAL_SIZE_OF_INITIALIZED_DATA = 8,  // field offsets in the optional header
  PE_OPTIONAL_SIZE_OF_IMAGE = 56,
  PE_OPTIONAL_CHECKSUM = 64,
  PE_OPTIONAL_DIRECTORIES = 96,
  RESOURCE_RCDATA = 10,
};

// The resource tree as read: three levels (type, name, language), directories in pre-order (0 is
// the root), data entries, only at the third level, in the order the walk meets them.
struct ResourceData {
  uint32_t rva, size, codePage, reserved;
};
struct ResourceEntry {
  bool named;
  uint32_t id;                // integer id when not named
  std::vector<uint8_t> name;  // UTF-16LE code units when named (possibly none)
  int directory;              // index of the subdirectory, or -1
  int data;                   // index of the data entry, or -1
};
struct ResourceDirectory {
  uint8_t header[12];  // Characteristics, TimeDateStamp, versions: carried over as they are
  std::vector<ResourceEntry> entries;
};
struct ResourceTree {
  std::vector<ResourceDirectory> directories;
  std::vector<ResourceData> data;
};

struct PeImage {
  PeHeaders pe;
  ResourceTree tree;
  int resourceSection;  // the section that holds the resource tree, or -1 when there is none
  int package;          // RCDATA 100's data entry in tree.data, or -1 when there is none
  uint64_t packageOffset;  // its file offset and size when there is one
  uint32_t packageSize;
};

// 0: not a PE image (no "MZ"); 1: *image filled; -1: refused, with one line in *error. Bytes
// after the last section (a signature) are allowed: list and verify read signed installers.
int ReadPeImage(PeFile& file, PeImage* image, std::string* error);

// The file offset of [rva, rva + size) when the installer's own range rule (IsRangeInsideImage)
// puts it inside the image, one section's file-backed bytes and the file; -1 when it wraps round,
// leaves the image or has no file bytes.
int64_t PeFileRange(const PeHeaders& pe, uint64_t fileSize, uint32_t rva, uint32_t size);

// Checks that file is an executable this tool can rebuild: what ReadPeImage accepts, with an
// RCDATA 100, not signed, no symbol table, nothing after its last section, a resource section
// that starts with the tree, holds every resource's data and is followed by nothing but
// relocations. False with one line in *error.
bool ReadInstaller(PeFile& file, PeImage* layout, std::string* error);

// The new SizeOfImage for a package of packageSize bytes (64 bits: it is checked before use).
uint64_t BuiltImageSize(const PeImage& layout, uint64_t packageSize);

// Writes into *out the new executable without the package's bytes, which the caller writes at
// *packageOffset. Every write is checked against the output; false (with *error) when one would
// not fit, which a layout ReadInstaller accepted never gives, or "read error".
bool WriteInstallerAround(PeFile& file, const PeImage& layout, uint32_t packageSize,
                          std::vector<uint8_t>* out, size_t* packageOffset, std::string* error);

// The PE checksum in parts: the sum of the file's little-endian 32-bit words from offset 0, in
// pieces whose sizes are multiples of 4 but the last; PeChecksumAddAt takes a piece at any offset
// and of any size, so the pieces may be added in any order. Finished with the CheckSum field's
// value as summed and the file's size.
uint64_t PeChecksumAdd(uint64_t sum, const uint8_t* bytes, size_t size);
uint64_t PeChecksumAddAt(uint64_t sum, uint64_t offset, const uint8_t* bytes, size_t size);
uint32_t PeChecksumFinish(uint64_t sum, uint32_t field, uint64_t size);
