#pragma once

// `harbolt ctl`: a running instance answers commands on a Unix-domain socket in its data
// directory; the same executable, started with "ctl", is the client. ControlWire.h describes
// what travels on the socket.

#include "app/ControlWire.h"
#include "app/Instance.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace harbolt {

// The data directory of the system service: `harbolt ctl --system` stands for
// `harbolt ctl --data-dir` with it.
inline constexpr const char* kSystemDataDirectory = "/var/lib/harbolt";

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

// The group whose members may use the control socket (`harbolt --control-group`).
struct TControlGroup {
    std::string Name;
    gid_t Id = 0;
};

// The group of that name (or number); nullopt with the reason in error when the system has none.
std::optional<TControlGroup> LookUpControlGroup(const std::string& name, std::string& error);
// Whether the account of uid belongs to group, as its primary group or a supplementary one in
// the group database. False for a uid without an account.
bool UserInGroup(uid_t uid, gid_t group);
// Why members of group cannot reach the socket at socketPath: its directory does not let them
// search it. nullopt when they can (or the directory cannot be examined: Start reports that).
std::optional<std::string> ControlGroupReachWarning(const std::string& socketPath,
                                                    const TControlGroup& group);

struct TControlServerLimits {
    std::size_t MaxRequestBytes = kControlRequestLimit;
    // From accepting a connection until its request line is complete: `ctl` sends its request at
    // once, and an idle client holds a place no longer than this.
    std::chrono::milliseconds RequestTime{1000};
    // From posting a command until the main thread takes it up.
    std::chrono::milliseconds AnswerTime{10000};
    // For writing the reply.
    std::chrono::milliseconds ReplyTime{5000};
    // Clients served at once, each on a thread of its own. One more waits for a place (an idle
    // client gives its place up after RequestTime); when none is free within twice that, it is
    // refused with an error reply.
    std::size_t MaxClients = 16;
    // With a group the socket is made mode 0660 and given to it, and members of the group are
    // served as well as the instance's own user and root; without one it is mode 0600.
    std::optional<TControlGroup> Group{};
};

// The instance's side: accepts connections on its own thread and serves each on a thread of its
// own (at most MaxClients at once), so that a slow client holds up nobody else; checks that the
// peer runs as the same user, root or a member of the limits' group, and hands each command to the
// main thread through postToMainThread, which must be callable from any thread and run the task
// later on the main thread. The target is only ever used inside such tasks, so commands still run
// one at a time.
class TControlServer {
public:
    using TPostToMainThread = std::function<void(std::function<void()>)>;

    TControlServer(std::string socketPath, TPostToMainThread postToMainThread,
                   TControlTarget& target, TControlServerLimits limits = {});
    ~TControlServer();
    TControlServer(const TControlServer&) = delete;
    TControlServer& operator=(const TControlServer&) = delete;

    // Creates the socket (mode 0600, or 0660 owned by the limits' group) and starts serving. A
    // leftover socket of ours that nobody answers on is replaced; anything else at the path raises
    // Exception and is left alone.
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
    // still served after RequestTime. Serving thread only.
    void Dispatch(int descriptor);
    // Whether a place is free, waiting for one at most RequestTime. Serving thread only.
    bool WaitForPlace();
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
    // Signalled by a client thread as it gives up its place.
    std::mutex FPlaceLock;
    std::condition_variable FPlaceFreed;
};

constexpr std::chrono::milliseconds kControlClientReplyTime{15000};

// `harbolt ctl [--system | --data-dir DIR] COMMAND...`: args are the words after "ctl". Sends the
// command to the running instance of DIR (default DefaultDataDirectory(); --system:
// kSystemDataDirectory), with the password read from
// standard input when the command takes one, prints its answer and returns its exit status; 1
// when no instance answers, 2 on bad usage.
int RunControlClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                     std::chrono::milliseconds replyTime = kControlClientReplyTime);

// `harbolt ctl pac`: the proxy auto-config file that sends browsers to http ("PROXY host:port")
// and socks5 ("SOCKS5 host:port"), either of which may be empty, then DIRECT. Plain host names,
// names under .local and addresses in directNetworks ("a.b.c.d/n"; others are left out) go
// DIRECT. The endpoints must be host:port of letters, digits, '.', '-', '_' and ':' only.
std::string ProxyAutoConfigText(const std::string& http, const std::string& socks5,
                                const std::vector<std::string>& directNetworks);

} // namespace harbolt
