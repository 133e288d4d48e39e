// Sends one announcement-shaped UDP datagram, for poking a running instance from a test:
//   send_datagram --to ADDR --port N --size BYTES [--magic1 HEX] [--magic2 HEX] [--type N]
//                 [--name NAME] [--broadcast]
// The datagram is the instances' own presence announcement, with the magics and type replaced
// as asked, then cut or zero-padded to BYTES, so wrong sizes and wrong magics can be sent on
// purpose.
#include "peer/Datagram.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kMaxUdpPayload = 65507;

struct TOptions {
    std::string To;
    long Port = -1;
    long Size = -1;
    std::uint32_t Magic1 = harbolt::kDatagramMagic1;
    std::uint32_t Magic2 = harbolt::kDatagramMagic2;
    long Type = 1;
    std::string Name = "E2E";
    bool Broadcast = false;
};

void Usage() {
    std::fputs(
        "usage: send_datagram --to ADDR --port N --size BYTES [--magic1 HEX] [--magic2 HEX]\n"
        "                     [--type N] [--name NAME] [--broadcast]\n",
        stderr);
}

bool ParseNumber(std::string_view text, int base, unsigned long long& out) {
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return error == std::errc() && end == text.data() + text.size();
}

bool ParseRanged(std::string_view text, int base, unsigned long long low, unsigned long long high,
                 unsigned long long& out) {
    return ParseNumber(text, base, out) && out >= low && out <= high;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--broadcast") {
            options.Broadcast = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "send_datagram: %s needs a value\n", argv[i]);
            return false;
        }
        const std::string_view value = argv[++i];
        unsigned long long number = 0;
        bool ok = true;
        if (arg == "--to") {
            options.To = value;
        } else if (arg == "--port") {
            ok = ParseRanged(value, 10, 1, 65535, number);
            options.Port = static_cast<long>(number);
        } else if (arg == "--size") {
            ok = ParseRanged(value, 10, 0, kMaxUdpPayload, number);
            options.Size = static_cast<long>(number);
        } else if (arg == "--magic1" || arg == "--magic2") {
            ok = ParseRanged(value, 16, 0, 0xFFFFFFFFull, number);
            (arg == "--magic1" ? options.Magic1 : options.Magic2) =
                static_cast<std::uint32_t>(number);
        } else if (arg == "--type") {
            ok = ParseRanged(value, 10, 0, 0xFFFF, number);
            options.Type = static_cast<long>(number);
        } else if (arg == "--name") {
            options.Name = value;
        } else {
            std::fprintf(stderr, "send_datagram: unknown option %s\n", argv[i - 1]);
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "send_datagram: bad value '%s' for %s\n", argv[i], argv[i - 1]);
            return false;
        }
    }
    if (options.To.empty() || options.Port < 0 || options.Size < 0) {
        std::fputs("send_datagram: --to, --port and --size are required\n", stderr);
        return false;
    }
    return true;
}

void PutU32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

std::vector<unsigned char> BuildDatagram(const TOptions& options) {
    const harbolt::TDatagram presence = harbolt::PresenceDatagram(options.Name);
    std::vector<unsigned char> bytes(presence.begin(), presence.end());
    PutU32(bytes, 0, options.Magic1);
    PutU32(bytes, 4, options.Magic2);
    bytes[10] = static_cast<unsigned char>(options.Type & 0xFF);
    bytes[11] = static_cast<unsigned char>((options.Type >> 8) & 0xFF);
    bytes.resize(static_cast<std::size_t>(options.Size), 0);
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (!ParseOptions(argc, argv, options)) {
        Usage();
        return 2;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(options.Port));
    if (inet_pton(AF_INET, options.To.c_str(), &target.sin_addr) != 1) {
        std::fprintf(stderr, "send_datagram: '%s' is not a dotted IPv4 address\n",
                     options.To.c_str());
        return 2;
    }

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::fprintf(stderr, "send_datagram: socket: %s\n", std::strerror(errno));
        return 1;
    }
    const int one = 1;
    if (options.Broadcast && setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        std::fprintf(stderr, "send_datagram: SO_BROADCAST: %s\n", std::strerror(errno));
        close(fd);
        return 1;
    }
    const std::vector<unsigned char> bytes = BuildDatagram(options);
    const ssize_t sent = sendto(fd, bytes.data(), bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (sent < 0 || static_cast<std::size_t>(sent) != bytes.size()) {
        std::fprintf(stderr, "send_datagram: sendto %s:%ld: %s\n", options.To.c_str(), options.Port,
                     sent < 0 ? std::strerror(errno) : "short send");
        close(fd);
        return 1;
    }
    close(fd);
    return 0;
}
