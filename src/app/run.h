#pragma once

#include <span>

#include "storage/wide_line.h"

namespace zelpin {

// One whole run over the command-line words (words[0] is the program); returns the exit status:
// 0 for every orderly ending, 1 when the menu file could not be read or saved, or a line could not
// be converted, in which case the file keeps its content, 2 when the edit is saved but the user is
// to be told of something beside it (a journal set aside).
int runZelpin(std::span<const WideLine> words);

}  // namespace zelpin
