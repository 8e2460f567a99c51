#include "storage/memory_hint.h"

namespace zelpin {

// Nothing to ask for here: the system's own heap decides.
void prepareMemoryForLines(std::uint64_t /*fileBytes*/) {}

}  // namespace zelpin
