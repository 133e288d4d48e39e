// Load generator and target for the proxy benchmark (tools/bench/proxy_bench.sh). Three modes:
//
//   tunnel_load serve --host ADDR --sink PORT --echo PORT
//       The target. The sink port takes "STREAM <bytes>\n" and then that many bytes of the
//       pattern, checks every byte and answers "OK <bytes> <bad bytes>\n". The echo port sends
//       back whatever arrives. One epoll loop serves any number of connections; "ready" on
//       standard output once both ports listen; it runs until a signal ends it.
//
//   tunnel_load stream --connect ADDR:PORT --bytes N [--timeout S]
//       One connection pushing N bytes to a sink; waits for the receipt and prints
//       "stream bytes=N seconds=T mbps=X".
//
//   tunnel_load conns --connect ADDR:PORT --count N [--window W] [--size BYTES] [--timeout S]
//                     [--settle-ms MS] [--watch NAME=PID]... [--watch-tree NAME=PID]...
//       Opens N connections to an echo port, at most W of them being set up at a time (connect
//       plus the first echo of a message), keeps them all open, reads the memory of the watched
//       processes (a process alone, or with all its descendants: resident memory, threads and
//       open descriptors), then sends a second message on every connection at once and checks
//       every echo. Prints "key=value" lines.
//
// Exit status: 0 when every byte and every echo arrived as sent, 1 otherwise, 2 for bad usage.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPatternPeriod = 251; // a prime, so the pattern never lines up with block sizes
constexpr std::size_t kBlock = 65536;
constexpr std::size_t kMaxHeader = 64;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Byte i of every stream is i % 251; this buffer holds enough of the pattern that any block of
// up to kBlock bytes starting at any stream offset is one slice of it.
const std::vector<char>& Pattern() {
    static const std::vector<char> pattern = [] {
        std::vector<char> bytes(kBlock + kPatternPeriod);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i % kPatternPeriod);
        return bytes;
    }();
    return pattern;
}

const char* PatternAt(std::uint64_t offset) {
    return Pattern().data() + offset % kPatternPeriod;
}

// How many bytes of data differ from the pattern at stream offset `offset`.
std::uint64_t CountBadBytes(const char* data, std::size_t length, std::uint64_t offset) {
    std::uint64_t bad = 0;
    while (length > 0) {
        const std::size_t piece = std::min(length, kBlock);
        const char* expected = PatternAt(offset);
        if (std::memcmp(data, expected, piece) != 0)
            for (std::size_t i = 0; i < piece; ++i)
                bad += data[i] != expected[i] ? 1 : 0;
        data += piece;
        offset += piece;
        length -= piece;
    }
    return bad;
}

