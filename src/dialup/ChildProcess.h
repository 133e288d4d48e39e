#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

// The commands of the phone book run as children of the program: /bin/sh -c COMMAND, each in a
// session (and process group) of its own, so that one that hangs can be killed together with
// everything it started. Every child is reaped by whoever owns it.
namespace harbolt {

class TShellProcess {
public:
    // Starts the command with exactly this environment (NAME=VALUE each). Standard input is
    // /dev/null, standard output goes where standard error goes, no other descriptor is inherited.
    // Returns nullptr and sets error (an errno value) when the shell cannot be started.
    static std::unique_ptr<TShellProcess>
    Start(const std::string& command, const std::vector<std::string>& environment, int& error);

    // A child still running is killed with its group and reaped.
    ~TShellProcess();

    TShellProcess(const TShellProcess&) = delete;
    TShellProcess& operator=(const TShellProcess&) = delete;

    pid_t Id() const { return Pid; }

    // Does not block: true once the child has ended and was reaped; WaitStatus() then tells how.
    bool Ended();
    int WaitStatus() const { return Status; }

    // SIGKILL to the whole group, then reap.
    void Kill();
    // SIGTERM to the whole group, up to `grace` for the child to end, then Kill().
    void Terminate(std::chrono::milliseconds grace);
    // Lets the child go on without this object: it is neither killed nor waited for.
    void Abandon() { Reaped = true; }

private:
    explicit TShellProcess(pid_t pid) : Pid(pid) {}

    const pid_t Pid;
    bool Reaped = false;
    int Status = 0;
};

struct TCommandOutcome {
    enum class TKind { Exited, Signalled, TimedOut, Cancelled, NotStarted };

    TKind Kind = TKind::NotStarted;
    int Value = 0; // exit status, signal number or errno, by Kind

    bool Succeeded() const { return Kind == TKind::Exited && Value == 0; }
    // "exit status 3", "killed by signal 9", "did not finish in time", ...
    std::string Describe() const;
};

// What a reaped child's wait status says.
TCommandOutcome OutcomeOfWaitStatus(int status);

// Starts all commands at once and waits for them, `limit` for all together. Those still running
// then are killed with their groups (TimedOut). When `cancel` becomes true the wait ends early and
// the ones still running are killed (Cancelled). One outcome per command, in order.
std::vector<TCommandOutcome> RunShellCommands(const std::vector<std::string>& commands,
                                              const std::vector<std::string>& environment,
                                              std::chrono::milliseconds limit,
                                              const std::atomic<bool>* cancel = nullptr);

// The program's environment without the variables named (read once, while no thread changes it).
std::vector<std::string> EnvironmentWithout(std::initializer_list<std::string_view> names);

// Sleeps between polls of children: starts short and grows to a few milliseconds, so a quick
// command is seen at once and a slow one costs little.
class TPollPause {
public:
    void Wait();

private:
    std::chrono::microseconds Next{500};
};

} // namespace harbolt
