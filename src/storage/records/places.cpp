#include "storage/records/places.h"

#include "storage/conversion.h"
#include "storage/platform/file_steps.h"
#include "storage/records/names.h"

namespace zelpin {

using namespace platform;

FileKey fileKey(const FileInfo& info) {
  if (!info.identified) {
    return FileKey{};
  }
  return FileKey{info.volume, info.index, info.indexHigh, info.birth};
}

std::string recordPath(std::u16string_view fullName) {
  try {
    return encodeLine(fullName, false);
  } catch (const ConversionError&) {
    return {};
  }
}

bool isRecordOf(const SaveRecord& record, const FileInfo& info, std::u16string_view fullName) {
  if (record.file != fileKey(info)) {
    return false;
  }
  // Without a birth time a new file can get a gone one's number, and only the path tells them
  // apart; a file with other names has to be known by its number alone (a record names only one).
  if (info.identified && (info.birth != 0 || info.links > 1)) {
    return true;
  }
  try {
    return decodeUtf8(record.path) == fullName;
  } catch (const ConversionError&) {
    return false;
  }
}

std::vector<RecordFolder> recordFolders(const Location& state, const Location& menu) {
  std::vector<RecordFolder> folders;
  if (state.folderError == 0) {
    folders.push_back({&state, RecordPlace::StateFolder});
  }
  if (menu.folderError == 0) {
    folders.push_back({&menu, RecordPlace::BesideMenu});
  }
  return folders;
}

bool mayHoldRecords(const RecordFolder& at) {
  return at.place == RecordPlace::StateFolder || keepsOthersOut(*at.folder);
}

bool isTrustedRecord(const RecordFolder& at, NativeHandle file, const FileInfo& info) {
  return info.regular && (at.place == RecordPlace::StateFolder ||
                          (madeByThisUser(file, info) && mayHoldRecords(at)));
}

std::string shownRecord(const RecordFolder& at, std::u16string_view name) {
  return at.place == RecordPlace::StateFolder ? quoted(shownNameIn(*at.folder, name))
                                              : quoted(name) + " beside it";
}

std::optional<std::string> readRecordFile(const Location& folder, std::u16string_view name) {
  Opened file = openBeside(folder, name);
  FileInfo info;
  std::string bytes;
  if (file.error != 0 || describe(file.handle.get(), info) != 0 || !info.regular ||
      readAll(file.handle.get(), bytes) != 0) {
    return std::nullopt;
  }
  return bytes;
}

SystemError setAside(const Location& folder, std::u16string_view menuLeaf, std::string_view content,
                     std::u16string& aside) {
  aside = setAsideName(menuLeaf, wallClock());
  Opened file = createBeside(folder, aside, NewFile{noHandle, false, false, true});
  if (file.error != 0) {
    return file.error;
  }
  TemporaryFile guard(folder, aside, std::move(file.handle));
  if (const SystemError error = writeAll(guard.handle(), content)) {
    return error;
  }
  guard.keep();
  return 0;
}

}  // namespace zelpin