bool ParseNumber(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool ParseAddress(const std::string& host, std::uint64_t port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    if (port == 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return false;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return true;
}

// "a.b.c.d:port"; numeric only, so no name server is ever asked.
bool ParseEndpoint(const std::string& text, sockaddr_in& address) {
    const std::size_t colon = text.rfind(':');
    std::uint64_t port = 0;
    return colon != std::string::npos &&
           ParseNumber(std::string_view(text).substr(colon + 1), port) &&
           ParseAddress(text.substr(0, colon), port, address);
}

std::string ErrnoName(int error) {
    switch (error) {
    case ECONNREFUSED:
        return "refused";
    case ECONNRESET:
    case EPIPE:
        return "reset";
    case ETIMEDOUT:
        return "timed-out";
    case EMFILE:
    case ENFILE:
        return "out-of-descriptors";
    case EADDRNOTAVAIL:
        return "no-local-port";
    default:
        return "errno-" + std::to_string(error);
    }
}

// ---------------------------------------------------------------------------------------------
// serve

struct TServed {
    int Fd = -1;
    bool Sink = false;
    // Sink: the header as it arrives, then the payload count.
    std::string Header;
    bool HeaderDone = false;
    std::uint64_t Expected = 0;
    std::uint64_t Received = 0;
    std::uint64_t Bad = 0;
    bool Answered = false;
    // Bytes waiting to be written (echoes, the receipt).
    std::string Out;
    std::size_t OutOffset = 0;
};

class TServer {
public:
    // Returns only when it cannot listen; otherwise serves until a signal ends the process.
    int Run(const std::string& host, std::uint64_t sinkPort, std::uint64_t echoPort);

private:
    int Listen(const std::string& host, std::uint64_t port);
    void AcceptAll(int listener, bool sink);
    void Readable(TServed& served);
    void ConsumeSink(TServed& served, const char* data, std::size_t length);
    // Writes what is pending; false when the connection failed.
    bool Drain(TServed& served);
    void Watch(TServed& served);
    void Close(int fd);

    int Epoll = -1;
    int SinkListener = -1;
    int EchoListener = -1;
    std::unordered_map<int, std::unique_ptr<TServed>> Connections;
    std::vector<char> Buffer = std::vector<char>(4 * kBlock);
};

int TServer::Listen(const std::string& host, std::uint64_t port) {
    sockaddr_in address{};
    if (!ParseAddress(host, port, address)) {
        std::fprintf(stderr, "tunnel_load: bad address %s:%llu\n", host.c_str(),
                     static_cast<unsigned long long>(port));
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        std::fprintf(stderr, "tunnel_load: cannot listen on %s:%llu: %s\n", host.c_str(),
                     static_cast<unsigned long long>(port), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(Epoll, EPOLL_CTL_ADD, fd, &event);
    return fd;
}

void TServer::Watch(TServed& served) {
    epoll_event event{};
    // While output is pending, reading pauses: an echo client that does not read cannot make
    // the server hoard its bytes.
    event.events = served.Out.size() > served.OutOffset ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
    event.data.fd = served.Fd;
    ::epoll_ctl(Epoll, EPOLL_CTL_MOD, served.Fd, &event);
}

void TServer::AcceptAll(int listener, bool sink) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                std::fprintf(stderr, "tunnel_load: accept: %s\n", std::strerror(errno));
            return;
        }
        auto served = std::make_unique<TServed>();
        served->Fd = fd;
        served->Sink = sink;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.fd = fd;
        ::epoll_ctl(Epoll, EPOLL_CTL_ADD, fd, &event);
        Connections[fd] = std::move(served);
    }
}

void TServer::Close(int fd) {
    ::epoll_ctl(Epoll, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    Connections.erase(fd);
}

bool TServer::Drain(TServed& served) {
    while (served.OutOffset < served.Out.size()) {
        const ssize_t sent = ::send(served.Fd, served.Out.data() + served.OutOffset,
                                    served.Out.size() - served.OutOffset, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EINTR)
                continue;
            return false;
        }
        served.OutOffset += static_cast<std::size_t>(sent);
    }
    if (served.OutOffset == served.Out.size()) {
        served.Out.clear();
        served.OutOffset = 0;
    }
    Watch(served);
    return true;
}

void TServer::ConsumeSink(TServed& served, const char* data, std::size_t length) {
    while (!served.HeaderDone && length > 0) {
        const char c = *data++;
        --length;
        if (c != '\n' && served.Header.size() < kMaxHeader) {
            served.Header.push_back(c);
            continue;
        }
        served.HeaderDone = true;
        const std::string_view header(served.Header);
        if (c != '\n' || header.substr(0, 7) != "STREAM " ||
            !ParseNumber(header.substr(7), served.Expected)) {
            std::fprintf(stderr, "tunnel_load: sink: bad header '%s'\n", served.Header.c_str());
            served.Expected = 0;
            served.Bad = 1;
        }
    }
    if (!served.HeaderDone)
        return;
    // Payload beyond the announced count is counted as bad, byte for byte.
    const std::uint64_t wanted =
        served.Expected > served.Received ? served.Expected - served.Received : 0;
    const std::size_t inside = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, length));
    if (inside > 0)
        served.Bad += CountBadBytes(data, inside, served.Received);
    served.Bad += length - inside;
    served.Received += length;
    if (!served.Answered && served.Received >= served.Expected) {
        served.Answered = true;
        served.Out +=
            "OK " + std::to_string(served.Received) + " " + std::to_string(served.Bad) + "\n";
    }
}

