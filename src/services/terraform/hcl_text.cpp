#include "services/terraform/hcl_text.hpp"

#include <fmt/format.h>

#include "core/text.hpp"

namespace dm::terraform::detail {

namespace {

bool isIdentStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isIdentChar(char c) {
    return isIdentStart(c) || (c >= '0' && c <= '9') || c == '-';
}
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Skips a quoted string starting at s[i] == '"'; returns the offset just past its closing quote.
size_t skipString(std::string_view s, size_t i) {
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == '"' || s[i] == '\n') {
            return i + 1;
        }
    }
    return s.size();
}

// A block's type and labels, as before its "{": `module "x"`, `resource "a" "b"`.
bool isBlockHeader(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isIdentChar(text[i]))
        ++i;
    if (i == 0)
        return false;
    while (i < text.size()) {
        if (isBlank(text[i])) {
            ++i;
        } else if (text[i] == '"') {
            size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos)
                return false;
            i = close + 1;
        } else {
            return false;
        }
    }
    return true;
}
}  // namespace

std::string hclQuote(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                // "${" and "%{" would start a template sequence; doubling the sign escapes it.
                if ((c == '$' || c == '%') && i + 1 < text.size() && text[i + 1] == '{') {
                    out += c;
                    out += c;
                } else if (static_cast<unsigned char>(c) < 0x20) {
                    out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string shellQuote(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool isHclIdentifier(std::string_view text) {
    if (text.empty() || !isIdentStart(text.front()))
        return false;
    for (char c : text) {
        if (!isIdentChar(c))
            return false;
    }
    return true;
}

std::string toHclIdentifier(std::string_view text) {
    std::string out;
    for (char c : text)
        out += isIdentChar(c) ? c : '_';
    if (out.empty() || !isIdentStart(out.front()))
        out.insert(out.begin(), '_');
    return out;
}

std::optional<SwitchAttribute> findSwitchAttribute(std::string_view content) {
    constexpr std::string_view kName = "switch_traffic";
    bool inBlockComment = false;
    size_t lineStart = 0;
    while (lineStart < content.size()) {
        size_t lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = content.size();
        std::string_view line = content.substr(lineStart, lineEnd - lineStart);
        size_t base = lineStart;
        lineStart = lineEnd + 1;

        if (inBlockComment) {
            size_t close = line.find("*/");
            if (close == std::string_view::npos)
                continue;
            inBlockComment = false;
            line.remove_prefix(close + 2);
            base += close + 2;
        }
        size_t i = 0;
        while (i < line.size() && isBlank(line[i]))
            ++i;
        if (line.substr(i, 2) == "/*") {
            inBlockComment = line.find("*/", i + 2) == std::string_view::npos;
            continue;
        }
        // A one-line block holds its one attribute after the header: `module "x" { name = v }`.
        if (size_t open = line.find('{', i); open != std::string_view::npos &&
                                             line.substr(i, kName.size()) != kName &&
                                             isBlockHeader(line.substr(i, open - i))) {
            i = open + 1;
            while (i < line.size() && isBlank(line[i]))
                ++i;
        }
        if (line.substr(i, kName.size()) != kName)
            continue;
        i += kName.size();
        while (i < line.size() && isBlank(line[i]))
            ++i;
        if (i >= line.size() || line[i] != '=')
            continue;
        ++i;
        while (i < line.size() && isBlank(line[i]))
            ++i;
        size_t valueBegin = i;
        while (i < line.size() && isIdentChar(line[i]))
            ++i;
        std::string_view value = line.substr(valueBegin, i - valueBegin);
        if (value != "true" && value != "false")
            continue;
        while (i < line.size() && isBlank(line[i]))
            ++i;
        // After the value: nothing, a comment, or the "}" that closes the block.
        std::string_view rest = line.substr(i);
        if (!rest.empty() && rest.front() != '#' && rest.front() != '}' &&
            !text::startsWith(rest, "//"))
            continue;
        return SwitchAttribute{base + valueBegin, base + valueBegin + value.size(),
                               value == "true"};
    }
    return std::nullopt;
}

std::optional<size_t> findModuleBlockEnd(std::string_view content, std::string_view name) {
    const std::string wanted = "module " + hclQuote(name);
    int depth = 0;
    size_t headerStart = 0;
    bool wantedOpen = false;
    for (size_t i = 0; i < content.size();) {
        char c = content[i];
        if (c == '#' || content.substr(i, 2) == "//") {
            size_t nl = content.find('\n', i);
            i = nl == std::string_view::npos ? content.size() : nl;
        } else if (content.substr(i, 2) == "/*") {
            size_t close = content.find("*/", i + 2);
            i = close == std::string_view::npos ? content.size() : close + 2;
        } else if (c == '"') {
            i = skipString(content, i);
        } else if (c == '{') {
            if (depth == 0) {
                // Collapse the header's blanks so `module   "x"  {` still matches.
                std::string header;
                for (char h : content.substr(headerStart, i - headerStart)) {
                    if (isBlank(h) || h == '\n') {
                        if (!header.empty() && header.back() != ' ')
                            header += ' ';
                    } else {
                        header += h;
                    }
                }
                wantedOpen = text::trim(header) == wanted;
            }
            ++depth;
            ++i;
        } else if (c == '}') {
            if (depth > 0 && --depth == 0) {
                if (wantedOpen)
                    return i;
                headerStart = i + 1;
            }
            ++i;
        } else {
            if (c == '\n' && depth == 0)
                headerStart = i + 1;
            ++i;
        }
    }
    return std::nullopt;
}

}  // namespace dm::terraform::detail
