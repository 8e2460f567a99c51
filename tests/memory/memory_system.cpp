#include "memory_system.h"

#include <algorithm>
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
using NameChange = std::vector<std::pair<std::u16string, std::optional<std::uint64_t>>>;

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
  return slash == path.npos ? u"." : std::u16string(path.substr(0, slash ? slash : 1));
}

std::u16string leafPart(std::u16string_view path) {
  return std::u16string(path.substr(path.rfind(u'/') + 1));
}

// A change of names, one step: kept for the folder's next flush, undone by a power cut before it.
void change(Node& folder, NameChange step) {
  for (const auto& [name, node] : step) {
    if (node) {
      folder.names[name] = *node;
    } else {
      folder.names.erase(name);
    }
  }
  folder.unflushedNames.push_back(std::move(step));
}

void flushNames(Node& folder) {
  folder.durableNames = folder.names;
  folder.unflushedNames.clear();
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
  disk.nodes[1].kind = Kind::Folder;
  disk.nodes[1].mode = 0755;
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
  callsWhileWatchedIsWritten += std::any_of(handles.begin(), handles.end(), [&](const auto& open) {
    return watched != 0 && open.second.node == watched && open.second.writes;
  });
  if (std::getenv("ZELPIN_MEMORY_TRACE") != nullptr) {
    std::fprintf(stderr, "%llu %.*s\n", static_cast<unsigned long long>(calls),
                 static_cast<int>(call.size()), call.data());
  }
  if (fault.action == Fault::Action::None || (!fault.call.empty() && fault.call != call) ||
      ++counted != fault.ordinal) {
    return 0;
  }
  if (fault.action == Fault::Action::Stop) {
    stopped = disk;
  } else if (fault.action == Fault::Action::Interleave) {
    const std::function<void()> other = std::move(fault.interleave);
    fault.action = Fault::Action::None;
    other();
  }
  return fault.action == Fault::Action::Fail ? fault.error : 0;
}

bool World::mayUse(const Node& node, std::uint32_t wanted) const {
  const std::uint32_t bits = node.owner == user ? node.mode >> 6 : node.mode;
  return user == 0 || (bits & wanted) == wanted;
}

Found World::find(std::u16string_view path, bool followLast) {
  std::vector<std::u16string> parts = componentsOf(
      path.starts_with(u'/') ? std::u16string(path) : workingFolder + u"/" + std::u16string(path));
  std::vector<std::uint64_t> folders = {1};
  Found found;
  for (std::size_t i = 0, hops = 0; i < parts.size(); ++i) {
    if (parts[i] == u"." || parts[i] == u"..") {
      if (parts[i] == u".." && folders.size() > 1) {
        folders.pop_back();
      }
      continue;
    }
    const Node& folder = disk.nodes.at(folders.back());
    const bool last = i + 1 == parts.size();
    found = Found{folders.back(), parts[i], 0, mayUse(folder, 1) ? 0u : EACCES};
    const auto named = folder.names.find(parts[i]);
    if (found.error != 0 || named == folder.names.end()) {
      found.error = found.error != 0 ? found.error : ENOENT;
      return found;
    }
    const Node& node = disk.nodes.at(named->second);
    if (node.kind == Kind::Link && (!last || followLast)) {
      if (++hops > 40) {
        return Found{folders.back(), parts[i], 0, ELOOP};
      }
      const std::vector<std::u16string> target = componentsOf(decodeUtf8(node.data));
      if (node.data.starts_with('/')) {
        folders = {1};
      }
      parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      parts.insert(parts.begin(), target.begin(), target.end());
      i = static_cast<std::size_t>(-1);
    } else if (last) {
      found.node = named->second;
      return found;
    } else if (node.kind != Kind::Folder) {
      return Found{folders.back(), parts[i], 0, ENOTDIR};
    } else {
      folders.push_back(named->second);
    }
  }
  return Found{folders.size() > 1 ? folders[folders.size() - 2] : 1, {}, folders.back(), 0};
}

std::u16string World::pathOf(std::uint64_t folder) const {
  for (const auto& [index, node] : disk.nodes) {
    for (const auto& [name, child] : node.names) {
      if (child == folder && folder != 1) {
        return pathOf(index) + u"/" + name;
      }
    }
  }
  return u"";
}

