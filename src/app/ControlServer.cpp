#include "app/ControlInternal.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace harbolt {

namespace control {

std::string ErrorText(int error) {
    return std::strerror(error);
}

std::string SecondsText(std::chrono::milliseconds time) {
    if (time.count() % 1000 != 0)
        return std::to_string(time.count()) + " ms";
    const auto seconds = time.count() / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

namespace {

int MillisecondsUntil(TClock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Waits until descriptor is ready for events, the deadline passes, or wake (when >= 0) is
// readable. Hang-ups and errors count as ready: the next read or write reports them.
TWait WaitFor(int descriptor, short events, int wake, TClock::time_point deadline) {
    for (;;) {
        pollfd watched[2] = {{descriptor, events, 0}, {wake, POLLIN, 0}};
        const int result = ::poll(watched, wake >= 0 ? 2 : 1, MillisecondsUntil(deadline));
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return TWait::Failed;
        }
        if (wake >= 0 && watched[1].revents != 0)
            return TWait::Woken;
        if (watched[0].revents != 0)
            return TWait::Ready;
        if (TClock::now() >= deadline)
            return TWait::TimedOut;
    }
}

} // namespace

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path ||
        path.find('\0') != std::string::npos)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

int ConnectTo(int descriptor, const sockaddr_un& address) {
    return ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

TReadEnd ReadLine(int descriptor, int wake, std::size_t limit, TClock::time_point deadline,
                  std::string& line) {
    line.clear();
    char buffer[4096];
    for (;;) {
        switch (WaitFor(descriptor, POLLIN, wake, deadline)) {
        case TWait::Ready:
            break;
        case TWait::TimedOut:
            return TReadEnd::TimedOut;
        case TWait::Woken:
            return TReadEnd::Woken;
        case TWait::Failed:
            return TReadEnd::Failed;
        }
        const std::size_t room = std::min(sizeof buffer, limit - line.size());
        const ssize_t count = ::recv(descriptor, buffer, room, 0);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return TReadEnd::Failed;
        }
        if (count == 0)
            return TReadEnd::Closed;
        const std::string_view got(buffer, static_cast<std::size_t>(count));
        const std::size_t lineFeed = got.find('\n');
        if (lineFeed != std::string_view::npos) {
            line.append(got.substr(0, lineFeed));
            return TReadEnd::Line;
        }
        line.append(got);
        if (line.size() >= limit)
            return TReadEnd::TooLong;
    }
}

TWait WriteAll(int descriptor, int wake, std::string_view data, TClock::time_point deadline) {
    while (!data.empty()) {
        const ssize_t count = ::send(descriptor, data.data(), data.size(), MSG_NOSIGNAL);
        if (count >= 0) {
            data.remove_prefix(static_cast<std::size_t>(count));
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return TWait::Failed;
        const TWait waited = WaitFor(descriptor, POLLOUT, wake, deadline);
        if (waited != TWait::Ready)
            return waited;
    }
    return TWait::Ready;
}

} // namespace control

using namespace control;

namespace {

TControlReply Failure(const std::string& message) {
    return {1, "", "harbolt: " + message + "\n"};
}

// One command on its way through the main thread. The serving thread and the main-thread task
// share it; whichever comes first decides whether the command runs at all.
struct TPendingCommand {
    enum class TState { Queued, Running, Done, Abandoned };

    std::mutex Lock;
    std::condition_variable Changed;
    TState State = TState::Queued;
    std::vector<std::string> Args;
    std::optional<std::string> Password;
    TControlReply Reply;
    std::function<void()> AfterReply;

    // On the main thread.
    void Run(TControlTarget& target, const std::atomic<bool>& live) {
        {
            std::lock_guard<std::mutex> guard(Lock);
            // Given up on, or the server stopped: a late command would surprise everyone.
            if (State != TState::Queued || !live.load())
                return;
            State = TState::Running;
        }
        std::ostringstream out;
        std::ostringstream err;
        std::function<void()> afterReply;
        const int exit = RunCommand(target, Args, Password, out, err, afterReply);
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (State != TState::Running)
                return; // abandoned by Stop while it ran; nobody waits for the reply
            Reply = {exit, out.str(), err.str()};
            AfterReply = std::move(afterReply);
            State = TState::Done;
        }
        Changed.notify_all();
    }
};

} // namespace

