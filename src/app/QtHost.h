#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QSocketNotifier;

// The Qt side of a running instance, shared by the headless and the window face: the lock that
// keeps one instance per data directory, the queue through which other threads reach the main
// thread, SIGINT and SIGTERM as orderly quits, and the instance's timers.
namespace harbolt {

class TInstance;

// One instance per data directory: both would write the same data file.
class TInstanceLock {
public:
    explicit TInstanceLock(const std::string& directory);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // false with the reason in error when another instance holds the directory.
    bool Acquire(std::string& error);

private:
    std::string Path;
    int Fd = -1;
};

// Tasks that other threads hand to the main thread. They pass through our own locked queue and an
// eventfd only wakes the event loop: handing the task itself through Qt's event queue would hide
// the hand-over from the thread sanitizer, which cannot see inside Qt's own locking.
class TMainThreadQueue {
public:
    TMainThreadQueue();
    ~TMainThreadQueue();
    TMainThreadQueue(const TMainThreadQueue&) = delete;
    TMainThreadQueue& operator=(const TMainThreadQueue&) = delete;

    bool Valid() const { return Fd >= 0; }
    int Descriptor() const { return Fd; }
    // Any thread.
    void Post(std::function<void()> task);
    // On the main thread, when the descriptor is readable.
    void RunPending();

private:
    int Fd;
    std::mutex Lock;
    std::deque<std::function<void()>> Tasks;
};

class TQtHost : public QObject {
public:
    explicit TQtHost(QObject* parent = nullptr);
    ~TQtHost() override;

    // Sets up the main-thread queue and the signal handling; false with the reason in error.
    // onQuitSignal runs on the main thread for SIGINT and SIGTERM.
    bool Setup(std::function<void()> onQuitSignal, std::string& error);
    TMainThreadQueue& MainThread() { return Queue; }
    // The instance's timers with their intervals, running until the host is destroyed.
    void StartTimers(TInstance& instance);

private:
    TMainThreadQueue Queue;
    std::unique_ptr<QSocketNotifier> QueueNotifier;
    std::unique_ptr<QSocketNotifier> SignalNotifier;
    std::function<void()> QuitSignal;
};

} // namespace harbolt
