// Program entry: the commands, and the Qt event loop that drives a running instance.
#include "app/Control.h"
#include "app/DataCommand.h"
#include "app/Instance.h"
#include "database/ComputerData.h"
#include "platform/ComputerName.h"
#include "platform/Languages.h"
#include "platform/Paths.h"
#include "platform/Resources.h"
#include "platform/TimeSetter.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
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
           "      --headless                     run without a window (the only mode so far)\n"
           "      --name NAME                    computer name (default: the host name)\n"
           "      --data-dir DIR                 data directory (default: "
        << DefaultDataDirectory()
        << ")\n"
           "      --clock-log FILE               record the time master's settings in FILE\n"
           "                                     instead of setting the clock\n"
           "      --dialup commands|sim          dial-up layer: the commands of phonebook.conf\n"
           "                                     in the data directory (default), or a\n"
           "                                     simulated line\n"
           "      --verbose                      report what the instance does on stderr\n"
           "  harbolt ctl [--data-dir DIR] COMMAND  control the running instance:\n"
        << kControlCommandUsage << kDataCommandUsage << "  harbolt --help | --version\n";
}

// Returns false (after saying why) when the options are not understood.
bool ParseRunOptions(const std::vector<std::string>& args, TInstanceOptions& options) {
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
        if (arg == "--headless")
            continue;
        if (arg == "--verbose") {
            options.Verbose = true;
        } else if (arg == "--name") {
            if (!value(options.Name))
                return false;
        } else if (arg == "--data-dir") {
            if (!value(options.DataDir))
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

// One instance per data directory: both would write the same data file.
class TInstanceLock {
public:
    explicit TInstanceLock(const std::string& directory)
        : Path(FileInDirectory(directory, "harbolt.lock")) {}
    ~TInstanceLock() {
        if (Fd >= 0)
            ::close(Fd);
    }
    bool Acquire(std::string& error) {
        Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (Fd < 0) {
            error = "cannot open " + Path + ": " + std::strerror(errno);
            return false;
        }
        if (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
            char pid[32] = {};
            const ssize_t n = ::pread(Fd, pid, sizeof pid - 1, 0);
            std::string holder = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : "";
            while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' '))
                holder.pop_back();
            error = "another Harbolt instance is already running on this data directory" +
                    (holder.empty() ? std::string() : " (pid " + holder + ")") + "; lock file " +
                    Path;
            return false;
        }
        // The holder's pid, for the message a second instance gives; best effort.
        const std::string pid = std::to_string(::getpid()) + "\n";
        [[maybe_unused]] const int truncated = ::ftruncate(Fd, 0);
        [[maybe_unused]] const ssize_t written = ::pwrite(Fd, pid.data(), pid.size(), 0);
        return true;
    }

private:
    std::string Path;
    int Fd = -1;
};

// Tasks that other threads hand to the main thread. They pass through our own locked queue and an
// eventfd only wakes the event loop: handing the task itself through Qt's event queue would hide
// the hand-over from the thread sanitizer, which cannot see inside Qt's own locking.
class TMainThreadQueue {
public:
    TMainThreadQueue() : Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~TMainThreadQueue() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TMainThreadQueue(const TMainThreadQueue&) = delete;
    TMainThreadQueue& operator=(const TMainThreadQueue&) = delete;

    bool Valid() const { return Fd >= 0; }
    int Descriptor() const { return Fd; }

    void Post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Tasks.push_back(std::move(task));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(Fd, &one, sizeof one);
    }

    // On the main thread, when the descriptor is readable.
    void RunPending() {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(Fd, &count, sizeof count);
        std::deque<std::function<void()>> pending;
        {
            std::lock_guard<std::mutex> guard(Lock);
            pending.swap(Tasks);
        }
        for (auto& task : pending)
            task();
    }

private:
    int Fd;
    std::mutex Lock;
    std::deque<std::function<void()>> Tasks;
};

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(SignalPipe[1], &byte, 1);
}

int RunInstance(int argc, char** argv, const TInstanceOptions& options) {
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

    const std::uint64_t openFiles = RaiseOpenFileLimit();
    if (options.Verbose)
        std::cerr << "harbolt: up to " << openFiles << " open files\n";

    QCoreApplication app(argc, argv);
    std::unique_ptr<TTimeSetter> timeSetter;
    if (options.ClockLog.empty())
        timeSetter = std::make_unique<TSystemTimeSetter>();
    else
        timeSetter = std::make_unique<TRecordingTimeSetter>(options.ClockLog);

    TMainThreadQueue mainThread;
    if (!mainThread.Valid()) {
        std::cerr << "harbolt: cannot set up the main thread's queue: " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    QSocketNotifier mainThreadNotifier(mainThread.Descriptor(), QSocketNotifier::Read);
    QObject::connect(&mainThreadNotifier, &QSocketNotifier::activated, &app,
                     [&mainThread] { mainThread.RunPending(); });

    TInstanceOptions instanceOptions = options;
    instanceOptions.PostToMainThread = [&mainThread](std::function<void()> task) {
        mainThread.Post(std::move(task));
    };
    TInstance instance(instanceOptions, SystemTickClock(), *timeSetter);
    instance.QuitRequested = [&app] { QTimer::singleShot(0, &app, [&app] { app.quit(); }); };
    try {
        instance.Start();
    } catch (const std::exception& e) {
        std::cerr << "harbolt: cannot start: " << e.what() << "\n";
        return 1;
    }

    // SIGINT and SIGTERM end the program like a confirmed quit.
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::cerr << "harbolt: cannot set up signal handling: " << std::strerror(errno) << "\n";
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier signalNotifier(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&instance] {
        char buffer[16];
        while (::read(SignalPipe[0], buffer, sizeof buffer) > 0) {
        }
        instance.Quit();
    });

    TControlServer control(
        ControlSocketPath(options.DataDir),
        [&mainThread](std::function<void()> task) { mainThread.Post(std::move(task)); }, instance);
    try {
        control.Start();
    } catch (const std::exception& e) {
        std::cerr << "harbolt: cannot open the control socket: " << e.what() << "\n";
        return 1;
    }

    const auto every = [&app](int milliseconds, std::function<void()> proc) {
        auto* timer = new QTimer(&app);
        QObject::connect(timer, &QTimer::timeout, &app, std::move(proc));
        timer->start(milliseconds);
    };
    every(1000, [&instance] { instance.ReceiveTimerProc(); });
    every(333, [&instance] { instance.FrequentSendTimerProc(); });
    every(1000, [&instance] { instance.OccasionalSendTimerProc(); });
    every(5000, [&instance] { instance.UpdateTimerTimer(); });
    every(10000, [&instance] { instance.SaveTimerTimer(); });
    every(1000, [&instance] { instance.GoOnlineTimerTimer(); });
    every(1000, [&instance] { instance.QuestionTimerTimer(); });
    every(1000, [&instance] { instance.MailTimerTimer(); });

    const int status = app.exec();
    control.Stop();
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
    if (!ParseRunOptions(args, options))
        return 2;
    const int status = RunInstance(argc, argv, options);
    // The data is saved by now. Proxy sessions and other detached threads may still be running;
    // leaving without the static destructors keeps them from touching destroyed state.
    std::fflush(nullptr);
    std::_Exit(status);
}
