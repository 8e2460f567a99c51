#pragma once

#include <cstddef>
#include <string_view>

namespace zelpin {

// Stepping through a path by characters, as the platform counts them. text must be a view of a
// NUL-terminated string. previousCharacter never goes before 0.
std::size_t previousCharacter(std::u16string_view text, std::size_t position);
std::size_t nextCharacter(std::u16string_view text, std::size_t position);

}  // namespace zelpin
