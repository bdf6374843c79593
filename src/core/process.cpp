#include "core/process.hpp"

#include <unistd.h>

namespace murello {

// Asked each time rather than cached: the C library no longer caches it either, and a
// cache would have to be reset in every child.
uint32_t current_process_id() { return static_cast<uint32_t>(getpid()); }

}  // namespace murello
