#pragma once

#include <string_view>

#include "app/version.h"

namespace zelpin {

inline constexpr std::string_view usageText =
    "usage: zelpin [options] menu_file [folder [label]]\n"
    "       zelpin -u menu_file";

// The platform's way of showing the usage text under the caption "zelpin v<version>".
void showUsage();

// The platform's way of telling why a run failed, as one line.
void reportFailure(std::string_view reason);

}  // namespace zelpin
