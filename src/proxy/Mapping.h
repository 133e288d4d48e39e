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

// A mapping as the settings dialog edits it: its fields, taken apart from the stored text and put
// together again. The destination types are the dialog's list, in its order.
enum class TMappingType { None = -1, Http, Socks5, Ftp, Pop3, Forwarding };

struct TMappingFields {
    std::string BindHost;
    std::string BindPort;
    TMappingType Type = TMappingType::None;
    std::string DestinationHost; // only for a forwarding
    std::string DestinationPort;
    bool Trigger = false;

    bool operator==(const TMappingFields&) const = default;
};

// Takes a stored mapping apart as far as its separators allow; missing parts come out empty. An
// empty bind host shows as localAddress. The type names are compared exactly (the dialog lists
// fewer names than the listener recognises: "SOCKS5" alone is a forwarding to port "SOCKS5").
TMappingFields SplitMappingText(const std::string& text, const std::string& localAddress);
// The stored text: "%s:%s -> %s, %s", the bind host left empty when it equals localAddress.
// Nothing is checked; fields are stored as typed.
std::string JoinMappingFields(const TMappingFields& fields, const std::string& localAddress);

} // namespace harbolt
