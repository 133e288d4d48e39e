// Mapping texts and the list of allowed networks are settings in the replicated database: any
// computer of the network can write its own, and the settings dialog stores what the user typed.
// Whatever the text, reading it must not crash and what it gives must hold together:
// - a text without " -> " gives an empty bind port, so its listener cannot bind;
// - the bind host is the default host when none is written, and only a text that ends in
//   "trigger" triggers;
// - recognition ignores case, and the type line names the proxy or is "CONNECT host:port";
// - the settings dialog's fields, taken apart from any text and written again, come apart the
//   same way, and the listener reads what the dialog shows;
// - a network block has its host bits cleared and a contiguous mask, and reads back from its
//   text; a list yields one block or one error for every item that is not blank.
//
// Input: the text. When it holds three newlines, the four parts around them are also put together
// the way the dialog writes a mapping ("%s:%s -> %s, %s") and must be read back as written.
#include "proxy/AccessRule.h"
#include "proxy/Mapping.h"

#include "FuzzCheck.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace harbolt;

namespace {

std::string AsciiCase(std::string text, bool upper) {
    for (char& c : text) {
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

void CheckDestination(const std::string& host, const std::string& port) {
    const TProxyKind kind = RecognizeDestination(host);
    FUZZ_CHECK(RecognizeDestination(AsciiCase(host, true)) == kind);
    FUZZ_CHECK(RecognizeDestination(AsciiCase(host, false)) == kind);
    const std::string line = TunnelTypeLine(host, port);
    switch (kind) {
    case TProxyKind::Http:
        FUZZ_CHECK(line == "HTTP PROXY");
        break;
    case TProxyKind::Socks5:
        FUZZ_CHECK(line == "SOCKS5 PROXY");
        break;
    case TProxyKind::Ftp:
        FUZZ_CHECK(line == "FTP PROXY");
        break;
    case TProxyKind::Pop3:
        FUZZ_CHECK(line == "POP3 PROXY");
        break;
    case TProxyKind::Forward:
        FUZZ_CHECK(line.rfind("CONNECT ", 0) == 0);
        FUZZ_CHECK(line == "CONNECT " + host + ":" + port);
        break;
    }
}

void CheckMapping(const std::string& text, const std::string& defaultHost) {
    const TProxyMapping mapping = ParseMappingText(42, defaultHost, text);
    FUZZ_CHECK(mapping.Index == 42);
    if (text.find(" -> ") == std::string::npos)
        FUZZ_CHECK(mapping.BindPort.empty());
    if (!defaultHost.empty())
        FUZZ_CHECK(!mapping.BindHost.empty());
    FUZZ_CHECK(mapping.BindHost.find(':') == std::string::npos || mapping.BindHost == defaultHost);
    FUZZ_CHECK(mapping.DestinationHost.find(':') == std::string::npos);
    FUZZ_CHECK(!mapping.Trigger || EndsWith(text, "trigger"));
    CheckDestination(mapping.DestinationHost, mapping.DestinationPort);
}

void CheckDialogFields(const std::string& text) {
    const TMappingFields fields = SplitMappingText(text, "10.0.0.2");
    FUZZ_CHECK(fields.Type != TMappingType::None && !fields.BindHost.empty());
    const std::string written = JoinMappingFields(fields, "10.0.0.2");
    FUZZ_CHECK(SplitMappingText(written, "10.0.0.2") == fields);
    const TProxyMapping read = ParseMappingText(1, "10.0.0.2", written);
    FUZZ_CHECK(read.BindHost == fields.BindHost && read.BindPort == fields.BindPort);
    FUZZ_CHECK(read.Trigger == fields.Trigger);
    if (fields.Type == TMappingType::Forwarding)
        FUZZ_CHECK(read.DestinationHost == fields.DestinationHost);
    else
        FUZZ_CHECK(RecognizeDestination(read.DestinationHost) != TProxyKind::Forward);
}

// The four parts as the dialog would write them, when they can be told apart again.
void CheckWrittenMapping(std::string_view input) {
    std::string_view parts[4];
    for (int i = 0; i < 3; ++i) {
        const std::size_t newline = input.find('\n');
        if (newline == std::string_view::npos)
            return;
        parts[i] = input.substr(0, newline);
        input.remove_prefix(newline + 1);
    }
    parts[3] = input;
    const std::string host(parts[0]), port(parts[1]), destination(parts[2]), word(parts[3]);
    // The dialog keeps ":" out of the host, the separators out of host, port and destination.
    if (host.find_first_of(":-") != std::string::npos || port.find('-') != std::string::npos ||
        destination.find(',') != std::string::npos)
        return;
    const TProxyMapping mapping =
        ParseMappingText(7, "10.0.0.2", host + ":" + port + " -> " + destination + ", " + word);
    FUZZ_CHECK(mapping.BindHost == (host.empty() ? "10.0.0.2" : host));
    FUZZ_CHECK(mapping.BindPort == port);
    const std::size_t colon = destination.find(':');
    FUZZ_CHECK(mapping.DestinationHost == destination.substr(0, colon));
    FUZZ_CHECK(mapping.DestinationPort ==
               (colon == std::string::npos ? "0" : destination.substr(colon + 1)));
    FUZZ_CHECK(mapping.Trigger == (word == "trigger"));
}

void CheckBlock(const TNetworkBlock& block) {
    FUZZ_CHECK((block.Address & ~block.Mask) == 0);
    FUZZ_CHECK((~block.Mask & (~block.Mask + 1)) == 0); // ones, then zeros
    FUZZ_CHECK(block.Contains(block.Address));
    const auto again = ParseNetworkBlock(block.Text());
    FUZZ_CHECK(again && *again == block);
}

std::string_view Blankless(std::string_view item) {
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
        item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
        item.remove_suffix(1);
    return item;
}

void CheckNetworks(std::string_view text) {
    if (const auto block = ParseNetworkBlock(text))
        CheckBlock(*block);
    std::vector<std::string> errors;
    const std::vector<TNetworkBlock> blocks = ParseNetworkList(text, &errors);
    std::size_t items = 0;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos)
            comma = text.size();
        if (!Blankless(text.substr(start, comma - start)).empty())
            ++items;
        start = comma + 1;
    }
    FUZZ_CHECK(blocks.size() + errors.size() == items);
    for (const TNetworkBlock& block : blocks)
        CheckBlock(block);
    for (const std::string& error : errors) {
        FUZZ_CHECK(!error.empty() && error.find(',') == std::string::npos);
        FUZZ_CHECK(!ParseNetworkBlock(error));
    }
    FUZZ_CHECK(ParseNetworkList(text).size() == blocks.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckMapping(text, "10.0.0.2");
    CheckMapping(text, "");
    CheckWrittenMapping(text);
    CheckDialogFields(text);
    CheckNetworks(text);
    return 0;
}
