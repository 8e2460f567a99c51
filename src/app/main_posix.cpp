#include <string>
#include <vector>

#include "app/report.h"
#include "app/run.h"
#include "storage/conversion.h"

int main(int argc, char** argv) {
  // Too few words give the usage whatever bytes they hold, as on Windows: only their count counts.
  std::vector<zelpin::WideLine> words(argc < 3 ? static_cast<std::size_t>(argc) : 0);
  try {
    for (int i = 0; i < argc && argc >= 3; ++i) {
      words.push_back(zelpin::decodeUtf8(argv[i]));
    }
  } catch (const zelpin::ConversionError& failure) {
    zelpin::reportFailure(failure.what());
    return 1;
  }
  return zelpin::runZelpin(words);
}
