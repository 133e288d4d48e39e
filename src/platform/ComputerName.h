#pragma once

#include <string>

namespace harbolt {

// The computer's network name: the host name up to its first ".", in Windows-1252; "unknown"
// when it cannot be read.
std::string LocalComputerName();

} // namespace harbolt
