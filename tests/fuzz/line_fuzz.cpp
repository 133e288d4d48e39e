// Lines arrive from every peer and every proxied client. Whatever the bytes and the capacity,
// ReceiveLine must hand out each byte exactly once, never write beyond the capacity, and end
// only where a line ends, at the capacity or at the end of the stream.
//
// Input: byte 0 chooses the capacity, byte 1 how many bytes to take with ReceiveSome between
// lines (0: none), the rest is what the peer sends before it closes (at most 32 KiB).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "net/Communication.h"
#include "net/SocketLayer.h"
#include "platform/Languages.h"

using namespace harbolt;

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

TCommunication& Listener(std::string& endpoint) {
    static std::string listenerEndpoint;
    static const std::unique_ptr<TCommunication> listener = [] {
        SetLanguage(TLanguage::English);
        LoadWinSock();
        auto made = TCommunication::CreateListening(false);
        made->Bind("127.0.0.1:0");
        made->Listen(5);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(made->Socket(), reinterpret_cast<sockaddr*>(&bound), &length);
        listenerEndpoint = "127.0.0.1:" + std::to_string(ntohs(bound.sin_port));
        return made;
    }();
    endpoint = listenerEndpoint;
    return *listener;
}

int CapacityFrom(std::uint8_t byte) {
    // 1..128 one by one, then 64..4224 in steps of 32 (256 at 134, 2048 at 190).
    return byte < 128 ? 1 + byte : (byte - 126) * 32;
}

// How many line-end bytes ReceiveLine strips from a line whose last byte is LF: the LF, and a CR
// before it when the run of CRs before the LF is odd (a second CR counts as an ordinary byte).
int LineEnding(std::string_view line) {
    int crs = 0;
    for (std::size_t i = line.size() - 1; i > 0 && line[i - 1] == '\r'; --i)
        ++crs;
    return 1 + crs % 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const int capacity = CapacityFrom(data[0]);
    const int between = data[1];
    const std::string_view input(reinterpret_cast<const char*>(data + 2),
                                 std::min<std::size_t>(size - 2, 32768));

    std::string endpoint;
    TCommunication& listener = Listener(endpoint);
    std::unique_ptr<TBufferedCommunication> reader;
    {
        auto writer = TCommunication::CreateUnconnected(false, false);
        writer->Connect(endpoint);
        reader = listener.Accept(5000);
        Check(reader != nullptr);
        writer->Send(input.data(), static_cast<int>(input.size()));
    } // flushed and closed

    // One byte of room beyond the capacity shows a write past it.
    std::vector<char> line(static_cast<std::size_t>(capacity) + 1);
    std::size_t position = 0;
    for (;;) {
        line[static_cast<std::size_t>(capacity)] = '\x5a';
        const std::string_view rest = input.substr(position);
        try {
            const int raw = reader->ReceiveLine(line.data(), capacity);
            Check(raw >= 1 && raw < capacity);
            const std::string_view taken = rest.substr(0, static_cast<std::size_t>(raw));
            Check(taken.size() == static_cast<std::size_t>(raw));
            Check(taken.find('\n') == static_cast<std::size_t>(raw - 1));
            const int text = raw - LineEnding(taken);
            Check(std::memcmp(line.data(), taken.data(), static_cast<std::size_t>(text)) == 0);
            Check(line[static_cast<std::size_t>(text)] == '\0');
            position += static_cast<std::size_t>(raw);
        } catch (const ECommunication& e) {
            const std::string message = e.what();
            if (message == "line too long") {
                // capacity bytes were taken; no line ended before the last of them.
                Check(rest.size() >= static_cast<std::size_t>(capacity));
                const std::size_t lineFeed = rest.find('\n');
                Check(lineFeed == std::string_view::npos ||
                      lineFeed >= static_cast<std::size_t>(capacity - 1));
                position += static_cast<std::size_t>(capacity);
            } else {
                // The stream ended inside a line that would have fitted.
                Check(message == "unexpected end of session");
                Check(rest.find('\n') == std::string_view::npos);
                Check(rest.size() < static_cast<std::size_t>(capacity));
                break;
            }
        }
        Check(line[static_cast<std::size_t>(capacity)] == '\x5a');
        if (between > 0 && position < input.size()) {
            // Bytes taken in between come from the line buffer first, then from the socket.
            char some[256];
            const int got = reader->ReceiveSome(some, between);
            Check(got >= 1 && got <= between);
            Check(input.substr(position, static_cast<std::size_t>(got)) ==
                  std::string_view(some, static_cast<std::size_t>(got)));
            position += static_cast<std::size_t>(got);
        }
    }
    return 0;
}
