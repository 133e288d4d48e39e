#include "platform/Exceptions.h"

#include <charconv>

namespace harbolt {

std::int32_t StrToInt(std::string_view text) {
    std::string_view digits = text;
    // from_chars takes a leading minus but no plus.
    if (!digits.empty() && digits.front() == '+' && (digits.size() < 2 || digits[1] != '-'))
        digits.remove_prefix(1);
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return value;
}

} // namespace harbolt
