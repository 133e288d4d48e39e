// Any local process of the same user can write to the control socket, and the client reads what
// answers there. Whatever the bytes, the two parsers must return (never throw), and what they
// accept must read back the same after it is written out again.
#include "app/Control.h"

#include "FuzzCheck.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace harbolt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto args = ParseControlRequest(text)) {
        FUZZ_CHECK(text.size() <= kControlRequestLimit);
        for (const std::string& word : *args)
            FUZZ_CHECK(word.find('\0') == std::string::npos);
        // Accepted words are UTF-8, so writing them out cannot fail.
        const std::string again = ControlRequestText(*args);
        FUZZ_CHECK(again.find('\n') == again.size() - 1);
        FUZZ_CHECK(ParseControlRequest(again) == args);
    }

    if (const auto reply = ParseControlReply(text)) {
        FUZZ_CHECK(reply->Exit >= 0 && reply->Exit <= 255);
        const std::string again = ControlReplyText(*reply);
        FUZZ_CHECK(again.find('\n') == again.size() - 1);
        FUZZ_CHECK(ParseControlReply(again) == reply);
    }
    return 0;
}
