#pragma once

#include <cstdint>

#include "storage/wide_line.h"

namespace zelpin {

// Which existing keys are renumbered: any sum of these bits.
using KeyClassMask = std::uint8_t;
inline constexpr KeyClassMask digitKeys = 1;
inline constexpr KeyClassMask lowerKeys = 2;
inline constexpr KeyClassMask upperKeys = 4;

// One range of key values to hand out: 1 '0'-'9', 2 'a'-'z', 5 '1'-'9', 6 'A'-'Z'.
using KeyRangeCode = std::uint32_t;

// Up to ten 3-bit range codes, the first to use in the lowest bits.
using KeySequence = std::uint32_t;

struct KeySettings {
  KeyClassMask keyClassMask = 0;
  KeySequence keySequence = 0;
};

// Gives the entries whose key is of a selected class new keys along the sequence, top down; the
// ranges start over when the sequence is used up. Lines are never added, removed or moved.
void renumberKeys(MenuLines& lines, const KeySettings& keys);

}  // namespace zelpin
