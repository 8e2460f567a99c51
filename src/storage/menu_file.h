#pragma once

#include <functional>
#include <string_view>

#include "storage/save/held_menu.h"
#include "storage/wide_line.h"

namespace zelpin {

using LineConsumer = std::function<void(WideLine&& line)>;

// Decodes the menu file line by line (LF or CR LF ends a line) and hands each line to consume in
// file order. A missing file has no lines. Throws ConversionError at the first undecodable line,
// before the next one is read, and FileError when the file cannot be read.
void readMenuLines(MenuFile& menu, const LineConsumer& consume);

// Encodes every line first, then replaces the file that was read: UTF-8, byte-order mark, CR LF
// after each line (an LF inside a line is written as CR LF too). Throws ConversionError before
// touching the file, and FileError when the save fails; in both cases the file keeps its old
// content.
void saveMenu(MenuFile& menu, const MenuLines& lines);

}  // namespace zelpin
