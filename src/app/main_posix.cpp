#include <string>
#include <vector>

#include "app/report.h"
#include "app/run.h"
#include "storage/conversion.h"

int main(int argc, char** argv) {
  std::vector<zelpin::WideLine> words;
  words.reserve(static_cast<std::size_t>(argc));
  try {
    for (int i = 0; i < argc; ++i) {
      words.push_back(zelpin::decodeUtf8(argv[i]));
    }
  } catch (const zelpin::ConversionError& failure) {
    zelpin::reportFailure(failure.what());
    return 1;
  }
  return zelpin::runZelpin(words);
}
