#include "memory_system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

#include "app/run.h"
#include "storage/conversion.h"

namespace zelpin::memory {
namespace {

World* current = nullptr;

using Kind = Node::Kind;

Node folderNode() {
  Node node;
  node.kind = Kind::Folder;
  node.mode = 0755;
  return node;
}

std::vector<std::u16string> componentsOf(std::u16string_view path) {
  std::vector<std::u16string> parts;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t slash = std::min(path.find(u'/', start), path.size());
    if (slash > start) {
      parts.emplace_back(path.substr(start, slash - start));
    }
    start = slash + 1;
  }
  return parts;
}

std::u16string folderPart(std::u16string_view path) {
  const std::size_t slash = path.rfind(u'/');
  return slash == std::u16string_view::npos ? u"."
                                            : std::u16string(path.substr(0, slash ? slash : 1));
}

std::u16string leafPart(std::u16string_view path) {
  const std::size_t slash = path.rfind(u'/');
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

// A name change, kept for the folder's next flush and undone by a power cut before it.
void rename(Node& folder,
            std::vector<std::pair<std::u16string, std::optional<std::uint64_t>>> step) {
  for (const auto& [name, node] : step) {
    if (node) {
      folder.names[name] = *node;
    } else {
      folder.names.erase(name);
    }
  }
  folder.unflushedNames.push_back(std::move(step));
}

}  // namespace

World& world() {
  if (current == nullptr) {
    throw std::logic_error("no world in memory");
  }
  return *current;
}

World::World() {
  current = this;
  disk.nodes[1] = folderNode();
  disk.nodes[1].owner = 0;
  makeFolder(u"/home", 0755, 0);
  makeFolder(u"/home/me");
}

World::~World() {
  current = nullptr;
}

void World::arm(Fault next) {
  fault = std::move(next);
  calls = counted = 0;
  stopped.reset();
}

SystemError World::step(std::string_view call) {
  ++calls;
  clock += 1000;
  if (std::getenv("ZELPIN_MEMORY_TRACE") != nullptr) {
    std::fprintf(stderr, "%llu %.*s\n", static_cast<unsigned long long>(calls),
                 static_cast<int>(call.size()), call.data());
  }
  if (fault.action == Fault::Action::None || (!fault.call.empty() && fault.call != call) ||
      ++counted != fault.ordinal) {
    return 0;
  }
  switch (fault.action) {
    case Fault::Action::Fail:
      return fault.error;
    case Fault::Action::Stop:
      stopped = disk;
      return 0;
    case Fault::Action::Interleave: {
      const std::function<void()> other = std::move(fault.interleave);
      fault.action = Fault::Action::None;
      other();
      return 0;
    }
    case Fault::Action::None:
      break;
  }
  return 0;
}

bool World::mayUse(const Node& node, std::uint32_t wanted) const {
  if (user == 0) {
    return true;
  }
  const std::uint32_t bits = node.owner == user ? node.mode >> 6 : node.mode;
  return (bits & wanted) == wanted;
}

std::optional<std::uint64_t> World::find(std::u16string_view path, bool followLast,
                                         SystemError& error, std::uint64_t* folderOut,
                                         std::u16string* leafOut) {
  std::u16string whole(path);
  if (!whole.starts_with(u'/')) {
    whole = workingFolder + u"/" + whole;
  }
  std::vector<std::u16string> parts = componentsOf(whole);
  std::vector<std::uint64_t> folders = {1};
  error = 0;
  for (std::size_t i = 0, hops = 0; i < parts.size(); ++i) {
    const Node& folder = disk.nodes.at(folders.back());
    const bool last = i + 1 == parts.size();
    if (parts[i] == u"." || parts[i] == u"..") {
      if (parts[i] == u".." && folders.size() > 1) {
        folders.pop_back();
      }
      continue;
    }
    if (!mayUse(folder, 1)) {
      error = EACCES;
      return std::nullopt;
    }
    if (folderOut != nullptr) {
      *folderOut = folders.back();
    }
    if (leafOut != nullptr) {
      *leafOut = parts[i];
    }
    const auto named = folder.names.find(parts[i]);
    if (named == folder.names.end()) {
      error = ENOENT;
      return std::nullopt;
    }
    const Node& node = disk.nodes.at(named->second);
    if (node.kind == Kind::Link && (!last || followLast)) {
      if (++hops > 40) {
        error = ELOOP;
        return std::nullopt;
      }
      const std::vector<std::u16string> target = componentsOf(decodeUtf8(node.data));
      if (node.data.starts_with('/')) {
        folders = {1};
      }
      parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      parts.insert(parts.begin(), target.begin(), target.end());
      i = static_cast<std::size_t>(-1);
      continue;
    }
    if (last) {
      return named->second;
    }
    if (node.kind != Kind::Folder) {
      error = ENOTDIR;
      return std::nullopt;
    }
    folders.push_back(named->second);
  }
  if (folderOut != nullptr) {
    *folderOut = folders.size() > 1 ? folders[folders.size() - 2] : 1;
  }
  return folders.back();
}

std::u16string World::pathOf(std::uint64_t folder) const {
  if (folder == 1) {
    return u"";
  }
  for (const auto& [index, node] : disk.nodes) {
    for (const auto& [name, child] : node.names) {
      if (child == folder && node.kind == Kind::Folder) {
        return pathOf(index) + u"/" + name;
      }
    }
  }
  return u"/?";
}

void World::makeFolder(std::u16string_view path, std::uint32_t mode, std::uint32_t owner) {
  SystemError error = 0;
  const std::uint64_t parent = *find(folderPart(path), true, error);
  const std::uint64_t index = disk.nextIndex++;
  disk.nodes[index] = folderNode();
  disk.nodes[index].mode = mode;
  disk.nodes[index].owner = owner;
  Node& folder = disk.nodes.at(parent);
  folder.names[leafPart(path)] = index;
  folder.durableNames = folder.names;
}

void World::putFile(std::u16string_view path, std::string_view bytes, std::uint32_t mode,
                    std::uint32_t owner) {
  SystemError error = 0;
  std::uint64_t parent = 0;
  const std::optional<std::uint64_t> existing = find(path, true, error, &parent);
  const std::uint64_t index = existing ? *existing : disk.nextIndex++;
  Node& file = disk.nodes[index];
  file.data = file.durable = std::string(bytes);
  file.unflushedBlocks.clear();
  file.mode = mode;
  file.owner = owner;
  file.birth = static_cast<std::uint64_t>(clock++);
  file.modified = clock;
  Node& folder = disk.nodes.at(parent);
  folder.names[leafPart(path)] = index;
  folder.durableNames = folder.names;
}

void World::makeLink(std::u16string_view path, std::u16string_view target) {
  putFile(path, encodeLine(target, false), 0777);
  SystemError error = 0;
  disk.nodes.at(*find(path, false, error)).kind = Kind::Link;
}

void World::linkFile(std::u16string_view existing, std::u16string_view path) {
  SystemError error = 0;
  std::uint64_t parent = 0;
  const std::uint64_t index = *find(existing, true, error);
  find(path, false, error, &parent);
  Node& folder = disk.nodes.at(parent);
  folder.names[leafPart(path)] = index;
  folder.durableNames = folder.names;
}

std::optional<std::string> World::bytesOf(std::u16string_view path) {
  SystemError error = 0;
  const std::optional<std::uint64_t> index = find(path, true, error);
  if (!index || disk.nodes.at(*index).kind != Kind::File) {
    return std::nullopt;
  }
  return disk.nodes.at(*index).data;
}

std::vector<std::u16string> World::namesIn(std::u16string_view folder) {
  SystemError error = 0;
  std::vector<std::u16string> names;
  if (const std::optional<std::uint64_t> index = find(folder, true, error)) {
    for (const auto& [name, node] : disk.nodes.at(*index).names) {
      names.push_back(name);
    }
  }
  return names;
}

RunOutcome World::run(const std::vector<std::u16string>& words) {
  std::vector<std::u16string> all = {u"zelpin"};
  all.insert(all.end(), words.begin(), words.end());
  lines.clear();
  RunOutcome outcome;
  outcome.status = runZelpin(all);
  for (const std::string& line : lines) {
    outcome.line += line;
  }
  return outcome;
}

std::size_t World::openHandles() const {
  return handles.size();
}

namespace {

// The mixed-radix count of a choice for every unflushed block and length (keep or lose) and for
// every folder (how many of its changes since its flush are kept).
struct Choice {
  std::uint64_t node;
  std::size_t block;  // SIZE_MAX: the length; a folder: its changes
  std::size_t options;
};

Disk applied(const Disk& disk, const std::vector<Choice>& choices,
             const std::vector<std::size_t>& picked) {
  Disk after = disk;
  std::map<std::pair<std::uint64_t, std::size_t>, std::size_t> pick;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    pick[{choices[i].node, choices[i].block}] = picked[i];
  }
  for (auto& [index, node] : after.nodes) {
    if (node.kind == Kind::Folder) {
      std::map<std::u16string, std::uint64_t> names = node.durableNames;
      const std::size_t kept = pick.contains({index, 0}) ? pick[{index, 0}] : 0;
      for (std::size_t i = 0; i < kept; ++i) {
        for (const auto& [name, child] : node.unflushedNames[i]) {
          if (child) {
            names[name] = *child;
          } else {
            names.erase(name);
          }
        }
      }
      node.names = node.durableNames = names;
      node.unflushedNames.clear();
      continue;
    }
    const bool newLength = pick.contains({index, SIZE_MAX}) && pick[{index, SIZE_MAX}] == 1;
    std::string bytes(newLength ? node.data.size() : node.durable.size(), '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      const std::size_t block = at / 512;
      const bool fresh = pick.contains({index, block}) && pick[{index, block}] == 1;
      const std::string& from = fresh ? node.data : node.durable;
      bytes[at] = at < from.size() ? from[at] : '\0';
    }
    node.data = node.durable = bytes;
    node.unflushedBlocks.clear();
  }
  return after;
}

}  // namespace

