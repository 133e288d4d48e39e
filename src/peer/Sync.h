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

// At most one updating session runs at a time in an instance.
extern std::mutex UpdateSessionLock;

constexpr std::size_t kSyncRequestSize = 12;
// An answer larger than this is dropped: journals are small (one entry per property at most),
// and a broken or hostile peer must not make us collect without end.
constexpr std::size_t kSyncAnswerLimit = 64u * 1024u * 1024u;

// The 12 request bytes: identifier, version, start number.
std::string SyncRequest(std::int32_t start);

// The asking side, on the calling thread: fetch computer's journal from syncAddress ("host:port")
// and apply it to our copy. Any failure leaves the copy as it was. In every case
// UpdateSessionLock is released and the computer's UpdateRunning cleared before it returns.
// Returns whether a journal was applied.
bool RunUpdatingSession(const std::string& syncAddress, const std::string& computer);

// The same on a thread of its own that frees itself.
void StartUpdatingSession(const std::string& syncAddress, const std::string& computer);

// The serving side, on a channel whose "UPDATE!" line and the empty line after it have been read:
// reads the request and answers with the own computer's journal since its start number (or a
// snapshot); a request with a wrong identifier or version gets nothing. The caller closes.
void ServeJournal(TBufferedCommunication& channel);

// The same on a thread of its own that owns the channel and frees itself.
void StartServingSession(std::unique_ptr<TBufferedCommunication> channel);

} // namespace harbolt
