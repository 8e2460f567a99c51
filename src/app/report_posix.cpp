#include <cstdio>

#include "app/report.h"

namespace zelpin {

void showUsage() {
  std::fprintf(stderr, "zelpin v%s\n%.*s\n", versionText, static_cast<int>(usageText.size()),
               usageText.data());
}

void reportFailure(std::string_view reason) {
  std::fprintf(stderr, "zelpin: %.*s\n", static_cast<int>(reason.size()), reason.data());
}

}  // namespace zelpin
