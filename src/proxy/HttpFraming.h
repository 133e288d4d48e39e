#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where HTTP/1.1 messages begin and end in a byte stream: the head of a request or an answer, the
// fields of a head, and the length of a body. The pieces are pure: they are fed bytes and tell
// where a head or a body ends, so that the proxy can keep several requests apart on one
// connection without reading line by line.
namespace harbolt {

// A request line or a header line of a request, without its line end.
constexpr std::size_t kHttpMaxLine = 16384;
// A request head, its line ends and its empty last line included.
constexpr std::size_t kHttpMaxHead = 65536;
// An answer head, and each of its lines.
constexpr std::size_t kHttpMaxAnswerHead = 65536;
// The largest body length taken as a number; beyond it a length is garbled.
constexpr std::uint64_t kHttpMaxBodyLength = std::uint64_t{1} << 60;

// Finds the end of a head (the first empty line) in bytes that arrive piece by piece. Each call
// gets the bytes from the head's start, those of the last call and more; every byte is looked at
// once.
class THeadScanner {
public:
    enum class TState {
        Incomplete,
        Complete,
        FirstLineTooLong,
        LineTooLong,  // a line after the first
        HeadTooLarge, // the whole head
    };

    THeadScanner(std::size_t maxFirstLine, std::size_t maxLine, std::size_t maxHead)
        : fMaxFirstLine(maxFirstLine), fMaxLine(maxLine), fMaxHead(maxHead) {}

    TState Scan(std::string_view bytes);
    // Complete: the bytes of the head, its empty line included.
    std::size_t Length() const { return fPosition; }
    // Scans a new head from its start.
    void Reset();

private:
    TState Check(std::size_t lineLength) const;

    const std::size_t fMaxFirstLine;
    const std::size_t fMaxLine;
    const std::size_t fMaxHead;
    std::size_t fPosition = 0;  // bytes looked at
    std::size_t fLineStart = 0; // where the current line began
    bool fFirstLine = true;
    TState fState = TState::Incomplete;
};

// One header line: the name is the text before the first ":" (the whole line without one), the
// value the rest without the blanks around it.
struct THttpField {
    std::string_view Line;
    std::string_view Name;
    std::string_view Value;
};

// A head split into lines; the views point into the bytes given to ParseHead.
struct THttpHead {
    std::string_view FirstLine;
    std::vector<THttpField> Fields; // without the empty last line
};

// Lines end at LF; a CR before it belongs to the line end.
THttpHead ParseHead(std::string_view head);

// Whether a line holds a CR of its own, not as part of its line end: some readers take that for a
// line end, others do not, so such a head is refused rather than passed on.
bool HasBareCr(const THttpHead& head);

// Whether a comma-separated list (a Connection value, say) holds token, in any case.
bool HasToken(std::string_view list, std::string_view token);
// Whether any field called name (in any case) holds token.
bool FieldsHoldToken(const THttpHead& head, std::string_view name, std::string_view token);
bool HasField(const THttpHead& head, std::string_view name);

// "HTTP/1.1" and later versions: persistent unless told otherwise.
bool AtLeastHttp11(std::string_view version);
// Whether the sender of a message of this version keeps its connection open afterwards.
// A request of HTTP/1.0 may also ask with Proxy-Connection.
bool RequestKeepsAlive(std::string_view version, const THttpHead& head);
bool AnswerKeepsAlive(std::string_view version, const THttpHead& head);

// Fields that concern one hop and are not passed on: Connection and every field it names,
// Proxy-Connection, Keep-Alive, Proxy-Authorization, TE, Trailer, Upgrade.
bool IsHopByHop(const THttpHead& head, std::string_view name);
// The lines to pass on. keepUpgrade keeps Upgrade (an upgrade is asked for or granted);
// dropContentLength drops Content-Length (a chunked body has no length of its own).
std::vector<std::string_view> ForwardedFields(const THttpHead& head, bool keepUpgrade,
                                              bool dropContentLength = false);

enum class TBodyKind {
    None,
    Length,     // Content-Length bytes
    Chunked,    // the chunked transfer coding, up to its last chunk and trailers
    UntilClose, // all bytes until the sender closes
};

struct TBodyFraming {
    TBodyKind Kind = TBodyKind::None;
    std::uint64_t Length = 0;
    // False when the length cannot be told safely: a request then gets 400, an answer 502.
    bool Valid = true;
    bool DropContentLength = false;
};

// The decimal number of a Content-Length value: digits with blanks around them.
std::optional<std::uint64_t> ContentLengthValue(std::string_view value);

// A request's body: chunked when Transfer-Encoding ends with chunked, else Content-Length
// bytes, else none. Both together, an unknown coding or lengths that disagree are refused.
TBodyFraming RequestFraming(const THttpHead& head);
// An answer's body: none after HEAD and with 1xx, 204 and 304; otherwise chunked,
// Content-Length bytes, or everything until the server closes.
TBodyFraming AnswerFraming(std::string_view requestMethod, int status, const THttpHead& head);

// The status code of "HTTP/x.y NNN text"; nullopt for anything else.
std::optional<int> StatusCode(std::string_view statusLine);

// Follows one body through the bytes that come after its head.
class TBodyFramer {
public:
    TBodyFramer() = default;
    explicit TBodyFramer(const TBodyFraming& framing);

    // bytes: what follows the bytes taken before. Returns how many belong to the body; after the
    // body's last byte it takes no more.
    std::size_t Take(std::string_view bytes);
    // Body bytes that may pass without being looked at: the rest of a known length or of the
    // current chunk; for a body that ends with the connection, any number.
    std::uint64_t PlainBytes() const;
    // Count bytes (at most PlainBytes()) passed by without Take.
    void Passed(std::uint64_t count);

    bool Done() const { return fState == TState::Done; }
    bool Failed() const { return fState == TState::Failed; }
    bool EndsAtClose() const { return fKind == TBodyKind::UntilClose; }

private:
    enum class TState {
        Plain,        // Length or UntilClose: bytes counted down (or not at all)
        SizeDigits,   // the hexadecimal size of a chunk
        SizeRest,     // extensions up to the line end
        Data,         // a chunk's bytes
        DataEnd,      // the CR LF after them
        DataEndLf,    // its LF
        TrailerStart, // a trailer line or the empty line
        Trailer,      // in a trailer line
        TrailerEndLf, // the LF of the empty line
        Done,
        Failed,
    };
    TBodyKind fKind = TBodyKind::None;
    TState fState = TState::Done;
    std::uint64_t fLeft = 0;    // Plain (Length) and Data: bytes still to come
    std::size_t fDigits = 0;    // SizeDigits
    std::size_t fLineBytes = 0; // SizeRest: bytes of the size line
    std::size_t fTrailerBytes = 0;
};

// The longest host name the name service takes.
constexpr std::size_t kHttpMaxHostName = 253;

// Why a request's server ("name", "a.b.c.d" or "[IPv6 address]", each optionally with ":port")
// cannot be reached: too long a name, a character no host name has, a malformed IPv6 address, a
// port that is not 1 to 65535. nullopt when it is usable.
std::optional<std::string> UnusableHost(std::string_view host);

} // namespace harbolt
