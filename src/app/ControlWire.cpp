#include "app/ControlInternal.h"
#include "platform/Exceptions.h"

#include <cstdint>
#include <exception>

namespace harbolt {

namespace control {

std::string Dump(const TJson& document, int indent) {
    // The target promises UTF-8; a stray byte must not cost the whole answer.
    return document.dump(indent, ' ', false, TJson::error_handler_t::replace);
}

} // namespace control

namespace {

// Keys and values end at a NUL further down; refuse rather than cut them.
bool IsWireText(const nlohmann::json& value) {
    return value.is_string() && value.get_ref<const std::string&>().find('\0') == std::string::npos;
}

// Raises Exception, naming what, when text cannot travel as a string of a request.
void CheckWireText(const std::string& text, const char* what) {
    if (text.find('\0') != std::string::npos)
        throw Exception(std::string(what) + " cannot hold a NUL byte");
    try {
        (void)nlohmann::json(text).dump();
    } catch (const nlohmann::json::type_error&) {
        throw Exception(std::string(what) + " is not valid UTF-8");
    }
}

} // namespace

std::optional<std::vector<std::string>> ParseControlRequest(std::string_view request,
                                                            std::optional<std::string>* password) {
    if (request.size() > kControlRequestLimit)
        return std::nullopt;
    try {
        const nlohmann::json document =
            nlohmann::json::parse(request.begin(), request.end(), nullptr, false);
        if (!document.is_object())
            return std::nullopt;
        const auto args = document.find("args");
        if (args == document.end() || !args->is_array())
            return std::nullopt;
        std::vector<std::string> words;
        words.reserve(args->size());
        for (const nlohmann::json& word : *args) {
            if (!IsWireText(word))
                return std::nullopt;
            words.push_back(word.get<std::string>());
        }
        std::optional<std::string> sent;
        if (const auto member = document.find("password"); member != document.end()) {
            if (!IsWireText(*member))
                return std::nullopt;
            sent = member->get<std::string>();
        }
        if (password != nullptr)
            *password = std::move(sent);
        return words;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string ControlRequestText(const std::vector<std::string>& args,
                               const std::optional<std::string>& password) {
    for (const std::string& word : args)
        CheckWireText(word, "a command word");
    nlohmann::json document = {{"args", args}};
    if (password) {
        CheckWireText(*password, "the password");
        document["password"] = *password;
    }
    return document.dump() + "\n";
}

std::optional<TControlReply> ParseControlReply(std::string_view reply) {
    try {
        const nlohmann::json document =
            nlohmann::json::parse(reply.begin(), reply.end(), nullptr, false);
        if (!document.is_object())
            return std::nullopt;
        const auto exit = document.find("exit");
        const auto out = document.find("out");
        const auto err = document.find("err");
        if (exit == document.end() || out == document.end() || err == document.end() ||
            !exit->is_number_integer() || !out->is_string() || !err->is_string())
            return std::nullopt;
        // Read as unsigned or signed as stored, so that huge numbers do not wrap into range.
        const bool inRange = exit->is_number_unsigned() ? exit->get<std::uint64_t>() <= 255
                                                        : exit->get<std::int64_t>() >= 0 &&
                                                              exit->get<std::int64_t>() <= 255;
        if (!inRange)
            return std::nullopt;
        return TControlReply{static_cast<int>(exit->get<std::int64_t>()), out->get<std::string>(),
                             err->get<std::string>()};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string ControlReplyText(const TControlReply& reply) {
    control::TJson document = control::TJson::object();
    document["exit"] = reply.Exit;
    document["out"] = reply.Out;
    document["err"] = reply.Err;
    return control::Dump(document, -1) + "\n";
}

} // namespace harbolt