Disk settled(const Disk& disk) {
  return powerCutStates(disk, 1).back();
}

std::vector<Disk> powerCutStates(const Disk& disk, std::size_t limit) {
  std::vector<Choice> choices;
  double total = 1;
  for (const auto& [index, node] : disk.nodes) {
    if (node.kind == Kind::Folder && !node.unflushedNames.empty()) {
      choices.push_back({index, 0, node.unflushedNames.size() + 1});
    }
    if (node.kind != Kind::Folder) {
      for (const std::size_t block : node.unflushedBlocks) {
        choices.push_back({index, block, 2});
      }
      if (node.data.size() != node.durable.size()) {
        choices.push_back({index, SIZE_MAX, 2});
      }
    }
  }
  for (const Choice& choice : choices) {
    total *= static_cast<double>(choice.options);
  }
  std::vector<Disk> states;
  std::vector<std::size_t> picked(choices.size(), 0);
  if (total <= static_cast<double>(limit)) {
    for (;;) {
      states.push_back(applied(disk, choices, picked));
      std::size_t i = 0;
      for (; i < choices.size() && ++picked[i] == choices[i].options; ++i) {
        picked[i] = 0;
      }
      if (i == choices.size()) {
        return states;
      }
    }
  }
  std::mt19937 random(20261208);
  states.push_back(applied(disk, choices, picked));
  for (std::size_t i = 0; i < choices.size(); ++i) {
    picked[i] = choices[i].options - 1;
  }
  states.push_back(applied(disk, choices, picked));
  while (states.size() < limit) {
    for (std::size_t i = 0; i < choices.size(); ++i) {
      picked[i] = random() % choices[i].options;
    }
    states.push_back(applied(disk, choices, picked));
  }
  return states;
}

}  // namespace zelpin::memory

