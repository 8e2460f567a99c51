#include "menu/keys.h"

#include "menu/char_classes.h"

namespace zelpin {
namespace {

struct KeyRange {
  char16_t first;
  char16_t last;
};

KeyRange rangeOf(KeyRangeCode code) {
  switch (code) {
    case 2:
      return {u'a', u'z'};
    case 5:
      return {u'1', u'9'};
    case 6:
      return {u'A', u'Z'};
    default:  // 1; the command line stores no other code
      return {u'0', u'9'};
  }
}

bool passesKeyTest(char16_t key, KeyClassMask mask) {
  return ((mask & digitKeys) != 0 && isDigitUnit(key)) ||
         ((mask & lowerKeys) != 0 && isLowerUnit(key)) ||
         ((mask & upperKeys) != 0 && isUpperUnit(key));
}

bool hasKeyOfClass(const WideLine& line, KeyClassMask mask) {
  return line.size() >= 3 && line[0] == u'"' && line[2] == u' ' && passesKeyTest(line[1], mask);
}

// Hands out key values along the ranges of a sequence, starting over after the last range.
class KeyDealer {
 public:
  explicit KeyDealer(KeySequence sequence) : sequence_(sequence), rest_(sequence) { takeRange(); }

  char16_t deal() {
    const char16_t key = range_.first;
    if (range_.first == range_.last) {
      if (rest_ == 0) {
        rest_ = sequence_;
      }
      takeRange();
    } else {
      ++range_.first;
    }
    return key;
  }

 private:
  void takeRange() {
    range_ = rangeOf(rest_ & 7);
    rest_ >>= 3;
  }

  KeySequence sequence_;
  KeySequence rest_;
  KeyRange range_{};
};

}  // namespace

void renumberKeys(MenuLines& lines, const KeySettings& keys) {
  if (keys.keyClassMask == 0) {
    return;
  }
  KeyDealer dealer(keys.keySequence);
  for (WideLine& line : lines) {
    if (hasKeyOfClass(line, keys.keyClassMask)) {
      line[1] = dealer.deal();
    }
  }
}

}  // namespace zelpin
