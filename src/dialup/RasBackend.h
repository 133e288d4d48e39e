#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The dial-up layer: what the dial-up monitor, the dialer and the settings dialog need of the
// system's dial-up connections. Entry and connection names are Windows-1252 texts, like every
// name that reaches a property or the wire.
namespace harbolt {

using TRasHandle = std::uint64_t; // 0 = no connection

struct TRasConnectionInfo {
    TRasHandle Handle = 0;
    std::string EntryName;
};

// Connection states and error codes the rest of the program relies on.
constexpr std::uint32_t kRasConnected = 0x2000;         // the only state that counts as up
constexpr std::uint32_t kRasDisconnected = 0x2001;      // a dial ended without a connection
constexpr std::uint32_t kRasMaxConnections = 16;        // room the enumeration has
constexpr std::uint32_t kRasErrorBufferTooSmall = 603;  // more connections than that room
constexpr std::uint32_t kRasErrorCannotFindEntry = 623; // no phone-book entry of that name
constexpr std::uint32_t kRasErrorInvalidHandle = 6;

// Progress of an asynchronous dial, delivered on the main thread: the state reached
// (kRasConnected, or kRasDisconnected when it ended) and an error code (0 = none).
using TRasDialProgress = std::function<void(std::uint32_t state, std::uint32_t error)>;

// Runs a task on the main thread (the event loop of the instance).
using TMainThreadPoster = std::function<void(std::function<void()>)>;

class TRasBackend {
public:
    virtual ~TRasBackend() = default;

    // The connections that exist now (up or coming up), at most kRasMaxConnections; more gives
    // kRasErrorBufferTooSmall. 0 on success, else an error code for ErrorString.
    virtual std::uint32_t EnumConnections(std::vector<TRasConnectionInfo>& connections) = 0;
    // The state of one connection (kRasConnected when up). 0 on success, else an error code.
    virtual std::uint32_t GetConnectStatus(TRasHandle connection, std::uint32_t& state) = 0;
    // A text that says what went wrong, for any code this backend returns.
    virtual std::string ErrorString(std::uint32_t code) = 0;
    // The names of the phone-book entries. 0 on success, else an error code.
    virtual std::uint32_t EnumEntries(std::vector<std::string>& entries) = 0;
    // The credentials stored with an entry: false when the query fails (unknown entry);
    // passwordStored tells whether a password came with them.
    virtual bool GetEntryDialParams(const std::string& entry, std::string& userName,
                                    std::string& password, bool& passwordStored) = 0;
    // Starts dialling an entry; progress arrives later on the main thread. Returns 0 when the
    // dial was started (handle set), else an error code (handle may still be set: hang it up).
    virtual std::uint32_t Dial(const std::string& entry, const std::string& userName,
                               const std::string& password, TRasHandle& handle,
                               TRasDialProgress progress) = 0;
    // Takes a connection down. 0 on success, else an error code.
    virtual std::uint32_t HangUp(TRasHandle connection) = 0;

    // Only the simulated line answers: brings a line up or down from outside, as another dialer
    // or the provider would. False when there is no such entry (or no simulated line).
    virtual bool SetSimulatedLine(const std::string& entry, bool up) {
        (void)entry;
        (void)up;
        return false;
    }
};

// "commands": phonebook.conf in the data directory names the commands of each entry.
std::unique_ptr<TRasBackend> CreateCommandsBackend(const std::string& phoneBookPath,
                                                   TMainThreadPoster postToMainThread);
// "sim": a simulated line per entry of the same file, or one entry "SimLine" without one.
std::unique_ptr<TRasBackend> CreateSimulatedBackend(const std::string& phoneBookPath,
                                                    TMainThreadPoster postToMainThread);

} // namespace harbolt
