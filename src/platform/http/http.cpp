#include "platform/http/http.hpp"

#include "core/text.hpp"

namespace dm::http {

std::optional<std::string> Response::header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
        if (text::iequals(k, name)) return v;
    }
    return std::nullopt;
}

}  // namespace dm::http
