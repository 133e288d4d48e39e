#pragma once

#include <string>

// The mapping table: each own property "ProxyMapping00" to "ProxyMapping99" is one local proxy
// port, written as "bindhost:port -> destination, trigger|notrigger".
namespace harbolt {

constexpr int kMappingCount = 100;

// "ProxyMapping%.2d".
std::string MappingKey(int index);

struct TProxyMapping {
    int Index = 0;
    std::string BindHost;
    std::string BindPort;
    std::string DestinationHost;
    std::string DestinationPort;
    bool Trigger = false; // this mapping may request a dial

    std::string BindAddress() const { return BindHost + ":" + BindPort; }
};

// Reads a mapping text the way the listener does. It never fails: a text without its separators
// gives a bind address that cannot be bound, and its listener gives up after the bind phase.
// An empty bind host becomes defaultHost (the host of "ProxyServerAddress").
TProxyMapping ParseMappingText(int index, const std::string& defaultHost, const std::string& text);

// What the online computer is asked to do with a mapping's connections.
enum class TProxyKind { Http, Socks5, Ftp, Pop3, Forward };

// Recognises the destination host, ignoring case: the proxy names and their short forms, or a
// plain forwarding.
TProxyKind RecognizeDestination(const std::string& destinationHost);

// The tunnel's type line for a destination: "HTTP PROXY", "SOCKS5 PROXY", "FTP PROXY",
// "POP3 PROXY" or "CONNECT host:port".
std::string TunnelTypeLine(const std::string& destinationHost, const std::string& destinationPort);

} // namespace harbolt
