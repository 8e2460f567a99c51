#include <windows.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/run.h"

// A GUI-subsystem program: no console window opens when a file manager starts it on a keypress.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::setlocale(LC_ALL, "japanese");
  std::vector<zelpin::WideLine> words;
  words.reserve(static_cast<std::size_t>(__argc));
  for (int i = 0; i < __argc; ++i) {
    // wchar_t holds UTF-16 here; lone surrogates pass through unchanged.
    const wchar_t* word = __wargv[i];
    words.emplace_back(reinterpret_cast<const char16_t*>(word), std::wcslen(word));
  }
  return zelpin::runZelpin(words);
}
