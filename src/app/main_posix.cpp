#include <string>
#include <vector>

#include "app/report.h"
#include "app/run.h"
#include "storage/conversion.h"
#include "storage/failure.h"

int main(int argc, char** argv) {
  // Too few words give the usage whatever bytes they hold, as on Windows: only their count counts.
  std::vector<zelpin::WideLine> words(argc < 3 ? static_cast<std::size_t>(argc) : 0);
  bool undecodable = false;
  for (int i = 0; i < argc && argc >= 3; ++i) {
    try {
      words.push_back(zelpin::decodeUtf8(argv[i]));
    } catch (const zelpin::ConversionError&) {
      undecodable = true;
      words.push_back(u"?");
    }
  }
  if (undecodable) {
    // The line names the menu, the first word that is not options, as every failure line does.
    zelpin::WideLine menu = u"?";
    for (int i = 1; i < argc; ++i) {
      if (argv[i][0] != '-') {
        menu = words[static_cast<std::size_t>(i)];
        break;
      }
    }
    zelpin::reportFailure(
        zelpin::failureLine(zelpin::Failure{menu, "edit", "bad conversion of an argument"}));
    return 1;
  }
  return zelpin::runZelpin(words);
}
