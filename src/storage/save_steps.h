#pragma once

// The small steps that every part of a save shares: failing in the one line format, names for
// messages, the guard of a file that must not outlive a failure, the hold on termination signals.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "storage/file_access.h"
#include "storage/platform_file.h"

namespace zelpin {

[[noreturn]] void failBecause(const char* action, const MenuFile& menu, std::string_view reason);
[[noreturn]] void fail(const char* action, const MenuFile& menu, platform::SystemError error);
void check(const char* action, const MenuFile& menu, platform::SystemError error);

// A name for a message, in quotes, after what comes before it.
std::string quoted(std::u16string_view name, std::string_view before = {});
std::u16string hexText(std::uint64_t value);

// What the save is about to replace: nothing, or the regular file that was read, unchanged.
std::optional<platform::FileInfo> describeSaved(const platform::Opened& existing,
                                                const MenuFile& menu);

// Reads the whole file from where it stands.
[[nodiscard]] platform::SystemError readAll(platform::NativeHandle file, std::string& bytes);

// Removes a file on every way out but keep(); with the signals that would end the process held
// back meanwhile (TerminationHold), no way out skips it.
class TemporaryFile {
 public:
  TemporaryFile(const platform::Location& location, std::u16string name)
      : location_(location), name_(std::move(name)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) {
      // Nothing more to do where it fails: the next run on the menu removes it.
      std::ignore = platform::removeBeside(location_, name_);
    }
  }
  const std::u16string& name() const { return name_; }
  void keep() { name_.clear(); }

 private:
  const platform::Location& location_;
  std::u16string name_;
};

class TerminationHold {
 public:
  TerminationHold() : held_(platform::holdTerminationSignals()) {}
  TerminationHold(const TerminationHold&) = delete;
  TerminationHold& operator=(const TerminationHold&) = delete;
  ~TerminationHold() { platform::releaseTerminationSignals(held_); }

 private:
  int held_;
};

}  // namespace zelpin
