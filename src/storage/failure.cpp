#include "storage/failure.h"

#include "storage/conversion.h"

namespace zelpin {

std::string failureLine(const Failure& failure) {
  std::string line = "cannot " + failure.action + " ";
  line += quoted(failure.menu);
  line += ": ";
  line += failure.reason;
  return line;
}

}  // namespace zelpin
