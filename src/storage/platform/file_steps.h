#pragma once

// The small steps over the platform's primitives that every part of a save shares: reading a file
// in pieces, the guard of a file that must not outlive a failure, the hold on termination signals.

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>

#include "storage/platform/platform_file.h"

namespace zelpin::platform {

// Hands the file's bytes, from where it stands, to onPiece a buffer at a time, until its end or
// until limit bytes have been handed on.
[[nodiscard]] SystemError readPieces(
    NativeHandle file, const std::function<void(std::string_view piece)>& onPiece,
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());

// Reads the whole file from where it stands.
[[nodiscard]] SystemError readAll(NativeHandle file, std::string& bytes);

// A file just made, with its handle: removed on every way out but keep(), the handle closed first
// (Windows removes no file that a handle sharing nothing holds). With the signals that would end
// the process held back meanwhile (TerminationHold), no way out skips it.
class TemporaryFile {
 public:
  TemporaryFile(const Location& location, std::u16string name, Handle handle)
      : location_(location), name_(std::move(name)), handle_(std::move(handle)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    close();
    if (!name_.empty()) {
      // Nothing more to do where it fails: the next run on the menu removes it.
      std::ignore = removeBeside(location_, name_);
    }
  }
  const std::u16string& name() const { return name_; }
  NativeHandle handle() const { return handle_.get(); }
  void close() { handle_.reset(noHandle); }
  void keep() { name_.clear(); }

 private:
  const Location& location_;
  std::u16string name_;
  Handle handle_;
};

class TerminationHold {
 public:
  TerminationHold() : held_(holdTerminationSignals()) {}
  TerminationHold(const TerminationHold&) = delete;
  TerminationHold& operator=(const TerminationHold&) = delete;
  ~TerminationHold() { releaseTerminationSignals(held_); }

 private:
  int held_;
};

}  // namespace zelpin::platform
