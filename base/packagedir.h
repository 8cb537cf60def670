// The package's directory: 17 fixed 160-byte entries at the head of the package resource,
// followed by the entries' stored (scrambled) bytes back to back. Integers are little-endian;
// both the installer (i686) and the host tools (x86-64) are little-endian, so the records are
// read in place.
#pragma once
#include <stdint.h>

enum {
  PACKAGE_ENTRY_COUNT = 17,
  PACKAGE_NAME_SIZE = 128,
  PACKAGE_ENTRY_SIZE = 160,
  PACKAGE_DIRECTORY_SIZE = PACKAGE_ENTRY_COUNT * PACKAGE_ENTRY_SIZE,  // 2720
  PACKAGE_RESOURCE_ID = 100,                                           // RCDATA 100
};

struct PackageEntry {
  char entryName[PACKAGE_NAME_SIZE];  // relative path, backslash-separated, zero-padded
  uint32_t dataOffset;                // from the first byte of the package
  uint32_t dataSize;                  // stored size = file size, below 2^31
  uint8_t plainDigest[16];            // MD5 of the plain bytes
  uint8_t reserved[8];                // never read
};

struct PackageDirectory {
  PackageEntry entries[PACKAGE_ENTRY_COUNT];
};

static_assert(sizeof(PackageEntry) == PACKAGE_ENTRY_SIZE, "entry is 160 bytes");
static_assert(sizeof(PackageDirectory) == PACKAGE_DIRECTORY_SIZE, "directory is 2720 bytes");
