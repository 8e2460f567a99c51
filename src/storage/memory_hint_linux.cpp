#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "storage/memory_hint.h"

namespace zelpin {
namespace {

constexpr std::uint64_t largePage = std::uint64_t{2} << 20;

// A smaller menu's lines fit in the heap's first small pages; its heap is left as glibc sets it.
constexpr std::uint64_t smallestLargeMenu = std::uint64_t{256} << 10;

// The lines as UTF-16 take up to twice the file's bytes, plus a record and a heap block header
// each; three times the file covers menus of ordinary line lengths. More is only address space,
// so the stretch is made long enough to hold whole large pages even for a small menu.
constexpr std::uint64_t heapPerFileByte = 3;
constexpr std::uint64_t shortestStretch = 3 * largePage;

constexpr int defaultMmapMax = 65536;  // glibc's own setting

}  // namespace

void prepareMemoryForLines(std::uint64_t fileBytes) {
  if (fileBytes < smallestLargeMenu || fileBytes > SIZE_MAX / heapPerFileByte - largePage) {
    return;
  }
  const auto heapBytes =
      static_cast<std::size_t>(std::max(fileBytes * heapPerFileByte, shortestStretch));
  // Everything from one heap that grows once and never shrinks during the run, so that the
  // stretch advised below is where the lines, and the list of them, will be put. Freed blocks
  // are merged as they come: a million small ones kept apart in fast bins would all be sorted
  // out in one sweep through cold memory when the lines are freed.
  if (mallopt(M_MMAP_MAX, 0) == 0 || mallopt(M_TRIM_THRESHOLD, -1) == 0 ||
      mallopt(M_MXFAST, 0) == 0) {
    return;
  }
  const std::unique_ptr<char[]> stretch(new (std::nothrow) char[heapBytes]);
  if (!stretch) {
    mallopt(M_MMAP_MAX, defaultMmapMax);  // no room for the stretch: let large blocks map again
    return;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(stretch.get());
  const std::uintptr_t first = (start + largePage - 1) & ~(largePage - 1);
  if (first - start < heapBytes) {
    // The block goes back to the heap's free top when stretch ends; its pages stay untouched
    // until a line needs them.
    madvise(reinterpret_cast<void*>(first), heapBytes - (first - start), MADV_HUGEPAGE);
  }
}

}  // namespace zelpin
