#include "dialup/DialupErrors.h"

namespace harbolt {

namespace {

std::string Cut(std::string text) {
    if (text.size() > kMaxErrorTextLength)
        text.resize(kMaxErrorTextLength);
    return text;
}

} // namespace

std::string DialupErrorText(std::uint32_t code) {
    switch (code) {
    case kRasErrorInvalidHandle:
        return "the dial-up connection handle is not valid";
    case kRasErrorBufferTooSmall:
        return "more than 16 dial-up connections are up";
    case kRasErrorCannotFindEntry:
        return "the phone book has no entry of that name";
    case kDialupErrorCheckTimedOut:
        return "a connection check did not finish in time";
    case kDialupErrorDialFailed:
        return "the dial command failed";
    case kDialupErrorNoCommand:
        return "the phone-book entry has no command for that";
    case kDialupErrorCannotStart:
        return "a command of the phone book could not be started";
    case kDialupErrorDialTimedOut:
        return "the connection did not come up in time";
    case kDialupErrorHangUpFailed:
        return "the hangup command failed";
    case kDialupErrorAlreadyDialling:
        return "the entry is being dialled already";
    default:
        return "dial-up error " + std::to_string(code);
    }
}

bool IsDialupErrorCode(std::uint32_t code) {
    return DialupErrorText(code) != "dial-up error " + std::to_string(code);
}

std::uint32_t TDialupErrorTexts::Remember(std::uint32_t code, std::string text) {
    const std::lock_guard<std::mutex> guard(Lock);
    Latest[code] = Cut(std::move(text));
    return code;
}

std::string TDialupErrorTexts::Text(std::uint32_t code) const {
    {
        const std::lock_guard<std::mutex> guard(Lock);
        const auto found = Latest.find(code);
        if (found != Latest.end())
            return found->second;
    }
    return Cut(DialupErrorText(code));
}

} // namespace harbolt
