// The lines of the FTP and POP3 proxies come from client programs and servers on the network.
// Whatever a line holds, reading it must not crash and what it gives must hold together:
// - a PORT argument yields at most six numbers; an address only from six bytes, and the PORT
//   command written for that address reads back as the same one;
// - an EPRT argument yields an address only for protocol 1, and that address written as an EPRT
//   argument reads back as the same one;
// - a control line is an active command exactly when it is a PORT or an EPRT, with the verdict
//   of its argument; a data connection is allowed only to the client's own address, port 1024
//   or above;
// - the mapping's line cutter, however the bytes are split, passes them all on in order, and
//   acts only on whole lines within its limit;
// - a passive port comes only from a final 227 reply, an extended one only from a final 229,
//   is never 0, and the proxy's own 227 or 229 for that port reads back as it;
// - a reply code comes only from three digits at the start of a line not continued with "-";
// - command recognition ignores case;
// - a POP3 USER argument splits at a separator behind the first character after which no
//   other separator follows; a login line is quit, user or unknown as its words say.
//
// Input: one line (without its line end); the line cutter also gets it as part of a stream.
#include "proxy/FtpProxy.h"
#include "proxy/Pop3Proxy.h"

#include "FuzzCheck.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

using namespace harbolt;

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string AsciiCase(std::string text, bool upper) {
    for (char& c : text) {
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
           a.sin_port == b.sin_port;
}

void CheckPort(std::string_view argument) {
    const TFtpPortNumbers numbers = ScanFtpPortNumbers(argument);
    FUZZ_CHECK(numbers.Count >= 0 && numbers.Count <= 6);
    bool bytes = true;
    for (int i = 0; i < numbers.Count; ++i) {
        FUZZ_CHECK(numbers.Values[static_cast<std::size_t>(i)] <= kFtpNumberLimit);
        bytes = bytes && numbers.Values[static_cast<std::size_t>(i)] <= 255;
    }
    const std::optional<sockaddr_in> address = FtpPortAddress(argument);
    const auto& v = numbers.Values;
    const bool usable = numbers.Count == 6 && bytes;
    FUZZ_CHECK(address.has_value() == usable);
    if (!address)
        return;
    FUZZ_CHECK(address->sin_family == AF_INET);
    FUZZ_CHECK(ntohl(address->sin_addr.s_addr) ==
               ((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]));
    FUZZ_CHECK(ntohs(address->sin_port) == v[4] * 256 + v[5]);
    const std::string command = FtpPortCommand(*address);
    FUZZ_CHECK(FtpCommandIs(command, "PORT "));
    const std::optional<sockaddr_in> again = FtpPortAddress(std::string_view(command).substr(5));
    FUZZ_CHECK(again && SameAddress(*again, *address));
}

void CheckExtendedPort(std::string_view argument) {
    const TFtpEprt eprt = ParseFtpEprt(argument);
    if (eprt.Verdict != TFtpEprtVerdict::Address)
        return;
    FUZZ_CHECK(eprt.Address.sin_family == AF_INET);
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &eprt.Address.sin_addr, dotted, sizeof dotted);
    const TFtpEprt again = ParseFtpEprt("|1|" + std::string(dotted) + "|" +
                                        std::to_string(ntohs(eprt.Address.sin_port)) + "|");
    FUZZ_CHECK(again.Verdict == TFtpEprtVerdict::Address &&
               SameAddress(again.Address, eprt.Address));
}

void CheckActiveCommand(std::string_view line) {
    const TFtpActiveCommand command = ParseFtpActiveCommand(line);
    const bool port = FtpCommandIs(line, "PORT");
    const bool eprt = FtpCommandIs(line, "EPRT");
    FUZZ_CHECK((command.Verdict == TFtpActiveVerdict::NotActive) == (!port && !eprt));
    if (port) {
        const std::optional<sockaddr_in> address =
            FtpPortAddress(line.substr(std::min<std::size_t>(5, line.size())));
        FUZZ_CHECK((command.Verdict == TFtpActiveVerdict::Address) == address.has_value());
        FUZZ_CHECK(command.Verdict != TFtpActiveVerdict::Unsupported);
    }
    if (command.Verdict != TFtpActiveVerdict::Address)
        return;
    FUZZ_CHECK(command.Address.sin_family == AF_INET);
    // The client at the address named, and a neighbour of it.
    sockaddr_in client = command.Address;
    client.sin_port = 0;
    const bool high = ntohs(command.Address.sin_port) >= 1024;
    FUZZ_CHECK(FtpActiveTargetAllowed(command.Address, client) == high);
    client.sin_addr.s_addr ^= htonl(1);
    FUZZ_CHECK(!FtpActiveTargetAllowed(command.Address, client));
}

