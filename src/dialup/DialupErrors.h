#pragma once

#include "dialup/RasBackend.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// The error codes the dial-up backends return, beyond those in RasBackend.h that the rest of the
// program relies on (6 invalid handle, 603 more than 16 connections, 623 no such entry).
namespace harbolt {

constexpr std::uint32_t kDialupErrorCheckTimedOut = 20001;   // a check did not finish in time
constexpr std::uint32_t kDialupErrorDialFailed = 20002;      // the dial command failed
constexpr std::uint32_t kDialupErrorNoCommand = 20003;       // no dial (or hangup) command
constexpr std::uint32_t kDialupErrorCannotStart = 20004;     // /bin/sh could not be started
constexpr std::uint32_t kDialupErrorDialTimedOut = 20005;    // dialled, but never came up
constexpr std::uint32_t kDialupErrorHangUpFailed = 20006;    // the hangup command failed
constexpr std::uint32_t kDialupErrorAlreadyDialling = 20007; // a dial of the entry still runs

// The error text buffer of the system has room for 255 characters; texts are cut there.
constexpr std::size_t kMaxErrorTextLength = 255;

// The general text of a code; "dial-up error N" for a code of nobody's.
std::string DialupErrorText(std::uint32_t code);
// Whether the code is one of the table above or of RasBackend.h.
bool IsDialupErrorCode(std::uint32_t code);

// The latest detailed text of each code (which entry, which limit, which exit status), so that
// ErrorString(code) says what went wrong the last time. Thread-safe.
class TDialupErrorTexts {
public:
    // Returns the code, for `return Texts.Remember(code, ...)`.
    std::uint32_t Remember(std::uint32_t code, std::string text);
    // The detailed text when there is one, else DialupErrorText(code).
    std::string Text(std::uint32_t code) const;

private:
    mutable std::mutex Lock;
    std::map<std::uint32_t, std::string> Latest;
};

} // namespace harbolt
