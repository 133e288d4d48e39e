#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace harbolt {

// Base of every failure the program raises; carries only its message text.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A text that should hold a number does not.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Decimal integer with an optional sign and nothing else (no blanks). Raises EConvertError
// "'TEXT' is not a valid integer value" otherwise, also when the value leaves 32 bits.
std::int32_t StrToInt(std::string_view text);

} // namespace harbolt
