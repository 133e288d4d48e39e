#include "proxy/HttpFraming.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <string>

#include <arpa/inet.h>

namespace harbolt {

namespace {

// A chunk-size line with its extensions, and all trailer lines together.
constexpr std::size_t kMaxChunkSizeLine = 4096;
constexpr std::size_t kMaxTrailers = 65536;
// Hexadecimal digits of a chunk size: 15 stay below kHttpMaxBodyLength.
constexpr std::size_t kMaxChunkDigits = 15;

// The items of every field called name, in order.
template <typename F> void ForEachItem(const THttpHead& head, std::string_view name, F&& visit) {
    for (const THttpField& field : head.Fields) {
        if (!SameTextAscii(field.Name, name))
            continue;
        std::string_view list = field.Value;
        for (;;) {
            const std::size_t comma = list.find(',');
            const std::string_view item = TrimBlanks(list.substr(0, comma));
            if (!item.empty())
                visit(item);
            if (comma == std::string_view::npos)
                break;
            list.remove_prefix(comma + 1);
        }
    }
}

// All Content-Length values agree on one number: that number; nullopt when one is no number or
// they disagree; 0 with found false when there is none.
std::optional<std::uint64_t> AgreedContentLength(const THttpHead& head, bool& found) {
    found = false;
    std::optional<std::uint64_t> agreed;
    bool broken = false;
    ForEachItem(head, "Content-Length", [&](std::string_view item) {
        const std::optional<std::uint64_t> length = ContentLengthValue(item);
        if (!length || (found && agreed != length))
            broken = true;
        found = true;
        agreed = length;
    });
    if (broken)
        return std::nullopt;
    return found ? agreed : std::optional<std::uint64_t>(0);
}

// The last transfer coding named, empty when there is none.
std::string_view LastCoding(const THttpHead& head) {
    std::string_view last;
    ForEachItem(head, "Transfer-Encoding", [&](std::string_view item) { last = item; });
    return last;
}

bool IsChunked(std::string_view coding) {
    return SameTextAscii(coding, "chunked");
}

} // namespace

THeadScanner::TState THeadScanner::Check(std::size_t lineLength) const {
    if (lineLength > (fFirstLine ? fMaxFirstLine : fMaxLine))
        return fFirstLine ? TState::FirstLineTooLong : TState::LineTooLong;
    return TState::Incomplete;
}

THeadScanner::TState THeadScanner::Scan(std::string_view bytes) {
    if (fState != TState::Incomplete)
        return fState;
    while (fPosition < bytes.size()) {
        const std::size_t lineFeed = bytes.find('\n', fPosition);
        if (lineFeed == std::string_view::npos) {
            fPosition = bytes.size();
            // A CR at the end may still turn out to be part of the line end.
            std::size_t length = fPosition - fLineStart;
            if (bytes.back() == '\r')
                --length;
            fState = Check(length);
            if (fState == TState::Incomplete && fPosition >= fMaxHead)
                fState = TState::HeadTooLarge;
            return fState;
        }
        std::size_t length = lineFeed - fLineStart;
        if (length > 0 && bytes[lineFeed - 1] == '\r')
            --length;
        fPosition = lineFeed + 1;
        if ((fState = Check(length)) != TState::Incomplete)
            return fState;
        if (fPosition > fMaxHead)
            return fState = TState::HeadTooLarge;
        if (length == 0 && !fFirstLine)
            return fState = TState::Complete;
        fFirstLine = false;
        fLineStart = fPosition;
    }
    return fState;
}

void THeadScanner::Reset() {
    fPosition = fLineStart = 0;
    fFirstLine = true;
    fState = TState::Incomplete;
}

THttpHead ParseHead(std::string_view head) {
    THttpHead parsed;
    bool first = true;
    while (!head.empty()) {
        const std::size_t lineFeed = head.find('\n');
        std::string_view line = head.substr(0, lineFeed);
        head.remove_prefix(lineFeed == std::string_view::npos ? head.size() : lineFeed + 1);
        if (!line.empty() && line.back() == '\r' && lineFeed != std::string_view::npos)
            line.remove_suffix(1);
        if (first) {
            parsed.FirstLine = line;
            first = false;
            continue;
        }
        if (line.empty())
            break;
        const std::size_t colon = line.find(':');
        THttpField field{line, line.substr(0, colon), {}};
        if (colon != std::string_view::npos)
            field.Value = TrimBlanks(line.substr(colon + 1));
        parsed.Fields.push_back(field);
    }
    return parsed;
}

bool HasBareCr(const THttpHead& head) {
    return head.FirstLine.find('\r') != std::string_view::npos ||
           std::any_of(head.Fields.begin(), head.Fields.end(), [](const THttpField& field) {
               return field.Line.find('\r') != std::string_view::npos;
           });
}

bool HasToken(std::string_view list, std::string_view token) {
    for (;;) {
        const std::size_t comma = list.find(',');
        if (SameTextAscii(TrimBlanks(list.substr(0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            return false;
        list.remove_prefix(comma + 1);
    }
}

bool FieldsHoldToken(const THttpHead& head, std::string_view name, std::string_view token) {
    return std::any_of(head.Fields.begin(), head.Fields.end(), [&](const THttpField& field) {
        return SameTextAscii(field.Name, name) && HasToken(field.Value, token);
    });
}

bool HasField(const THttpHead& head, std::string_view name) {
    return std::any_of(head.Fields.begin(), head.Fields.end(),
                       [&](const THttpField& field) { return SameTextAscii(field.Name, name); });
}

bool AtLeastHttp11(std::string_view version) {
    if (version.size() < 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.')
        return false;
    const char major = version[5];
    const char minor = version[7];
    if (major < '0' || major > '9' || minor < '0' || minor > '9')
        return false;
    return major > '1' || (major == '1' && minor >= '1');
}

bool RequestKeepsAlive(std::string_view version, const THttpHead& head) {
    if (FieldsHoldToken(head, "Connection", "close"))
        return false;
    return AtLeastHttp11(version) || FieldsHoldToken(head, "Connection", "keep-alive") ||
           FieldsHoldToken(head, "Proxy-Connection", "keep-alive");
}

bool AnswerKeepsAlive(std::string_view version, const THttpHead& head) {
    if (FieldsHoldToken(head, "Connection", "close"))
        return false;
    return AtLeastHttp11(version) || FieldsHoldToken(head, "Connection", "keep-alive");
}

bool IsHopByHop(const THttpHead& head, std::string_view name) {
    for (const std::string_view fixed : {"Connection", "Proxy-Connection", "Keep-Alive",
                                         "Proxy-Authorization", "TE", "Trailer", "Upgrade"})
        if (SameTextAscii(name, fixed))
            return true;
    return FieldsHoldToken(head, "Connection", TrimBlanks(name));
}

std::vector<std::string_view> ForwardedFields(const THttpHead& head, bool keepUpgrade,
                                              bool dropContentLength) {
    std::vector<std::string_view> lines;
    lines.reserve(head.Fields.size());
    for (const THttpField& field : head.Fields) {
        const bool upgrade = keepUpgrade && SameTextAscii(field.Name, "Upgrade");
        if ((IsHopByHop(head, field.Name) && !upgrade) ||
            (dropContentLength && SameTextAscii(field.Name, "Content-Length")))
            continue;
        lines.push_back(field.Line);
    }
    return lines;
}

std::optional<std::uint64_t> ContentLengthValue(std::string_view value) {
    value = TrimBlanks(value);
    if (value.empty())
        return std::nullopt;
    std::uint64_t length = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
        if (length > kHttpMaxBodyLength)
            return std::nullopt; // checked at every digit, so the product never overflows
    }
    return length;
}

TBodyFraming RequestFraming(const THttpHead& head) {
    TBodyFraming framing;
    bool lengthFound = false;
    const std::optional<std::uint64_t> length = AgreedContentLength(head, lengthFound);
    if (HasField(head, "Transfer-Encoding")) {
        // Both at once is how requests are smuggled past one reader to the next.
        framing.Valid = IsChunked(LastCoding(head)) && !lengthFound;
        framing.Kind = TBodyKind::Chunked;
        return framing;
    }
    if (!length) {
        framing.Valid = false;
        return framing;
    }
    if (*length > 0) {
        framing.Kind = TBodyKind::Length;
        framing.Length = *length;
    }
    return framing;
}

TBodyFraming AnswerFraming(std::string_view requestMethod, int status, const THttpHead& head) {
    TBodyFraming framing;
    if (SameTextAscii(requestMethod, "HEAD") || status < 200 || status == 204 || status == 304)
        return framing;
    bool lengthFound = false;
    const std::optional<std::uint64_t> length = AgreedContentLength(head, lengthFound);
    if (HasField(head, "Transfer-Encoding")) {
        framing.Kind = IsChunked(LastCoding(head)) ? TBodyKind::Chunked : TBodyKind::UntilClose;
        framing.DropContentLength = lengthFound;
        return framing;
    }
    if (!length) {
        framing.Valid = false;
        return framing;
    }
    if (lengthFound) {
        framing.Kind = *length > 0 ? TBodyKind::Length : TBodyKind::None;
        framing.Length = *length;
    } else {
        framing.Kind = TBodyKind::UntilClose;
    }
    return framing;
}

std::optional<int> StatusCode(std::string_view statusLine) {
    if (statusLine.size() < 12 || statusLine.substr(0, 5) != "HTTP/" || statusLine[8] != ' ' ||
        (statusLine.size() > 12 && statusLine[12] != ' '))
        return std::nullopt;
    int code = 0;
    for (const char c : statusLine.substr(9, 3)) {
        if (c < '0' || c > '9')
            return std::nullopt;
        code = code * 10 + (c - '0');
    }
    if (code < 100)
        return std::nullopt;
    return code;
}

TBodyFramer::TBodyFramer(const TBodyFraming& framing) : fKind(framing.Kind) {
    switch (framing.Kind) {
    case TBodyKind::None:
        fState = TState::Done;
        break;
    case TBodyKind::Length:
        fLeft = framing.Length;
        fState = fLeft > 0 ? TState::Plain : TState::Done;
        break;
    case TBodyKind::UntilClose:
        fState = TState::Plain;
        break;
    case TBodyKind::Chunked:
        fState = TState::SizeDigits;
        break;
    }
}

std::uint64_t TBodyFramer::PlainBytes() const {
    if (fState == TState::Plain)
        return fKind == TBodyKind::UntilClose ? UINT64_MAX : fLeft;
    return fState == TState::Data ? fLeft : 0;
}

void TBodyFramer::Passed(std::uint64_t count) {
    if (fKind == TBodyKind::UntilClose || count == 0)
        return;
    fLeft -= std::min(count, fLeft);
    if (fLeft == 0)
        fState = fState == TState::Plain ? TState::Done : TState::DataEnd;
}

std::size_t TBodyFramer::Take(std::string_view bytes) {
    std::size_t taken = 0;
    while (taken < bytes.size() && fState != TState::Done && fState != TState::Failed) {
        if (fState == TState::Plain || fState == TState::Data) {
            const std::uint64_t plain = std::min<std::uint64_t>(PlainBytes(), bytes.size() - taken);
            Passed(plain);
            taken += static_cast<std::size_t>(plain);
            continue;
        }
        const char c = bytes[taken++];
        switch (fState) {
        case TState::SizeDigits: {
            const int digit = HexDigitValue(c);
            if (digit >= 0) {
                if (++fDigits > kMaxChunkDigits) {
                    fState = TState::Failed;
                    break;
                }
                fLeft = fLeft * 16 + static_cast<std::uint64_t>(digit);
                break;
            }
            if (fDigits == 0 || (c != ';' && c != ' ' && c != '\t' && c != '\r' && c != '\n')) {
                fState = TState::Failed;
                break;
            }
            fLineBytes = fDigits;
            fState = TState::SizeRest;
            --taken; // the same byte once more, as part of the line's rest
            break;
        }
        case TState::SizeRest:
            if (++fLineBytes > kMaxChunkSizeLine) {
                fState = TState::Failed;
            } else if (c == '\n') {
                fDigits = 0;
                fState = fLeft > 0 ? TState::Data : TState::TrailerStart;
            }
            break;
        case TState::DataEnd:
            fState = c == '\r'   ? TState::DataEndLf
                     : c == '\n' ? TState::SizeDigits
                                 : TState::Failed;
            break;
        case TState::DataEndLf:
            fState = c == '\n' ? TState::SizeDigits : TState::Failed;
            break;
        case TState::TrailerStart:
        case TState::Trailer:
        case TState::TrailerEndLf:
            if (++fTrailerBytes > kMaxTrailers) {
                fState = TState::Failed;
            } else if (c == '\n') {
                fState = fState == TState::Trailer ? TState::TrailerStart : TState::Done;
            } else if (c == '\r' && fState == TState::TrailerStart) {
                fState = TState::TrailerEndLf;
            } else {
                fState = TState::Trailer;
            }
            break;
        default:
            break;
        }
    }
    return taken;
}

std::optional<std::string> UnusableHost(std::string_view host) {
    std::string_view name = host;
    std::optional<std::string_view> port;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return "the server's IPv6 address lacks its closing bracket";
        name = host.substr(1, close - 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':')
            return "the server's IPv6 address is followed by something other than a port";
        if (!rest.empty())
            port = rest.substr(1);
        const std::string text(name);
        in6_addr address;
        if (text.size() > 45 || inet_pton(AF_INET6, text.c_str(), &address) != 1)
            return "the server's IPv6 address is malformed";
        // Such an address would pass by the check that keeps tunnels off this proxy's own ports.
        if (IN6_IS_ADDR_V4MAPPED(&address))
            return "the server's IPv4 address is written as an IPv6 one";
    } else {
        const std::size_t colon = host.find(':');
        if (colon != std::string_view::npos) {
            name = host.substr(0, colon);
            port = host.substr(colon + 1);
        }
        if (name.empty())
            return "the request names no server";
        if (name.size() > kHttpMaxHostName)
            return "the server's name is longer than " + std::to_string(kHttpMaxHostName) +
                   " characters";
        const auto hostCharacter = [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '.' || c == '_';
        };
        if (!std::all_of(name.begin(), name.end(), hostCharacter))
            return "the server's name holds a character no host name has";
    }
    if (port) {
        const bool digits = !port->empty() && port->size() <= 5 &&
                            port->find_first_not_of("0123456789") == std::string_view::npos;
        if (!digits || std::stoul(std::string(*port)) == 0 ||
            std::stoul(std::string(*port)) > 0xFFFF)
            return "the server's port is not a number from 1 to 65535";
    }
    return std::nullopt;
}

} // namespace harbolt
