// Reading a Windows executable (PE32 or PE32+): headers, section table and resource tree, every
// offset checked against the file and every data range against the image, so that a damaged
// table gives an error and never a read outside the file.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct PeSection {
  char name[9];
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
  size_t headerOffset;  // file offset of its 40-byte section header
};

struct PeHeaders {
  size_t optionalHeader;  // file offset of the optional header
  uint16_t machine, magic;
  uint32_t sizeOfImage, sectionAlignment, fileAlignment, symbolTable;
  uint32_t directoryCount;
  size_t directories;  // file offset of data directory 0
  std::vector<PeSection> sections;
};

enum {
  PE_DIRECTORY_RESOURCE = 2,
  PE_DIRECTORY_SECURITY = 4,  // the Authenticode certificate table (a file offset, not an RVA)
  PE_DIRECTORY_BASERELOC = 5,
  PE_OPTIONAL_SIZE_OF_INITIALIZED_DATA = 8,  // field offsets in the optional header
  PE_OPTIONAL_SIZE_OF_IMAGE = 56,
  PE_OPTIONAL_CHECKSUM = 64,
  RESOURCE_RCDATA = 10,
};

// 0: not a PE image (no "MZ"); 1: *pe filled; -1: a damaged PE, *error says how.
int ReadPeHeaders(const uint8_t* file, size_t size, PeHeaders* pe, std::string* error);

// Data directory index: its RVA (or file offset for the security directory) and size; 0 when the
// image has fewer directories.
uint32_t PeDirectoryAddress(const uint8_t* file, const PeHeaders& pe, int index);
uint32_t PeDirectorySize(const uint8_t* file, const PeHeaders& pe, int index);

// The file offset of [rva, rva + size) when the range lies inside the image and inside one
// section's bytes in the file; -1 when it wraps round, leaves the image or has no file bytes.
int64_t PeFileRange(const PeHeaders& pe, size_t fileSize, uint32_t rva, uint32_t size);

// The resource tree as read: directories in pre-order (0 is the root), data entries in the order
// the walk meets them.
struct ResourceData {
  uint32_t rva, size, codePage, reserved;
};
struct ResourceEntry {
  bool named;
  uint32_t id;                // integer id when not named
  std::vector<uint8_t> name;  // UTF-16LE code units when named
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

// Reads the whole tree (at most three levels, as Windows reads it). False with *error when an
// offset or a data range lies outside the resource section, the image or the file.
bool ReadResourceTree(const uint8_t* file, size_t size, const PeHeaders& pe, ResourceTree* tree,
                      std::string* error);

// The data entry of resource type/id (integer ids, the first language) in a read tree, or -1.
int FindResourceData(const ResourceTree& tree, uint32_t type, uint32_t id, int* languages);

// Follows only the path to resource type/id, as the loader does, with the same checks as
// ReadResourceTree. 0: not a PE image; 1: *found tells whether it is there, with the file offset
// and size of its data; -1: damaged, *error says how.
int FindPeResource(const uint8_t* file, size_t size, uint32_t type, uint32_t id, bool* found,
                   size_t* offset, size_t* length, std::string* error);
