#include "platform/Paths.h"

#include "platform/Exceptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harbolt {

std::string DefaultDataDirectory() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return FileInDirectory(xdg, "harbolt");
    const char* home = std::getenv("HOME");
    std::string base = home != nullptr && home[0] != '\0' ? home : "";
    if (base.empty()) {
        if (const passwd* user = getpwuid(getuid()))
            base = user->pw_dir;
    }
    if (base.empty())
        base = "/tmp";
    return FileInDirectory(base, ".local/share/harbolt");
}

std::string FileInDirectory(const std::string& directory, const std::string& name) {
    if (directory.empty())
        return name;
    if (directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

void EnsureDataDirectory(const std::string& directory) {
    if (directory.empty())
        throw Exception("the data directory name is empty");
    // Create each missing parent in turn; only the last one is ours to keep private.
    for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
        const std::string part =
            slash == std::string::npos ? directory : directory.substr(0, slash);
        const bool last = slash == std::string::npos;
        if (::mkdir(part.c_str(), last ? 0700 : 0755) != 0 && errno != EEXIST)
            throw Exception("cannot create the data directory " + part + ": " +
                            std::strerror(errno));
        if (last)
            break;
    }
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw Exception("the data directory " + directory + " is not a directory");
}

} // namespace harbolt
