#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "storage/wide_line.h"

namespace zelpin {

// Platform file access by wide name; the platform's own file decides how the name is spelled.

// Tells onOpen the file's size as it stands when opened (0 where there is none to tell), then
// hands the file's bytes to onChunk in order. A missing file calls neither; any other failure to
// open or read throws FileError.
void readFileChunks(std::u16string_view path, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk);

using ContentSink = std::function<void(std::string_view piece)>;
using ContentWriter = std::function<void(const ContentSink& sink)>;

// Replaces the file's content with the pieces writeContent hands to its sink, which come to size
// bytes, so that the file holds either its whole old content or the whole new one at every moment
// it can be observed. An exception from writeContent abandons the save before the file is
// replaced. Throws FileError.
void replaceFileContent(std::u16string_view path, std::uint64_t size,
                        const ContentWriter& writeContent);

}  // namespace zelpin
