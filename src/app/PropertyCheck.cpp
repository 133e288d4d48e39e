#include "app/PropertyCheck.h"

#include "platform/CodePage.h"
#include "proxy/AccessRule.h"
#include "proxy/Listeners.h"
#include "proxy/Mapping.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace harbolt {

namespace {

// The first character of text (UTF-8) and its length; a length of 0 when the bytes are no
// well-formed character.
struct TCharacter {
    std::uint32_t CodePoint = 0;
    std::size_t Length = 0;
};

TCharacter FirstCharacter(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (lead < 0x80)
        return {lead, 1};
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
    } else {
        return {};
    }
    if (text.size() < length)
        return {};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return {};
        point = point << 6 | (byte(i) & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10FFFF)) ||
        (point >= 0xD800 && point <= 0xDFFF))
        return {};
    return {point, length};
}

// Names the first character that Windows-1252 cannot hold, nullopt when it holds them all.
std::optional<std::string> UnstorableCharacter(std::string_view text) {
    while (!text.empty()) {
        const TCharacter character = FirstCharacter(text);
        char number[16];
        if (character.Length == 0) {
            std::snprintf(number, sizeof number, "0x%02X",
                          static_cast<unsigned>(static_cast<unsigned char>(text[0])));
            return std::string("the byte ") + number + ", which is no UTF-8";
        }
        const std::string_view shown = text.substr(0, character.Length);
        // The conversion turns what it cannot hold into '?'.
        if (character.CodePoint != '?' && Utf8ToCp1252(shown) == "?") {
            std::snprintf(number, sizeof number, "U+%04X",
                          static_cast<unsigned>(character.CodePoint));
            return "\"" + std::string(shown) + "\" (" + number +
                   "), which Windows-1252 cannot hold";
        }
        text.remove_prefix(character.Length);
    }
    return std::nullopt;
}

bool IsDigits(std::string_view text, std::size_t maxDigits) {
    return !text.empty() && text.size() <= maxDigits &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsPort(std::string_view text) {
    if (!IsDigits(text, 5))
        return false;
    const int port = std::stoi(std::string(text));
    return port >= 1 && port <= 65535;
}

bool SameKey(std::string_view key, const char* known) {
    return SameTextAscii(key, known);
}

bool IsMappingKey(std::string_view key) {
    constexpr std::string_view kPrefix = "ProxyMapping";
    return key.size() == kPrefix.size() + 2 &&
           SameTextAscii(key.substr(0, kPrefix.size()), kPrefix) &&
           IsDigits(key.substr(kPrefix.size()), 2);
}

// The keys read with TextIsTrue.
constexpr const char* kBooleanKeys[] = {"AutoDialAskBeforeDialing",
                                        "AutoDialAskBeforeHangingUp",
                                        "AutoDialEnabled",
                                        "AutoDialViaPeers",
                                        "ProxyDnsServerDial",
                                        "ProxyDnsServerEnabled",
                                        "ProxyEnabled",
                                        "ProxyServerLogAll",
                                        "Timemaster",
                                        "Zeitmeister"};

// What TextIsTrue reads as yes, and the usual words for no (anything else reads as no too, but
// "true" or "on" would be a surprise).
constexpr const char* kYesWords[] = {"yes", "y", "1", "ja", "j", "+"};
constexpr const char* kNoWords[] = {"no", "n", "0", "nein", "false", "-"};

std::optional<std::string> CheckBoolean(std::string_view key, std::string_view value) {
    for (const char* word : kYesWords)
        if (SameTextAscii(value, word))
            return std::nullopt;
    for (const char* word : kNoWords)
        if (SameTextAscii(value, word))
            return std::nullopt;
    return std::string(key) + " takes yes or no (or 1/0, y/n, ja/nein): \"" + std::string(value) +
           "\" would read as no";
}

std::optional<std::string> CheckEndpoint(std::string_view key, std::string_view value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string_view::npos || !IsPort(value.substr(colon + 1)))
        return std::string(key) +
               " takes HOST:PORT (the host may be left out) with a port from 1 "
               "to 65535, not \"" +
               std::string(value) + "\"";
    return std::nullopt;
}

// "[bindhost]:port -> destination, trigger|notrigger", the destination a proxy type or
// host:port, as the listener reads it.
std::optional<std::string> CheckMapping(std::string_view key, std::string_view value) {
    const std::string text(value);
    const std::string bad = std::string(key) +
                            " takes \"[HOST]:PORT -> DESTINATION, trigger\" or "
                            "\"..., notrigger\", DESTINATION a proxy type or "
                            "HOST:PORT; \"" +
                            text + "\" ";
    const std::size_t arrow = text.find(" -> ");
    const std::size_t comma = arrow == std::string::npos ? arrow : text.find(", ", arrow + 4);
    if (arrow == std::string::npos || comma == std::string::npos)
        return bad + "lacks \" -> \" or \", \"";
    const std::string trailer = text.substr(comma + 2);
    if (trailer != "trigger" && trailer != "notrigger")
        return bad + "ends in \"" + trailer + "\"";
    const TMappingFields fields = SplitMappingText(text, "");
    if (!IsPort(fields.BindPort))
        return bad + "has no port from 1 to 65535 to listen on";
    if (fields.Type == TMappingType::Forwarding) {
        // The listener recognises more proxy names than the dialog lists.
        const TProxyMapping mapping = ParseMappingText(0, "", text);
        if (RecognizeDestination(mapping.DestinationHost) == TProxyKind::Forward &&
            (mapping.DestinationHost.empty() || !IsPort(mapping.DestinationPort)))
            return bad + "has no destination HOST:PORT with a port from 1 to 65535";
    }
    return std::nullopt;
}