void TServer::Readable(TServed& served) {
    // A bounded number of reads per wake-up keeps one fast stream from starving the others.
    for (int round = 0; round < 16; ++round) {
        // Echoes must not outgrow what the client reads back.
        const std::size_t room = served.Sink ? Buffer.size() : kBlock;
        const ssize_t got = ::recv(served.Fd, Buffer.data(), room, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            if (served.Sink && served.Received < served.Expected)
                std::fprintf(stderr,
                             "tunnel_load: sink: connection ended after %llu of %llu bytes\n",
                             static_cast<unsigned long long>(served.Received),
                             static_cast<unsigned long long>(served.Expected));
            Close(served.Fd);
            return;
        }
        if (got < 0)
            break;
        const auto length = static_cast<std::size_t>(got);
        if (served.Sink)
            ConsumeSink(served, Buffer.data(), length);
        else
            served.Out.append(Buffer.data(), length);
        if (!served.Out.empty()) {
            if (!Drain(served)) {
                Close(served.Fd);
                return;
            }
            if (!served.Out.empty())
                return; // waits for room before reading on
        }
        if (length < room)
            break;
    }
}

int TServer::Run(const std::string& host, std::uint64_t sinkPort, std::uint64_t echoPort) {
    Epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (Epoll < 0) {
        std::perror("tunnel_load: epoll_create1");
        return 1;
    }
    SinkListener = Listen(host, sinkPort);
    EchoListener = Listen(host, echoPort);
    if (SinkListener < 0 || EchoListener < 0)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<epoll_event> events(256);
    for (;;) {
        const int count = ::epoll_wait(Epoll, events.data(), static_cast<int>(events.size()), 200);
        for (int i = 0; i < count; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
            if (fd == SinkListener || fd == EchoListener) {
                AcceptAll(fd, fd == SinkListener);
                continue;
            }
            const auto found = Connections.find(fd);
            if (found == Connections.end())
                continue;
            TServed& served = *found->second;
            if ((what & EPOLLOUT) != 0) {
                if (!Drain(served)) {
                    Close(fd);
                    continue;
                }
            }
            if ((what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 &&
                served.Out.size() <= served.OutOffset)
                Readable(served);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// stream

// Waits for fd to become ready for `events` until the deadline; false on time-out.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 200)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// Connects a non-blocking socket within the deadline; -1 with the reason in `failure`.
int ConnectBefore(const sockaddr_in& address, Clock::time_point deadline, std::string& failure) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        failure = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!WaitFor(fd, POLLOUT, deadline)) {
        failure = "connect: no answer before the time limit";
        ::close(fd);
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        failure = std::string("connect: ") + std::strerror(error);
        ::close(fd);
        return -1;
    }
    return fd;
}

int RunStream(const sockaddr_in& address, std::uint64_t bytes, double timeout) {
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    std::string failure;
    const int fd = ConnectBefore(address, deadline, failure);
    if (fd < 0) {
        std::fprintf(stderr, "tunnel_load: stream: %s\n", failure.c_str());
        return 1;
    }
    const std::string header = "STREAM " + std::to_string(bytes) + "\n";
    std::uint64_t headerSent = 0;
    std::uint64_t sent = 0;
    while (headerSent < header.size() || sent < bytes) {
        const char* data;
        std::size_t length;
        if (headerSent < header.size()) {
            data = header.data() + headerSent;
            length = header.size() - headerSent;
        } else {
            data = PatternAt(sent);
            length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, bytes - sent));
        }
        const ssize_t done = ::send(fd, data, length, MSG_NOSIGNAL);
        if (done < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            const bool full = error == EAGAIN || error == EWOULDBLOCK;
            if (full && WaitFor(fd, POLLOUT, deadline))
                continue;
            std::fprintf(
                stderr, "tunnel_load: stream: sending stopped after %llu of %llu bytes: %s\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(bytes),
                full ? "time limit reached" : std::strerror(error));
            ::close(fd);
            return 1;
        }
        if (headerSent < header.size())
            headerSent += static_cast<std::uint64_t>(done);
        else
            sent += static_cast<std::uint64_t>(done);
    }
    std::string receipt;
    char buffer[128];
    while (receipt.find('\n') == std::string::npos && receipt.size() < sizeof buffer) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            receipt.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        const int error = got < 0 ? errno : 0;
        if (error == EINTR)
            continue;
        const bool empty = error == EAGAIN || error == EWOULDBLOCK;
        if (empty && WaitFor(fd, POLLIN, deadline))
            continue;
        std::fprintf(stderr, "tunnel_load: stream: all %llu bytes sent, but no receipt: %s\n",
                     static_cast<unsigned long long>(bytes),
                     got == 0 ? "the connection closed"
                     : empty  ? "time limit reached"
                              : std::strerror(error));
        ::close(fd);
        return 1;
    }
    const double seconds = SecondsSince(start);
    ::close(fd);
    unsigned long long received = 0;
    unsigned long long bad = 0;
    if (std::sscanf(receipt.c_str(), "OK %llu %llu", &received, &bad) != 2 || received != bytes ||
        bad != 0) {
        std::fprintf(stderr, "tunnel_load: stream: sent %llu bytes, the sink answered '%s'\n",
                     static_cast<unsigned long long>(bytes),
                     receipt.substr(0, receipt.find('\n')).c_str());
        return 1;
    }
    std::printf("stream bytes=%llu seconds=%.3f mbps=%.1f verified=yes\n",
                static_cast<unsigned long long>(bytes), seconds,
                static_cast<double>(bytes) / seconds / 1e6);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// conns

