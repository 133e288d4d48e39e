#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What may be stored as a property of the own computer: keys that every reader can take apart
// again, values Windows-1252 can hold, and the known keys in the form their readers expect. Peers
// and older tools may store anything; this is asked only before a person's own change.
namespace harbolt {

// The longest key, in stored (Windows-1252) bytes.
constexpr std::size_t kMaxPropertyKeyBytes = 255;

// Why value (UTF-8) should not be stored under key (UTF-8); nullopt when it may. An empty value
// deletes the key, so only the key is checked then.
std::optional<std::string> CheckProperty(std::string_view key, std::string_view value);

// A warning about a value that may be stored but is probably not meant (an allowed network that
// admits every address); nullopt when there is none.
std::optional<std::string> PropertyWarning(std::string_view key, std::string_view value);

} // namespace harbolt
