#pragma once

#include <string>

namespace harbolt {

// The data directory when none is given: $XDG_DATA_HOME/harbolt, else ~/.local/share/harbolt.
std::string DefaultDataDirectory();

// Creates the directory (and its parents) with mode 0700 when missing. Raises Exception with a
// message naming the directory when that fails or when it exists but is no directory.
void EnsureDataDirectory(const std::string& directory);

// directory + "/" + name, without doubling a trailing slash.
std::string FileInDirectory(const std::string& directory, const std::string& name);

} // namespace harbolt
