#pragma once

#include <cstdint>
#include <string>

#include "storage/file_access.h"
#include "storage/platform_file.h"

namespace zelpin {

// Puts the menu back as it was just before its last save by zelpin, where the menu is still byte
// for byte what that save wrote. The undo is a save like any other, with a record of its own, so a
// second undo puts the change back. Throws FileError, the menu unchanged, where zelpin kept no
// record of that save, the menu changed since, or the record is not whole.
void undoLastSave(MenuFile& menu);

// What a save by rename keeps of the file it replaces, for an undo: the file itself, by a second
// name in the state folder where it is on the same volume, else a copy of it. Made before the
// rename, which takes the file's last name away; keep() writes the record that names it, after the
// rename. Unless kept, it is removed again.
class ReplacedFile {
 public:
  ReplacedFile(const MenuFile& menu, const platform::FileInfo& replaced,
               const platform::FileInfo& replacement);
  ReplacedFile(const ReplacedFile&) = delete;
  ReplacedFile& operator=(const ReplacedFile&) = delete;
  ~ReplacedFile();
  void keep(std::uint64_t newSize, std::uint64_t newHash);

 private:
  const MenuFile& menu_;
  platform::FileInfo replaced_;
  platform::FileInfo replacement_;
  platform::Location state_;
  std::u16string fullName_;
  std::u16string record_;
  std::u16string content_;
  bool ready_ = false;
};

}  // namespace zelpin
