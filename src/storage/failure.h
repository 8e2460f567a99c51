#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace zelpin {

// What failed: the menu as the user named it, what the run was doing to it, and why.
struct Failure {
  std::u16string menu;
  std::string action;  // "edit", "read", "write", "undo", ...
  std::string reason;
  bool menuChanged = false;  // the menu is not as it was: the run had begun to change it
};

// The one line every failure of a run is told in: "cannot edit 'menu.txt': it is busy".
std::string failureLine(const Failure& failure);

// A menu file that exists but cannot be read, or a save that did not complete; the menu keeps
// its content unless the reason says otherwise.
class FileError : public std::runtime_error {
 public:
  explicit FileError(Failure failure)
      : std::runtime_error(failureLine(failure)), failure_(std::move(failure)) {}
  const Failure& failure() const { return failure_; }

 private:
  Failure failure_;
};

}  // namespace zelpin
