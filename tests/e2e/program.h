#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zelpin_test {

struct RunSettings {
  std::filesystem::path folder;         // the working folder of the run
  std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE in bytes
  std::optional<rlim_t> memoryLimit;    // RLIMIT_AS in bytes
  bool ignoreFileSizeSignal = false;    // SIGXFSZ ignored, so writes fail with EFBIG
  bool asOtherUser = false;             // run as nobody (65534), so permissions apply
  // Where runs keep what they keep between runs; by default a folder of the test program's own.
  std::optional<std::filesystem::path> stateHome;
  // Instead: the home the run is given, with no XDG_STATE_HOME.
  std::optional<std::filesystem::path> home;
  // A program and its arguments that start the built program (strace, to stop it at a call).
  std::vector<std::string> wrapper;
};

struct RunResult {
  int exitStatus = -1;  // -1 when a signal ended the program
  int signal = 0;
  std::string errorOutput;
};

// A run of the built program that has been started and not yet waited for.
struct StartedRun {
  pid_t process = -1;
  int errorFile = -1;
};

// Starts the built program with args (without the program name).
StartedRun startProgram(const std::vector<std::string>& args, const RunSettings& settings);
RunResult waitForProgram(StartedRun run);
// Whether the run has not ended yet; it is still to be waited for either way.
bool isRunning(const StartedRun& run);

// Runs the built program with args (without the program name) and waits for it.
RunResult runProgram(const std::vector<std::string>& args, const RunSettings& settings);

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TemporaryFolder {
 public:
  TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::string& bytes);

// A menu of a header "zel big" and entries keyed 0-9 for the folders C:\Folder 0, C:\Folder 1 ...:
// large enough that a run spends a noticeable time saving it.
std::string largeMenu(int entries);

// The state folder that runs use by default (XDG_STATE_HOME).
const std::filesystem::path& defaultStateHome();

// Names in folder that the save uses for its temporary files; none may stay behind (the Windows
// build's lock beside a menu stays, and is none of them).
std::vector<std::string> leftoverTemporaryFiles(const std::filesystem::path& folder);

}  // namespace zelpin_test
