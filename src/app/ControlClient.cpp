#include "app/ControlInternal.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>

namespace harbolt {

using namespace control;

namespace {

// A reply holds the whole property list with its dial-up records; far below this in practice.
constexpr std::size_t kControlReplyLimit = 16 * 1024 * 1024;

// One line of standard input, without its line end; typed without echo on a terminal.
bool ReadPassword(std::string& password, const char* prompt) {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) != 0 && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::cerr << prompt << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return read || !password.empty();
}

} // namespace

int RunControlClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                     std::chrono::milliseconds replyTime) {
    std::string dataDir;
    bool system = false;
    std::size_t first = 0;
    while (first < args.size()) {
        const std::string& word = args[first];
        if (word == "--help" || word == "-h") {
            PrintUsage(out);
            return 0;
        }
        if (word == "--system") {
            system = true;
            ++first;
            continue;
        }
        if (word == "--data-dir" || word.rfind("--data-dir=", 0) == 0) {
            const bool joined = word != "--data-dir";
            if (!joined && first + 1 >= args.size()) {
                err << "harbolt: --data-dir needs a directory\n";
                return 2;
            }
            dataDir = joined ? word.substr(std::strlen("--data-dir=")) : args[first + 1];
            if (dataDir.empty()) {
                err << "harbolt: --data-dir needs a directory\n";
                return 2;
            }
            first += joined ? 1 : 2;
            continue;
        }
        break;
    }
    if (system && !dataDir.empty() && dataDir != kSystemDataDirectory) {
        err << "harbolt: --system means --data-dir " << kSystemDataDirectory
            << "; give one of them\n";
        return 2;
    }
    // A directory the caller named: its instance may run as another user (see below).
    const bool named = system || !dataDir.empty();
    if (system)
        dataDir = kSystemDataDirectory;
    const std::vector<std::string> command(args.begin() + static_cast<std::ptrdiff_t>(first),
                                           args.end());
    // Bad words are told apart from a missing instance before anything is sent, and the whole
    // command is checked before a password is asked for.
    std::optional<std::string> password;
    switch (CheckControlCommand(command, err)) {
    case TCommandCheck::Unusable:
        return 2;
    case TCommandCheck::Ready:
        break;
    case TCommandCheck::NeedsPassword:
        // Never on the command line, where every user of the machine can read it.
        password.emplace();
        if (!ReadPassword(*password, command[0] == "lan-key" ? "LAN key: " : "Password: ")) {
            err << "harbolt: no " << (command[0] == "lan-key" ? "LAN key" : "password")
                << " on standard input\n";
            return 1;
        }
        break;
    }
    if (dataDir.empty())
        dataDir = DefaultDataDirectory();
    const std::string socketPath = ControlSocketPath(dataDir);
    const auto fail = [&err](const std::string& message) {
        err << "harbolt: " << message << "\n";
        return 1;
    };
    const std::string noInstance = "no Harbolt instance is running for " + dataDir;

    std::string request;
    try {
        request = ControlRequestText(command, password);
    } catch (const Exception& e) {
        return fail(e.what());
    }
    if (request.size() > kControlRequestLimit)
        return fail(std::string(password ? "the command with its password" : "the command") +
                    " is too long (a request holds at most " +
                    std::to_string(kControlRequestLimit) + " bytes)");

    struct stat found {};
    if (::lstat(socketPath.c_str(), &found) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return fail(noInstance + " (no control socket " + socketPath + ")");
        return fail("cannot use " + socketPath + ": " + ErrorText(errno));
    }
    if (!S_ISSOCK(found.st_mode))
        return fail("refusing to use " + socketPath + ": not a socket");
    // The own instance is the one expected. Another user's (the system service's, say) is used
    // only in a directory the caller named (--system, --data-dir), where the caller chose whom to
    // trust: only its owner can put a socket there. And only when the user who serves the socket
    // also owns the file, checked once connected: a stand-in listening on someone else's socket
    // does not receive the command or a password. The default directory is the caller's own, so
    // another user there is always refused.
    if (found.st_uid != ::geteuid() && !named)
        return fail("refusing to use " + socketPath + ": owned by uid " +
                    std::to_string(found.st_uid));
    sockaddr_un address{};
    if (!MakeAddress(socketPath, address))
        return fail("the control socket path is too long: " + socketPath);

    TDescriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection)
        return fail("cannot create a socket: " + ErrorText(errno));
    // A blocking connect waits while the backlog is full, at most this long.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(replyTime.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(replyTime.count() % 1000 * 1000);
    ::setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const auto deadline = TClock::now() + replyTime;
    const std::string noAnswer =
        "the instance at " + socketPath + " did not answer within " + SecondsText(replyTime);
    if (ConnectTo(connection.Get(), address) != 0) {
        if (errno == ECONNREFUSED || errno == ENOENT)
            return fail(noInstance + " (stale control socket " + socketPath + ")");
        if (errno == EAGAIN || errno == EINPROGRESS)
            return fail(noAnswer);
        return fail("cannot connect to " + socketPath + ": " + ErrorText(errno));
    }
    // The lstat above and the connect are two steps; the credentials name who answers.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return fail("cannot check who serves " + socketPath + ": " + ErrorText(errno));
    const std::string runsAs = ": the instance there runs as uid " + std::to_string(peer.uid);
    if (!named && peer.uid != ::geteuid())
        return fail("refusing to use " + socketPath + runsAs);
    if (named && peer.uid != found.st_uid)
        return fail("refusing to use " + socketPath +
                    (found.st_uid != ::geteuid() ? ": owned by uid " + std::to_string(found.st_uid)
                                                 : runsAs));
    ::fcntl(connection.Get(), F_SETFL, ::fcntl(connection.Get(), F_GETFL) | O_NONBLOCK);

    // A server that has answered already (a refusal, say) may have closed its end; its reply
    // can still be read, so a failed write is not the end.
    if (WriteAll(connection.Get(), -1, request, deadline) == TWait::TimedOut)
        return fail(noAnswer);
    ::shutdown(connection.Get(), SHUT_WR);

    std::string line;
    switch (ReadLine(connection.Get(), -1, kControlReplyLimit, deadline, line)) {
    case TReadEnd::Line:
        break;
    case TReadEnd::Closed:
        if (line.empty())
            return fail("the instance at " + socketPath + " closed the connection unanswered");
        break;
    case TReadEnd::TooLong:
        return fail("the reply of the instance is too long");
    case TReadEnd::TimedOut:
        return fail(noAnswer);
    case TReadEnd::Woken:
    case TReadEnd::Failed:
        return fail("cannot read the reply of the instance: " + ErrorText(errno));
    }
    const std::optional<TControlReply> reply = ParseControlReply(line);
    if (!reply)
        return fail("the instance sent an unreadable reply");
    // The instance frees this client's place before it closes the connection: waiting for the
    // close (briefly; the reply is whole already) lets a command that follows at once find it
    // free.
    std::string after;
    ReadLine(connection.Get(), -1, kControlReplyLimit,
             std::min(deadline, TClock::now() + std::chrono::seconds(1)), after);
    out << reply->Out;
    err << reply->Err;
    return reply->Exit;
}

} // namespace harbolt
