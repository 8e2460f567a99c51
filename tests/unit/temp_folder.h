#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "storage/conversion.h"

namespace zelpin {

// A fresh folder for one test, removed with its content afterwards; portable, so that the unit
// tests run on Windows too.
class TestFolder {
 public:
  TestFolder() {
    std::random_device random;
    for (;;) {
      path_ = std::filesystem::temp_directory_path() / ("zelpin-unit-" + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) {
        return;
      }
    }
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;
  ~TestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  // The wide name of a file in the folder, as the storage functions take it.
  std::u16string wideName(const std::string& name) const { return (path_ / name).u16string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace zelpin
