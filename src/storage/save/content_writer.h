#pragma once

#include <functional>
#include <string_view>

namespace zelpin {

// A save's new content, handed to a sink a piece at a time: the same bytes each time it is asked.
using ContentSink = std::function<void(std::string_view piece)>;
using ContentWriter = std::function<void(const ContentSink& sink)>;

}  // namespace zelpin
