// Conversions per line, and loading plus renumbering a whole menu, in bytes per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "menu/entries.h"
#include "menu/keys.h"
#include "storage/conversion.h"

namespace {

const std::string asciiLine = "\"3 Documents\"\t&CD \"C:\\Users\\me\\Projects\\Documents1234\"";
const std::string japaneseLine =
    "\xE5\x86\x99\xE7\x9C\x9F\xE3\x81\xA8\xE9\x9F\xB3\xE6\xA5\xBD\xE3\x81\xAE\xE8\xA8\xAD\xE8\xA8"
    "\x88\xE6\x9B\xB8\xE3\x83\x95\xE3\x82\xA9\xE3\x83\xAB\xE3\x83\x80\xE3\x83\xBC\xE4\xB8\x80\xE8"
    "\xA6\xA7";
const std::string mixedLine =
    "\"5 \xE5\x86\x99\xE7\x9C\x9F\"\t&CD \"C:\\Users\\me\\\xE3\x83\x80\xE3\x82\xA6\xE3\x83\xB3"
    "\xE3\x83\xAD\xE3\x83\xBC\xE3\x83\x89\\\xE5\x86\x99\xE7\x9C\x9F 2026\"";

const std::string& sampleLine(int kind) {
  return kind == 0 ? asciiLine : kind == 1 ? japaneseLine : mixedLine;
}

const char* kindName(int kind) {
  return kind == 0 ? "ascii" : kind == 1 ? "japanese" : "mixed";
}

void decodeLineBench(benchmark::State& state) {
  const std::string& line = sampleLine(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(zelpin::decodeLine(line));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
  state.SetLabel(kindName(static_cast<int>(state.range(0))));
}
BENCHMARK(decodeLineBench)->DenseRange(0, 2);

void encodeLineBench(benchmark::State& state) {
  const std::string& bytes = sampleLine(static_cast<int>(state.range(0)));
  const std::u16string line = zelpin::decodeLine(bytes);
  for (auto _ : state) {
    benchmark::DoNotOptimize(zelpin::encodeLine(line, false));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.SetLabel(kindName(static_cast<int>(state.range(0))));
}
BENCHMARK(encodeLineBench)->DenseRange(0, 2);

// The menu lives on tmpfs where there is one, so the figure is the program's work, not a disk's.
void loadAndRenumberBench(benchmark::State& state) {
  const auto folder = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                          : std::filesystem::temp_directory_path();
  const auto path = folder / ("zelpin-bench-" + std::to_string(::getpid()) + ".txt");
  std::string menu = "zel zelpin\n";
  for (int i = 0; i < 10000; ++i) {
    menu += (i % 50 == 0 ? std::string("; a foreign line") : sampleLine(i % 3 == 1 ? 2 : 0)) + "\n";
  }
  std::ofstream(path, std::ios::binary) << menu;
  const zelpin::KeySettings keys{1, 1};
  for (auto _ : state) {
    zelpin::MenuLines lines;
    zelpin::MenuFile file(path.u16string());
    zelpin::loadMenu(file, u"&CD \"C:\\nowhere\"", lines);
    zelpin::ensureHeader(lines);
    zelpin::renumberKeys(lines, keys);
    benchmark::DoNotOptimize(lines.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * menu.size()));
  std::filesystem::remove(path);
}
BENCHMARK(loadAndRenumberBench);

}  // namespace
