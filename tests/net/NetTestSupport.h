#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "net/Communication.h"
#include "net/SocketLayer.h"
#include "platform/Languages.h"

namespace harbolt::test {

// English texts and a probed socket facility for every network test.
class NetTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLanguage(TLanguage::English);
        LoadWinSock();
        ASSERT_TRUE(WinSockLoaded.load());
    }
};

inline std::uint16_t BoundPort(TSocket socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

inline std::uint32_t AddressOf(unsigned a, unsigned b, unsigned c, unsigned d) {
    return htonl((a << 24) | (b << 16) | (c << 8) | d);
}

// A loopback listener on an ephemeral port; Endpoint is "127.0.0.1:port".
struct TListener {
    std::unique_ptr<TCommunication> Channel;
    std::string Endpoint;
    std::uint16_t Port = 0;
};

inline TListener MakeListener(int backlog = 5) {
    TListener listener;
    listener.Channel = TCommunication::CreateListening(false);
    listener.Channel->SetReuseAddress();
    listener.Channel->Bind("127.0.0.1:0");
    listener.Channel->Listen(backlog);
    listener.Port = BoundPort(listener.Channel->Socket());
    listener.Endpoint = "127.0.0.1:" + std::to_string(listener.Port);
    return listener;
}

// Both ends of one loopback connection.
struct TChannelPair {
    std::unique_ptr<TBufferedCommunication> Connected;
    std::unique_ptr<TBufferedCommunication> Accepted;
};

inline TChannelPair MakePair() {
    TListener listener = MakeListener();
    TChannelPair pair;
    pair.Connected = TCommunication::CreateUnconnected(false, false);
    pair.Connected->Connect(listener.Endpoint);
    pair.Accepted = listener.Channel->Accept(5000);
    EXPECT_NE(pair.Accepted, nullptr);
    return pair;
}

inline void SendNow(TCommunication& channel, std::string_view bytes) {
    channel.Send(bytes.data(), static_cast<int>(bytes.size()));
    channel.Flush();
}

// Up to `wanted` bytes, or fewer when nothing more arrives within `milliseconds` of waiting
// (a peer that closes ends the read as well).
inline std::string ReadUpTo(TCommunication& channel, std::size_t wanted, int milliseconds = 2000) {
    std::string bytes;
    char buffer[16384];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (bytes.size() < wanted) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !channel.WaitForIncomingData(static_cast<int>(left)))
            break;
        const int want = static_cast<int>(std::min(sizeof buffer, wanted - bytes.size()));
        const int received = channel.ReceiveSome(buffer, want);
        if (received <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(received));
    }
    return bytes;
}

// Everything written to a (trace) file so far.
inline std::string WholeFile(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, read);
    return text;
}

// The message of the ECommunication that f raises ("" when it raises nothing).
template <typename F> std::string CommunicationError(F&& f) {
    try {
        f();
    } catch (const ECommunication& e) {
        return e.what();
    }
    return "";
}

inline double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace harbolt::test
