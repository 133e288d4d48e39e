#include "proxy/Mapping.h"

#include "platform/CodePage.h"

#include <cstdio>
#include <initializer_list>

namespace harbolt {

namespace {

// Splits text at the first separator: the part before it (all of text's front when the separator
// is missing, which then is empty) and the rest after dropping as many characters as the
// separator has, found or not. Missing separators therefore eat into the text, as the listener
// always read it.
std::string TakeBefore(std::string& text, const std::string& separator) {
    const std::size_t at = text.find(separator);
    std::string front = at == std::string::npos ? std::string() : text.substr(0, at);
    const std::size_t drop = front.size() + separator.size();
    text = drop < text.size() ? text.substr(drop) : std::string();
    return front;
}

bool IsOneOf(const std::string& text, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (SameTextAscii(text, name))
            return true;
    return false;
}

} // namespace

std::string MappingKey(int index) {
    char key[32];
    std::snprintf(key, sizeof key, "ProxyMapping%.2d", index);
    return key;
}

TProxyMapping ParseMappingText(int index, const std::string& defaultHost, const std::string& text) {
    std::string rest = text;
    const std::string source = TakeBefore(rest, " -> ");
    const std::string destination = TakeBefore(rest, ", ");

    TProxyMapping mapping;
    mapping.Index = index;
    mapping.Trigger = rest == "trigger";
    const std::size_t colon = source.find(':');
    if (colon == std::string::npos) {
        mapping.BindPort = source;
    } else {
        mapping.BindHost = source.substr(0, colon);
        mapping.BindPort = source.substr(colon + 1);
    }
    const std::size_t destinationColon = destination.find(':');
    if (destinationColon == std::string::npos) {
        mapping.DestinationHost = destination;
        mapping.DestinationPort.assign(1, '0'); // (GCC 12 warns wrongly on = "0")
    } else {
        mapping.DestinationHost = destination.substr(0, destinationColon);
        mapping.DestinationPort = destination.substr(destinationColon + 1);
    }
    if (mapping.BindHost.empty())
        mapping.BindHost = defaultHost;
    return mapping;
}

namespace {

// host:port, or an empty host and the whole text as port when it has no ":".
void SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    const std::size_t colon = text.find(':');
    host = colon == std::string::npos ? std::string() : text.substr(0, colon);
    port = colon == std::string::npos ? text : text.substr(colon + 1);
}

bool IsExactlyOneOf(const std::string& text, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (text == name)
            return true;
    return false;
}

} // namespace

TMappingFields SplitMappingText(const std::string& text, const std::string& localAddress) {
    std::string rest = text;
    const std::string source = TakeBefore(rest, " -> ");
    const std::string destination = TakeBefore(rest, ", ");

    TMappingFields fields;
    SplitHostPort(source, fields.BindHost, fields.BindPort);
    if (fields.BindHost.empty())
        fields.BindHost = localAddress;
    const std::string name = destination.substr(0, destination.find(':'));
    if (IsExactlyOneOf(name, {"PROXY", "HTTP PROXY"}))
        fields.Type = TMappingType::Http;
    else if (IsExactlyOneOf(name, {"SOCKS PROXY", "SOCKS5 PROXY", "SOCKS"}))
        fields.Type = TMappingType::Socks5;
    else if (IsExactlyOneOf(name, {"FTP PROXY", "FTP"}))
        fields.Type = TMappingType::Ftp;
    else if (IsExactlyOneOf(name, {"POP3 PROXY", "POP3", "POP PROXY", "POP"}))
        fields.Type = TMappingType::Pop3;
    else {
        fields.Type = TMappingType::Forwarding;
        SplitHostPort(destination, fields.DestinationHost, fields.DestinationPort);
    }
    fields.Trigger = rest == "trigger";
    return fields;
}

std::string JoinMappingFields(const TMappingFields& fields, const std::string& localAddress) {
    std::string destination;
    switch (fields.Type) {
    case TMappingType::None:
        break;
    case TMappingType::Http:
        destination = "HTTP PROXY";
        break;
    case TMappingType::Socks5:
        destination = "SOCKS5 PROXY";
        break;
    case TMappingType::Ftp:
        destination = "FTP PROXY";
        break;
    case TMappingType::Pop3:
        destination = "POP3 PROXY";
        break;
    case TMappingType::Forwarding:
        destination = fields.DestinationHost + ":" + fields.DestinationPort;
        break;
    }
    const std::string bindHost = fields.BindHost == localAddress ? std::string() : fields.BindHost;
    return bindHost + ":" + fields.BindPort + " -> " + destination + ", " +
           (fields.Trigger ? "trigger" : "notrigger");
}

TProxyKind RecognizeDestination(const std::string& host) {
    if (IsOneOf(host, {"PROXY", "HTTP PROXY"}))
        return TProxyKind::Http;
    if (IsOneOf(host, {"SOCKS PROXY", "SOCKS5 PROXY", "SOCKS", "SOCKS5"}))
        return TProxyKind::Socks5;
    if (IsOneOf(host, {"FTP PROXY", "FTP"}))
        return TProxyKind::Ftp;
    if (IsOneOf(host, {"POP3 PROXY", "POP3", "POP PROXY", "POP"}))
        return TProxyKind::Pop3;
    return TProxyKind::Forward;
}

std::string TunnelTypeLine(const std::string& host, const std::string& port) {
    switch (RecognizeDestination(host)) {
    case TProxyKind::Http:
        return "HTTP PROXY";
    case TProxyKind::Socks5:
        return "SOCKS5 PROXY";
    case TProxyKind::Ftp:
        return "FTP PROXY";
    case TProxyKind::Pop3:
        return "POP3 PROXY";
    case TProxyKind::Forward:
        break;
    }
    return "CONNECT " + host + ":" + port;
}

} // namespace harbolt
