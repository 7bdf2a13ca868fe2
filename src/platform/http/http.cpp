#include "platform/http/http.hpp"

#include "core/text.hpp"

namespace dm::http {

bool isIdempotent(const Request& request) {
    if (request.idempotent)
        return *request.idempotent;
    for (const char* method : {"GET", "HEAD", "PUT", "DELETE", "OPTIONS"}) {
        if (text::iequals(request.method, method))
            return true;
    }
    return false;
}

std::optional<std::string> Response::header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
        if (text::iequals(k, name))
            return v;
    }
    return std::nullopt;
}

}  // namespace dm::http
