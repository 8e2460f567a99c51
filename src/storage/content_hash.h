#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelpin {

// A 64-bit hash of a file's bytes (the XXH64 algorithm, seed 0), fed a piece at a time: what a
// record says a menu held, checked against what the menu holds now. It tells contents apart, it is
// no signature: whoever may write the menu may write anything into it anyway.
class ContentHash {
 public:
  void add(std::string_view bytes);
  std::uint64_t value() const;
  std::uint64_t size() const { return total_; }

 private:
  void addStripe(const unsigned char* stripe);

  std::uint64_t lanes_[4] = {0x60EA27EEADC0B5D6ull, 0xC2B2AE3D27D4EB4Full, 0,
                             0x61C8864E7A143579ull};
  unsigned char pending_[32] = {};
  std::size_t pendingSize_ = 0;
  std::uint64_t total_ = 0;
};

std::uint64_t hashOf(std::string_view bytes);

}  // namespace zelpin