std::uint64_t World::add(std::u16string_view path, Node node) {
  const Found found = find(path, true);
  const std::uint64_t index = found.node != 0 ? found.node : disk.nextIndex++;
  node.birth = static_cast<std::uint64_t>(clock++);
  node.modified = clock;
  node.durable = node.data;
  disk.nodes[index] = std::move(node);
  Node& folder = disk.nodes.at(found.folder);
  folder.names[leafPart(path)] = index;
  flushNames(folder);
  return index;
}

void World::makeFolder(std::u16string_view path, std::uint32_t mode, std::uint32_t owner) {
  add(path, Node{Kind::Folder, {}, {}, {}, {}, {}, {}, mode, owner, 0, 0});
}

void World::putFile(std::u16string_view path, std::string_view bytes, std::uint32_t mode,
                    std::uint32_t owner) {
  add(path, Node{Kind::File, std::string(bytes), {}, {}, {}, {}, {}, mode, owner, 0, 0});
}

void World::makeLink(std::u16string_view path, std::u16string_view target) {
  add(path, Node{Kind::Link, encodeLine(target, false), {}, {}, {}, {}, {}, 0777, user, 0, 0});
}

void World::linkFile(std::u16string_view existing, std::u16string_view path) {
  const std::uint64_t index = find(existing, true).node;
  Node& folder = disk.nodes.at(find(path, false).folder);
  folder.names[leafPart(path)] = index;
  flushNames(folder);
}

void World::editFile(std::u16string_view path, std::string_view bytes) {
  Node& file = disk.nodes.at(find(path, true).node);
  file.data = file.durable = std::string(bytes);
  file.modified = ++clock;
}

void World::moveFile(std::u16string_view from, std::u16string_view to) {
  const Found source = find(from, false);
  Node& folder = disk.nodes.at(find(to, false).folder);
  folder.names[leafPart(to)] = source.node;
  disk.nodes.at(source.folder).names.erase(source.leaf);
  flushNames(folder);
  flushNames(disk.nodes.at(source.folder));
}

std::uint64_t World::indexOf(std::u16string_view path) {
  return find(path, true).node;
}

std::optional<std::string> World::bytesOf(std::u16string_view path) {
  const Found found = find(path, true);
  if (found.node == 0 || disk.nodes.at(found.node).kind != Kind::File) {
    return std::nullopt;
  }
  return disk.nodes.at(found.node).data;
}

