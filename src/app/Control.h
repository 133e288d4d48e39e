#pragma once

// `harbolt ctl`: a running instance answers commands on a Unix-domain socket in its data
// directory; the same executable, started with "ctl", is the client. ControlWire.h describes
// what travels on the socket.

#include "app/ControlWire.h"
#include "app/Instance.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace harbolt {

// Help lines of the commands of `harbolt ctl [--data-dir DIR] COMMAND`, one per command, built
// from the command table at start-up.
extern const char* const kControlCommandUsage;

// The control socket of the instance that uses dataDir.
std::string ControlSocketPath(const std::string& dataDir);

// The command table. Runs a command (args as after "ctl [--data-dir DIR]", password as the
// request carried it) against the instance; call it on the instance's main thread only. Returns
// 0 on success, 1 on failure with a message on err, 2 with the usage on err when the words do not
// form a command. A command that needs a password fails without one, and a password that the
// command does not take is refused: a command word is never taken for a password.
int RunControlCommand(TControlTarget& target, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err,
                      const std::optional<std::string>& password = std::nullopt);

struct TControlServerLimits {
    std::size_t MaxRequestBytes = kControlRequestLimit;
    // From accepting a connection until its request line is complete.
    std::chrono::milliseconds RequestTime{5000};
    // From posting a command until the main thread takes it up.
    std::chrono::milliseconds AnswerTime{10000};
    // For writing the reply.
    std::chrono::milliseconds ReplyTime{5000};
    // Clients served at once, each on a thread of its own; one more is refused with an error
    // reply.
    std::size_t MaxClients = 16;
};

// The instance's side: accepts connections on its own thread and serves each on a thread of its
// own (at most MaxClients at once), so that a slow client holds up nobody else; checks that the
// peer runs as the same user (or root), and hands each command to the main thread through
// postToMainThread, which must be callable from any thread and run the task later on the main
// thread. The target is only ever used inside such tasks, so commands still run one at a time.
class TControlServer {
public:
    using TPostToMainThread = std::function<void(std::function<void()>)>;

    TControlServer(std::string socketPath, TPostToMainThread postToMainThread,
                   TControlTarget& target, TControlServerLimits limits = {});
    ~TControlServer();
    TControlServer(const TControlServer&) = delete;
    TControlServer& operator=(const TControlServer&) = delete;

    // Creates the socket (mode 0600) and starts serving. A leftover socket of ours that nobody
    // answers on is replaced; anything else at the path raises Exception and is left alone.
    void Start();
    // Ends the serving thread promptly and removes the socket. Tasks it posted that have not run
    // yet do nothing when they run later. Call it from the thread that called Start (or from a
    // task on the main thread).
    void Stop();

    const std::string& SocketPath() const { return FSocketPath; }

private:
    struct TClient {
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Done;
    };

    void Serve();
    // Serves the accepted descriptor on a thread of its own, or refuses it when MaxClients are
    // served already. Serving thread only.
    void Dispatch(int descriptor);
    // Joins the client threads that have ended, or all of them. Serving thread only.
    void JoinClients(bool all);
    // Reads one request from the connection and writes its reply; what must run after the reply
    // (once the connection is closed) is left in afterReply.
    void ServeConnection(int connection, std::function<void()>& afterReply);
    // Hands what runs after a reply to the main thread; it does nothing once Stop has begun.
    void PostAfterReply(std::function<void()> afterReply);
    TControlReply Answer(std::vector<std::string> args, std::optional<std::string> password,
                         std::function<void()>& afterReply);

    const std::string FSocketPath;
    const TPostToMainThread FPostToMainThread;
    TControlTarget& FTarget;
    const TControlServerLimits FLimits;

    int FListenDescriptor = -1;
    int FWakeRead = -1; // a byte written to FWakeWrite wakes the serving thread for Stop
    int FWakeWrite = -1;
    std::uint64_t FSocketDevice = 0; // to remove only the socket file we made
    std::uint64_t FSocketInode = 0;
    std::atomic<bool> FStopping{false};
    // Shared with posted tasks: false once Stop has begun.
    std::shared_ptr<std::atomic<bool>> FLive;
    std::thread FThread;
    std::vector<TClient> FClients; // serving thread only
};

constexpr std::chrono::milliseconds kControlClientReplyTime{15000};

// `harbolt ctl [--data-dir DIR] COMMAND...`: args are the words after "ctl". Sends the command to
// the running instance of DIR (default DefaultDataDirectory()), with the password read from
// standard input when the command takes one, prints its answer and returns its exit status; 1
// when no instance answers, 2 on bad usage.
int RunControlClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                     std::chrono::milliseconds replyTime = kControlClientReplyTime);

} // namespace harbolt
