#pragma once

#include <cstdint>

namespace zelpin {

// A large menu's lines fill a great deal of fresh memory in one go, and each small page of it
// costs a fault. Where the system offers large pages for the heap, asks for them, so that one
// fault fills two megabytes. Only a hint: nothing depends on it, and small menus are left alone.
void prepareMemoryForLines(std::uint64_t fileBytes);

}  // namespace zelpin
