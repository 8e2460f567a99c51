#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "storage/conversion.h"

namespace zelpin {

// A menu file that exists but cannot be read, or a save that did not complete. The message names
// the file and the reason, ready to be shown as one line.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The one line every failure of a run is told in: "cannot edit 'menu.txt': it is busy".
inline std::string failureLine(std::string_view action, std::u16string_view menu,
                               std::string_view reason) {
  return "cannot " + std::string(action) + " '" + shownText(menu) + "': " + std::string(reason);
}

}  // namespace zelpin
