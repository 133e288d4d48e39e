// Loopback throughput of one stream: source -> sink directly, then source -> RelayBothWays -> sink,
// with the CPU time the relay's thread took (which a busy machine does not distort as it does
// the throughput) and the pipes it made (2 when it spliced, 0 when it copied).
// Usage: relay_bench [MiB to push, default 1024] [time limit per run in seconds, default 10]
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "net/Communication.h"
#include "net/SocketLayer.h"

namespace {

using namespace harbolt;
using Clock = std::chrono::steady_clock;

constexpr int kBlock = 65536;

struct TRun {
    std::int64_t Bytes = 0;
    double Seconds = 0;
};

std::unique_ptr<TCommunication> Listen(std::string& endpoint) {
    auto listener = TCommunication::CreateListening(false);
    listener->SetReuseAddress();
    listener->Bind("127.0.0.1:0");
    listener->Listen(5);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(listener->Socket(), reinterpret_cast<sockaddr*>(&bound), &length);
    endpoint = "127.0.0.1:" + std::to_string(ntohs(bound.sin_port));
    return listener;
}

// Reads until the peer closes.
std::int64_t Drain(TCommunication& channel) {
    std::vector<char> buffer(kBlock);
    std::int64_t total = 0;
    for (int n; (n = channel.ReceiveSome(buffer.data(), kBlock)) > 0;)
        total += n;
    return total;
}

// Pushes up to `bytes` into a fresh connection to `endpoint` (stopping at the deadline), closes
// it and waits for the sink to see the end. Returns what the sink received and the time taken.
TRun Push(const std::string& endpoint, TCommunication& sinkListener, std::int64_t bytes,
          Clock::duration limit) {
    std::int64_t received = 0;
    std::thread sink([&] {
        auto channel = sinkListener.Accept(-1);
        received = Drain(*channel);
    });
    std::vector<char> block(kBlock, 'x');
    const auto start = Clock::now();
    {
        auto source = TCommunication::CreateUnconnected(false, false);
        source->Connect(endpoint);
        for (std::int64_t sent = 0; sent < bytes && Clock::now() - start < limit; sent += kBlock)
            source->Send(block.data(), kBlock);
    }
    sink.join();
    return {received, std::chrono::duration<double>(Clock::now() - start).count()};
}

void Report(const char* name, const TRun& run) {
    std::printf("%-7s %8.1f MiB in %6.2f s  %8.1f MB/s\n", name,
                static_cast<double>(run.Bytes) / (1024.0 * 1024.0), run.Seconds,
                static_cast<double>(run.Bytes) / run.Seconds / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    const std::int64_t mebibytes = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (argc > 3 || mebibytes <= 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: relay_bench [MEBIBYTES [SECONDS]]  (default 1024 10)\n");
        return 2;
    }
    const std::int64_t bytes = mebibytes * 1024 * 1024;
    const auto limit = std::chrono::seconds(seconds);

    LoadWinSock();
    if (!WinSockLoaded) {
        std::fprintf(stderr, "no sockets\n");
        return 1;
    }
    try {
        std::string sinkEndpoint;
        auto sinkListener = Listen(sinkEndpoint);
        const TRun direct = Push(sinkEndpoint, *sinkListener, bytes, limit);
        Report("direct", direct);

        // The relay: accepts the source, connects to the sink, relays until the source closes,
        // stamping an activity time per chunk as the proxy sessions do.
        std::string relayEndpoint;
        auto relayListener = Listen(relayEndpoint);
        std::atomic<std::uint32_t> lastActivity{0};
        double relaySeconds = 0; // CPU time of the relay's thread
        const std::uint64_t pipesBefore = RelayPipesMade();
        std::thread relay([&] {
            auto client = relayListener->Accept(-1);
            auto server = TCommunication::CreateUnconnected(false, false);
            server->Connect(sinkEndpoint);
            timespec start{};
            timespec end{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
            RelayBothWays(*client, *server, nullptr, false, nullptr,
                          [&] { lastActivity.store(GetTickCount(), std::memory_order_relaxed); });
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
            relaySeconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
        });
        const TRun relayed = Push(relayEndpoint, *sinkListener, bytes, limit);
        relay.join();
        Report("relay", relayed);
        std::printf("relay CPU %.2f s, %.2f s per GiB, pipes made %llu\n", relaySeconds,
                    relaySeconds / (static_cast<double>(relayed.Bytes) / (1024.0 * 1024 * 1024)),
                    static_cast<unsigned long long>(RelayPipesMade() - pipesBefore));
        std::printf("relay/direct %.2f\n",
                    (static_cast<double>(relayed.Bytes) / relayed.Seconds) /
                        (static_cast<double>(direct.Bytes) / direct.Seconds));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
