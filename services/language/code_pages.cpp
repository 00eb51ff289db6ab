#include "services/language/code_pages.h"

#include <array>

namespace zel::language {
namespace {

using enum Encoding;

constexpr std::array kCodePages = {
    // Workstation code pages.
    CodePage{437, "IBM437", kSingleByte, false, 0},
    CodePage{850, "IBM850", kSingleByte, false, 1},
    CodePage{1250, "CP1250", kSingleByte, false, 2},
    CodePage{1251, "CP1251", kSingleByte, false, 3},
    CodePage{1252, "CP1252", kSingleByte, false, 4},
    CodePage{1255, "CP1255", kSingleByte, false, 5},
    CodePage{1256, "CP1256", kSingleByte, false, 6},
    CodePage{932, "CP932", kMixedPc, false, 7},
    CodePage{943, "IBM943", kMixedPc, false, 8},
    // Host code pages.
    CodePage{37, "IBM037", kSingleByte, true, 9},
    CodePage{273, "IBM273", kSingleByte, true, 10},
    CodePage{277, "IBM277", kSingleByte, true, 11},
    CodePage{278, "IBM278", kSingleByte, true, 12},
    CodePage{280, "IBM280", kSingleByte, true, 13},
    CodePage{284, "IBM284", kSingleByte, true, 14},
    CodePage{285, "IBM285", kSingleByte, true, 15},
    CodePage{297, "IBM297", kSingleByte, true, 16},
    CodePage{420, "IBM420", kSingleByte, true, 17},
    CodePage{424, "IBM424", kSingleByte, true, 18},
    CodePage{500, "IBM500", kSingleByte, true, 19},
    CodePage{871, "IBM871", kSingleByte, true, 20},
    CodePage{1140, "IBM1140", kSingleByte, true, 21},
    CodePage{1141, "IBM1141", kSingleByte, true, 22},
    CodePage{1148, "IBM1148", kSingleByte, true, 23},
    CodePage{930, "IBM930", kMixedEbcdic, true, 24},
    CodePage{939, "IBM939", kMixedEbcdic, true, 25},
    CodePage{1390, "IBM1390", kMixedEbcdic, true, 26},
    CodePage{1399, "IBM1399", kMixedEbcdic, true, 27},
};

constexpr bool IndexesMatchPositions() {
  for (uint32_t i = 0; i < kCodePages.size(); ++i) {
    if (kCodePages[i].index != i) return false;
  }
  return true;
}
static_assert(IndexesMatchPositions());
static_assert(kCodePages.size() <= kMaxCodePages);

// CCSIDs whose number differs from their code page's.
struct CcsidAlias {
  uint32_t ccsid;
  uint32_t code_page;
};
constexpr std::array<CcsidAlias, 2> kAliases = {{{5026, 930}, {5035, 939}}};

}  // namespace

const CodePage* FindCodePage(uint32_t number) {
  for (const CodePage& page : kCodePages) {
    if (page.number == number) return &page;
  }
  return nullptr;
}

std::optional<uint32_t> CodePageOfCcsid(uint32_t ccsid) {
  for (const CcsidAlias& alias : kAliases) {
    if (alias.ccsid == ccsid) return alias.code_page;
  }
  if (FindCodePage(ccsid) != nullptr) return ccsid;
  return std::nullopt;
}

}  // namespace zel::language
