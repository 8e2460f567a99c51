#include "storage/platform/file_steps.h"

#include <algorithm>
#include <vector>

namespace zelpin::platform {

SystemError readPieces(NativeHandle file,
                       const std::function<void(std::string_view piece)>& onPiece,
                       std::uint64_t limit) {
  std::vector<char> buffer(1 << 16);
  for (std::uint64_t left = limit; left > 0;) {
    std::size_t count = 0;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    if (const SystemError error = readSome(file, buffer.data(), wanted, count)) {
      return error;
    }
    if (count == 0) {
      break;
    }
    onPiece(std::string_view(buffer.data(), count));
    left -= count;
  }
  return 0;
}

SystemError readAll(NativeHandle file, std::string& bytes) {
  return readPieces(file, [&](std::string_view piece) { bytes.append(piece); });
}

}  // namespace zelpin::platform
