#include "platform/ComputerName.h"

#include "platform/CodePage.h"

#include <unistd.h>

namespace harbolt {

std::string LocalComputerName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0')
        return "unknown";
    std::string name(buffer);
    name = name.substr(0, name.find('.'));
    return name.empty() ? "unknown" : Utf8ToCp1252(name);
}

} // namespace harbolt
