#pragma once

#include <string>
#include <vector>

namespace zelpin {

// UTF-16 code units on every platform, also where wchar_t is 32 bits wide; need not be well-formed.
using WideLine = std::u16string;

// The menu file's lines in file order, without line ends.
using MenuLines = std::vector<WideLine>;

}  // namespace zelpin