std::optional<TControlGroup> LookUpControlGroup(const std::string& name, std::string& error) {
    if (name.empty()) {
        error = "--control-group needs a group name";
        return std::nullopt;
    }
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    int result = 0;
    while ((result = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < (1u << 22))
        buffer.resize(buffer.size() * 2);
    if (found != nullptr)
        return TControlGroup{name, entry.gr_gid};
    // A number names a group too, as it does for chgrp.
    if (name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
        const unsigned long id = std::stoul(name);
        if (::getgrgid_r(static_cast<gid_t>(id), &entry, buffer.data(), buffer.size(), &found) ==
                0 &&
            found != nullptr)
            return TControlGroup{entry.gr_name, entry.gr_gid};
    }
    error = "--control-group: no group '" + name + "' on this system" +
            (result != 0 ? " (" + ErrorText(result) + ")" : std::string());
    return std::nullopt;
}

bool UserInGroup(uid_t uid, gid_t wanted) {
    std::vector<char> buffer(16384);
    passwd account{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &account, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 22))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr)
        return false;
    if (account.pw_gid == wanted)
        return true;
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(account.pw_name, account.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return std::find(groups.begin(), groups.end(), wanted) != groups.end();
        }
        // Too small: count now says how many there are.
        groups.resize(std::max(static_cast<std::size_t>(count), groups.size() * 2));
    }
    return false;
}

std::optional<std::string> ControlGroupReachWarning(const std::string& socketPath,
                                                    const TControlGroup& group) {
    const std::size_t slash = socketPath.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string(".")
                                  : slash == 0               ? std::string("/")
                                                             : socketPath.substr(0, slash);
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0)
        return std::nullopt;
    // A member who is not the owner searches by the group bits when the directory is of the
    // group, else by the others' bits.
    const bool searchable =
        (info.st_gid == group.Id ? (info.st_mode & S_IXGRP) != 0 : (info.st_mode & S_IXOTH) != 0);
    if (searchable)
        return std::nullopt;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "members of group " + group.Name + " cannot reach the control socket: " + directory +
           " (mode " + mode + ", group id " + std::to_string(info.st_gid) +
           ") does not let them search it; it is left as it is (chgrp " + group.Name + " and " +
           "chmod 0750 open the way)";
}

std::string ControlSocketPath(const std::string& dataDir) {
    return FileInDirectory(dataDir, "harbolt.ctl");
}

TControlServer::TControlServer(std::string socketPath, TPostToMainThread postToMainThread,
                               TControlTarget& target, TControlServerLimits limits)
    : FSocketPath(std::move(socketPath)), FPostToMainThread(std::move(postToMainThread)),
      FTarget(target), FLimits(limits) {}

TControlServer::~TControlServer() {
    Stop();
}

void TControlServer::Start() {
    if (FThread.joinable())
        return;
    sockaddr_un address{};
    if (!MakeAddress(FSocketPath, address))
        throw Exception("the control socket path is too long: " + FSocketPath);
    const char* const path = FSocketPath.c_str();
    struct stat found {};
    if (::lstat(path, &found) == 0) {
        if (!S_ISSOCK(found.st_mode))
            throw Exception("refusing to replace " + FSocketPath + ": not a socket");
        if (found.st_uid != ::geteuid())
            throw Exception("refusing to replace " + FSocketPath + ": owned by uid " +
                            std::to_string(found.st_uid));
        TDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        // A full backlog (EAGAIN) still means somebody listens.
        if (probe && (ConnectTo(probe.Get(), address) == 0 || errno == EAGAIN))
            throw Exception("another instance answers on " + FSocketPath);
        // Left behind by an instance that ended without removing it.
        if (::unlink(path) != 0 && errno != ENOENT)
            throw Exception("cannot remove the old control socket " + FSocketPath + ": " +
                            ErrorText(errno));
    } else if (errno != ENOENT) {
        throw Exception("cannot use " + FSocketPath + ": " + ErrorText(errno));
    }

    TDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener)
        throw Exception("cannot create the control socket: " + ErrorText(errno));
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw Exception("cannot create the control socket " + FSocketPath + ": " +
                        ErrorText(errno));
    // From here on a failure must not leave the socket file behind.
    const auto fail = [&](const std::string& what) {
        const int error = errno;
        ::unlink(path);
        throw Exception(what + " " + FSocketPath + ": " + ErrorText(error));
    };
    // The data directory is private already; this keeps the socket private wherever it lies.
    // With a group, its members may connect (the peer check below still decides who is served).
    struct stat made {};
    if (FLimits.Group && ::lchown(path, static_cast<uid_t>(-1), FLimits.Group->Id) != 0) {
        const int error = errno;
        ::unlink(path);
        throw Exception("cannot give the control socket " + FSocketPath + " to group " +
                        FLimits.Group->Name + ": " + ErrorText(error) +
                        (error == EPERM ? " (the instance's user must belong to the group)" : ""));
    }
    if (::chmod(path, FLimits.Group ? 0660 : 0600) != 0 || ::lstat(path, &made) != 0)
        fail("cannot protect the control socket");
    if (::listen(listener.Get(), SOMAXCONN) != 0)
        fail("cannot listen on the control socket");
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        fail("cannot serve the control socket");
    TDescriptor wakeRead(wake[0]);
    TDescriptor wakeWrite(wake[1]);

    FStopping = false;
    FLive = std::make_shared<std::atomic<bool>>(true);
    FListenDescriptor = listener.Get();
    FWakeRead = wakeRead.Get();
    FSocketDevice = made.st_dev;
    FSocketInode = made.st_ino;
    try {
        FThread = std::thread([this] {
            Serve();
            // The wake pipe stays readable, so every client thread ends promptly too.
            JoinClients(true);
        });
    } catch (const std::system_error& e) {
        FListenDescriptor = FWakeRead = -1;
        ::unlink(path);
        throw Exception("cannot serve the control socket " + FSocketPath + ": " + e.what());
    }
    listener.Release();
    wakeRead.Release();
    FWakeWrite = wakeWrite.Release();
}

