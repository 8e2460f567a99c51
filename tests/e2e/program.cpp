#include "program.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace zelpin_test {
namespace {

constexpr uid_t otherUser = 65534;

std::string programPath() {
  const char* fromEnvironment = std::getenv("ZELPIN_PROGRAM");
  return fromEnvironment != nullptr ? fromEnvironment : ZELPIN_PROGRAM;
}

// The build tree may lie in a folder that nobody else may enter (a clone under /root, say), so
// runs as another user start a copy in a folder everyone can reach.
std::string programForOtherUser() {
  static const TemporaryFolder folder;
  static const std::string copy = [] {
    const auto target = folder.path() / "zelpin";
    std::filesystem::copy_file(programPath(), target);
    std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_all |
                                                    std::filesystem::perms::group_read |
                                                    std::filesystem::perms::group_exec |
                                                    std::filesystem::perms::others_read |
                                                    std::filesystem::perms::others_exec);
    return target.string();
  }();
  return copy;
}

// The test's environment, but with the state folder that settings ask for.
std::vector<std::string> environmentFor(const RunSettings& settings) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    if (!variable.starts_with("XDG_STATE_HOME=") &&
        !(settings.home && variable.starts_with("HOME="))) {
      environment.emplace_back(*entry);
    }
  }
  if (settings.home) {
    environment.push_back("HOME=" + settings.home->string());
  } else {
    environment.push_back("XDG_STATE_HOME=" +
                          settings.stateHome.value_or(defaultStateHome()).string());
  }
  return environment;
}

// Only system calls between fork and exec: the tests may start runs from several threads at once.
[[noreturn]] void runChild(const std::vector<char*>& argv, const std::vector<char*>& environment,
                           const RunSettings& settings, int errorFile) {
  ::dup2(errorFile, STDERR_FILENO);
  if (::chdir(settings.folder.c_str()) != 0) {
    ::_exit(125);
  }
  if (settings.fileSizeLimit) {
    const rlimit limit{*settings.fileSizeLimit, *settings.fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (settings.memoryLimit) {
    const rlimit limit{*settings.memoryLimit, *settings.memoryLimit};
    ::setrlimit(RLIMIT_AS, &limit);
  }
  std::signal(SIGXFSZ, settings.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
  if (settings.asOtherUser &&
      (::setgroups(0, nullptr) != 0 || ::setgid(otherUser) != 0 || ::setuid(otherUser) != 0)) {
    ::_exit(126);
  }
  ::execve(argv[0], argv.data(), environment.data());
  ::_exit(127);
}

}  // namespace

StartedRun startProgram(const std::vector<std::string>& args, const RunSettings& settings) {
  const std::string program = settings.asOtherUser ? programForOtherUser() : programPath();
  // The error output goes to a file, not a pipe: helpers that the program leaves running (Wine's
  // services) inherit it and would keep a pipe open long after the program has ended.
  std::string errorName =
      (std::filesystem::temp_directory_path() / "zelpin-stderr-XXXXXX").string();
  const int errorFile = ::mkostemp(errorName.data(), O_CLOEXEC);
  if (errorFile < 0) {
    throw std::runtime_error("mkostemp failed");
  }
  ::unlink(errorName.c_str());
  std::vector<char*> argv;
  for (const std::string& word : settings.wrapper) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<std::string> environment = environmentFor(settings);
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    runChild(argv, envp, settings, errorFile);
  }
  return {child, errorFile};
}

RunResult waitForProgram(StartedRun run) {
  const int errorFile = run.errorFile;
  int status = 0;
  ::waitpid(run.process, &status, 0);
  RunResult result;
  char buffer[4096];
  for (ssize_t count; (count = ::pread(errorFile, buffer, sizeof buffer,
                                       static_cast<off_t>(result.errorOutput.size()))) > 0;) {
    result.errorOutput.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(errorFile);
  // The Windows program's standard error is in text mode: its lines end in CR LF.
  for (std::size_t at; (at = result.errorOutput.find("\r\n")) != std::string::npos;) {
    result.errorOutput.erase(at, 1);
  }
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

bool isRunning(const StartedRun& run) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(run.process), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

RunResult runProgram(const std::vector<std::string>& args, const RunSettings& settings) {
  return waitForProgram(startProgram(args, settings));
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zelpin-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
  // Runs as another user must be able to make files here.
  std::filesystem::permissions(path_, std::filesystem::perms::all);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  // Folders a test made read-only must be opened again before they can be emptied.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string largeMenu(int entries) {
  std::string menu = "zel big\n";
  for (int i = 0; i < entries; ++i) {
    // Appended piece by piece: g++ 12 warns falsely on "literal" + std::string when optimising.
    menu.append("\"").append(std::to_string(i % 10)).append(" Folder\"\t&CD \"C:\\Folder ");
    menu.append(std::to_string(i)).append("\"\n");
  }
  return menu;
}

const std::filesystem::path& defaultStateHome() {
  static const TemporaryFolder folder;
  return folder.path();
}

std::vector<std::string> leftoverTemporaryFiles(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".zelpin-") != std::string::npos && !name.ends_with(".zelpin-lock")) {
      names.push_back(name);
    }
  }
  return names;
}

}  // namespace zelpin_test
