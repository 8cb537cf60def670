// Where the package resource may lie: inside the image of the module that carries it. The loader
// takes the resource's address and size from the resource table as they stand, so a damaged
// table can give a range outside the image or one that wraps round the address space.
#pragma once
#include <stdint.h>

// 1 when the range of size bytes at address lies inside the image of imageSize bytes at
// imageBase (an empty range at the image's end included); 0 when it starts below or beyond the
// image, ends beyond it, or wraps round. Addresses are widened to 64 bits: no sum can wrap.
int32_t IsRangeInsideImage(uint64_t imageBase, uint64_t imageSize, uint64_t address,
                           uint64_t size);
