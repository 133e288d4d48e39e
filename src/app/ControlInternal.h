#pragma once

// What the files of the control library share among themselves; not for use outside it.
//   ControlCommands.cpp  the command table, the general commands, the usage, RunControlCommand
//   MailCommands.cpp     the mail command
//   ControlWire.cpp      the wire format
//   ControlServer.cpp    TControlServer and the socket helpers
//   ControlClient.cpp    RunControlClient

#include "app/Control.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/un.h>
#include <unistd.h>

namespace harbolt::control {

using TClock = std::chrono::steady_clock;
using TJson = nlohmann::ordered_json;

// The document as JSON text; indent -1 for one line.
std::string Dump(const TJson& document, int indent);
std::string ErrorText(int error);
// "5 seconds", "300 ms".
std::string SecondsText(std::chrono::milliseconds time);

// ---------------------------------------------------------------------------------------------
// The command table

// One command as it runs.
struct TCall {
    TControlTarget& Target;
    const std::vector<std::string>& Words; // the words that are not flags
    bool Json;
    bool All;
    bool Force; // `set --force`: store without checking the value
    // The request's password. A command whose check says it needs one always has it; the others
    // never do.
    const std::optional<std::string>& Password;
    std::ostream& Out;
    std::ostream& Err;
    // Work that must wait until the reply has reached the client (quitting ends the server).
    std::function<void()>& AfterReply;
};

// What a command's words ask of the request, beyond the counts the table checks.
enum class TCommandCheck {
    Unusable,      // the words do not form the command; explained on err
    Ready,         // the words are all it needs
    NeedsPassword, // a password must come with the request
};

struct TUsageLine {
    const char* Synopsis;
    const char* Purpose;
};

// The usage heading and every command's help line.
void PrintUsage(std::ostream& err);
// Matches args (the words after "ctl [--data-dir DIR]") against the table as RunCommand does;
// the client calls it before it sends anything.
TCommandCheck CheckControlCommand(const std::vector<std::string>& args, std::ostream& err);
// RunControlCommand, with the work that must wait for the reply left in afterReply.
int RunCommand(TControlTarget& target, const std::vector<std::string>& args,
               const std::optional<std::string>& password, std::ostream& out, std::ostream& err,
               std::function<void()>& afterReply);
// Columns two blanks apart, as wide as their widest cell (in characters, not UTF-8 bytes).
void PrintTable(std::ostream& out, const std::vector<std::string>& headings,
                const std::vector<std::vector<std::string>>& rows);

// The mail command (MailCommands.cpp), which parses the words after "mail" itself.
std::span<const TUsageLine> MailUsage();
TCommandCheck CheckMailWords(const std::vector<std::string>& words, std::ostream& err);
int MailCommand(TCall& call);

// ---------------------------------------------------------------------------------------------
// Sockets (ControlServer.cpp), for the server and the client

class TDescriptor {
public:
    explicit TDescriptor(int descriptor = -1) noexcept : FDescriptor(descriptor) {}
    ~TDescriptor() { Reset(); }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;

    int Get() const { return FDescriptor; }
    int Release() { return std::exchange(FDescriptor, -1); }
    void Reset() {
        if (FDescriptor >= 0)
            ::close(FDescriptor);
        FDescriptor = -1;
    }
    explicit operator bool() const { return FDescriptor >= 0; }

private:
    int FDescriptor;
};

// False when path does not fit a socket address.
bool MakeAddress(const std::string& path, sockaddr_un& address);
int ConnectTo(int descriptor, const sockaddr_un& address);

enum class TWait { Ready, TimedOut, Woken, Failed };
enum class TReadEnd { Line, Closed, TooLong, TimedOut, Woken, Failed };

// Reads one line of at most limit bytes, line feed included, into line (without the line feed),
// until the deadline passes or wake (when >= 0) is readable. Bytes after the line feed are
// ignored: there is one request and one reply per connection.
TReadEnd ReadLine(int descriptor, int wake, std::size_t limit, TClock::time_point deadline,
                  std::string& line);
// Writes all of data to a non-blocking descriptor, waiting as ReadLine does.
TWait WriteAll(int descriptor, int wake, std::string_view data, TClock::time_point deadline);

} // namespace harbolt::control
