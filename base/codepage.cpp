// The ANSI code page's lead bytes, exact spelling of wide text, and names compared as the file
// system compares them.
#include "base/codepage.h"

#include "base/path.h"

void LoadCodePageLeadBytes(void) {
  CPINFO info;
  if (!GetCPInfo(CP_ACP, &info)) {
    SetPathLeadBytes(nullptr, 0);
    return;
  }
  size_t pairs = 0;
  while (pairs < MAX_LEADBYTES / 2 && info.LeadByte[2 * pairs] != 0) ++pairs;
  SetPathLeadBytes(info.LeadByte, pairs);
}

int32_t SpellExactly(const WCHAR* wide, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  out[0] = '\0';
  if (wide == nullptr || outSize > 0x7fffffff) return 0;
  // A UTF-8 code page spells every character; it takes neither best-fit flag nor default
  // character, but refuses a lone surrogate.
  const bool utf8 = GetACP() == CP_UTF8;
  BOOL usedDefault = FALSE;
  const UINT codePage = utf8 ? CP_UTF8 : CP_ACP;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const int length = WideCharToMultiByte(codePage, flags, wide, -1, out, (int)outSize, nullptr,
                                         utf8 ? nullptr : &usedDefault);
  if (length <= 0 || usedDefault) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}

int32_t SameNameIgnoringCase(const char* a, const char* b) {
  WCHAR wideA[2048], wideB[2048];
  return MultiByteToWideChar(CP_ACP, 0, a, -1, wideA, 2048) != 0 &&
         MultiByteToWideChar(CP_ACP, 0, b, -1, wideB, 2048) != 0 &&
         CompareStringOrdinal(wideA, -1, wideB, -1, TRUE) == CSTR_EQUAL;
}
