#include "app/QtHost.h"

#include "app/Instance.h"
#include "platform/Paths.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

namespace harbolt {

namespace {

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(SignalPipe[1], &byte, 1);
}

} // namespace

TInstanceLock::TInstanceLock(const std::string& directory)
    : Path(FileInDirectory(directory, "harbolt.lock")) {}

TInstanceLock::~TInstanceLock() {
    if (Fd >= 0)
        ::close(Fd);
}

bool TInstanceLock::Acquire(std::string& error) {
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
                (holder.empty() ? std::string() : " (pid " + holder + ")") + "; lock file " + Path;
        return false;
    }
    // The holder's pid, for the message a second instance gives; best effort.
    const std::string pid = std::to_string(::getpid()) + "\n";
    [[maybe_unused]] const int truncated = ::ftruncate(Fd, 0);
    [[maybe_unused]] const ssize_t written = ::pwrite(Fd, pid.data(), pid.size(), 0);
    return true;
}

TMainThreadQueue::TMainThreadQueue() : Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TMainThreadQueue::~TMainThreadQueue() {
    if (Fd >= 0)
        ::close(Fd);
}

void TMainThreadQueue::Post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Tasks.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(Fd, &one, sizeof one);
}

void TMainThreadQueue::RunPending() {
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

TQtHost::TQtHost(QObject* parent) : QObject(parent) {}

TQtHost::~TQtHost() = default;

bool TQtHost::Setup(std::function<void()> onQuitSignal, std::string& error) {
    if (!Queue.Valid()) {
        error = std::string("cannot set up the main thread's queue: ") + std::strerror(errno);
        return false;
    }
    QueueNotifier = std::make_unique<QSocketNotifier>(Queue.Descriptor(), QSocketNotifier::Read);
    connect(QueueNotifier.get(), &QSocketNotifier::activated, this, [this] { Queue.RunPending(); });

    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot set up signal handling: ") + std::strerror(errno);
        return false;
    }
    QuitSignal = std::move(onQuitSignal);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    SignalNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
    connect(SignalNotifier.get(), &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(SignalPipe[0], buffer, sizeof buffer) > 0) {
        }
        if (QuitSignal)
            QuitSignal();
    });
    return true;
}

void TQtHost::StartTimers(TInstance& instance) {
    const auto every = [this](int milliseconds, std::function<void()> proc) {
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, std::move(proc));
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
}

} // namespace harbolt
