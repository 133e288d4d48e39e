// Program entry: the commands, and the Qt event loop that drives a running instance.
// Built twice: `harbolt` links no window toolkit (the headless instance, ctl and data, which then
// need a third less memory) and hands a run with windows to `harbolt-desktop`, the same program
// with the windows (HARBOLT_WINDOWS).
#include "app/Control.h"
#include "app/DataCommand.h"
#include "app/Instance.h"
#include "app/QtHost.h"
#include "database/ComputerData.h"
#include "platform/ComputerName.h"
#include "platform/Languages.h"
#include "platform/Paths.h"
#include "platform/Resources.h"
#include "platform/TimeSetter.h"
#include "proxy/Sessions.h"
#if HARBOLT_WINDOWS
#include "ui/WindowFace.h"

#include <QApplication>
#endif
#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef HARBOLT_VERSION
#define HARBOLT_VERSION "0.0.0"
#endif

namespace {

using namespace harbolt;

void PrintHelp(std::ostream& out) {
    out << "Harbolt " HARBOLT_VERSION
           " - share whichever Internet link is up with every computer of the LAN\n\n"
           "usage:\n"
           "  harbolt [OPTIONS]                  run this computer's instance\n"
           "      --headless                     run without windows and tray icon (also the\n"
           "                                     default when there is no display)\n"
           "      --name NAME                    computer name (default: the host name)\n"
           "      --data-dir DIR                 data directory (default: "
        << DefaultDataDirectory()
        << ")\n"
           "      --clock-log FILE               record the time master's settings in FILE\n"
           "                                     instead of setting the clock\n"
           "      --dialup commands|sim          dial-up layer: the commands of phonebook.conf\n"
           "                                     in the data directory (default), or a\n"
           "                                     simulated line\n"
           "      --control-group GROUP          let the members of GROUP use `harbolt ctl` too:\n"
           "                                     the control socket becomes mode 0660 of GROUP\n"
           "                                     (the data directory must let GROUP search it)\n"
           "      --verbose                      report what the instance does on stderr\n"
           "      environment HARBOLT_REQUEST_TIME_LIMIT_MS: how long a proxy client may take\n"
           "                                     to send its request or log in (default 30000)\n"
           "  harbolt ctl [--system | --data-dir DIR] COMMAND\n"
           "                                     control the running instance (--system: the\n"
           "                                     system service's, --data-dir "
        << kSystemDataDirectory << "):\n"
        << kControlCommandUsage << kDataCommandUsage << "  harbolt --help | --version\n";
}

// Returns false (after saying why) when the options are not understood.
bool ParseRunOptions(const std::vector<std::string>& args, TInstanceOptions& options,
                     bool& headless, std::string& controlGroup) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&](std::string& target) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                std::cerr << "harbolt: " << arg << " needs a value (see harbolt --help)\n";
                return false;
            }
            target = args[++i];
            return true;
        };
        if (arg == "--headless") {
            headless = true;
        } else if (arg == "--verbose") {
            options.Verbose = true;
        } else if (arg == "--name") {
            if (!value(options.Name))
                return false;
        } else if (arg == "--data-dir") {
            if (!value(options.DataDir))
                return false;
        } else if (arg == "--control-group") {
            if (!value(controlGroup))
                return false;
        } else if (arg == "--clock-log") {
            if (!value(options.ClockLog))
                return false;
        } else if (arg == "--dialup") {
            if (!value(options.Dialup))
                return false;
            if (options.Dialup != "commands" && options.Dialup != "sim") {
                std::cerr << "harbolt: --dialup takes commands or sim\n";
                return false;
            }
        } else {
            std::cerr << "harbolt: unknown option or command '" << arg
                      << "' (see harbolt --help)\n";
            return false;
        }
    }
    if (options.DataDir.empty())
        options.DataDir = DefaultDataDirectory();
    return true;
}

