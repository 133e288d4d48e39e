#pragma once

#include "../net/NetTestSupport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harbolt::test {

// The online computer's proxy port and the POP3 server behind it in one: a loopback listener
// that takes the tunnel header of each connection as sent and then plays a POP3 server.
class TFakePop3 {
public:
    struct TSession {
        std::string Header;                // the raw bytes before the greeting
        std::vector<std::string> Commands; // each with its line end as received
        bool Ended = false;
    };

    TFakePop3() : Listener(MakeListener()) {
        Server = std::thread([this] { Serve(); });
    }
    ~TFakePop3() {
        Stop = true;
        Release();
        Server.join();
    }
    TFakePop3(const TFakePop3&) = delete;
    TFakePop3& operator=(const TFakePop3&) = delete;

    const std::string& Endpoint() const { return Listener.Endpoint; }

    // What the server says. Replies to USER are taken from UserReplies while there are some.
    void SetMessages(std::vector<std::string> uidlLines) {
        std::lock_guard guard(Lock);
        UidlLines = std::move(uidlLines);
    }
    void SetUserReplies(std::deque<std::string> replies) {
        std::lock_guard guard(Lock);
        UserReplies = std::move(replies);
    }
    void SetPassReply(std::string reply) {
        std::lock_guard guard(Lock);
        PassReply = std::move(reply);
    }
    void SetUidlReply(std::string reply) {
        std::lock_guard guard(Lock);
        UidlReply = std::move(reply);
    }
    // Holds every greeting back until Release.
    void Hold() {
        std::lock_guard guard(Lock);
        Held = true;
    }
    void Release() {
        {
            std::lock_guard guard(Lock);
            Held = false;
        }
        HeldChanged.notify_all();
    }

    std::vector<TSession> Sessions() const {
        std::lock_guard guard(Lock);
        return Log;
    }
    std::size_t SessionCount() const { return Sessions().size(); }
    // Every session accepted so far has ended.
    bool AllEnded() const {
        std::lock_guard guard(Lock);
        for (const TSession& session : Log)
            if (!session.Ended)
                return false;
        return true;
    }

private:
    void Serve() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!Stop && std::chrono::steady_clock::now() < deadline) {
            std::unique_ptr<TBufferedCommunication> client = Listener.Channel->Accept(50);
            if (!client)
                continue;
            std::size_t index;
            {
                std::lock_guard guard(Lock);
                Log.emplace_back();
                index = Log.size() - 1;
            }
            try {
                Converse(*client, index);
            } catch (const std::exception&) {
                // The check closed the connection.
            }
            client.reset();
            std::lock_guard guard(Lock);
            Log[index].Ended = true;
        }
    }

    void Reply(TBufferedCommunication& client, const std::string& line) {
        SendNow(client, line + "\r\n");
    }

    void Converse(TBufferedCommunication& client, std::size_t index) {
        // The header: three lines, then the check waits for the greeting.
        std::string header;
        char buffer[4096];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int lines = 0; lines < 3 && std::chrono::steady_clock::now() < deadline;) {
            if (!client.WaitForIncomingData(100))
                continue;
            if (client.ReceiveSome(buffer, 1) <= 0)
                return;
            header += buffer[0];
            if (buffer[0] == '\n')
                ++lines;
        }
        {
            std::unique_lock lock(Lock);
            Log[index].Header = header;
            HeldChanged.wait_for(lock, std::chrono::seconds(10), [this] { return !Held; });
        }
        Reply(client, "+OK POP3 ready");
        for (int round = 0; round < 100; ++round) {
            // A check that says nothing more is closed on, so that it cannot wait for ever.
            if (!client.WaitForIncomingData(5000))
                return;
            const int raw = client.ReceiveLine(buffer, sizeof buffer);
            const std::string line(buffer);
            const std::string ending =
                static_cast<std::size_t>(raw) == line.size() + 2 ? "\r\n" : "\n";
            std::string reply = "+OK";
            std::vector<std::string> listing;
            {
                std::lock_guard guard(Lock);
                Log[index].Commands.push_back(line + ending);
                if (line.rfind("USER ", 0) == 0 && !UserReplies.empty()) {
                    reply = UserReplies.front();
                    UserReplies.pop_front();
                } else if (line.rfind("PASS ", 0) == 0) {
                    reply = PassReply;
                } else if (line == "UIDL") {
                    reply = UidlReply;
                    listing = UidlLines;
                }
            }
            Reply(client, reply);
            if (line == "UIDL" && reply[0] == '+') {
                for (const std::string& entry : listing)
                    Reply(client, entry);
                Reply(client, ".");
            }
            if (line == "QUIT")
                return;
        }
    }

    TListener Listener;
    std::thread Server;
    std::atomic<bool> Stop{false};
    mutable std::mutex Lock;
    std::condition_variable HeldChanged;
    bool Held = false;
    std::vector<TSession> Log;
    std::vector<std::string> UidlLines;
    std::deque<std::string> UserReplies;
    std::string PassReply = "+OK logged in";
    std::string UidlReply = "+OK";
};

} // namespace harbolt::test