void TControlServer::Stop() {
    if (!FThread.joinable())
        return;
    {
        const std::lock_guard lock(FPlaceLock);
        FStopping = true;
    }
    FPlaceFreed.notify_all();
    FLive->store(false);
    const char byte = 1;
    // A full pipe wakes the thread just as well.
    [[maybe_unused]] const ssize_t written = ::write(FWakeWrite, &byte, 1);
    FThread.join();
    for (int* descriptor : {&FListenDescriptor, &FWakeRead, &FWakeWrite}) {
        ::close(*descriptor);
        *descriptor = -1;
    }
    // Only the file we made: a later instance may have put its own socket there.
    struct stat found {};
    if (::lstat(FSocketPath.c_str(), &found) == 0 && found.st_dev == FSocketDevice &&
        found.st_ino == FSocketInode)
        ::unlink(FSocketPath.c_str());
}

void TControlServer::Serve() {
    while (!FStopping) {
        pollfd watched[2] = {{FListenDescriptor, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (watched[1].revents != 0)
            return;
        if (watched[0].revents == 0)
            continue;
        const int connection =
            ::accept4(FListenDescriptor, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0) {
            // Out of descriptors: the listener stays readable, so do not spin on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        JoinClients(false);
        Dispatch(connection);
    }
}

void TControlServer::Dispatch(int descriptor) {
    TDescriptor connection(descriptor);
    const auto refuse = [&](const std::string& why) {
        // A reply this short fits the socket's buffer: no waiting.
        WriteAll(connection.Get(), -1, ControlReplyText(Failure(why)), TClock::now());
    };
    if (!WaitForPlace()) {
        refuse("busy: " + std::to_string(FLimits.MaxClients) +
               " control clients are served already; try again");
        return;
    }
    try {
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([this, descriptor, done] {
            TDescriptor served(descriptor);
            std::function<void()> afterReply;
            try {
                ServeConnection(served.Get(), afterReply);
            } catch (const std::exception&) {
                // One failed exchange (out of memory, say) must not end the service.
            }
            // The place is free before the client sees the end of its reply, so that a client
            // that comes right after it is not turned away as one too many.
            {
                const std::lock_guard lock(FPlaceLock);
                done->store(true);
            }
            FPlaceFreed.notify_all();
            served.Reset();
            // The reply is out and the connection closed before, say, a quit can end the server.
            // Even when the client went away the command stands: it ran already.
            if (afterReply)
                PostAfterReply(std::move(afterReply));
        });
        connection.Release(); // the thread owns it now
        FClients.push_back({std::move(thread), std::move(done)});
    } catch (const std::exception& e) {
        refuse(std::string("cannot serve the request: ") + e.what());
    }
}

bool TControlServer::WaitForPlace() {
    const auto placeFree = [this] {
        return std::any_of(FClients.begin(), FClients.end(),
                           [](const TClient& client) { return client.Done->load(); });
    };
    if (FClients.size() >= FLimits.MaxClients) {
        // Every idle client gives its place up within RequestTime of its arrival, which was
        // before this one's; twice that leaves its thread room to be scheduled.
        std::unique_lock lock(FPlaceLock);
        FPlaceFreed.wait_for(lock, 2 * FLimits.RequestTime,
                             [&] { return FStopping.load() || placeFree(); });
    }
    JoinClients(false);
    return FClients.size() < FLimits.MaxClients;
}

void TControlServer::JoinClients(bool all) {
    for (auto client = FClients.begin(); client != FClients.end();) {
        if (all || client->Done->load()) {
            client->Thread.join();
            client = FClients.erase(client);
        } else {
            ++client;
        }
    }
}

void TControlServer::ServeConnection(int connection, std::function<void()>& afterReply) {
    const auto replyNow = [&](const TControlReply& reply) {
        WriteAll(connection, -1, ControlReplyText(reply), TClock::now());
    };

    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return;
    // A process that holds the group (its effective group, as sg gives it) counts like a member.
    const bool member = FLimits.Group &&
                        (peer.gid == FLimits.Group->Id || UserInGroup(peer.uid, FLimits.Group->Id));
    if (peer.uid != ::geteuid() && peer.uid != 0 && !member) {
        replyNow(Failure("this instance belongs to another user"));
        return;
    }

    std::string request;
    switch (ReadLine(connection, FWakeRead, FLimits.MaxRequestBytes,
                     TClock::now() + FLimits.RequestTime, request)) {
    case TReadEnd::Line:
        break;
    case TReadEnd::Closed:
        if (request.empty())
            return;
        break; // a request without its line feed is still whole
    case TReadEnd::TooLong:
        replyNow(Failure("the request is longer than " + std::to_string(FLimits.MaxRequestBytes) +
                         " bytes"));
        return;
    case TReadEnd::TimedOut:
        replyNow(Failure("no complete request within " + SecondsText(FLimits.RequestTime)));
        return;
    case TReadEnd::Woken:
        replyNow(Failure("the instance is shutting down"));
        return;
    case TReadEnd::Failed:
        return;
    }

    std::optional<std::string> password;
    std::optional<std::vector<std::string>> args = ParseControlRequest(request, &password);
    if (!args) {
        replyNow(Failure("unreadable control request"));
        return;
    }
    const TControlReply reply = Answer(std::move(*args), std::move(password), afterReply);
    WriteAll(connection, FWakeRead, ControlReplyText(reply), TClock::now() + FLimits.ReplyTime);
}

void TControlServer::PostAfterReply(std::function<void()> afterReply) {
    const std::shared_ptr<std::atomic<bool>> live = FLive;
    FPostToMainThread([live, afterReply = std::move(afterReply)] {
        if (!live->load())
            return;
        try {
            afterReply();
        } catch (const std::exception& e) {
            std::cerr << "harbolt: " << e.what() << "\n";
        }
    });
}

TControlReply TControlServer::Answer(std::vector<std::string> args,
                                     std::optional<std::string> password,
                                     std::function<void()>& afterReply) {
    const auto pending = std::make_shared<TPendingCommand>();
    pending->Args = std::move(args);
    pending->Password = std::move(password);
    TControlTarget* const target = &FTarget;
    const std::shared_ptr<std::atomic<bool>> live = FLive;
    try {
        FPostToMainThread([pending, target, live] { pending->Run(*target, *live); });
    } catch (const std::exception& e) {
        return Failure(std::string("cannot reach the main thread: ") + e.what());
    }
    const auto deadline = TClock::now() + FLimits.AnswerTime;
    std::unique_lock<std::mutex> lock(pending->Lock);
    using TState = TPendingCommand::TState;
    while (pending->State != TState::Done) {
        if (FStopping) {
            pending->State = TState::Abandoned;
            return Failure("the instance is shutting down");
        }
        // Once taken up, a command runs to its end; the table holds no long ones.
        if (pending->State == TState::Queued && TClock::now() >= deadline) {
            pending->State = TState::Abandoned;
            return Failure("the instance did not answer within " + SecondsText(FLimits.AnswerTime));
        }
        // Short steps keep Stop prompt.
        pending->Changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    afterReply = std::move(pending->AfterReply);
    return pending->Reply;
}

} // namespace harbolt