struct TMemory {
    long long RssKb = 0;
    long long PssKb = 0;
    long long Threads = 0;
    long long Fds = 0;
    int Processes = 0;
    bool Found = false;
};

// One "Key:   value kB" field of a /proc file, -1 when absent.
long long ProcField(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() &&
            line[key.size()] == ':')
            return std::atoll(line.c_str() + key.size() + 1);
    }
    return -1;
}

// Open descriptors of a process, -1 when it cannot be read.
long long CountFds(const std::string& base) {
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (fds == nullptr)
        return -1;
    long long count = 0;
    while (const dirent* entry = ::readdir(fds))
        count += entry->d_name[0] != '.' ? 1 : 0;
    ::closedir(fds);
    return count;
}

// pid -> parent pid of every process in /proc.
std::map<long, long> ParentTable() {
    std::map<long, long> parents;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return parents;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(text.substr(close + 1));
        std::string state;
        long parent = 0;
        if (rest >> state >> parent)
            parents[pid] = parent;
    }
    ::closedir(proc);
    return parents;
}

TMemory ReadMemory(long pid, bool withDescendants) {
    std::set<long> pids{pid};
    if (withDescendants) {
        const std::map<long, long> parents = ParentTable();
        for (bool grew = true; grew;) {
            grew = false;
            for (const auto& [child, parent] : parents)
                if (pids.count(parent) != 0 && pids.insert(child).second)
                    grew = true;
        }
    }
    TMemory memory;
    for (const long each : pids) {
        const std::string base = "/proc/" + std::to_string(each);
        const long long rss = ProcField(base + "/status", "VmRSS");
        if (rss < 0)
            continue; // ended meanwhile
        memory.Found = true;
        memory.RssKb += rss;
        memory.Threads += std::max(0LL, ProcField(base + "/status", "Threads"));
        memory.Fds += std::max(0LL, CountFds(base));
        memory.PssKb += std::max(0LL, ProcField(base + "/smaps_rollup", "Pss"));
        ++memory.Processes;
    }
    return memory;
}

