#include "core/file_text.hpp"

#include <fstream>
#include <sstream>

namespace dm {

std::optional<std::string> readFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return content.str();
}

}  // namespace dm
