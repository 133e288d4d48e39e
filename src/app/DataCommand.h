#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace harbolt {

// `harbolt data dump [--json] FILE` and `harbolt data check FILE`. args are the words after
// "data". Returns the exit status; results go to out, errors to err.
int RunDataCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

extern const char* const kDataCommandUsage;

} // namespace harbolt
