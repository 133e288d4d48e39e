#include "app/Sound.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace harbolt {

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string Joined(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

// A sound server or a sound card: without either a player would only complain.
bool SoundDeviceAvailable() {
    if (IsDirectory("/dev/snd"))
        return true;
    const char* server = std::getenv("PULSE_SERVER");
    if (server != nullptr && *server != '\0')
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && *runtime != '\0' && IsDirectory(Joined(runtime, "pulse"));
}

} // namespace

std::string ProgramDirectory() {
    std::string executable(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", executable.data(), executable.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= executable.size())
        return ".";
    executable.resize(static_cast<std::size_t>(length));
    const std::string directory = DirectoryOf(executable);
    const std::string installed = Joined(DirectoryOf(directory), "share/harbolt");
    return IsDirectory(installed) ? installed : directory;
}

std::string SoundFilePath(const std::string& name, const std::string& programDirectory) {
    if (name.empty())
        return {};
    if (IsRegularFile(name))
        return name;
    if (name.front() != '/') {
        const std::string beside = Joined(programDirectory, name);
        if (IsRegularFile(beside))
            return beside;
    }
    return {};
}

std::string FindSoundPlayer(const std::string& searchPath) {
    for (const char* player : {"paplay", "aplay"}) {
        std::string_view rest = searchPath;
        while (true) {
            const std::size_t colon = rest.find(':');
            const std::string directory(rest.substr(0, colon));
            // An empty entry of PATH means the working directory: not for us.
            if (!directory.empty()) {
                const std::string candidate = Joined(directory, player);
                if (IsRegularFile(candidate) && ::access(candidate.c_str(), X_OK) == 0)
                    return candidate;
            }
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
    }
    return {};
}

void PlaySoundFile(const std::string& name) {
    const std::string file = SoundFilePath(name, ProgramDirectory());
    if (file.empty() || !SoundDeviceAvailable())
        return;
    const char* path = std::getenv("PATH");
    const std::string player = FindSoundPlayer(path != nullptr ? path : "/usr/bin:/bin");
    if (player.empty())
        return;
    const bool quiet = player.size() >= 5 && player.compare(player.size() - 5, 5, "aplay") == 0;
    std::vector<std::string> words{player};
    if (quiet)
        words.emplace_back("-q");
    words.emplace_back("--");
    words.push_back(file);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // The player must not write into our output nor read our input.
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                         fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    pid_t child = 0;
    const int failed =
        ::posix_spawn(&child, player.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return;
    // Reaped on a thread of its own so that the main thread never waits for the sound.
    try {
        std::thread([child] {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread the finished player stays a zombie until we end: harmless.
    }
}

} // namespace harbolt
