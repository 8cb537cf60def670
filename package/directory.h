// Where the package directory is read: its copy out of an image in memory, and what extraction
// asks of it before it touches an entry's bytes.
#pragma once
#include <stdint.h>

#include "base/packagedir.h"

// Copies the first 2720 bytes of the image into *directory when the image is larger than that:
// 0. Otherwise -1 and *directory is left as it was.
int32_t CopyPackageDirectory(const uint8_t* image, uint32_t size, PackageDirectory* directory);

// Whether the entry's range ends inside an image of size bytes.
int32_t EntryInImage(const PackageEntry* entry, uint32_t size);

// Whether two entries inside the image share a byte: one entry's unscrambling then changes what
// another's digest reads, which fixes the order of the work.
int32_t EntriesShareBytes(const PackageDirectory* directory, uint32_t size);