void CheckLineCutter(const std::string& bytes) {
    TFtpLineCutter cutter;
    bool linesHoldTogether = true;
    const TFtpLineCutter::TRewrite whole = [&](const std::string& line) {
        linesHoldTogether = linesHoldTogether && !line.empty() && line.back() == '\n' &&
                            line.find('\n') == line.size() - 1 &&
                            line.size() <= TFtpLineCutter::kLineLimit;
        return line;
    };
    // Cut where the bytes themselves say, so that the fuzzer reaches every split.
    const std::size_t first =
        bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) % bytes.size();
    const std::size_t second = first + (bytes.size() - first) / 2;
    const std::string_view all(bytes);
    std::string out = cutter.Take(all.substr(0, first), whole);
    out += cutter.Take(all.substr(first, second - first), whole);
    out += cutter.Take(all.substr(second), whole);
    out += cutter.Rest();
    FUZZ_CHECK(out == bytes);
    FUZZ_CHECK(linesHoldTogether);
}

void CheckPassivePort(std::string_view line) {
    const std::optional<std::uint16_t> port = FtpPassivePort(line);
    if (!port)
        return;
    FUZZ_CHECK(FtpReplyCode(line) == 227 && *port != 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(*port);
    FUZZ_CHECK(FtpPassivePort(FtpPassiveReply(own)) == port);
}

void CheckExtendedPassivePort(std::string_view line) {
    const std::optional<std::uint16_t> port = FtpExtendedPassivePort(line);
    if (!port)
        return;
    FUZZ_CHECK(FtpReplyCode(line) == 229 && *port != 0);
    FUZZ_CHECK(FtpExtendedPassivePort(FtpExtendedPassiveReply(*port)) == port);
}

void CheckReplyCode(std::string_view line) {
    const int code = FtpReplyCode(line);
    const bool final = line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) &&
                       IsDigit(line[2]) && (line.size() == 3 || line[3] != '-');
    FUZZ_CHECK((code >= 0) == final);
    if (final)
        FUZZ_CHECK(code == std::stoi(std::string(line.substr(0, 3))));
}

void CheckCommands(const std::string& line) {
    for (const char* command : {"QUIT", "USER ", "PASS ", "PASV", "PORT", "EPRT", "EPSV"}) {
        const bool is = FtpCommandIs(line, command);
        FUZZ_CHECK(FtpCommandIs(AsciiCase(line, true), command) == is);
        FUZZ_CHECK(FtpCommandIs(AsciiCase(line, false), command) == is);
        FUZZ_CHECK(!is || line.size() >= std::string_view(command).size());
    }
    const TPop3Command pop3 = ParsePop3Command(line);
    const std::string lower = AsciiCase(line, false);
    switch (pop3.Kind) {
    case TPop3CommandKind::Quit:
        FUZZ_CHECK(lower == "quit");
        break;
    case TPop3CommandKind::User:
        FUZZ_CHECK(lower.compare(0, 5, "user ") == 0);
        FUZZ_CHECK(pop3.Text == line.substr(5));
        break;
    case TPop3CommandKind::Unknown:
        FUZZ_CHECK(lower != "quit" && lower.compare(0, 5, "user ") != 0);
        FUZZ_CHECK(pop3.Text == line.substr(0, line.find(' ')));
        break;
    }
}

void CheckSeparator(std::string_view argument) {
    const std::size_t at = Pop3SeparatorPosition(argument);
    const std::size_t last = argument.find_last_of("@#$");
    if (last == std::string_view::npos || last == 0) {
        FUZZ_CHECK(at == std::string_view::npos);
        return;
    }
    FUZZ_CHECK(at == last);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    CheckPort(line);
    if (FtpCommandIs(line, "PORT"))
        CheckPort(std::string_view(line).substr(line.size() < 5 ? line.size() : 5));
    CheckExtendedPort(line);
    if (FtpCommandIs(line, "EPRT"))
        CheckExtendedPort(std::string_view(line).substr(4));
    CheckActiveCommand(line);
    CheckLineCutter(line);
    CheckLineCutter(line + "\r\n" + line + "\n");
    CheckPassivePort(line);
    CheckExtendedPassivePort(line);
    CheckReplyCode(line);
    CheckCommands(line);
    CheckSeparator(line);
    return 0;
}
