#include "core/secret_set.hpp"

#include <algorithm>
#include <cstdint>

namespace dm {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The byte that the escape after a backslash stands for in JSON, or -1.
int jsonEscaped(char e) {
    switch (e) {
        case '"':
        case '\\':
        case '/':
            return static_cast<unsigned char>(e);
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return -1;
    }
}

// Adds to `next` the text positions after one encoding of byte `c` that starts at `at`: the
// byte itself, "%XX", "+" for a blank, or a JSON escape.
void matchByte(std::string_view text, std::size_t at, unsigned char c,
               std::vector<std::size_t>& next) {
    if (at >= text.size())
        return;
    const char x = text[at];
    if (static_cast<unsigned char>(x) == c)
        next.push_back(at + 1);
    if (x == '+' && c == ' ')
        next.push_back(at + 1);
    if (x == '%' && at + 3 <= text.size()) {
        const int high = hexValue(text[at + 1]);
        const int low = hexValue(text[at + 2]);
        if (high >= 0 && low >= 0 && high * 16 + low == c)
            next.push_back(at + 3);
    }
    if (x == '\\' && at + 2 <= text.size()) {
        if (jsonEscaped(text[at + 1]) == c)
            next.push_back(at + 2);
        if (text[at + 1] == 'u' && at + 6 <= text.size()) {
            int code = 0;
            for (std::size_t i = at + 2; i < at + 6 && code >= 0; ++i) {
                const int digit = hexValue(text[i]);
                code = digit < 0 ? -1 : code * 16 + digit;
            }
            if (code == c)
                next.push_back(at + 6);
        }
    }
}

// The end of the longest encoded occurrence of `value` that starts at `at`, or `at` when there
// is none. A value cut short by the end of the text or by "..." counts once kMinCutLength of
// its bytes are there.
// `current` and `next` are scratch space, kept by the caller so that a line costs no
// allocation per position.
std::size_t matchValue(std::string_view text, std::size_t at, std::string_view value,
                       std::vector<std::size_t>& current, std::vector<std::size_t>& next) {
    const char first = text[at];
    if (first != value[0] && first != '%' && first != '\\' && !(first == '+' && value[0] == ' '))
        return at;
    // Several encodings may fit at once ("%" and "%25" both start with "%"): every position
    // reachable so far is followed.
    current.assign(1, at);
    std::size_t cutEnd = at;
    for (std::size_t i = 0; i < value.size(); ++i) {
        next.clear();
        for (std::size_t position : current) {
            if (i >= SecretSet::kMinCutLength &&
                (position == text.size() || text.substr(position, 3) == "...")) {
                cutEnd = std::max(cutEnd, position);
            }
            matchByte(text, position, static_cast<unsigned char>(value[i]), next);
        }
        if (next.empty())
            return cutEnd;
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        std::swap(current, next);
    }
    return std::max(cutEnd, *std::max_element(current.begin(), current.end()));
}

std::string base64(std::string_view bytes, bool urlAlphabet) {
    static constexpr std::string_view kStandard =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static constexpr std::string_view kUrl =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const std::string_view alphabet = urlAlphabet ? kUrl : kStandard;
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : bytes) {
        bits = (bits << 8) | static_cast<unsigned char>(c);
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += alphabet[(bits >> count) & 0x3f];
        }
    }
    if (count > 0)
        out += alphabet[(bits << (6 - count)) & 0x3f];
    return out;
}

// The base64 characters that depend on `value` alone, for each of the three offsets at which it
// may sit inside a longer encoded text.
std::vector<std::string> base64Cores(std::string_view value) {
    std::vector<std::string> cores;
    for (std::size_t offset = 0; offset < 3; ++offset) {
        const std::string padded = std::string(offset, '\0') + std::string(value);
        const std::size_t first = (8 * offset + 5) / 6;
        const std::size_t last = 8 * padded.size() / 6;  // the characters before it are whole
        if (last < first + SecretSet::kMinLength + 2)
            continue;
        for (bool url : {false, true})
            cores.push_back(base64(padded, url).substr(first, last - first));
    }
    return cores;
}

}  // namespace

void SecretSet::add(std::string_view value) {
    if (value.size() < kMinLength)
        return;
    std::lock_guard lock(mutex_);
    const auto& known = forms_->values;
    if (std::find(known.begin(), known.end(), value) != known.end())
        return;
    auto next = std::make_shared<Forms>(*forms_);
    next->values.emplace_back(value);
    for (unsigned char start : {static_cast<unsigned char>(value[0]), uint8_t('%'), uint8_t('\\')})
        next->starts[start] = true;
    if (value[0] == ' ')
        next->starts['+'] = true;
    for (auto& core : base64Cores(value)) {
        next->starts[static_cast<unsigned char>(core[0])] = true;
        if (std::find(next->base64.begin(), next->base64.end(), core) == next->base64.end())
            next->base64.push_back(std::move(core));
    }
    forms_ = std::move(next);
}

bool SecretSet::empty() const {
    return snapshot()->values.empty();
}

std::shared_ptr<const SecretSet::Forms> SecretSet::snapshot() const {
    std::lock_guard lock(mutex_);
    return forms_;
}

std::string SecretSet::mask(std::string_view text) const {
    const auto forms = snapshot();
    if (forms->values.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::vector<std::size_t> current, next;
    std::size_t at = 0;
    while (at < text.size()) {
        // The bytes at which no form starts go over in one piece.
        std::size_t plain = at;
        while (plain < text.size() && !forms->starts[static_cast<unsigned char>(text[plain])])
            ++plain;
        if (plain > at) {
            out.append(text.data() + at, plain - at);
            at = plain;
            continue;
        }
        std::size_t end = at;
        for (const auto& value : forms->values)
            end = std::max(end, matchValue(text, at, value, current, next));
        for (const auto& core : forms->base64) {
            if (text.substr(at, core.size()) == core)
                end = std::max(end, at + core.size());
        }
        if (end > at) {
            out += kMask;
            at = end;
        } else {
            out += text[at++];
        }
    }
    return out;
}

}  // namespace dm
