#include "peer/Sync.h"

#include "database/Database.h"

#include <chrono>
#include <thread>
#include <vector>

namespace harbolt {

std::mutex UpdateSessionLock;

namespace {
constexpr int kReceivePiece = 65535;
constexpr std::size_t kSendPiece = 16384;
} // namespace

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
        std::lock_guard<std::mutex> session(UpdateSessionLock);
        try {
            channel->Connect(syncAddress);
            channel->SendText("UPDATE!");
            channel->SendLineEnd();
            channel->SendLineEnd();
            channel->Flush();
            const std::int32_t start = GetComputerJournalEnd(computer);
            if (start == -1)
                throw Exception("no database access");
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
            TMemoryStream stream(std::move(answer));
            TJournal journal;
            journal.LoadFromStream(stream);
            ApplyComputerJournal(computer, journal);
            applied = true;
        } catch (const std::exception&) {
            // Peer-protocol failures are never shown; the next data info tries again.
        }
    } catch (const std::exception&) {
        // No channel (no sockets): the same as any other failure.
    }
    // The lock is released here already; then the flag, then the channel is closed.
    EndComputerUpdate(computer);
    channel.reset();
    return applied;
}

void StartUpdatingSession(const std::string& syncAddress, const std::string& computer) {
    std::thread([syncAddress, computer] { RunUpdatingSession(syncAddress, computer); }).detach();
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
    // Let the answer drain before the caller closes the connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
