#pragma once

#include "net/Communication.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Replication by pull: a computer whose copy of another is behind asks that computer's proxy port
// for everything after the journal end it holds ("UPDATE!"), and applies the journal it gets.
// A computer only ever serves its own data.
namespace harbolt {

// Serialises applying journals (and reading the start number) in an instance. A session never
// holds it while it waits on the network.
extern std::mutex UpdateSessionLock;

// Updating sessions that run at once at most, each on a thread of its own. Keeps the thread count
// bounded whatever arrives.
constexpr int kUpdatingSessionLimit = 8;
// Computers whose sessions wait for a free one at most (one entry per computer: its UpdateRunning
// stays set while it waits); past it a data info starts nothing and the next one tries again.
// A thread that ends its session takes the oldest waiting one, so that a hundred computers that
// announce a change at once are all fetched within moments rather than eight a second.
constexpr std::size_t kUpdatingWaitLimit = 1024;

// Time limits of an updating session: to connect, of silence while the answer comes, and for the
// whole answer (so that a peer sending a byte now and then cannot hold a session for good). A
// connect on the LAN takes a millisecond: one that waits for the SYN to be sent again holds a
// session that others wait for, and the next data info tries again anyway.
constexpr int kUpdatingConnectMs = 3000;
constexpr int kUpdatingSilenceMs = 30000;
constexpr int kUpdatingAnswerMs = 300000;
// Sets the three limits for the sessions that start afterwards (tests use small ones).
void SetUpdatingSessionLimits(int connectMs, int silenceMs, int answerMs = kUpdatingAnswerMs);

// How long a serving session waits, after its answer, for the asking side to close (so that the
// answer is not cut off by a reset); the asking side closes as soon as it has read the end.
constexpr int kServingDrainMs = 2000;
// Sets it for the serving sessions that end afterwards (tests use a small one).
void SetServingDrainLimit(int milliseconds);

// Updating sessions started by StartUpdatingSession that have not ended yet, and those of them
// that wait for a free one.
int UpdatingSessionsRunning();
int UpdatingSessionsWaiting();
// Counts the journals applied by updating sessions: a copy may have gained data when it moved.
std::uint64_t AppliedJournalCount();

constexpr std::size_t kSyncRequestSize = 12;
// An answer larger than this is dropped: journals are small (one entry per property at most),
// and a broken or hostile peer must not make us collect without end.
constexpr std::size_t kSyncAnswerLimit = 64u * 1024u * 1024u;

// The 12 request bytes: identifier, version, start number.
std::string SyncRequest(std::int32_t start);

// The asking side, on the calling thread: fetch computer's journal from syncAddress ("host:port")
// and apply it to our copy. Any failure, a time limit included, leaves the copy as it was. In
// every case the computer's UpdateRunning is cleared before it returns. Returns whether a
// journal was applied.
bool RunUpdatingSession(const std::string& syncAddress, const std::string& computer);

// The same on a thread of its own that frees itself, or, while kUpdatingSessionLimit run, later
// on the first of them that ends. False when it neither runs nor waits (the waiting list full, or
// no thread): UpdateRunning is cleared then as well.
bool StartUpdatingSession(const std::string& syncAddress, const std::string& computer);

// The serving side, on a channel whose "UPDATE!" line and the empty line after it have been read:
// reads the request and answers with the own computer's journal since its start number (or a
// snapshot); a request with a wrong identifier or version gets nothing. After an answer it ends
// its sending side and returns once the asking side has closed (within kServingDrainMs), not
// after a fixed pause: a hundred peers asking at once must not hold a hundred threads for long.
// The caller closes.
void ServeJournal(TBufferedCommunication& channel);

// The same on a thread of its own that owns the channel and frees itself.
void StartServingSession(std::unique_ptr<TBufferedCommunication> channel);

} // namespace harbolt