struct TWatched {
    std::string Name;
    long Pid = 0;
    bool Tree = false;
};

void PrintMemory(const char* phase, const std::vector<TWatched>& watched) {
    for (const TWatched& each : watched) {
        const TMemory memory = ReadMemory(each.Pid, each.Tree);
        std::printf("mem phase=%s name=%s pid=%ld found=%s procs=%d threads=%lld fds=%lld "
                    "rss_kb=%lld pss_kb=%lld\n",
                    phase, each.Name.c_str(), each.Pid, memory.Found ? "yes" : "no",
                    memory.Processes, memory.Threads, memory.Fds, memory.RssKb, memory.PssKb);
    }
    std::fflush(stdout);
}

enum class TState { Idle, Connecting, Echoing, Open, Failed, Closed };

struct TConnection {
    int Fd = -1;
    TState State = TState::Idle;
    std::string Message;
    std::string Received;
    Clock::time_point Started;
    double ConnectSeconds = 0;
    double EchoSeconds = 0;
};

struct TConnsOptions {
    sockaddr_in Address{};
    std::size_t Count = 0;
    std::size_t Window = 16;
    std::size_t Size = 64;
    double Timeout = 60;
    int SettleMs = 500;
    std::vector<TWatched> Watched;
};

class TConns {
public:
    explicit TConns(const TConnsOptions& options) : Options(options), All(options.Count) {}
    int Run();

private:
    void Start(std::size_t index);
    void Fail(std::size_t index, const std::string& reason);
    void Event(std::size_t index, std::uint32_t what);
    void SendMessage(std::size_t index, int round);
    // Runs the event loop until no connection is in flight (and, when opening, all have been
    // started) or the deadline passes; what is still in flight then has failed.
    void Loop(Clock::time_point deadline, bool opening);
    std::size_t InState(TState state) const;

    const TConnsOptions& Options;
    std::vector<TConnection> All;
    int Epoll = -1;
    std::size_t NextToStart = 0;
    std::size_t InFlight = 0;
    int Round = 1;
    std::map<std::string, std::size_t> Failures; // reason -> count, in the current phase
    std::map<std::string, std::size_t> Dropped;  // open connections lost while held
    Clock::time_point Begin;
};

std::size_t TConns::InState(TState state) const {
    return static_cast<std::size_t>(std::count_if(
        All.begin(), All.end(), [state](const TConnection& each) { return each.State == state; }));
}

void TConns::Fail(std::size_t index, const std::string& reason) {
    TConnection& connection = All[index];
    const bool wasOpen = connection.State == TState::Open;
    const bool inFlight =
        connection.State == TState::Connecting || connection.State == TState::Echoing;
    if (connection.Fd >= 0) {
        ::epoll_ctl(Epoll, EPOLL_CTL_DEL, connection.Fd, nullptr);
        ::close(connection.Fd);
        connection.Fd = -1;
    }
    connection.State = TState::Failed;
    if (inFlight && InFlight > 0)
        --InFlight;
    if (wasOpen)
        ++Dropped[reason];
    else
        ++Failures[reason];
}

void TConns::Start(std::size_t index) {
    TConnection& connection = All[index];
    connection.Started = Clock::now();
    connection.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connection.State = TState::Connecting;
    ++InFlight;
    if (connection.Fd < 0) {
        Fail(index, ErrnoName(errno));
        return;
    }
    const int on = 1;
    ::setsockopt(connection.Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(connection.Fd, reinterpret_cast<const sockaddr*>(&Options.Address),
                  sizeof Options.Address) != 0 &&
        errno != EINPROGRESS) {
        Fail(index, ErrnoName(errno));
        return;
    }
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    event.data.u64 = index;
    ::epoll_ctl(Epoll, EPOLL_CTL_ADD, connection.Fd, &event);
}

