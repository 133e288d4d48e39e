#pragma once

#include "proxy/Sessions.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// The POP3 proxy: the client program's user name carries the mail server ("USER name@host");
// the proxy connects there, passes the user name on and from then on relays the conversation.
namespace harbolt {

// Every line of the conversation is read with this capacity.
constexpr int kPop3LineCapacity = 2048;

// What a line before the login asks for.
enum class TPop3CommandKind {
    Quit,    // the whole line is "quit"
    User,    // "user" and a blank; Text is what follows the blank
    Unknown, // Text is the word before the first blank, or the whole line when it has none
};
struct TPop3Command {
    TPop3CommandKind Kind = TPop3CommandKind::Unknown;
    std::string Text;
};
TPop3Command ParsePop3Command(std::string_view line);

// Where a USER argument separates the user name from the server: the last "@", "#" or "$"
// behind the first character. npos when there is none.
std::size_t Pop3SeparatorPosition(std::string_view argument);

// The handler of the tunnel type "POP3 PROXY"; the relay after the login is traced. The login
// must be done within RequestTimeLimit().
void HandlePop3Proxy(std::unique_ptr<TBufferedCommunication> client, std::FILE* trace,
                     const TActivity& activity, const TStopSignal& stop);

} // namespace harbolt
