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

[[noreturn]] void runChild(const std::string& program, const std::vector<std::string>& args,
                           const RunSettings& settings, int errorPipe) {
  ::dup2(errorPipe, STDERR_FILENO);
  if (::chdir(settings.folder.c_str()) != 0) {
    ::_exit(125);
  }
  if (settings.fileSizeLimit) {
    const rlimit limit{*settings.fileSizeLimit, *settings.fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  std::signal(SIGXFSZ, settings.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
  if (settings.asOtherUser &&
      (::setgroups(0, nullptr) != 0 || ::setgid(otherUser) != 0 || ::setuid(otherUser) != 0)) {
    ::_exit(126);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& args, const RunSettings& settings) {
  const std::string program = settings.asOtherUser ? programForOtherUser() : programPath();
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    runChild(program, args, settings, pipeEnds[1]);
  }
  ::close(pipeEnds[1]);
  RunResult result;
  char buffer[4096];
  for (ssize_t count; (count = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    result.errorOutput.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
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

std::vector<std::string> leftoverTemporaryFiles(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".zelpin-")) {
      names.push_back(name);
    }
  }
  return names;
}

}  // namespace zelpin_test