std::optional<std::string> CheckNetworks(std::string_view key, std::string_view value) {
    std::vector<std::string> errors;
    ParseNetworkList(value, &errors);
    if (errors.empty())
        return std::nullopt;
    std::string named;
    for (const std::string& error : errors)
        named += (named.empty() ? "\"" : ", \"") + error + "\"";
    return std::string(key) + " takes comma-separated blocks a.b.c.d/n; not blocks: " + named;
}

// Comma-separated names, each maybe with "*" as its whole first label ("*.local") or its whole
// last one ("wpad.*"); anything else would silently match nothing.
std::optional<std::string> CheckNamePatterns(std::string_view key, std::string_view value) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        const std::string pattern(TrimBlanks(value.substr(start, comma - start)));
        std::string_view name = pattern;
        if (name.starts_with("*."))
            name.remove_prefix(2);
        else if (name.ends_with(".*"))
            name.remove_suffix(2);
        const bool sound = !name.empty() && name.front() != '.' && name.back() != '.' &&
                           std::all_of(name.begin(), name.end(), [](char c) {
                               return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                                      c == '-' || c == '_' || c == '.';
                           });
        if (!sound)
            return std::string(key) +
                   " takes comma-separated names such as *.local, wpad.* or host.example.com; "
                   "not a name: \"" +
                   pattern + "\"";
        if (comma == std::string_view::npos)
            return std::nullopt;
        start = comma + 1;
    }
}

} // namespace

std::optional<std::string> CheckProperty(std::string_view key, std::string_view value) {
    for (const char c : key) {
        if (c == '\r' || c == '\n' || c == '\0' || c == '=')
            return std::string("the key holds ") +
                   (c == '\r'   ? "a carriage return"
                    : c == '\n' ? "a line feed"
                    : c == '\0' ? "a NUL"
                                : "\"=\"") +
                   ", which the property list could not show apart";
    }
    if (const auto character = UnstorableCharacter(key))
        return "the key holds " + *character;
    const std::size_t stored = Utf8ToCp1252(key).size();
    if (stored > kMaxPropertyKeyBytes)
        return "the key is " + std::to_string(stored) + " bytes long; at most " +
               std::to_string(kMaxPropertyKeyBytes) + " are kept";
    if (value.empty())
        return std::nullopt; // a deletion
    if (const auto character = UnstorableCharacter(value))
        return "the value holds " + *character;
    if (SameKey(key, "ProxyServerAddress"))
        return CheckEndpoint(key, value);
    if (IsMappingKey(key))
        return CheckMapping(key, value);
    for (const char* boolean : kBooleanKeys)
        if (SameKey(key, boolean))
            return CheckBoolean(key, value);
    // Longer numbers read as 0 (off) in the dialer.
    if (SameKey(key, "AutoDialDisconnectAfter") && !IsDigits(value, 9))
        return std::string(key) + " takes the seconds as plain digits (at most 9), not \"" +
               std::string(value) + "\"";
    if (SameKey(key, "ProxyMaxSessions") && !IsDigits(value, 9))
        return std::string(key) +
               " takes the sessions per listener as plain digits (at most 9; "
               "0 for the default, " +
               std::to_string(kDefaultMaxSessions) + "), not \"" + std::string(value) + "\"";
    for (const char* limit : {"AutoDialMonthlyMinutes", "AutoDialMaxDialsPerHour"})
        if (SameKey(key, limit) && !IsDigits(value, 9))
            return std::string(key) +
                   " takes plain digits (at most 9; empty or 0: no limit), not \"" +
                   std::string(value) + "\"";
    if (SameKey(key, "ProxyDnsNoDialNames"))
        return CheckNamePatterns(key, value);
    if (SameKey(key, "ProxyAllowedNetworks"))
        return CheckNetworks(key, value);
    return std::nullopt;
}

std::optional<std::string> PropertyWarning(std::string_view key, std::string_view value) {
    if (!SameKey(key, "ProxyAllowedNetworks"))
        return std::nullopt;
    for (const TNetworkBlock& block : ParseNetworkList(value))
        if (block.Mask == 0)
            return "ProxyAllowedNetworks holds " + block.Text() +
                   ": the proxy ports admit every address, from the Internet too";
    return std::nullopt;
}

} // namespace harbolt