// ---- The platform's functions, over the world in memory ----

namespace zelpin::platform {
namespace {

using memory::world;
using Kind = memory::Node::Kind;
using OpenFile = memory::World::OpenFile;

Opened failed(SystemError error) {
  Opened result;
  result.error = error;
  return result;
}

Opened openHandle(std::uint64_t node, bool writes, bool searchOnly = false,
                  std::string lockKey = {}) {
  memory::World& w = world();
  const NativeHandle handle = w.nextHandle++;
  w.handles[handle] = OpenFile{node, 0, writes, searchOnly, std::move(lockKey)};
  Opened result;
  result.handle.reset(handle);
  return result;
}

OpenFile* openFile(NativeHandle handle) {
  auto found = world().handles.find(handle);
  return found == world().handles.end() ? nullptr : &found->second;
}

memory::Node& nodeOf(NativeHandle handle) {
  return world().disk.nodes.at(openFile(handle)->node);
}

// The folder a location's handle holds, where it may be changed by this user.
SystemError changeableFolder(const Location& location, memory::Node*& folder) {
  if (!location.folderHandle.isOpen()) {
    return location.folderError;
  }
  folder = &nodeOf(location.folderHandle.get());
  return world().mayUse(*folder, 3) ? 0 : EACCES;
}

// A sticky folder lets only a file's owner (or the folder's) rename or remove it.
bool mayReplace(const memory::Node& folder, std::u16string_view name) {
  const auto named = folder.names.find(std::u16string(name));
  const std::uint32_t user = world().user;
  return (folder.mode & 01000) == 0 || user == 0 || folder.owner == user ||
         named == folder.names.end() || world().disk.nodes.at(named->second).owner == user;
}

std::optional<std::uint64_t> named(const Location& location, std::u16string_view name, bool follow,
                                   SystemError& error) {
  if (!location.folderHandle.isOpen()) {
    error = location.folderError;
    return std::nullopt;
  }
  return world().find(
      world().pathOf(openFile(location.folderHandle.get())->node) + u"/" + std::u16string(name),
      follow, error);
}

}  // namespace

void closeHandle(NativeHandle handle) {
  memory::World& w = world();
  w.step("closeHandle");
  for (auto lock = w.locks.begin(); lock != w.locks.end();) {
    lock = lock->second == handle ? w.locks.erase(lock) : std::next(lock);
  }
  w.handles.erase(handle);
}

Location locate(std::u16string_view path) {
  memory::World& w = world();
  Location location;
  location.path = path;
  if (SystemError error = w.step("locate")) {
    location.folderError = error;
    return location;
  }
  std::u16string name(path);
  for (int hops = 0; hops < 40; ++hops) {
    SystemError error = 0;
    const std::optional<std::uint64_t> node = w.find(name, false, error);
    if (!node || w.disk.nodes.at(*node).kind != Kind::Link) {
      break;
    }
    const std::string& target = w.disk.nodes.at(*node).data;
    name = target.starts_with('/') ? decodeUtf8(target)
                                   : memory::folderPart(name) + u"/" + decodeUtf8(target);
  }
  location.leaf = memory::leafPart(name);
  location.folder = memory::folderPart(name);
  SystemError error = 0;
  const std::optional<std::uint64_t> folder = w.find(location.folder, true, error);
  if (location.leaf.empty() || !folder || w.disk.nodes.at(*folder).kind != Kind::Folder) {
    location.folderError = location.leaf.empty() || error == 0 ? ENOENT : error;
    return location;
  }
  const bool listable = w.mayUse(w.disk.nodes.at(*folder), 4);
  location.folderHandle = std::move(openHandle(*folder, false, !listable).handle);
  return location;
}

Opened openMenuLock(const Location& location) {
  if (!location.folderHandle.isOpen()) {
    return Opened();
  }
  const OpenFile& folder = *openFile(location.folderHandle.get());
  // Each machine has its own: the same files, not the same locks of a folder.
  return openHandle(folder.node, false, folder.searchOnly,
                    "menu " + std::to_string(world().machine) + " " + std::to_string(folder.node));
}

Opened openFileLock(NativeHandle file, const FileInfo&) {
  return openHandle(openFile(file)->node, false, false,
                    "file " + std::to_string(openFile(file)->node));
}

LockAttempt tryLock(NativeHandle lock) {
  memory::World& w = world();
  const OpenFile& file = *openFile(lock);
  if (w.step("tryLock") != 0 || file.searchOnly || file.lockKey.empty()) {
    return LockAttempt::Unavailable;
  }
  const auto [held, taken] = w.locks.emplace(file.lockKey, lock);
  return taken || held->second == lock ? LockAttempt::Taken : LockAttempt::Busy;
}

void unlock(NativeHandle lock) {
  memory::World& w = world();
  w.step("unlock");
  const auto held = w.locks.find(openFile(lock)->lockKey);
  if (held != w.locks.end() && held->second == lock) {
    w.locks.erase(held);
  }
}

Opened openForReading(const Location& location) {
  memory::World& w = world();
  SystemError error = w.step("openForReading");
  const std::optional<std::uint64_t> node =
      error != 0 ? std::nullopt : w.find(location.path, true, error);
  if (!node) {
    return failed(error);
  }
  return w.mayUse(w.disk.nodes.at(*node), 4) ? openHandle(*node, false) : failed(EACCES);
}

SystemError describeLocation(const Location& location, FileInfo& info) {
  SystemError error = world().step("describeLocation");
  const std::optional<std::uint64_t> node =
      error != 0 ? std::nullopt : named(location, location.leaf, false, error);
  if (!node) {
    return error;
  }
  Opened opened = openHandle(*node, false);
  error = describe(opened.handle.get(), info);
  world().handles.erase(opened.handle.release());
  return error;
}

Opened openForWriting(const Location& location) {
  memory::World& w = world();
  SystemError error = w.step("openForWriting");
  const std::optional<std::uint64_t> node =
      error != 0 ? std::nullopt : named(location, location.leaf, true, error);
  if (!node) {
    return failed(error);
  }
  const memory::Node& file = w.disk.nodes.at(*node);
  if (file.kind == Kind::Folder) {
    return failed(EISDIR);
  }
  return w.mayUse(file, 2) ? openHandle(*node, true) : failed(EACCES);
}

Opened openToProbe(const Location& location) {
  return openForWriting(location);
}

Opened createBeside(const Location& location, std::u16string_view name, const NewFile& how) {
  memory::World& w = world();
  memory::Node* folder = nullptr;
  SystemError error = w.step("createBeside");
  if (error == 0) {
    error = changeableFolder(location, folder);
  }
  if (error == 0 && folder->names.contains(std::u16string(name))) {
    error = EEXIST;
  }
  if (error != 0) {
    return failed(error);
  }
  const std::uint64_t index = w.disk.nextIndex++;
  memory::Node& file = w.disk.nodes[index];
  file.mode = how.model != noHandle || how.isPrivate ? 0600 : 0644;
  file.owner = w.user;
  file.birth = static_cast<std::uint64_t>(w.clock);
  file.modified = w.clock;
  memory::rename(*folder, {{std::u16string(name), index}});
  return openHandle(index, true);
}

Opened openBeside(const Location& location, std::u16string_view name) {
  memory::World& w = world();
  SystemError error = w.step("openBeside");
  const std::optional<std::uint64_t> node =
      error != 0 ? std::nullopt : named(location, name, false, error);
  if (!node) {
    return failed(error);
  }
  const memory::Node& file = w.disk.nodes.at(*node);
  if (file.kind == Kind::Link) {
    return failed(ELOOP);
  }
  return w.mayUse(file, 4) ? openHandle(*node, false) : failed(EACCES);
}

Location openStateFolder(bool create) {
  memory::World& w = world();
  Location location;
  location.folderError = w.step("openStateFolder");
  if (location.folderError != 0 || !w.stateHome) {
    location.folderError = location.folderError != 0 ? location.folderError : ENOENT;
    return location;
  }
  location.path = location.folder = *w.stateHome + u"/zelpin";
  SystemError error = 0;
  if (create && !w.find(location.folder, true, error)) {
    // Made a level at a time below the deepest folder that exists, where that one is this user's.
    std::u16string existing = location.folder;
    while (!w.find(existing, true, error) && existing.size() > 1) {
      existing = memory::folderPart(existing);
    }
    if (w.disk.nodes.at(*w.find(existing, true, error)).owner != w.user) {
      location.folderError = EACCES;
      return location;
    }
    for (std::size_t slash = location.folder.find(u'/', existing.size() + 1);;
         slash = location.folder.find(u'/', slash + 1)) {
      const std::u16string level = location.folder.substr(0, slash);
      std::uint64_t parent = 0;
      if (!w.find(level, true, error, &parent)) {
        const std::uint64_t index = w.disk.nextIndex++;
        w.disk.nodes[index] = memory::folderNode();
        w.disk.nodes[index].mode = 0700;
        w.disk.nodes[index].owner = w.user;
        memory::Node& holder = w.disk.nodes.at(parent);
        memory::rename(holder, {{memory::leafPart(level), index}});
        holder.durableNames = holder.names;  // flushed, as the platform's contract says
        holder.unflushedNames.clear();
      }
      if (slash == std::u16string::npos) {
        break;
      }
    }
  }
  const std::optional<std::uint64_t> folder = w.find(location.folder, true, error);
  if (!folder) {
    location.folderError = error;
    return location;
  }
  memory::Node& node = w.disk.nodes.at(*folder);
  if (node.kind != Kind::Folder || node.owner != w.user || (node.mode & 022) != 0) {
    location.folderError = EACCES;
    return location;
  }
  node.mode &= 0700;
  location.folderHandle = std::move(openHandle(*folder, false).handle);
  location.folderError = 0;
  return location;
}

std::u16string shownNameIn(const Location& folder, std::u16string_view name) {
  return folder.path + u"/" + std::u16string(name);
}

std::u16string fullNameOf(const Location& location) {
  world().step("fullNameOf");
  if (!location.folderHandle.isOpen()) {
    return location.folder + u"/" + location.leaf;
  }
  return world().pathOf(openFile(location.folderHandle.get())->node) + u"/" + location.leaf;
}

bool keepsOthersOut(const Location& location) {
  if (world().step("keepsOthersOut") != 0 || !location.folderHandle.isOpen()) {
    return false;
  }
  const memory::Node& folder = nodeOf(location.folderHandle.get());
  return (folder.owner == world().user || folder.owner == 0) &&
         ((folder.mode & 022) == 0 || (folder.mode & 01000) != 0);
}

SystemError describe(NativeHandle file, FileInfo& info) {
  memory::World& w = world();
  if (const SystemError error = w.step("describe")) {
    return error;
  }
  const std::uint64_t index = openFile(file)->node;
  const memory::Node& node = w.disk.nodes.at(index);
  info = FileInfo();
  info.regular = node.kind == Kind::File;
  info.size = info.regular ? node.data.size() : 0;
  for (const auto& [folderIndex, folder] : w.disk.nodes) {
    for (const auto& [name, child] : folder.names) {
      info.links += child == index ? 1 : 0;
    }
  }
  info.device = w.disk.device;
  info.index = index;
  info.mode = node.mode;
  info.owner = info.group = node.owner;
  info.birth = node.birth;
  info.modified = node.modified;
  return 0;
}

bool madeByThisUser(NativeHandle, const FileInfo& info) {
  return info.owner == world().user;
}

SystemError readSome(NativeHandle file, char* buffer, std::size_t size, std::size_t& count) {
  count = 0;
  if (const SystemError error = world().step("readSome")) {
    return error;
  }
  OpenFile& open = *openFile(file);
  const memory::Node& node = world().disk.nodes.at(open.node);
  if (node.kind != Kind::File) {
    return EISDIR;
  }
  if (open.offset < node.data.size()) {
    count = node.data.copy(buffer, size, static_cast<std::size_t>(open.offset));
    open.offset += count;
  }
  return 0;
}

SystemError writeAll(NativeHandle file, std::string_view bytes) {
  memory::World& w = world();
  if (const SystemError error = w.step("writeAll")) {
    return error;
  }
  OpenFile& open = *openFile(file);
  if (!open.writes) {
    return EBADF;
  }
  memory::Node& node = w.disk.nodes.at(open.node);
  const std::size_t at = static_cast<std::size_t>(open.offset);
  if (node.data.size() < at + bytes.size()) {
    node.data.resize(at + bytes.size(), '\0');
  }
  node.data.replace(at, bytes.size(), bytes);
  for (std::size_t block = at / 512; block * 512 < at + bytes.size(); ++block) {
    node.unflushedBlocks.insert(block);
  }
  open.offset += bytes.size();
  node.modified = w.clock;
  return 0;
}

SystemError seekTo(NativeHandle file, std::uint64_t offset) {
  if (const SystemError error = world().step("seekTo")) {
    return error;
  }
  openFile(file)->offset = offset;
  return 0;
}

SystemError reserve(NativeHandle, std::uint64_t, std::uint64_t) {
  return world().step("reserve");
}

SystemError setLength(NativeHandle file, std::uint64_t size) {
  if (const SystemError error = world().step("setLength")) {
    return error;
  }
  memory::Node& node = nodeOf(file);
  node.data.resize(static_cast<std::size_t>(size), '\0');
  node.modified = world().clock;
  return 0;
}

SystemError flush(NativeHandle file) {
  if (const SystemError error = world().step("flush")) {
    return error;
  }
  memory::Node& node = nodeOf(file);
  node.durable = node.data;
  node.unflushedBlocks.clear();
  return 0;
}

bool isSyncUnsupported(SystemError error) {
  return error == EINVAL || error == ENOTSUP;
}

SystemError copyKeptProperties(NativeHandle, const FileInfo& menuInfo, NativeHandle file) {
  if (const SystemError error = world().step("copyKeptProperties")) {
    return error;
  }
  if (world().user != 0 && menuInfo.owner != world().user) {
    return EPERM;
  }
  nodeOf(file).owner = menuInfo.owner;
  nodeOf(file).mode = menuInfo.mode;
  return 0;
}

SystemError renameBeside(const Location& location, std::u16string_view from,
                         std::u16string_view to) {
  memory::Node* folder = nullptr;
  SystemError error = world().step("renameBeside");
  if (error == 0) {
    error = changeableFolder(location, folder);
  }
  if (error != 0) {
    return error;
  }
  const auto source = folder->names.find(std::u16string(from));
  if (source == folder->names.end()) {
    return ENOENT;
  }
  if (!mayReplace(*folder, from) || !mayReplace(*folder, to)) {
    return EPERM;
  }
  const std::uint64_t node = source->second;
  memory::rename(*folder, {{std::u16string(to), node}, {std::u16string(from), std::nullopt}});
  return 0;
}

SystemError probeRename(const Location&) {
  return world().step("probeRename");
}

SystemError linkBeside(const Location& fromFolder, std::u16string_view from,
                       const Location& toFolder, std::u16string_view to) {
  memory::Node* folder = nullptr;
  SystemError error = world().step("linkBeside");
  const std::optional<std::uint64_t> node =
      error != 0 ? std::nullopt : named(fromFolder, from, false, error);
  if (error == 0) {
    error = changeableFolder(toFolder, folder);
  }
  if (error == 0 && folder->names.contains(std::u16string(to))) {
    error = EEXIST;
  }
  if (error != 0) {
    return error;
  }
  memory::rename(*folder, {{std::u16string(to), *node}});
  return 0;
}

// As chmod does, through a link of that name.
SystemError makePrivate(const Location& location, std::u16string_view name) {
  SystemError error = world().step("makePrivate");
  const std::optional<std::uint64_t> node =
      error != 0 ? std::nullopt : named(location, name, true, error);
  if (!node) {
    return error;
  }
  memory::Node& file = world().disk.nodes.at(*node);
  if (world().user != 0 && file.owner != world().user) {
    return EPERM;
  }
  file.mode = 0600;
  return 0;
}

SystemError removeBeside(const Location& location, std::u16string_view name) {
  memory::Node* folder = nullptr;
  SystemError error = world().step("removeBeside");
  if (error == 0) {
    error = changeableFolder(location, folder);
  }
  if (error == 0 && !folder->names.contains(std::u16string(name))) {
    error = ENOENT;
  }
  if (error == 0 && !mayReplace(*folder, name)) {
    error = EPERM;
  }
  if (error != 0) {
    return error;
  }
  memory::rename(*folder, {{std::u16string(name), std::nullopt}});
  return 0;
}

std::vector<std::u16string> namesBeside(const Location& location) {
  std::vector<std::u16string> names;
  if (world().step("namesBeside") == 0 && location.folderHandle.isOpen() &&
      !openFile(location.folderHandle.get())->searchOnly) {
    for (const auto& [name, node] : nodeOf(location.folderHandle.get()).names) {
      names.push_back(name);
    }
  }
  return names;
}

SystemError flushFolder(const Location& location) {
  if (const SystemError error = world().step("flushFolder")) {
    return error;
  }
  if (!location.folderHandle.isOpen()) {
    return EBADF;
  }
  memory::Node& folder = nodeOf(location.folderHandle.get());
  folder.durableNames = folder.names;
  folder.unflushedNames.clear();
  return 0;
}

std::size_t nameLength(std::u16string_view name) {
  return encodeLine(name, false).size();
}

bool isMissing(SystemError error) {
  return error == ENOENT;
}

bool isAccessDenied(SystemError error) {
  return error == EACCES || error == EPERM;
}

bool isNameTaken(SystemError error) {
  return error == EEXIST;
}

bool refusesRename(SystemError error) {
  return error == EPERM || error == EACCES || error == EBUSY;
}

std::string describeError(SystemError error) {
  return std::strerror(static_cast<int>(error));
}

std::int64_t wallClock() {
  world().step("wallClock");
  return world().clock;
}

std::int64_t steadyClock() {
  world().step("steadyClock");
  return world().clock;
}

void sleepFor(std::int64_t nanoseconds) {
  world().step("sleepFor");
  world().clock += nanoseconds;
}

std::uint32_t randomNumber() {
  std::uint32_t& state = world().randomState;
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

int holdTerminationSignals() {
  return 0;
}

void releaseTerminationSignals(int) {}

}  // namespace zelpin::platform

namespace zelpin {

void showUsage() {
  memory::world().lines.push_back("usage");
}

void reportFailure(std::string_view reason) {
  memory::world().lines.emplace_back(reason);
}

}  // namespace zelpin
