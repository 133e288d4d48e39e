#include "peer/Sync.h"

#include "database/Database.h"
#include "net/PeerHandshake.h"
#include "net/SocketLayer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>
#include <vector>

#include <sys/socket.h>

namespace harbolt {

std::mutex UpdateSessionLock;

namespace {
constexpr int kReceivePiece = 65535;
constexpr std::size_t kSendPiece = 16384;

std::atomic<int> ConnectLimitMs{kUpdatingConnectMs};
std::atomic<int> SilenceLimitMs{kUpdatingSilenceMs};
std::atomic<int> AnswerLimitMs{kUpdatingAnswerMs};
std::atomic<int> DrainLimitMs{kServingDrainMs};
std::atomic<std::uint64_t> AppliedJournals{0};

struct TUpdateRequest {
    std::string SyncAddress;
    std::string Computer;
};

// The running sessions and those waiting for one to end, under SessionsLock (held only to count
// and to take or add an entry).
std::mutex SessionsLock;
int RunningSessions = 0;
std::deque<TUpdateRequest> WaitingSessions;

// A session thread: runs its session, then each waiting one in turn, and ends when none waits.
void RunSessions(TUpdateRequest request) {
    for (;;) {
        RunUpdatingSession(request.SyncAddress, request.Computer);
        const std::lock_guard<std::mutex> lock(SessionsLock);
        if (WaitingSessions.empty()) {
            --RunningSessions;
            return;
        }
        request = std::move(WaitingSessions.front());
        WaitingSessions.pop_front();
    }
}
} // namespace

void SetUpdatingSessionLimits(int connectMs, int silenceMs, int answerMs) {
    ConnectLimitMs = connectMs;
    SilenceLimitMs = silenceMs;
    AnswerLimitMs = answerMs;
}

void SetServingDrainLimit(int milliseconds) {
    DrainLimitMs = milliseconds;
}

int UpdatingSessionsRunning() {
    const std::lock_guard<std::mutex> lock(SessionsLock);
    return RunningSessions;
}

int UpdatingSessionsWaiting() {
    const std::lock_guard<std::mutex> lock(SessionsLock);
    return static_cast<int>(WaitingSessions.size());
}

std::uint64_t AppliedJournalCount() {
    return AppliedJournals.load();
}

std::string SyncRequest(std::int32_t start) {
    TMemoryStream request;
    request.WriteInt32(kJournalId);
    request.WriteInt32(kJournalVersion);
    request.WriteInt32(start);
    return request.Data();
}

bool RunUpdatingSession(const std::string& syncAddress, const std::string& computer) {
    bool applied = false;
    std::unique_ptr<TBufferedCommunication> channel;
    try {
        channel = TCommunication::CreateUnconnected(false, false);
        // Only one session per computer runs (UpdateRunning), so nothing else changes this
        // computer's journal end between reading it here and applying the answer below.
        std::int32_t start;
        {
            const std::lock_guard<std::mutex> session(UpdateSessionLock);
            start = GetComputerJournalEnd(computer);
        }
        if (start == -1)
            throw Exception("no database access");
        channel->Connect(syncAddress, ConnectLimitMs.load());
        AuthenticateToPeer(*channel, syncAddress);
        channel->SetReceiveSilenceLimit(SilenceLimitMs.load());
        channel->SetReceiveDeadline(AnswerLimitMs.load());
        channel->SendText("UPDATE!");
        channel->SendLineEnd();
        channel->SendLineEnd();
        const std::string request = SyncRequest(start);
        channel->Send(request.data(), static_cast<int>(request.size()));
        channel->Flush();

        std::string answer;
        std::vector<char> piece(kReceivePiece);
        for (;;) {
            const int n = channel->ReceiveSome(piece.data(), kReceivePiece);
            if (n <= 0)
                break;
            if (answer.size() + static_cast<std::size_t>(n) > kSyncAnswerLimit)
                throw Exception("journal answer beyond " + std::to_string(kSyncAnswerLimit) +
                                " bytes");
            answer.append(piece.data(), static_cast<std::size_t>(n));
        }
        channel.reset();
        TMemoryStream stream(std::move(answer));
        TJournal journal;
        journal.LoadFromStream(stream);
        const std::lock_guard<std::mutex> session(UpdateSessionLock);
        ApplyComputerJournal(computer, journal);
        ++AppliedJournals;
        applied = true;
    } catch (const std::exception&) {
        // Peer-protocol failures (time limits included) are never shown; the next data info
        // tries again.
    }
    // No lock is held here; the flag goes before the channel (if still open) is closed.
    EndComputerUpdate(computer);
    channel.reset();
    return applied;
}

bool StartUpdatingSession(const std::string& syncAddress, const std::string& computer) {
    bool full = false;
    {
        const std::lock_guard<std::mutex> lock(SessionsLock);
        if (RunningSessions < kUpdatingSessionLimit) {
            ++RunningSessions;
        } else if (WaitingSessions.size() < kUpdatingWaitLimit) {
            WaitingSessions.push_back({syncAddress, computer});
            return true;
        } else {
            full = true;
        }
    }
    if (full) {
        EndComputerUpdate(computer);
        return false;
    }
    try {
        std::thread(RunSessions, TUpdateRequest{syncAddress, computer}).detach();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "harbolt: cannot start a thread to update %s: %s\n", computer.c_str(),
                     e.what());
        EndComputerUpdate(computer);
        // Entries wait only while a session runs; should this have been the last one, they
        // would wait for good: they are given up, and their next data info tries again.
        std::deque<TUpdateRequest> orphans;
        {
            const std::lock_guard<std::mutex> lock(SessionsLock);
            if (--RunningSessions == 0)
                orphans.swap(WaitingSessions);
        }
        for (const TUpdateRequest& orphan : orphans)
            EndComputerUpdate(orphan.Computer);
        return false;
    }
    return true;
}

