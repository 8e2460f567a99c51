#pragma once

#include <functional>
#include <string_view>

#include "storage/wide_line.h"

namespace zelpin {

// Platform file access by wide name; the platform's own file decides how the name is spelled.

// Hands the file's bytes to onChunk in order. A missing file gives no chunks; any other failure to
// open or read throws FileError.
void readFileChunks(std::u16string_view path,
                    const std::function<void(std::string_view chunk)>& onChunk);

// Replaces the file's content with content, so that the file holds either its whole old content or
// the whole new one, and nothing else, at every moment it can be observed. Throws FileError.
void replaceFileContent(std::u16string_view path, std::string_view content);

}  // namespace zelpin
