// IsRangeInsideImage: the range rule the package resource must pass before it is read.
#include "package/bounds.h"

int32_t IsRangeInsideImage(uint64_t imageBase, uint64_t imageSize, uint64_t address,
                           uint64_t size) {
  // Differences only: the start's offset, then the room left after it.
  if (address < imageBase) return 0;
  const uint64_t offset = address - imageBase;
  return offset <= imageSize && size <= imageSize - offset;
}
