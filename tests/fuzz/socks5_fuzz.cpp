// A SOCKS5 client's negotiation arrives from any program on the network. Whatever the bytes, the
// method selection and the request must be read exactly as far as the protocol says and no
// further, answered only with 5,0 (method 0 offered) or 5,255, and end in one of three ways: the
// client closed too early, ESocks with the message for the offending byte (and reply code 8 for
// an unknown address type only), or a request that encodes back to exactly the bytes read. Only the
// negotiation is read here: no target is ever contacted or bound.
//
// Input: the bytes the client sends before it stops sending (at most 1024).
#include "proxy/Socks5Proxy.h"

#include "FuzzCheck.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "net/SocketLayer.h"
#include "platform/Languages.h"

using namespace harbolt;

namespace {

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

// Everything the channel still delivers until its peer closes.
std::string Drain(TCommunication& channel) {
    std::string bytes;
    char buffer[2048];
    int received;
    while ((received = channel.ReceiveSome(buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(received));
    return bytes;
}

// The request bytes that say what request says.
std::string Encoded(const TSocksRequest& request, unsigned char addressType) {
    const std::size_t colon = request.Target.rfind(':');
    FUZZ_CHECK(colon != std::string::npos);
    const std::string host = request.Target.substr(0, colon);
    const std::string portText = request.Target.substr(colon + 1);
    FUZZ_CHECK(!portText.empty() && portText.size() <= 5 &&
               portText.find_first_not_of("0123456789") == std::string::npos);
    FUZZ_CHECK(portText.size() == 1 || portText[0] != '0');
    const unsigned long port = std::stoul(portText);
    FUZZ_CHECK(port <= 0xFFFF);

    FUZZ_CHECK(request.AddressType == addressType);
    std::string bytes = {5, static_cast<char>(request.Command), 0, static_cast<char>(addressType)};
    if (addressType == 4) {
        // "[address]" as inet_ntop writes it.
        FUZZ_CHECK(host.size() > 2 && host.front() == '[' && host.back() == ']');
        const std::string inside = host.substr(1, host.size() - 2);
        in6_addr address{};
        FUZZ_CHECK(inet_pton(AF_INET6, inside.c_str(), &address) == 1);
        bytes.append(reinterpret_cast<const char*>(address.s6_addr), 16);
        char text[INET6_ADDRSTRLEN];
        FUZZ_CHECK(inet_ntop(AF_INET6, &address, text, sizeof text) != nullptr);
        FUZZ_CHECK(inside == text);
    } else if (addressType == 1) {
        in_addr address{};
        FUZZ_CHECK(inet_pton(AF_INET, host.c_str(), &address) == 1);
        bytes.append(reinterpret_cast<const char*>(&address.s_addr), 4);
        // Dotted decimal without leading zeros, as inet_pton reads it back.
        char dotted[INET_ADDRSTRLEN];
        FUZZ_CHECK(inet_ntop(AF_INET, &address, dotted, sizeof dotted) != nullptr);
        FUZZ_CHECK(host == dotted);
    } else {
        FUZZ_CHECK(host.size() <= 255);
        bytes += static_cast<char>(host.size());
        bytes += host;
    }
    bytes += static_cast<char>(port >> 8);
    bytes += static_cast<char>(port & 0xFF);
    return bytes;
}

// How the request starting at request[0] must end up.
void CheckRequest(const std::string& request, const std::optional<TSocksRequest>& parsed,
                  bool raised, const std::string& error, std::optional<std::uint8_t> reply,
                  const std::string& rest) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(request[i]); };
    const auto closedEarly = [&] { FUZZ_CHECK(!raised && !parsed && rest.empty()); };
    const auto raisedWith = [&](const std::string& message,
                                std::optional<std::uint8_t> code = std::nullopt) {
        FUZZ_CHECK(raised && error == message && reply == code);
    };
    if (request.empty())
        return closedEarly();
    if (byte(0) != 5)
        return raisedWith("bad version " + std::to_string(byte(0)) + ", 5 expected");
    if (request.size() < 4)
        return closedEarly();
    if (byte(2) != 0)
        return raisedWith("Request.RSV MUST be 0");
    if (byte(1) < 1 || byte(1) > 3)
        return raisedWith("bad Request.CMD: " + std::to_string(byte(1)));
    std::size_t length;
    if (byte(3) == 1) {
        length = 4 + 4 + 2;
    } else if (byte(3) == 3) {
        if (request.size() < 5)
            return closedEarly();
        length = 4 + 1 + byte(4) + 2;
    } else if (byte(3) == 4) {
        length = 4 + 16 + 2;
    } else {
        return raisedWith("bad Request.ATYP: " + std::to_string(byte(3)),
                          kSocksAddressTypeNotSupported);
    }
    if (request.size() < length)
        return closedEarly();
    FUZZ_CHECK(!raised && parsed);
    FUZZ_CHECK(Encoded(*parsed, byte(3)) == request.substr(0, length));
    FUZZ_CHECK(rest == request.substr(length));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 1024));

    std::string endpoint;
    TCommunication& listener = Listener(endpoint);
    auto client = TCommunication::CreateUnconnected(false, false);
    client->Connect(endpoint);
    std::unique_ptr<TBufferedCommunication> server = listener.Accept(5000);
    FUZZ_CHECK(server != nullptr);
    client->Send(input.data(), static_cast<int>(input.size()));
    client->Flush();
    shutdown(client->Socket(), SHUT_WR);

    bool agreed = false;
    std::optional<TSocksRequest> parsed;
    bool raised = false;
    std::string error;
    std::optional<std::uint8_t> reply;
    try {
        agreed = NegotiateSocks5Method(*server);
        if (agreed)
            parsed = ReadSocks5Request(*server);
    } catch (const ESocks& e) {
        raised = true;
        error = e.what();
        reply = e.Reply();
    }
    // Read to the end before closing, so that the close is orderly and the replies arrive.
    const std::string rest = Drain(*server);
    server.reset();
    const std::string replies = Drain(*client);

    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(input[i]); };
    if (input.empty()) {
        FUZZ_CHECK(!agreed && !raised && replies.empty());
        return 0;
    }
    if (byte(0) != 5) {
        FUZZ_CHECK(raised && error == "bad version " + std::to_string(byte(0)) + ", 5 expected");
        FUZZ_CHECK(replies.empty() && !reply);
        return 0;
    }
    if (input.size() < 2 || input.size() < 2u + byte(1)) {
        FUZZ_CHECK(!agreed && !raised && replies.empty());
        return 0;
    }
    const std::size_t greeting = 2u + byte(1);
    const bool offersNone = input.find('\0', 2) < greeting;
    FUZZ_CHECK(agreed == offersNone);
    FUZZ_CHECK(replies == (offersNone ? std::string("\x05\x00", 2) : std::string("\x05\xFF", 2)));
    if (!offersNone) {
        FUZZ_CHECK(!raised && rest == input.substr(greeting));
        return 0;
    }
    CheckRequest(input.substr(greeting), parsed, raised, error, reply, rest);
    return 0;
}
