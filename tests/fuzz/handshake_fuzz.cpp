// The handshake lines arrive from anyone who connects to the server port, and from whatever a
// client connected to. A reader takes exactly what its writer makes, hex in either case: whatever
// parses is written back as the same line with its hex in lower case, and reads back the same.
#include "FuzzCheck.h"
#include "net/PeerHandshake.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace harbolt;

namespace {

// The writer's line is the input with nothing but hex letters in lower case.
bool SameLine(std::string_view written, std::string_view input) {
    if (written.size() != input.size())
        return false;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(input[i])));
        if (written[i] != input[i] &&
            !(std::isxdigit(static_cast<unsigned char>(input[i])) && written[i] == lower))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    int parsed = 0;
    if (const auto nonce = ParseClientHello(line)) {
        ++parsed;
        const std::string written = ClientHelloLine(*nonce);
        FUZZ_CHECK(SameLine(written, line));
        FUZZ_CHECK(ParseClientHello(written) == nonce);
    }
    if (const auto hello = ParseServerHello(line)) {
        ++parsed;
        const std::string written = ServerHelloLine(hello->Nonce, hello->Proof);
        FUZZ_CHECK(SameLine(written, line));
        const auto again = ParseServerHello(written);
        FUZZ_CHECK(again && again->Nonce == hello->Nonce && again->Proof == hello->Proof);
    }
    if (const auto proof = ParseProofLine(line)) {
        ++parsed;
        const std::string written = ProofLine(*proof);
        FUZZ_CHECK(SameLine(written, line));
        FUZZ_CHECK(ParseProofLine(written) == proof);
    }
    // No line can be taken for two of them.
    FUZZ_CHECK(parsed <= 1);
    return 0;
}
