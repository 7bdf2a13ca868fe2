#include "core/resource_id.hpp"

#include "core/error.hpp"
#include "core/text.hpp"

namespace dm {

std::vector<std::string> splitResourceId(std::string_view id) {
    return text::split(id, '/');
}

std::string resourceIdField(std::string_view id, size_t index) {
    auto parts = splitResourceId(id);
    if (index >= parts.size()) {
        throw Error("resource id '" + std::string(id) + "' has no field at position " +
                    std::to_string(index));
    }
    return parts[index];
}

std::string resourceName(std::string_view id) {
    auto pos = id.rfind('/');
    return std::string(pos == std::string_view::npos ? id : id.substr(pos + 1));
}

}  // namespace dm
