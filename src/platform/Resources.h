#pragma once

#include <cstdint>

namespace harbolt {

// Raises the soft limit of open files to the hard limit: every proxied connection holds two
// descriptors on each computer, and the usual soft limit of 1024 is soon reached. Returns the
// soft limit in force afterwards.
std::uint64_t RaiseOpenFileLimit();

} // namespace harbolt
