#include <windows.h>

#include "app/text_steps.h"

namespace zelpin {
namespace {

const wchar_t* wide(std::u16string_view text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

}  // namespace

std::size_t previousCharacter(std::u16string_view text, std::size_t position) {
  return static_cast<std::size_t>(CharPrevW(wide(text), wide(text) + position) - wide(text));
}

std::size_t nextCharacter(std::u16string_view text, std::size_t position) {
  return static_cast<std::size_t>(CharNextW(wide(text) + position) - wide(text));
}

}  // namespace zelpin
