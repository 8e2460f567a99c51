#include "app/text_steps.h"

namespace zelpin {

// One code unit at a time: no platform routine knows the characters of a UTF-16 path here.

std::size_t previousCharacter(std::u16string_view, std::size_t position) {
  return position == 0 ? 0 : position - 1;
}

std::size_t nextCharacter(std::u16string_view text, std::size_t position) {
  return position < text.size() ? position + 1 : position;
}

}  // namespace zelpin
