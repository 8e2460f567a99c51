#pragma once

#include <stdexcept>
#include <string>

namespace zelpin {

// A menu file that exists but cannot be read, or a save that did not complete. The message names
// the file and the reason, ready to be shown as one line.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace zelpin
