#pragma once

// What the backend tests share: a temporary directory, a stand-in for the main thread's event
// loop, and a recorder of dial progress.
#include "dialup/RasBackend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace harbolt::test {

using namespace std::chrono_literals;

// A fresh directory, removed with everything in it when the test ends (also on failure).
class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "harbolt-dialup-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "cannot make a temporary directory";
        Path = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string File(const std::string& name) const { return (Path / name).string(); }

    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(File(name), std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

    std::filesystem::path Path;
};

// The main thread's event loop: backends post tasks from their threads, the test runs them.
// Declare it before the backend, so the backend (and its threads) end first.
class TMainThreadQueue {
public:
    TMainThreadPoster Poster() {
        return [this](std::function<void()> task) {
            {
                const std::lock_guard<std::mutex> guard(Lock);
                Tasks.push_back(std::move(task));
            }
            Posted.notify_all();
        };
    }

    // Runs posted tasks until done() holds or the limit has passed; returns done().
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> guard(Lock);
                if (!Posted.wait_until(guard, deadline, [this] { return !Tasks.empty(); }))
                    return done();
                task = std::move(Tasks.front());
                Tasks.pop_front();
            }
            task();
        }
        return true;
    }

    // Runs whatever arrives within the time; for checking that nothing does.
    void RunFor(std::chrono::milliseconds time) {
        RunUntil([] { return false; }, time);
    }

private:
    std::mutex Lock;
    std::condition_variable Posted;
    std::deque<std::function<void()>> Tasks;
};

struct TProgress {
    std::uint32_t State = 0;
    std::uint32_t Error = 0;
    bool operator==(const TProgress&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const TProgress& progress) {
    return out << "(state 0x" << std::hex << progress.State << std::dec << ", error "
               << progress.Error << ")";
}

// Collects what a dial reports; only the test's own thread (the "main thread") touches it.
class TProgressLog {
public:
    TRasDialProgress Callback() {
        return [this](std::uint32_t state, std::uint32_t error) {
            Events.push_back({state, error});
        };
    }
    std::vector<TProgress> Events;
};

// Lines collected from a diagnostic sink, which may be called from any thread.
class TDiagnosticLog {
public:
    std::function<void(const std::string&)> Sink() {
        return [this](const std::string& line) {
            const std::lock_guard<std::mutex> guard(Lock);
            Lines.push_back(line);
        };
    }
    std::vector<std::string> Taken() {
        const std::lock_guard<std::mutex> guard(Lock);
        return std::exchange(Lines, {});
    }

private:
    std::mutex Lock;
    std::vector<std::string> Lines;
};

// True once the process is gone or only a zombie is left (its parent may be a reaper that is
// slow, or none at all in a container).
inline bool ProcessEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return true;
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z';
}

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A pid a test's command wrote into a file; 0 until it is there.
inline pid_t PidFrom(const TTempDir& dir, const std::string& name) {
    const std::string text = dir.Read(name);
    return text.empty() || text.back() != '\n' ? 0 : static_cast<pid_t>(std::atoi(text.c_str()));
}

// Ends a process a failed test left behind.
class TProcessReaper {
public:
    void Watch(pid_t pid) { Pids.push_back(pid); }
    ~TProcessReaper() {
        for (pid_t pid : Pids)
            if (pid > 0 && !ProcessEnded(pid))
                kill(pid, SIGKILL);
    }

private:
    std::vector<pid_t> Pids;
};

} // namespace harbolt::test
