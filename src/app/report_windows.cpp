#include <windows.h>

#include <cstdio>
#include <string>

#include "app/report.h"

namespace zelpin {
namespace {

std::wstring widen(std::string_view ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

std::wstring fromUtf8(std::string_view text) {
  const int size = static_cast<int>(text.size());
  std::wstring wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)),
      L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::wstring caption() {
  return L"zelpin v" + widen(versionText);
}

// Started from a file manager, the program has no standard error: nothing would see its line.
bool hasStandardError() {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  return error != nullptr && error != INVALID_HANDLE_VALUE &&
         GetFileType(error) != FILE_TYPE_UNKNOWN;
}

}  // namespace

void showUsage() {
  MessageBoxW(nullptr, widen(usageText).c_str(), caption().c_str(), MB_OK);
}

// A GUI program has no console: the line goes to stderr where the caller gave one (a script, a
// terminal), else into a box in front of the file manager, so that a failure is never silent. A
// debugger sees it either way.
void reportFailure(std::string_view reason) {
  const std::string line = "zelpin: " + std::string(reason) + "\n";
  OutputDebugStringA(line.c_str());
  if (hasStandardError()) {
    std::fputs(line.c_str(), stderr);
    return;
  }
  MessageBoxW(nullptr, fromUtf8(reason).c_str(), caption().c_str(),
              MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

}  // namespace zelpin
