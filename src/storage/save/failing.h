#pragma once

#include <string>
#include <string_view>

#include "storage/failure.h"
#include "storage/platform/platform_file.h"

namespace zelpin {

[[noreturn]] inline void failBecause(std::string_view action, std::u16string_view menu,
                                     std::string_view reason) {
  throw FileError(Failure{std::u16string(menu), std::string(action), std::string(reason)});
}

[[noreturn]] inline void fail(std::string_view action, std::u16string_view menu,
                              platform::SystemError error) {
  failBecause(action, menu, platform::describeError(error));
}

inline void check(std::string_view action, std::u16string_view menu, platform::SystemError error) {
  if (error != 0) {
    fail(action, menu, error);
  }
}

}  // namespace zelpin
