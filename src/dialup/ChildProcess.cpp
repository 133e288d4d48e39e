#include "dialup/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace harbolt {

namespace {

using TClock = std::chrono::steady_clock;

constexpr std::chrono::microseconds kLongestPollPause{10000};
// The wait status of "exit 255", for a child whose real status nobody can tell any more.
constexpr int kLostStatus = 255 << 8;

// posix_spawn's attribute and file-action objects, destroyed on every path.
class TSpawnSetup {
public:
    TSpawnSetup() {
        posix_spawnattr_init(&Attributes);
        posix_spawn_file_actions_init(&Actions);
    }
    ~TSpawnSetup() {
        posix_spawn_file_actions_destroy(&Actions);
        posix_spawnattr_destroy(&Attributes);
    }
    TSpawnSetup(const TSpawnSetup&) = delete;
    TSpawnSetup& operator=(const TSpawnSetup&) = delete;

    // 0 or an errno value.
    int Prepare() {
        // A session of its own makes the child the leader of a new process group: killing that
        // group reaches the shell and whatever it started. Signal mask and dispositions start
        // clean, whatever the program has blocked or caught.
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        int error = posix_spawnattr_setflags(
            &Attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (error == 0)
            error = posix_spawnattr_setsigmask(&Attributes, &none);
        if (error == 0)
            error = posix_spawnattr_setsigdefault(&Attributes, &all);
        if (error == 0)
            error =
                posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        // The program's standard output may be a protocol (ctl --json); the user still sees what
        // a command says, on standard error.
        if (error == 0)
            error = posix_spawn_file_actions_adddup2(&Actions, STDERR_FILENO, STDOUT_FILENO);
        // Sockets and files of the program stay with the program, even those opened without
        // O_CLOEXEC.
        if (error == 0)
            error = posix_spawn_file_actions_addclosefrom_np(&Actions, STDERR_FILENO + 1);
        return error;
    }

    posix_spawnattr_t Attributes;
    posix_spawn_file_actions_t Actions;
};

} // namespace

std::unique_ptr<TShellProcess> TShellProcess::Start(const std::string& command,
                                                    const std::vector<std::string>& environment,
                                                    int& error) {
    TSpawnSetup setup;
    error = setup.Prepare();
    if (error != 0)
        return nullptr;

    std::string shell = "/bin/sh";
    std::string option = "-c";
    std::string text = command;
    char* const arguments[] = {shell.data(), option.data(), text.data(), nullptr};
    std::vector<std::string> variables = environment;
    std::vector<char*> variablePointers;
    for (std::string& variable : variables)
        variablePointers.push_back(variable.data());
    variablePointers.push_back(nullptr);

    pid_t pid = 0;
    error = posix_spawn(&pid, shell.c_str(), &setup.Actions, &setup.Attributes, arguments,
                        variablePointers.data());
    if (error != 0)
        return nullptr;
    return std::unique_ptr<TShellProcess>(new TShellProcess(pid));
}

TShellProcess::~TShellProcess() {
    if (!Reaped)
        Kill();
}

bool TShellProcess::Ended() {
    if (Reaped)
        return true;
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(Pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == Pid || (result < 0 && errno == ECHILD)) {
        // ECHILD: somebody else reaped it (SIGCHLD ignored). Its status is lost; count it as a
        // failure rather than as success.
        Reaped = true;
        Status = result == Pid ? status : kLostStatus;
    }
    return Reaped;
}

void TShellProcess::Kill() {
    if (Reaped)
        return;
    // Until it is reaped, the child's id (and with it the group's) cannot be reused.
    kill(-Pid, SIGKILL);
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(Pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    Reaped = true;
    Status = result == Pid ? status : kLostStatus;
}

void TShellProcess::Terminate(std::chrono::milliseconds grace) {
    if (Ended())
        return;
    kill(-Pid, SIGTERM);
    const auto deadline = TClock::now() + grace;
    TPollPause pause;
    while (!Ended() && TClock::now() < deadline)
        pause.Wait();
    Kill();
}

std::string TCommandOutcome::Describe() const {
    switch (Kind) {
    case TKind::Exited:
        return "exit status " + std::to_string(Value);
    case TKind::Signalled: {
        const char* name = sigabbrev_np(Value);
        return "killed by signal " + std::to_string(Value) +
               (name != nullptr ? std::string(" (SIG") + name + ")" : std::string());
    }
    case TKind::TimedOut:
        return "did not finish in time";
    case TKind::Cancelled:
        return "cancelled";
    case TKind::NotStarted:
        return std::string("could not be started: ") + std::strerror(Value);
    }
    return {};
}

TCommandOutcome OutcomeOfWaitStatus(int status) {
    if (WIFSIGNALED(status))
        return {TCommandOutcome::TKind::Signalled, WTERMSIG(status)};
    return {TCommandOutcome::TKind::Exited, WIFEXITED(status) ? WEXITSTATUS(status) : 0};
}

std::vector<TCommandOutcome> RunShellCommands(const std::vector<std::string>& commands,
                                              const std::vector<std::string>& environment,
                                              std::chrono::milliseconds limit,
                                              const std::atomic<bool>* cancel) {
    const auto deadline = TClock::now() + limit;
    std::vector<TCommandOutcome> outcomes(commands.size());
    std::vector<std::unique_ptr<TShellProcess>> children(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        int error = 0;
        children[i] = TShellProcess::Start(commands[i], environment, error);
        if (!children[i])
            outcomes[i] = {TCommandOutcome::TKind::NotStarted, error};
    }

    TPollPause pause;
    for (;;) {
        bool running = false;
        for (std::size_t i = 0; i < children.size(); ++i) {
            if (!children[i])
                continue;
            if (children[i]->Ended()) {
                outcomes[i] = OutcomeOfWaitStatus(children[i]->WaitStatus());
                children[i].reset();
            } else {
                running = true;
            }
        }
        if (!running)
            break;
        const bool cancelled = cancel != nullptr && cancel->load();
        if (cancelled || TClock::now() >= deadline) {
            for (std::size_t i = 0; i < children.size(); ++i) {
                if (!children[i])
                    continue;
                children[i]->Kill();
                children[i].reset();
                outcomes[i] = {cancelled ? TCommandOutcome::TKind::Cancelled
                                         : TCommandOutcome::TKind::TimedOut,
                               0};
            }
            break;
        }
        pause.Wait();
    }
    return outcomes;
}

std::vector<std::string> EnvironmentWithout(std::initializer_list<std::string_view> names) {
    std::vector<std::string> result;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        const std::string_view text(*variable);
        const std::string_view name = text.substr(0, text.find('='));
        bool dropped = false;
        for (std::string_view unwanted : names)
            dropped = dropped || name == unwanted;
        if (!dropped)
            result.emplace_back(text);
    }
    return result;
}

void TPollPause::Wait() {
    std::this_thread::sleep_for(Next);
    Next = std::min(Next * 2, kLongestPollPause);
}

} // namespace harbolt
