#include "core/text.hpp"

#include <algorithm>
#include <cctype>

namespace dm::text {

std::string toLower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            parts.emplace_back(s.substr(start));
            return parts;
        }
        parts.emplace_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

std::string join(const std::vector<std::string>& parts, std::string_view sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += sep;
        out += parts[i];
    }
    return out;
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

namespace {

bool isC1Lead(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s[i]) == 0xc2 && i + 1 < s.size() &&
           static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
           static_cast<unsigned char>(s[i + 1]) <= 0x9f;
}

bool isC0(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

}  // namespace

bool hasControl(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (isC0(s[i]) || isC1Lead(s, i))
            return true;
    }
    return false;
}

std::string escapeControl(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() + 8);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto u = static_cast<unsigned char>(s[i]);
        if (s[i] == '\n') {
            out += "\\n";
        } else if (s[i] == '\r') {
            out += "\\r";
        } else if (s[i] == '\t') {
            out += "\\t";
        } else if (isC0(s[i])) {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xf];
        } else if (isC1Lead(s, i)) {
            const auto c1 = static_cast<unsigned char>(s[++i]);
            out += "\\u00";
            out += kHex[c1 >> 4];
            out += kHex[c1 & 0xf];
        } else {
            out += s[i];
        }
    }
    return out;
}

bool isSafePathName(std::string_view name) {
    return name != "." && name != ".." && name.find_first_of("/\\") == std::string_view::npos &&
           !hasControl(name);
}

}  // namespace dm::text
