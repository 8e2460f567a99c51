#pragma once

#include <span>
#include <string_view>

#include "app/options.h"

namespace zelpin {

// words[0] is the program and is skipped. Every word is either options (it starts with '-') or the
// next positional one: menu file, folder, label, more label words. The word -u alone asks for an
// undo. Nothing is ever rejected.
Options parseCommandLine(std::span<const WideLine> words);

// The last count backslash-separated components of text, as a suffix of it; the whole text when
// count is 0 or less or text has too few backslashes. Its first unit never counts as a separator.
std::u16string_view pathTail(std::u16string_view text, int count);

}  // namespace zelpin