std::vector<std::u16string> World::namesIn(std::u16string_view folder) {
  std::vector<std::u16string> names;
  if (const Found found = find(folder, true); found.node != 0) {
    for (const auto& [name, node] : disk.nodes.at(found.node).names) {
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

// One choice a power cut makes: whether an unflushed block (or, at SIZE_MAX, the length) of a file
// reached the disk, or how many of a folder's unflushed changes did.
struct Choice {
  std::uint64_t node;
  std::size_t block;
  std::size_t options;
};

Disk applied(Disk disk, const std::vector<Choice>& choices,
             const std::vector<std::size_t>& picked) {
  std::map<std::pair<std::uint64_t, std::size_t>, std::size_t> pick;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    pick[{choices[i].node, choices[i].block}] = picked[i];
  }
  auto chosen = [&](std::uint64_t node, std::size_t block) {
    const auto found = pick.find({node, block});
    return found == pick.end() ? 0 : found->second;
  };
  for (auto& [index, node] : disk.nodes) {
    if (node.kind == Kind::Folder) {
      node.names = node.durableNames;
      const std::vector<NameChange> changes = std::move(node.unflushedNames);
      node.unflushedNames.clear();
      for (std::size_t i = 0; i < chosen(index, 0); ++i) {
        change(node, changes[i]);
      }
      flushNames(node);
      continue;
    }
    std::string bytes(chosen(index, SIZE_MAX) == 1 ? node.data.size() : node.durable.size(), '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      const std::string& from = chosen(index, at / 512) == 1 ? node.data : node.durable;
      bytes[at] = at < from.size() ? from[at] : '\0';
    }
    node.data = node.durable = bytes;
    node.unflushedBlocks.clear();
  }
  return disk;
}

}  // namespace

std::vector<Disk> powerCutStates(const Disk& disk, std::size_t limit) {
  std::vector<Choice> choices;
  double total = 1;
  for (const auto& [index, node] : disk.nodes) {
    if (!node.unflushedNames.empty()) {
      choices.push_back({index, 0, node.unflushedNames.size() + 1});
    }
    for (const std::size_t block : node.unflushedBlocks) {
      choices.push_back({index, block, 2});
    }
    if (node.kind != Kind::Folder && node.data.size() != node.durable.size()) {
      choices.push_back({index, SIZE_MAX, 2});
    }
  }
  for (const Choice& choice : choices) {
    total *= static_cast<double>(choice.options);
  }
  std::vector<Disk> states;
  std::vector<std::size_t> picked(choices.size(), 0);
  if (total <= static_cast<double>(limit)) {
    for (std::size_t i = 0; i < choices.size();) {
      states.push_back(applied(disk, choices, picked));
      for (i = 0; i < choices.size() && ++picked[i] == choices[i].options; ++i) {
        picked[i] = 0;
      }
    }
    return states.empty() ? std::vector<Disk>{disk} : states;
  }
  states.push_back(applied(disk, choices, picked));
  std::mt19937 random(20261208);
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

Disk settled(const Disk& disk) {
  return powerCutStates(disk, 2).back();
}

}  // namespace zelpin::memory

// ---- The platform's functions, over the world in memory ----

namespace zelpin::platform {
namespace {

using memory::Found;
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
  Opened result;
  result.handle.reset(w.nextHandle);
  w.handles[w.nextHandle++] = OpenFile{node, 0, writes, searchOnly, std::move(lockKey)};
  return result;
}

OpenFile& openFile(NativeHandle handle) {
  return world().handles.at(handle);
}

memory::Node& nodeOf(NativeHandle handle) {
  return world().disk.nodes.at(openFile(handle).node);
}

memory::Node& nodeAt(const Found& found) {
  return world().disk.nodes.at(found.node);
}

// Counts the call (where it is named), then looks name up in the location's folder.
Found lookUp(std::string_view call, const Location& location, std::u16string_view name,
             bool follow) {
  Found found;
  found.error = call.empty() ? 0 : world().step(call);
  if (found.error == 0 && !location.folderHandle.isOpen()) {
    found.error = location.folderError;
  }
  if (found.error != 0) {
    return found;
  }
  return world().find(
      world().pathOf(openFile(location.folderHandle.get()).node) + u"/" + std::u16string(name),
      follow);
}

// Counts the call, then checks that this user may change name in the location's folder: write
// it, and in a sticky folder own the file or the folder.
SystemError changing(std::string_view call, const Location& location, std::u16string_view name,
                     memory::Node*& folder) {
  if (const SystemError error = call.empty() ? 0 : world().step(call)) {
    return error;
  }
  if (!location.folderHandle.isOpen()) {
    return location.folderError;
  }
  const Found found = lookUp({}, location, name, false);
  if (found.error != 0 && !isMissing(found.error)) {
    return found.error;
  }
  memory::World& w = world();
  folder = &nodeOf(location.folderHandle.get());
  if (!w.mayUse(*folder, 3)) {
    return EACCES;
  }
  const bool sticky = (folder->mode & 01000) != 0 && w.user != 0 && folder->owner != w.user;
  return sticky && found.node != 0 && nodeAt(found).owner != w.user ? EPERM : 0;
}

Opened openFound(const Found& found, std::uint32_t access) {
  if (found.node == 0) {
    return failed(found.error);
  }
  const memory::Node& node = nodeAt(found);
  if ((access & 2) != 0 && node.kind == Kind::Folder) {
    return failed(EISDIR);
  }
  return world().mayUse(node, access) ? openHandle(found.node, (access & 2) != 0) : failed(EACCES);
}

}  // namespace

void closeHandle(NativeHandle handle) {
  memory::World& w = world();
  w.step("closeHandle");
  std::erase_if(w.locks, [&](const auto& lock) { return lock.second == handle; });
  w.handles.erase(handle);
}

Location locate(std::u16string_view path) {
  memory::World& w = world();
  Location location;
  location.path = path;
  location.folderError = w.step("locate");
  std::u16string name(path);
  for (int hops = 0; hops < 40; ++hops) {
    const Found found = w.find(name, false);
    if (found.node == 0 || nodeAt(found).kind != Kind::Link) {
      break;
    }
    const std::u16string target = decodeUtf8(nodeAt(found).data);
    name = target.starts_with(u'/') ? target : memory::folderPart(name) + u"/" + target;
  }
  location.leaf = memory::leafPart(name);
  location.folder = memory::folderPart(name);
  const Found folder = w.find(location.folder, true);
  if (location.folderError == 0 &&
      (location.leaf.empty() || folder.node == 0 || nodeAt(folder).kind != Kind::Folder)) {
    location.folderError = folder.error != 0 ? folder.error : ENOENT;
  }
  if (location.folderError == 0) {
    const bool listable = w.mayUse(nodeAt(folder), 4);
    location.folderHandle = std::move(openHandle(folder.node, false, !listable).handle);
  }
  return location;
}

// As on Windows: a file beside the menu, made where missing, whose lock every machine shares, as
// it shares the lock of every file.
Opened openMenuLock(const Location& location, std::u16string_view companion) {
  memory::Node* folder = nullptr;
  const Found found = lookUp("openMenuLock", location, companion, false);
  std::uint64_t node = found.node;
  if (node == 0 && changing({}, location, companion, folder) == 0) {
    node = world().disk.nextIndex++;
    world().disk.nodes[node].owner = world().user;
    memory::change(*folder, {{std::u16string(companion), node}});
  }
  return node == 0 ? Opened() : openHandle(node, false, false, "file " + std::to_string(node));
}

Opened openFileLock(NativeHandle file, const FileInfo&) {
  return openHandle(openFile(file).node, false, false,
                    "file " + std::to_string(openFile(file).node));
}

LockAttempt tryLock(NativeHandle lock) {
  const OpenFile& file = openFile(lock);
  if (world().step("tryLock") != 0 || file.searchOnly || file.lockKey.empty()) {
    return LockAttempt::Unavailable;
  }
  const auto [held, taken] = world().locks.emplace(file.lockKey, lock);
  return taken || held->second == lock ? LockAttempt::Taken : LockAttempt::Busy;
}

void unlock(NativeHandle lock) {
  world().step("unlock");
  std::erase_if(world().locks, [&](const auto& held) { return held.second == lock; });
}

Opened openForReading(const Location& location) {
  const SystemError error = world().step("openForReading");
  return error != 0 ? failed(error) : openFound(world().find(location.path, true), 4);
}

SystemError describeLocation(const Location& location, FileInfo& info) {
  const Found found = lookUp("describeLocation", location, location.leaf, false);
  if (found.node == 0) {
    return found.error;
  }
  Opened opened = openHandle(found.node, false);
  const SystemError error = describe(opened.handle.get(), info);
  world().handles.erase(opened.handle.release());
  return error;
}

Opened openForWriting(const Location& location) {
  return openFound(lookUp("openForWriting", location, location.leaf, true), 2);
}

Opened reopenForWriting(NativeHandle probe) {
  const SystemError error = world().step("reopenForWriting");
  return error != 0 ? failed(error) : openHandle(openFile(probe).node, true);
}

// As on Windows: asks whether this user may write the menu, without a handle that writes.
Opened openToProbe(const Location& location) {
  Opened probe = openFound(lookUp("openToProbe", location, location.leaf, true), 2);
  if (probe.error == 0) {
    openFile(probe.handle.get()).writes = false;
  }
  return probe;
}

Opened createBeside(const Location& location, std::u16string_view name, const NewFile& how) {
  memory::World& w = world();
  memory::Node* folder = nullptr;
  SystemError error = changing("createBeside", location, name, folder);
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
  memory::change(*folder, {{std::u16string(name), index}});
  Opened created = openHandle(index, true);
  openFile(created.handle.get()).sharesNothing = true;
  return created;
}

Opened openBeside(const Location& location, std::u16string_view name) {
  const Found found = lookUp("openBeside", location, name, false);
  return found.node != 0 && nodeAt(found).kind == Kind::Link ? failed(ELOOP) : openFound(found, 4);
}

// Made where missing, below a folder that is this user's, and durable at once, as the primitive
// promises.
Location openStateFolder(bool create) {
  memory::World& w = world();
  Location location;
  location.folderError = w.step("openStateFolder");
  if (location.folderError != 0 || !w.stateHome) {
    location.folderError = location.folderError != 0 ? location.folderError : ENOENT;
    return location;
  }
  location.path = location.folder = *w.stateHome + u"/zelpin";
  std::u16string existing = location.folder;
  while (w.find(existing, true).node == 0 && existing.size() > 1) {
    existing = memory::folderPart(existing);
  }
  if (create && existing != location.folder && nodeAt(w.find(existing, true)).owner == w.user) {
    for (std::size_t slash = existing.size(); slash != std::u16string::npos;) {
      slash = location.folder.find(u'/', slash + 1);
      const Found level = w.find(location.folder.substr(0, slash), true);
      if (level.node == 0) {
        memory::Node& parent = w.disk.nodes.at(level.folder);
        w.disk.nodes[w.disk.nextIndex] =
            memory::Node{Kind::Folder, {}, {}, {}, {}, {}, {}, 0700, w.user, 0, 0};
        memory::change(parent, {{level.leaf, w.disk.nextIndex++}});
        memory::flushNames(parent);
      }
    }
  }
  const Found folder = w.find(location.folder, true);
  if (folder.node == 0 || nodeAt(folder).kind != Kind::Folder || nodeAt(folder).owner != w.user ||
      (nodeAt(folder).mode & 022) != 0) {
    location.folderError = folder.node == 0 ? folder.error : EACCES;
    return location;
  }
  nodeAt(folder).mode &= 0700;
  location.folderHandle = std::move(openHandle(folder.node, false).handle);
  location.folderError = 0;
  return location;
}

std::u16string shownNameIn(const Location& folder, std::u16string_view name) {
  return folder.path + u"/" + std::u16string(name);
}

std::u16string fullNameOf(const Location& location) {
  world().step("fullNameOf");
  return (location.folderHandle.isOpen()
              ? world().pathOf(openFile(location.folderHandle.get()).node)
              : location.folder) +
         u"/" + location.leaf;
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
  const std::uint64_t index = openFile(file).node;
  const memory::Node& node = w.disk.nodes.at(index);
  info = FileInfo();
  info.regular = node.kind == Kind::File;
  info.size = info.regular ? node.data.size() : 0;
  for (const auto& [folderIndex, folder] : w.disk.nodes) {
    info.links += static_cast<std::uint32_t>(
        std::count_if(folder.names.begin(), folder.names.end(),
                      [&](const auto& name) { return name.second == index; }));
  }
  info.device = w.disk.device;
  info.volume = w.disk.volume;
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
  OpenFile& open = openFile(file);
  const memory::Node& node = nodeOf(file);
  if (const SystemError error = world().step("readSome")) {
    return error;
  }
  if (node.kind != Kind::File) {
    return EISDIR;
  }
  count = open.offset < node.data.size()
              ? node.data.copy(buffer, size, static_cast<std::size_t>(open.offset))
              : 0;
  open.offset += count;
  return 0;
}

SystemError writeAll(NativeHandle file, std::string_view bytes) {
  OpenFile& open = openFile(file);
  memory::Node& node = nodeOf(file);
  if (const SystemError error = world().step("writeAll")) {
    return error;
  }
  if (!open.writes) {
    return EBADF;
  }
  const std::size_t at = static_cast<std::size_t>(open.offset);
  node.data.resize(std::max(node.data.size(), at + bytes.size()), '\0');
  node.data.replace(at, bytes.size(), bytes);
  for (std::size_t block = at / 512; block * 512 < at + bytes.size(); ++block) {
    node.unflushedBlocks.insert(block);
  }
  open.offset += bytes.size();
  node.modified = world().clock;
  return 0;
}

SystemError seekTo(NativeHandle file, std::uint64_t offset) {
  const SystemError error = world().step("seekTo");
  openFile(file).offset = error != 0 ? openFile(file).offset : offset;
  return error;
}

SystemError reserve(NativeHandle, std::uint64_t, std::uint64_t) {
  return world().step("reserve");
}

SystemError setLength(NativeHandle file, std::uint64_t size) {
  const SystemError error = world().step("setLength");
  if (error == 0) {
    nodeOf(file).data.resize(static_cast<std::size_t>(size), '\0');
    nodeOf(file).modified = world().clock;
  }
  return error;
}

SystemError flush(NativeHandle file) {
  const SystemError error = world().step("flush");
  if (error == 0) {
    nodeOf(file).durable = nodeOf(file).data;
    nodeOf(file).unflushedBlocks.clear();
  }
  return error;
}

// Only root may give a file away.
SystemError copyKeptProperties(NativeHandle, const FileInfo& menuInfo, NativeHandle file) {
  const SystemError error = world().step("copyKeptProperties");
  if (error != 0 || (world().user != 0 && menuInfo.owner != world().user)) {
    return error != 0 ? error : EPERM;
  }
  nodeOf(file).owner = menuInfo.owner;
  nodeOf(file).mode = menuInfo.mode;
  return 0;
}

SystemError renameBeside(const Location& location, std::u16string_view from,
                         std::u16string_view to) {
  memory::Node* folder = nullptr;
  SystemError error = changing("renameBeside", location, to, folder);
  const Found source = error != 0 ? Found{} : lookUp({}, location, from, false);
  if (error != 0 || source.node == 0) {
    return error != 0 ? error : ENOENT;
  }
  std::uint64_t moved = source.node;
  if (world().idsFollowEntries) {
    moved = world().disk.nextIndex++;
    memory::Node node = std::move(world().disk.nodes.at(source.node));
    world().disk.nodes.erase(source.node);
    world().disk.nodes[moved] = std::move(node);
    for (auto& [handle, open] : world().handles) {
      open.node = open.node == source.node ? moved : open.node;
    }
    folder = &nodeOf(location.folderHandle.get());
  }
  memory::change(*folder, {{std::u16string(to), moved}, {std::u16string(from), std::nullopt}});
  return 0;
}

SystemError probeRename(const Location&) {
  return world().step("probeRename");
}

// As chmod does, through a link of that name.
SystemError makePrivate(const Location& location, std::u16string_view name) {
  const Found found = lookUp("makePrivate", location, name, true);
  if (found.node == 0 || (world().user != 0 && nodeAt(found).owner != world().user)) {
    return found.node == 0 ? found.error : EPERM;
  }
  nodeAt(found).mode = 0600;
  return 0;
}

SystemError removeBeside(const Location& location, std::u16string_view name) {
  memory::Node* folder = nullptr;
  SystemError error = changing("removeBeside", location, name, folder);
  if (error == 0 && !folder->names.contains(std::u16string(name))) {
    error = ENOENT;
  }
  const auto held = [&](const auto& open) {
    return open.second.sharesNothing && open.second.node == folder->names.at(std::u16string(name));
  };
  if (error == 0 && world().removeWaitsForHandles &&
      std::any_of(world().handles.begin(), world().handles.end(), held)) {
    error = EACCES;  // a sharing violation
  }
  if (error == 0) {
    memory::change(*folder, {{std::u16string(name), std::nullopt}});
  }
  return error;
}

std::vector<std::u16string> namesBeside(const Location& location) {
  std::vector<std::u16string> names;
  if (world().step("namesBeside") == 0 && location.folderHandle.isOpen() &&
      !openFile(location.folderHandle.get()).searchOnly) {
    for (const auto& [name, node] : nodeOf(location.folderHandle.get()).names) {
      names.push_back(name);
    }
  }
  return names;
}

SystemError flushFolder(const Location& location) {
  const SystemError error = world().step("flushFolder");
  if (error == 0 && location.folderHandle.isOpen()) {
    memory::flushNames(nodeOf(location.folderHandle.get()));
  }
  return error != 0 || location.folderHandle.isOpen() ? error : EBADF;
}

std::size_t nameLength(std::u16string_view name) {
  return encodeLine(name, false).size();
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
