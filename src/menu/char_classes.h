#pragma once

namespace zelpin {

// The ASCII classes, on every platform and whatever the locale, so that every build gives the same
// bytes for the same menu. Units from 0x80 up belong to no class.

constexpr bool isSpaceUnit(char16_t unit) {
  return unit == u' ' || (unit >= 0x09 && unit <= 0x0D);
}
constexpr bool isDigitUnit(char16_t unit) {
  return unit >= u'0' && unit <= u'9';
}
constexpr bool isLowerUnit(char16_t unit) {
  return unit >= u'a' && unit <= u'z';
}
constexpr bool isUpperUnit(char16_t unit) {
  return unit >= u'A' && unit <= u'Z';
}

}  // namespace zelpin
