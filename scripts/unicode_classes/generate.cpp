// Writes the range table of the tokenizer's three character classes from the
// ICU library of the build machine: letter (general category L), number
// (category N) and white space ([\t\n\f\r] and category Z). Built and run by
// scripts/unicode_classes/generate; the output goes to
// generation/unicode_class_table.inc.
#include <unicode/uchar.h>
#include <unicode/uversion.h>

#include <cstdint>
#include <cstdio>

namespace {

constexpr uint32_t kLetter = 1, kNumber = 2, kWhiteSpace = 4;

uint32_t classes(UChar32 c) {
  uint32_t mask = U_GET_GC_MASK(c);
  uint32_t bits = 0;
  if (mask & U_GC_L_MASK) bits |= kLetter;
  if (mask & U_GC_N_MASK) bits |= kNumber;
  if ((mask & U_GC_Z_MASK) || c == '\t' || c == '\n' || c == '\f' || c == '\r') bits |= kWhiteSpace;
  return bits;
}

}  // namespace

int main() {
  UVersionInfo icu, unicode;
  u_getVersion(icu);
  u_getUnicodeVersion(unicode);
  char icu_text[U_MAX_VERSION_STRING_LENGTH], unicode_text[U_MAX_VERSION_STRING_LENGTH];
  u_versionToString(icu, icu_text);
  u_versionToString(unicode, unicode_text);
  std::printf("// generated, do not edit: scripts/unicode_classes/generate (ICU %s, Unicode %s)\n", icu_text,
              unicode_text);
  std::printf("// Ranges {first, last, class bits} in code point order, 1 letter, 2 number, 4 white space;\n");
  std::printf("// code points in no range have no class.\n");
  unsigned count = 0;
  UChar32 c = 0;
  while (c <= 0x10FFFF) {
    uint32_t bits = classes(c);
    UChar32 last = c;
    while (last < 0x10FFFF && classes(last + 1) == bits) ++last;
    if (bits != 0) {
      std::printf("{0x%04X, 0x%04X, %u},\n", static_cast<unsigned>(c), static_cast<unsigned>(last), bits);
      ++count;
    }
    c = last + 1;
  }
  std::fprintf(stderr, "%u ranges\n", count);
  return 0;
}
