#include "storage/records/names.h"

namespace zelpin {
namespace {

using namespace platform;

constexpr std::u16string_view journalMark = u".zelpin-journal-";
constexpr std::u16string_view undoMark = u".zelpin-undo-";
constexpr std::u16string_view setAsideMark = u".zelpin-set-aside-";
constexpr std::u16string_view contentSuffix = u".old";

// A temporary name adds to the menu's; it says whose it is, so that the next run can tell a killed
// run's leftover of this menu from anything else in the folder.
constexpr std::u16string_view temporaryMark = u".zelpin-";
constexpr std::size_t temporarySuffixLength = 6;
constexpr std::u16string_view suffixLetters =
    u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
static_assert(suffixLetters.size() == 62);
constexpr std::u16string_view lockSuffix = u"lock";
constexpr std::u16string_view lockEnd = u".zelpin-lock";

// Names in a folder are limited in length, the same on every platform here.
constexpr std::size_t maxNameLength = 255;

std::u16string hexText(std::uint64_t value) {
  static constexpr std::u16string_view digits = u"0123456789abcdef";
  std::u16string text;
  do {
    text.insert(text.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return text;
}

// Built by appending: g++ 12 warns falsely on u"." + a temporary string when it optimises.
std::u16string dotted(std::u16string_view leaf, std::u16string_view tail) {
  std::u16string name = u".";
  name += leaf;
  name += tail;
  return name;
}

// Where the menu's name would make the temporary name too long, it is cut short and a hash of the
// whole of it added, so that the name still tells this menu's leftovers from anything else.
std::u16string temporaryPrefix(std::u16string_view leaf) {
  std::u16string prefix = dotted(leaf, temporaryMark);
  if (nameLength(prefix) + temporarySuffixLength <= maxNameLength) {
    return prefix;
  }
  std::u16string tail = u"~";
  tail += hexText(nameHash(leaf));
  tail += temporaryMark;
  std::u16string part(leaf);
  while (!part.empty() && nameLength(dotted(part, tail)) + temporarySuffixLength > maxNameLength) {
    part.pop_back();
    if (!part.empty() && part.back() >= 0xD800 && part.back() < 0xDC00) {
      part.pop_back();  // never half a character
    }
  }
  return dotted(part, tail);
}

// The file system, index and birth time; the lower half of a 128-bit index in full, so that no two
// indexes give one text.
std::u16string keyText(const FileInfo& info, std::u16string_view fullName) {
  if (!info.identified) {
    return u"name-" + hexText(nameHash(fullName));
  }
  std::u16string index = hexText(info.index);
  if (info.indexHigh != 0) {
    index = hexText(info.indexHigh) + std::u16string(16 - index.size(), u'0') + index;
  }
  return hexText(info.volume) + u"-" + index + u"-" + hexText(info.birth);
}

bool endsInTemporarySuffix(std::u16string_view name) {
  const std::size_t mark = name.rfind(temporaryMark);
  return mark != std::u16string_view::npos && mark > 0 &&
         name.size() == mark + temporaryMark.size() + temporarySuffixLength &&
         name.substr(mark + temporaryMark.size()).find_first_not_of(suffixLetters) ==
             std::u16string_view::npos;
}

}  // namespace

NameKind kindOf(std::u16string_view name) {
  if (name == sweptMarkerName) {
    return NameKind::SweptMarker;
  }
  if (name.starts_with(setAsideMark)) {
    return NameKind::SetAside;
  }
  if (name.starts_with(journalMark)) {
    return NameKind::Journal;
  }
  if (name.starts_with(undoMark)) {
    return name.ends_with(contentSuffix) ? NameKind::UndoContent : NameKind::UndoRecord;
  }
  if (name.starts_with(u".") && name.ends_with(lockEnd)) {
    return NameKind::Lock;
  }
  return name.starts_with(u".") && endsInTemporarySuffix(name) ? NameKind::Temporary
                                                               : NameKind::Other;
}

std::u16string temporaryName(std::u16string_view leaf) {
  std::u16string name = temporaryPrefix(leaf);
  for (std::size_t i = 0; i < temporarySuffixLength; ++i) {
    name.push_back(suffixLetters[randomNumber() % suffixLetters.size()]);
  }
  return name;
}

bool isTemporaryOf(std::u16string_view name, std::u16string_view leaf) {
  const std::u16string prefix = temporaryPrefix(leaf);
  return name.starts_with(prefix) && name.size() == prefix.size() + temporarySuffixLength &&
         name.substr(prefix.size()).find_first_not_of(suffixLetters) == std::u16string_view::npos;
}

// The temporary names' prefix, with a suffix that no temporary name can have.
std::u16string lockFileName(std::u16string_view leaf) {
  std::u16string name = temporaryPrefix(leaf);
  name += lockSuffix;
  return name;
}

std::u16string journalName(const FileInfo& info, std::u16string_view fullName) {
  return std::u16string(journalMark) + keyText(info, fullName);
}

std::u16string undoRecordName(const FileInfo& info, std::u16string_view fullName) {
  return std::u16string(undoMark) + keyText(info, fullName);
}

std::u16string undoContentName(std::u16string_view recordName) {
  return std::u16string(recordName) + std::u16string(contentSuffix);
}

std::u16string recordOfContent(std::u16string_view contentName) {
  if (kindOf(contentName) != NameKind::UndoContent) {
    return {};
  }
  return std::u16string(contentName.substr(0, contentName.size() - contentSuffix.size()));
}

std::u16string setAsideName(std::u16string_view menuLeaf, std::int64_t time) {
  std::u16string name(setAsideMark);
  name += hexText(static_cast<std::uint64_t>(time));
  name += u"-";
  std::u16string leaf(menuLeaf);
  while (!leaf.empty() && nameLength(name + leaf) > maxNameLength) {
    leaf.pop_back();
    if (!leaf.empty() && leaf.back() >= 0xD800 && leaf.back() < 0xDC00) {
      leaf.pop_back();  // never half a character
    }
  }
  return name + leaf;
}

// An older zelpin renamed the journal itself, and put the time last.
std::optional<std::int64_t> setAsideTime(std::u16string_view name) {
  if (!name.starts_with(setAsideMark)) {
    return std::nullopt;
  }
  name.remove_prefix(setAsideMark.size());
  const std::u16string_view digits = name.starts_with(u"journal-")
                                         ? name.substr(name.rfind(u'-') + 1)
                                         : name.substr(0, name.find(u'-'));
  std::uint64_t time = 0;
  if (digits.empty() || digits.size() > 16) {
    return std::nullopt;
  }
  for (const char16_t digit : digits) {
    const std::size_t value = std::u16string_view(u"0123456789abcdef").find(digit);
    if (value == std::u16string_view::npos) {
      return std::nullopt;
    }
    time = time * 16 + value;
  }
  return static_cast<std::int64_t>(time);
}

}  // namespace zelpin
