#pragma once

#include <span>

#include "storage/wide_line.h"

namespace zelpin {

// One whole run over the command-line words (words[0] is the program); returns the exit status:
// 0 for every orderly ending; 1 when the run failed and the menu file is as it was (it could not
// be read or saved, a line could not be converted); 2 when the menu was changed and the user is to
// be told of something beside it (a journal set aside, an old end that could not be cut off, an
// interrupted save finished before the run failed).
int runZelpin(std::span<const WideLine> words);

}  // namespace zelpin
