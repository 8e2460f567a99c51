// Starts a program as a file manager does: no standard input, output or error, no console.
// Usage: launch_as_file_manager PROGRAM [WORDS...]; its status is the program's.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    return 99;
  }
  std::wstring line;
  for (int i = 1; i < argc; ++i) {
    line += std::wstring(i > 1 ? L" \"" : L"\"") + argv[i] + L"\"";
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // all three left empty
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    return 98;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 97;
  GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}