// Whether the instance shows windows: a display is there and --headless was not given.
bool WantWindows(bool headless) {
    if (headless)
        return false;
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

#if !HARBOLT_WINDOWS
// Hands the run to the program with the windows, beside this one in the build tree and in
// libexec when installed; the process and its pid stay the same. Returns only on failure, with
// the exit status after saying why.
int RunWithWindows(char** argv) {
    std::string self(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= self.size()) {
        std::cerr << "harbolt: cannot find the program with the windows: /proc/self/exe: "
                  << std::strerror(errno) << " (harbolt --headless runs without them)\n";
        return 1;
    }
    self.resize(static_cast<std::size_t>(length));
    const std::string directory = self.substr(0, self.rfind('/') + 1);
    std::string tried;
    int error = ENOENT;
    for (const std::string& candidate :
         {directory + "harbolt-desktop", directory + "../libexec/harbolt-desktop"}) {
        if (::access(candidate.c_str(), F_OK) != 0)
            continue;
        std::fflush(nullptr);
        ::execv(candidate.c_str(), argv);
        error = errno;
        tried = candidate;
        break;
    }
    if (tried.empty())
        tried = directory + "harbolt-desktop";
    std::cerr << "harbolt: cannot start the windows: " << tried << ": " << std::strerror(error)
              << " (harbolt --headless runs without them)\n";
    return 1;
}
#endif

int RunInstance(int argc, char** argv, const TInstanceOptions& options, bool windows,
                const std::optional<TControlGroup>& controlGroup) {
    try {
        EnsureDataDirectory(options.DataDir);
    } catch (const std::exception& e) {
        std::cerr << "harbolt: " << e.what() << "\n";
        return 1;
    }
    TInstanceLock lock(options.DataDir);
    std::string error;
    if (!lock.Acquire(error)) {
        std::cerr << "harbolt: " << error << "\n";
        return 1;
    }

    if (const char* limit = std::getenv("HARBOLT_REQUEST_TIME_LIMIT_MS")) {
        char* end = nullptr;
        const long milliseconds = std::strtol(limit, &end, 10);
        if (end == limit || *end != '\0' || milliseconds <= 0 || milliseconds > 3600000) {
            std::cerr << "harbolt: HARBOLT_REQUEST_TIME_LIMIT_MS must be 1 to 3600000 "
                         "milliseconds, not '"
                      << limit << "'\n";
            return 1;
        }
        SetRequestTimeLimit(static_cast<int>(milliseconds));
    }

    const std::uint64_t openFiles = RaiseOpenFileLimit();
    if (options.Verbose)
        std::cerr << "harbolt: up to " << openFiles << " open files\n";

    std::unique_ptr<QCoreApplication> app;
#if HARBOLT_WINDOWS
    if (windows)
        app = std::make_unique<QApplication>(argc, argv);
    else
#endif
    {
        // Without windows Qt's own event loop does: it wakes for the timers with less work than
        // the GLib one. Only the construction reads the variable; children do not inherit it.
        const bool userChose = std::getenv("QT_NO_GLIB") != nullptr;
        if (!userChose)
            ::setenv("QT_NO_GLIB", "1", 1);
        app = std::make_unique<QCoreApplication>(argc, argv);
        if (!userChose)
            ::unsetenv("QT_NO_GLIB");
    }
    std::unique_ptr<TTimeSetter> timeSetter;
    if (options.ClockLog.empty())
        timeSetter = std::make_unique<TSystemTimeSetter>();
    else
        timeSetter = std::make_unique<TRecordingTimeSetter>(options.ClockLog);

    TQtHost host;
    TInstanceOptions instanceOptions = options;
    instanceOptions.PostToMainThread = [&host](std::function<void()> task) {
        host.MainThread().Post(std::move(task));
    };
#if HARBOLT_WINDOWS
    std::unique_ptr<TWindowFace> windowFace;
    if (windows) {
        windowFace = std::make_unique<TWindowFace>();
        instanceOptions.Face = windowFace.get();
    }
#else
    (void)windows;
#endif
    TInstance instance(instanceOptions, SystemTickClock(), *timeSetter);
    QCoreApplication* loop = app.get();
    // exit, not quit: quit first asks every window to close, and the main window only hides.
    instance.QuitRequested = [loop] {
        QTimer::singleShot(0, loop, [] { QCoreApplication::exit(0); });
    };
    // SIGINT and SIGTERM end the program like a confirmed quit.
    if (!host.Setup([&instance] { instance.Quit(); }, error)) {
        std::cerr << "harbolt: " << error << "\n";
        return 1;
    }
    try {
        instance.Start();
    } catch (const std::exception& e) {
        std::cerr << "harbolt: cannot start: " << e.what() << "\n";
        return 1;
    }
#if HARBOLT_WINDOWS
    if (windowFace)
        windowFace->Attach(instance);
#endif

    TControlServerLimits controlLimits;
    controlLimits.Group = controlGroup;
    TControlServer control(
        ControlSocketPath(options.DataDir),
        [&host](std::function<void()> task) { host.MainThread().Post(std::move(task)); }, instance,
        controlLimits);
    try {
        control.Start();
    } catch (const std::exception& e) {
        std::cerr << "harbolt: cannot open the control socket: " << e.what() << "\n";
        return 1;
    }
    // Said, not mended: widening a directory the user keeps private is the user's choice.
    if (controlGroup)
        if (const auto warning = ControlGroupReachWarning(control.SocketPath(), *controlGroup))
            std::cerr << "harbolt: warning: " << *warning << "\n";
    host.StartTimers(instance);

    const int status = app->exec();
    control.Stop();
#if HARBOLT_WINDOWS
    if (windowFace)
        windowFace->Detach();
#endif
    instance.Shutdown();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    harbolt::ChooseLanguage();
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        PrintHelp(std::cout);
        return 0;
    }
    if (!args.empty() && args[0] == "--version") {
        std::cout << "harbolt " HARBOLT_VERSION "\n";
        return 0;
    }
    if (!args.empty() && args[0] == "data") {
        // Old data files mark the own computer by name.
        harbolt::OwnComputerName = harbolt::LocalComputerName();
        return harbolt::RunDataCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
    }
    if (!args.empty() && args[0] == "ctl")
        return harbolt::RunControlClient({args.begin() + 1, args.end()}, std::cout, std::cerr);
    TInstanceOptions options;
    bool headless = false;
    std::string controlGroupName;
    if (!ParseRunOptions(args, options, headless, controlGroupName))
        return 2;
    // Before anything starts: an instance nobody of the group can reach is no good either.
    std::optional<TControlGroup> controlGroup;
    if (!controlGroupName.empty()) {
        std::string error;
        controlGroup = LookUpControlGroup(controlGroupName, error);
        if (!controlGroup) {
            std::cerr << "harbolt: " << error << "\n";
            return 1;
        }
    }
    const bool windows = WantWindows(headless);
#if !HARBOLT_WINDOWS
    if (windows)
        return RunWithWindows(argv);
#endif
    const int status = RunInstance(argc, argv, options, windows, controlGroup);
    // The data is saved by now. Proxy sessions and other detached threads may still be running;
    // leaving without the static destructors keeps them from touching destroyed state.
    std::fflush(nullptr);
    std::_Exit(status);
}