void TConns::SendMessage(std::size_t index, int round) {
    TConnection& connection = All[index];
    char head[64];
    std::snprintf(head, sizeof head, "conn %06zu round %d ", index, round);
    connection.Message = head;
    connection.Message.resize(std::max<std::size_t>(Options.Size, connection.Message.size() + 1),
                              '.');
    connection.Message.back() = '\n';
    connection.Received.clear();
    connection.State = TState::Echoing; // in flight from here until its echo is back
    const ssize_t sent =
        ::send(connection.Fd, connection.Message.data(), connection.Message.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(connection.Message.size()))
        Fail(index, sent < 0 ? ErrnoName(errno) : "short-send");
}

void TConns::Event(std::size_t index, std::uint32_t what) {
    TConnection& connection = All[index];
    if (connection.State == TState::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(connection.Fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            Fail(index, ErrnoName(error));
            return;
        }
        if ((what & EPOLLOUT) == 0)
            return;
        connection.ConnectSeconds = SecondsSince(connection.Started);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.u64 = index;
        ::epoll_ctl(Epoll, EPOLL_CTL_MOD, connection.Fd, &event);
        SendMessage(index, Round);
        return;
    }
    // Echoing, or open and idle: read what came.
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(connection.Fd, buffer, sizeof buffer, 0);
        if (got == 0) {
            Fail(index, "closed-by-peer");
            return;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Fail(index, ErrnoName(errno));
            return;
        }
        if (connection.State != TState::Echoing) {
            Fail(index, "unexpected-data");
            return;
        }
        connection.Received.append(buffer, static_cast<std::size_t>(got));
        if (connection.Received.size() > connection.Message.size() ||
            connection.Message.compare(0, connection.Received.size(), connection.Received) != 0) {
            Fail(index, "wrong-echo");
            return;
        }
        if (connection.Received.size() == connection.Message.size()) {
            connection.State = TState::Open;
            if (Round == 1) {
                connection.EchoSeconds =
                    SecondsSince(connection.Started) - connection.ConnectSeconds;
            }
            if (InFlight > 0)
                --InFlight;
        }
    }
}

void TConns::Loop(Clock::time_point deadline, bool opening) {
    std::vector<epoll_event> events(512);
    for (;;) {
        while (opening && NextToStart < All.size() && InFlight < Options.Window)
            Start(NextToStart++);
        if (InFlight == 0 && (!opening || NextToStart == All.size()))
            return;
        if (Clock::now() >= deadline) {
            for (std::size_t i = 0; i < All.size(); ++i)
                if (All[i].State == TState::Connecting || All[i].State == TState::Echoing)
                    Fail(i, "no-echo-in-time");
            if (opening) {
                Failures["never-started"] += All.size() - NextToStart;
                NextToStart = All.size();
            }
            return;
        }
        const int count = ::epoll_wait(Epoll, events.data(), static_cast<int>(events.size()), 100);
        for (int i = 0; i < count; ++i) {
            const epoll_event& event = events[static_cast<std::size_t>(i)];
            const auto index = static_cast<std::size_t>(event.data.u64);
            if (All[index].State != TState::Failed)
                Event(index, event.events);
        }
    }
}

// Percentile of sorted values, in milliseconds.
double PercentileMs(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty())
        return 0;
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return sorted[at] * 1000.0;
}

std::string Reasons(const std::map<std::string, std::size_t>& reasons) {
    std::string text;
    for (const auto& [reason, count] : reasons)
        text += (text.empty() ? "" : ",") + reason + ":" + std::to_string(count);
    return text.empty() ? "none" : text;
}

std::size_t Total(const std::map<std::string, std::size_t>& reasons) {
    std::size_t total = 0;
    for (const auto& [reason, count] : reasons)
        total += count;
    return total;
}