void ServeJournal(TBufferedCommunication& channel) {
    char request[kSyncRequestSize] = {};
    // A request that did not arrive whole gets nothing. (Padding it with zeros is not enough:
    // seven bytes of a real request would then pass as one asking from 0.)
    if (!channel.ReceiveExactly(request, static_cast<int>(kSyncRequestSize)))
        return;
    TMemoryStream parsed(std::string(request, kSyncRequestSize));
    if (parsed.ReadInt32() != kJournalId || parsed.ReadInt32() != kJournalVersion)
        return;
    const std::int32_t start = parsed.ReadInt32();
    const std::optional<TJournal> journal = GetComputerJournalSince(OwnComputerName, start);
    if (!journal)
        return;
    TMemoryStream answer;
    journal->SaveToStream(answer);
    const std::string& bytes = answer.Data();
    for (std::size_t sent = 0; sent < bytes.size(); sent += kSendPiece) {
        const std::size_t n = std::min(kSendPiece, bytes.size() - sent);
        channel.Send(bytes.data() + sent, static_cast<int>(n));
    }
    channel.Flush();
    // The end of our sending side tells the asking side the answer is whole; it closes then.
    // Closing before that with bytes of it unread here could reset the connection and cut the
    // answer off, so whatever still comes is read and dropped, for a bounded time.
    const TSocket socket = channel.Socket();
    if (::shutdown(socket, SHUT_WR) != 0)
        return;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(DrainLimitMs.load());
    char sink[512];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitReadable(socket, static_cast<int>(left.count())))
            return;
        const ssize_t n = ::recv(socket, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return;
    }
}

void StartServingSession(std::unique_ptr<TBufferedCommunication> channel) {
    std::thread([owned = std::shared_ptr<TBufferedCommunication>(std::move(channel))] {
        try {
            ServeJournal(*owned);
        } catch (const std::exception&) {
            // A broken request ends the session; the connection closes with the channel.
        }
    }).detach();
}

} // namespace harbolt
