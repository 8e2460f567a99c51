#pragma once

// A file system in memory behind platform_file.h, for the save policy's tests: folders, names,
// bytes, owners and modes, file ids, locks, a clock. It can fail the Nth call, stop a run at call N
// (as a kill does: what was written stays, nothing more reaches the disk), and tell every state a
// power cut at that moment can leave: a file keeps what was flushed, and of its unflushed 512-byte
// blocks any subset; a folder keeps its names as last flushed, and of the changes since then the
// first few, in order, as a journaling file system commits them.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "storage/platform/platform_file.h"

namespace zelpin::memory {

using platform::SystemError;

struct Node {
  enum class Kind { File, Folder, Link } kind = Kind::File;
  std::string data;     // a file's bytes, or a link's target
  std::string durable;  // a file's bytes as the disk holds them
  std::set<std::size_t> unflushedBlocks;
  std::map<std::u16string, std::uint64_t> names;  // a folder's
  std::map<std::u16string, std::uint64_t> durableNames;
  // A folder's changes since its last flush, each one step (a rename is one): a name and the node
  // it now leads to, none where it was removed.
  std::vector<std::vector<std::pair<std::u16string, std::optional<std::uint64_t>>>> unflushedNames;
  std::uint32_t mode = 0644;
  std::uint32_t owner = 1000;
  std::int64_t modified = 0;
  std::uint64_t birth = 0;
};

// What outlasts a run: the nodes by index (1 is the root), and the number the system gives the
// disk while it is attached.
struct Disk {
  std::map<std::uint64_t, Node> nodes;
  std::uint64_t nextIndex = 2;
  std::uint64_t device = 0x803;  // changes when the drive is attached again
  std::uint64_t volume = 0x803;  // the file system's own id, which does not
};

// What happens at the ordinal-th counted call of a run.
struct Fault {
  enum class Action { None, Fail, Stop, Interleave } action = Action::None;
  std::string call;                  // only calls of this name count; empty: every call
  std::uint64_t ordinal = 0;         // the first counted call is 1
  SystemError error = 5;             // EIO
  std::function<void()> interleave;  // what another run does at that moment
};

inline Fault stopAt(std::string call, std::uint64_t ordinal) {
  Fault fault;
  fault.action = Fault::Action::Stop;
  fault.call = std::move(call);
  fault.ordinal = ordinal;
  return fault;
}

inline Fault failAt(std::string call, std::uint64_t ordinal, SystemError error) {
  Fault fault = stopAt(std::move(call), ordinal);
  fault.action = Fault::Action::Fail;
  fault.error = error;
  return fault;
}

struct Found {
  std::uint64_t folder = 0;
  std::u16string leaf;
  std::uint64_t node = 0;
  SystemError error = 0;
};

struct RunOutcome {
  int status = -1;
  std::string line;  // what the run told, without "zelpin: "; empty when silent
};

class World {
 public:
  World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  ~World();
  Disk disk;
  std::int64_t clock = 1796688000000000000;  // 2026-12-08
  std::uint32_t user = 1000;
  int machine = 0;
  std::u16string workingFolder = u"/home/me";
  std::optional<std::u16string> stateHome = u"/home/me/.local/state";
  // As on Windows: a file that a handle sharing nothing holds (a new file's) cannot be removed.
  bool removeWaitsForHandles = false;
  // As on FAT: a file's id is where its entry lies, and a rename gives it another.
  bool idsFollowEntries = false;
  // The calls made while a handle open for writing holds this node (a reader that shares no
  // writing is refused meanwhile, on Windows).
  std::uint64_t watched = 0;
  std::uint64_t callsWhileWatchedIsWritten = 0;
  Fault fault;
  std::uint64_t calls = 0;      // made since the fault was armed
  std::optional<Disk> stopped;  // the disk as it was at the stop

  // The fault for the calls from now on, counted from 1 again.
  void arm(Fault next);

  // Everything made here is durable at once.
  void makeFolder(std::u16string_view path, std::uint32_t mode = 0755, std::uint32_t owner = 1000);
  void putFile(std::u16string_view path, std::string_view bytes, std::uint32_t mode = 0644,
               std::uint32_t owner = 1000);
  void makeLink(std::u16string_view path, std::u16string_view target);
  void linkFile(std::u16string_view existing, std::u16string_view path);
  // Another program's change of the file's bytes, the file staying the same file.
  void editFile(std::u16string_view path, std::string_view bytes);
  void moveFile(std::u16string_view from, std::u16string_view to);
  std::uint64_t indexOf(std::u16string_view path);
  std::optional<std::string> bytesOf(std::u16string_view path);
  std::vector<std::u16string> namesIn(std::u16string_view folder);

  // One run of the program with these words after its name, as the user this world runs as.
  RunOutcome run(const std::vector<std::u16string>& words);
  // Handles a run left open: none, where every guard closed what it opened.
  std::size_t openHandles() const;

  // Used by the platform's functions: counts a call, applies the fault.
  SystemError step(std::string_view call);
  // Where a path leads, relative to the working folder: the folder it ends in, its last name,
  // and the node there (0 for none, with why).
  Found find(std::u16string_view path, bool followLast);
  std::u16string pathOf(std::uint64_t folder) const;
  bool mayUse(const Node& node, std::uint32_t wanted) const;  // wanted: 4 read, 2 write, 1 search

  struct OpenFile {
    std::uint64_t node = 0;
    std::uint64_t offset = 0;
    bool writes = false;
    bool searchOnly = false;     // a folder this user may pass through but not list
    std::string lockKey;         // a lock's handle only
    bool sharesNothing = false;  // a file's that createBeside made
  };
  std::map<platform::NativeHandle, OpenFile> handles;
  platform::NativeHandle nextHandle = 3;
  std::map<std::string, platform::NativeHandle> locks;  // taken, by what they lock
  std::uint64_t counted = 0;
  std::uint32_t randomState = 20261208;
  std::vector<std::string> lines;

 private:
  std::uint64_t add(std::u16string_view path, Node node);
};

// The world the platform functions act on: one at a time, as one process runs one program.
World& world();

// Every state a power cut can leave of disk, or where there are more than limit, a fixed sample
// of them that includes the two extremes (nothing unflushed kept, everything kept).
std::vector<Disk> powerCutStates(const Disk& disk, std::size_t limit = 128);

// The disk once everything written has reached it, as some seconds after a run.
Disk settled(const Disk& disk);

}  // namespace zelpin::memory