int TConns::Run() {
    Epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (Epoll < 0) {
        std::perror("tunnel_load: epoll_create1");
        return 1;
    }
    PrintMemory("before", Options.Watched);
    const auto limit =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Options.Timeout));

    // Set-up: connect and the first echo, at most Window of them at a time.
    Begin = Clock::now();
    Round = 1;
    Loop(Begin + limit, true);
    const double setupSeconds = SecondsSince(Begin);
    const std::size_t opened = InState(TState::Open);
    std::vector<double> connect;
    std::vector<double> total;
    // A set-up of 0.9 s or more waited for a retransmitted SYN (the first comes after 1 s). Split
    // by where the time went: the connect to the first relay, or after it (the relays' own
    // connects onwards, or the echo).
    std::size_t slow = 0;
    std::size_t slowConnect = 0;
    std::size_t slowAfterConnect = 0;
    for (const TConnection& each : All) {
        if (each.State != TState::Open)
            continue;
        connect.push_back(each.ConnectSeconds);
        total.push_back(each.ConnectSeconds + each.EchoSeconds);
        slow += each.ConnectSeconds + each.EchoSeconds >= 0.9 ? 1 : 0;
        slowConnect += each.ConnectSeconds >= 0.9 ? 1 : 0;
        slowAfterConnect += each.EchoSeconds >= 0.9 ? 1 : 0;
    }
    std::sort(connect.begin(), connect.end());
    std::sort(total.begin(), total.end());
    std::printf("setup requested=%zu window=%zu ok=%zu failed=%zu reasons=%s seconds=%.3f "
                "rate=%.1f connect_p50_ms=%.2f connect_p99_ms=%.2f connect_max_ms=%.2f "
                "setup_p50_ms=%.2f setup_p99_ms=%.2f setup_max_ms=%.2f slow=%zu slow_connect=%zu "
                "slow_after_connect=%zu\n",
                All.size(), Options.Window, opened, Total(Failures), Reasons(Failures).c_str(),
                setupSeconds, setupSeconds > 0 ? static_cast<double>(opened) / setupSeconds : 0.0,
                PercentileMs(connect, 0.5), PercentileMs(connect, 0.99), PercentileMs(connect, 1.0),
                PercentileMs(total, 0.5), PercentileMs(total, 0.99), PercentileMs(total, 1.0), slow,
                slowConnect, slowAfterConnect);
    std::fflush(stdout);

    // Held open: let the relays settle, watching for connections that drop meanwhile.
    const auto settleEnd = Clock::now() + std::chrono::milliseconds(Options.SettleMs);
    std::vector<epoll_event> events(512);
    while (Clock::now() < settleEnd) {
        const int count = ::epoll_wait(Epoll, events.data(), static_cast<int>(events.size()), 50);
        for (int i = 0; i < count; ++i) {
            const auto index =
                static_cast<std::size_t>(events[static_cast<std::size_t>(i)].data.u64);
            if (All[index].State != TState::Failed)
                Event(index, events[static_cast<std::size_t>(i)].events);
        }
    }
    PrintMemory("open", Options.Watched);

    // Every held connection echoes once more, all at the same time.
    Failures.clear();
    Round = 2;
    const auto echoBegin = Clock::now();
    for (std::size_t i = 0; i < All.size(); ++i) {
        if (All[i].State != TState::Open)
            continue;
        ++InFlight;
        SendMessage(i, Round);
    }
    Loop(echoBegin + limit, false);
    const std::size_t echoed = InState(TState::Open);
    std::printf("held open=%zu dropped_while_held=%zu dropped_reasons=%s echoed=%zu failed=%zu "
                "reasons=%s seconds=%.3f\n",
                opened, Total(Dropped), Reasons(Dropped).c_str(), echoed, Total(Failures),
                Reasons(Failures).c_str(), SecondsSince(echoBegin));
    std::fflush(stdout);

    for (TConnection& each : All)
        if (each.Fd >= 0) {
            ::close(each.Fd);
            each.Fd = -1;
            each.State = TState::Closed;
        }
    ::close(Epoll);
    return opened == All.size() && echoed == All.size() ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------

