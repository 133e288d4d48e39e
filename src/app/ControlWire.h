#pragma once

// The wire format of `harbolt ctl` (ours alone, one exchange per connection):
//   request  one JSON object and a line feed:
//              {"args": ["status", "--json"]}\n
//              {"args": ["dial-login", "anna"], "password": "..."}\n
//            "args" holds the command words after "ctl [--data-dir DIR]"; "password" is present
//            only when the client read a password from standard input for a command that takes
//            one (`dial-login`, `mail set --password-stdin`). Both are UTF-8 strings without NUL;
//            other members are ignored. At most kControlRequestLimit bytes, line feed included.
//   reply    one JSON object and a line feed: {"exit": 0, "out": "...", "err": "..."}\n
//            "exit" is the command's exit status (0 to 255); "out" and "err" are what the command
//            wrote to standard output and standard error.
// The server closes the connection after the reply.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harbolt {

constexpr std::size_t kControlRequestLimit = 64 * 1024;

struct TControlReply {
    int Exit = 0;
    std::string Out;
    std::string Err;

    bool operator==(const TControlReply&) const = default;
};

// The command words of a request, or nullopt when the text is not a request of the format above.
// When password is given it receives the request's password, nullopt when the request has none.
// Never throws on bad input.
std::optional<std::vector<std::string>>
ParseControlRequest(std::string_view request, std::optional<std::string>* password = nullptr);
// The request line for args and the password, line feed included. Raises Exception when a word or
// the password is not UTF-8 or holds a NUL.
std::string ControlRequestText(const std::vector<std::string>& args,
                               const std::optional<std::string>& password = std::nullopt);

// Never throws on bad input.
std::optional<TControlReply> ParseControlReply(std::string_view reply);
// The reply line, line feed included; bytes that are not UTF-8 become U+FFFD.
std::string ControlReplyText(const TControlReply& reply);

} // namespace harbolt
