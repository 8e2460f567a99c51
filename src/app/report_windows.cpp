#include <windows.h>

#include <cstdio>
#include <string>

#include "app/report.h"

namespace zelpin {
namespace {

std::wstring widen(std::string_view ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace

void showUsage() {
  const std::wstring caption = L"zelpin v" + widen(versionText);
  MessageBoxW(nullptr, widen(usageText).c_str(), caption.c_str(), MB_OK);
}

// A GUI program has no console; the line reaches a debugger, and stderr where a caller provides
// one.
void reportFailure(std::string_view reason) {
  const std::string line = "zelpin: " + std::string(reason) + "\n";
  OutputDebugStringA(line.c_str());
  std::fputs(line.c_str(), stderr);
}

}  // namespace zelpin