void Usage() {
    std::fputs(
        "usage: tunnel_load serve --host ADDR --sink PORT --echo PORT\n"
        "       tunnel_load stream --connect ADDR:PORT --bytes N [--timeout S]\n"
        "       tunnel_load conns --connect ADDR:PORT --count N [--window W] [--size BYTES]\n"
        "                         [--timeout S] [--settle-ms MS] [--watch NAME=PID]...\n"
        "                         [--watch-tree NAME=PID]...\n",
        stderr);
}

bool ParseWatch(const std::string& text, bool tree, std::vector<TWatched>& watched) {
    const std::size_t equals = text.find('=');
    std::uint64_t pid = 0;
    if (equals == std::string::npos || equals == 0 ||
        !ParseNumber(std::string_view(text).substr(equals + 1), pid) || pid == 0)
        return false;
    watched.push_back({text.substr(0, equals), static_cast<long>(pid), tree});
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return 2;
    }
    const std::string mode = argv[1];
    std::map<std::string, std::string> single;
    TConnsOptions conns;
    for (int i = 2; i < argc; i += 2) {
        const std::string key = argv[i];
        if (i + 1 >= argc || key.compare(0, 2, "--") != 0) {
            Usage();
            return 2;
        }
        const std::string value = argv[i + 1];
        if (key == "--watch" || key == "--watch-tree") {
            if (!ParseWatch(value, key == "--watch-tree", conns.Watched)) {
                std::fprintf(stderr, "tunnel_load: %s wants NAME=PID, not '%s'\n", key.c_str(),
                             value.c_str());
                return 2;
            }
            continue;
        }
        single[key.substr(2)] = value;
    }
    const auto number = [&](const char* key, std::uint64_t fallback, std::uint64_t& value) {
        const auto found = single.find(key);
        if (found == single.end()) {
            value = fallback;
            return true;
        }
        if (ParseNumber(found->second, value))
            return true;
        std::fprintf(stderr, "tunnel_load: --%s wants a number, not '%s'\n", key,
                     found->second.c_str());
        return false;
    };

    ::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM keep their default action: the calling shell sees the program die of
    // them and stops too, and the kernel closes every connection.

    std::uint64_t timeout = 0;
    if (!number("timeout", 60, timeout) || timeout == 0) {
        Usage();
        return 2;
    }
    if (mode == "serve") {
        std::uint64_t sinkPort = 0;
        std::uint64_t echoPort = 0;
        if (!number("sink", 0, sinkPort) || !number("echo", 0, echoPort) || sinkPort == 0 ||
            echoPort == 0) {
            Usage();
            return 2;
        }
        const std::string host = single.count("host") != 0 ? single["host"] : "127.0.0.1";
        TServer server;
        return server.Run(host, sinkPort, echoPort);
    }
    sockaddr_in address{};
    if (single.count("connect") == 0 || !ParseEndpoint(single["connect"], address)) {
        std::fprintf(stderr, "tunnel_load: --connect wants a.b.c.d:port\n");
        return 2;
    }
    if (mode == "stream") {
        std::uint64_t bytes = 0;
        if (!number("bytes", 0, bytes) || bytes == 0) {
            Usage();
            return 2;
        }
        return RunStream(address, bytes, static_cast<double>(timeout));
    }
    if (mode == "conns") {
        std::uint64_t count = 0;
        std::uint64_t window = 0;
        std::uint64_t size = 0;
        std::uint64_t settle = 0;
        if (!number("count", 0, count) || !number("window", 16, window) ||
            !number("size", 64, size) || !number("settle-ms", 500, settle) || count == 0 ||
            window == 0 || size == 0 || size > 4096 || settle > 60000) {
            Usage();
            return 2;
        }
        conns.Address = address;
        conns.Count = count;
        conns.Window = window;
        conns.Size = size;
        conns.Timeout = static_cast<double>(timeout);
        conns.SettleMs = static_cast<int>(settle);
        TConns run(conns);
        return run.Run();
    }
    Usage();
    return 2;
}
