#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "storage/save/content_writer.h"
#include "storage/save/held_menu.h"

namespace zelpin {

// Tells onOpen the file's size as it stands when opened, then hands the file's bytes to onChunk in
// order. A missing file calls neither; any other failure to open or read, or a file that is not a
// regular file, throws FileError. A save in place of this file that was stopped part-way is
// finished first.
void readFileChunks(MenuFile& menu, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk);

// Replaces the file's content with the pieces writeContent hands to its sink, which come to size
// bytes, so that a reader finds either its whole old content or the whole new one at every moment.
// The file must be the one that was read (or still be missing). An exception from writeContent
// abandons the save before the file is replaced. Throws FileError.
void replaceFileContent(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent);

}  // namespace zelpin
