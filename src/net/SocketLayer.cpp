#include "net/SocketLayer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harbolt {

std::atomic<bool> WinSockLoaded{false};

namespace {

// getaddrinfo restricted to IPv4; the result list is freed on every path.
struct TAddressInfo {
    addrinfo* List = nullptr;
    TAddressInfo(const char* name, int flags) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = flags;
        if (getaddrinfo(name, nullptr, &hints, &List) != 0)
            List = nullptr;
    }
    ~TAddressInfo() {
        if (List != nullptr)
            freeaddrinfo(List);
    }
    TAddressInfo(const TAddressInfo&) = delete;
    TAddressInfo& operator=(const TAddressInfo&) = delete;
};

constexpr const char* kLoopbackText = "127.0.0.1";

} // namespace

void LoadWinSock() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    WinSockLoaded.store(probe >= 0);
    if (probe >= 0)
        close(probe);
}

std::uint32_t ResolveAddress(std::string_view text) {
    if (text.empty())
        return kInaddrNone;
    try {
        const std::string name(text);
        in_addr dotted{};
        if (inet_aton(name.c_str(), &dotted) != 0)
            return dotted.s_addr;
        const TAddressInfo info(name.c_str(), 0);
        if (info.List == nullptr || info.List->ai_addr == nullptr ||
            info.List->ai_addrlen < sizeof(sockaddr_in))
            return kInaddrNone;
        sockaddr_in first{};
        std::memcpy(&first, info.List->ai_addr, sizeof first);
        return first.sin_addr.s_addr;
    } catch (...) {
        return kInaddrNone;
    }
}

std::string AddressToDotted(std::uint32_t address) {
    const std::uint32_t host = ntohl(address);
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xFF) + "." +
           std::to_string((host >> 8) & 0xFF) + "." + std::to_string(host & 0xFF);
}

std::string AddressToName(std::uint32_t address) {
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_addr.s_addr = address;
    std::array<char, NI_MAXHOST> name{};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&record), sizeof record, name.data(),
                    name.size(), nullptr, 0, NI_NAMEREQD) == 0 &&
        name[0] != '\0')
        return name.data();
    return AddressToDotted(address);
}

std::string SocketAddressToText(const sockaddr_in& address) {
    if (address.sin_family == AF_INET)
        return AddressToName(address.sin_addr.s_addr) + ":" +
               std::to_string(ntohs(address.sin_port));
    // IPX layout: family (2 bytes), network number (4), node number (6), socket number (2).
    std::array<unsigned char, sizeof(sockaddr_in)> bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    std::string text;
    bool leading = true;
    for (std::size_t i = 2; i < 12; ++i) {
        if (leading && bytes[i] == 0)
            continue;
        leading = false;
        char hex[4];
        std::snprintf(hex, sizeof hex, "%.2X", bytes[i]);
        if (!text.empty())
            text += ",";
        text += hex;
    }
    const auto socketNumber = static_cast<std::uint16_t>((bytes[12] << 8) | bytes[13]);
    return text + ":" + std::to_string(socketNumber);
}

std::string LocalHostName() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), 255) != 0 || name[0] == '\0')
        return kLoopbackText;
    const TAddressInfo info(name.data(), AI_CANONNAME);
    if (info.List == nullptr || info.List->ai_canonname == nullptr)
        return kLoopbackText;
    return info.List->ai_canonname;
}

bool IsLoopbackAddress(std::uint32_t address) {
    return (ntohl(address) >> 24) == 127;
}

std::vector<std::uint32_t> LocalInterfaceAddresses() {
    std::vector<std::uint32_t> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0)
            continue;
        const std::uint32_t address =
            reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        if (!IsLoopbackAddress(address) &&
            std::find(addresses.begin(), addresses.end(), address) == addresses.end())
            addresses.push_back(address);
    }
    freeifaddrs(list);
    return addresses;
}

bool WaitReadable(TSocket socket, int milliseconds) {
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, milliseconds < 0 ? 0 : milliseconds) == 1 &&
           (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

} // namespace harbolt
