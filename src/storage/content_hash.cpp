#include "storage/content_hash.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zelpin {
namespace {

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t prime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t prime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t prime5 = 0x27D4EB2F165667C5ull;

// Little-endian whatever the machine, so that a record means the same everywhere.
std::uint64_t read64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, bytes, sizeof value);
  } else {
    for (int i = 7; i >= 0; --i) {
      value = (value << 8) | bytes[i];
    }
  }
  return value;
}

std::uint32_t read32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
  return std::rotl(lane + input * prime2, 31) * prime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
  return (hash ^ round(0, lane)) * prime1 + prime4;
}

}  // namespace

void ContentHash::addStripe(const unsigned char* stripe) {
  for (int i = 0; i < 4; ++i) {
    lanes_[i] = round(lanes_[i], read64(stripe + 8 * i));
  }
}

void ContentHash::add(std::string_view bytes) {
  auto data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  total_ += left;
  if (pendingSize_ > 0) {
    const std::size_t taken = std::min(left, sizeof pending_ - pendingSize_);
    std::memcpy(pending_ + pendingSize_, data, taken);
    pendingSize_ += taken;
    data += taken;
    left -= taken;
    if (pendingSize_ < sizeof pending_) {
      return;
    }
    addStripe(pending_);
    pendingSize_ = 0;
  }
  for (; left >= 32; data += 32, left -= 32) {
    addStripe(data);
  }
  std::memcpy(pending_, data, left);
  pendingSize_ = left;
}

std::uint64_t ContentHash::value() const {
  std::uint64_t hash = prime5;
  if (total_ >= 32) {
    hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
           std::rotl(lanes_[3], 18);
    for (const std::uint64_t lane : lanes_) {
      hash = merge(hash, lane);
    }
  }
  hash += total_;
  const unsigned char* rest = pending_;
  std::size_t left = pendingSize_;
  for (; left >= 8; rest += 8, left -= 8) {
    hash = std::rotl(hash ^ round(0, read64(rest)), 27) * prime1 + prime4;
  }
  if (left >= 4) {
    hash = std::rotl(hash ^ read32(rest) * prime1, 23) * prime2 + prime3;
    rest += 4;
    left -= 4;
  }
  for (; left > 0; ++rest, --left) {
    hash = std::rotl(hash ^ *rest * prime5, 11) * prime1;
  }
  hash ^= hash >> 33;
  hash *= prime2;
  hash ^= hash >> 29;
  hash *= prime3;
  return hash ^ (hash >> 32);
}

std::uint64_t hashOf(std::string_view bytes) {
  ContentHash hash;
  hash.add(bytes);
  return hash.value();
}

}  // namespace zelpin
