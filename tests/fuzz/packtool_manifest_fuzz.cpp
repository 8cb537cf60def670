// libFuzzer target over packtool's manifest reader. The first input byte sets the size of the
// pieces the rest is read in; the result must not depend on it (the same entries, or the same
// one-line error as when read whole), and an accepted manifest holds 17 entries whose names the
// installer accepts, in printable ASCII.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/packagedir.h"
#include "package/entryname.h"
#include "tools/packtool/manifest.h"

namespace {

struct Text {
  const uint8_t* bytes;
  size_t size, at, piece;
};

bool ReadText(void* user, void* bytes, size_t size, size_t* got) {
  Text* t = static_cast<Text*>(user);
  size_t n = t->size - t->at;
  if (n > size) n = size;
  if (n > t->piece) n = t->piece;
  if (n != 0) memcpy(bytes, t->bytes + t->at, n);
  t->at += n;
  *got = n;
  return true;
}

void Require(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Pieces of 1 to 64 bytes: a byte-order mark split across them is still one.
  Text pieces = {data + 1, size - 1, 0, 1 + data[0] % 64u};
  Text whole = {data + 1, size - 1, 0, (size_t)-1};
  std::vector<ManifestEntry> a, b;
  std::string errorA, errorB;
  bool okA = ReadManifestEntries("m", ReadText, &pieces, &a, &errorA);
  bool okB = ReadManifestEntries("m", ReadText, &whole, &b, &errorB);
  Require(okA == okB && errorA == errorB);
  if (!okA) {
    Require(!errorA.empty() && errorA.find('\n') == std::string::npos);
    return 0;
  }
  Require(a.size() == PACKAGE_ENTRY_COUNT && b.size() == PACKAGE_ENTRY_COUNT);
  for (size_t i = 0; i < a.size(); ++i) {
    Require(a[i].name == b[i].name && a[i].source == b[i].source && a[i].line == b[i].line);
    Require(IsSafeEntryName(a[i].name.c_str(), PACKAGE_NAME_SIZE) == 1);
    for (unsigned char c : a[i].name) Require(c >= 32 && c < 127);
  }
  return 0;
}
