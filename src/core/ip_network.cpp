#include "core/ip_network.hpp"

#include <charconv>
#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/text.hpp"

namespace dm {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<int> parseDecimal(std::string_view s, int max) {
    if (s.empty() || s.size() > 3)
        return std::nullopt;
    for (char c : s)
        if (!isDigit(c))
            return std::nullopt;
    if (s.size() > 1 && s[0] == '0')
        return std::nullopt;  // ambiguous octal-looking octets
    int v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    if (v > max)
        return std::nullopt;
    return v;
}

bool parseV4(std::string_view s, uint8_t* out) {
    auto parts = text::split(s, '.');
    if (parts.size() != 4)
        return false;
    for (size_t i = 0; i < 4; ++i) {
        auto v = parseDecimal(parts[i], 255);
        if (!v)
            return false;
        out[i] = static_cast<uint8_t>(*v);
    }
    return true;
}

std::optional<uint16_t> parseHextet(std::string_view s) {
    if (s.empty() || s.size() > 4)
        return std::nullopt;
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc() || p != s.data() + s.size())
        return std::nullopt;
    return static_cast<uint16_t>(v);
}

bool parseV6(std::string_view s, uint8_t* out) {
    // Split around "::" at most once; each side is a list of hextets, the right side may end in
    // an embedded IPv4 address.
    auto dbl = s.find("::");
    if (dbl != std::string_view::npos && s.find("::", dbl + 1) != std::string_view::npos)
        return false;
    auto parseSide = [](std::string_view side, std::vector<uint16_t>& words, bool allowV4) {
        if (side.empty())
            return true;
        auto parts = text::split(side, ':');
        for (size_t i = 0; i < parts.size(); ++i) {
            if (allowV4 && i + 1 == parts.size() && parts[i].find('.') != std::string::npos) {
                uint8_t v4[4];
                if (!parseV4(parts[i], v4))
                    return false;
                words.push_back(static_cast<uint16_t>(v4[0] << 8 | v4[1]));
                words.push_back(static_cast<uint16_t>(v4[2] << 8 | v4[3]));
                continue;
            }
            auto w = parseHextet(parts[i]);
            if (!w)
                return false;
            words.push_back(*w);
        }
        return true;
    };
    std::vector<uint16_t> left, right;
    if (dbl == std::string_view::npos) {
        if (!parseSide(s, left, true) || left.size() != 8)
            return false;
    } else {
        if (!parseSide(s.substr(0, dbl), left, false))
            return false;
        if (!parseSide(s.substr(dbl + 2), right, true))
            return false;
        if (left.size() + right.size() > 7)
            return false;
        left.resize(8 - right.size(), 0);
        left.insert(left.end(), right.begin(), right.end());
    }
    for (size_t i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<uint8_t>(left[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(left[i] & 0xff);
    }
    return true;
}

}  // namespace

IpNetwork IpNetwork::parse(std::string_view textIn) {
    const std::string original(textIn);
    auto invalid = [&]() {
        return Error("'" + original + "' does not appear to be an IPv4 or IPv6 network");
    };
    auto slash = textIn.find('/');
    std::string_view addrText = textIn.substr(0, slash);
    Bytes addr{};
    Family family;
    if (parseV4(addrText, addr.data())) {
        family = Family::V4;
    } else if (addrText.find(':') != std::string_view::npos && parseV6(addrText, addr.data())) {
        family = Family::V6;
    } else {
        throw invalid();
    }
    const int maxLen = family == Family::V4 ? 32 : 128;
    int prefix = maxLen;
    if (slash != std::string_view::npos) {
        auto len = parseDecimal(textIn.substr(slash + 1), maxLen);
        if (!len)
            throw invalid();
        prefix = *len;
    }
    IpNetwork net(family, addr, prefix);
    for (int i = prefix; i < maxLen; ++i) {
        if (net.bit(i))
            throw Error(original + " has host bits set");
    }
    return net;
}

bool IpNetwork::contains(const IpNetwork& other) const {
    if (family_ != other.family_ || other.prefix_ < prefix_)
        return false;
    // With no host bits set on either side, containment is equality of the first prefix_ bits.
    for (int i = 0; i < prefix_; ++i) {
        if (bit(i) != other.bit(i))
            return false;
    }
    return true;
}

std::string IpNetwork::toString() const {
    std::string out;
    if (family_ == Family::V4) {
        for (int i = 0; i < 4; ++i) {
            if (i)
                out += '.';
            out += std::to_string(addr_[i]);
        }
    } else {
        uint16_t w[8];
        for (int i = 0; i < 8; ++i)
            w[i] = static_cast<uint16_t>(addr_[2 * i] << 8 | addr_[2 * i + 1]);
        // Longest run (length >= 2) of zero words is written as "::".
        int bestStart = -1, bestLen = 0;
        for (int i = 0; i < 8;) {
            if (w[i] != 0) {
                ++i;
                continue;
            }
            int j = i;
            while (j < 8 && w[j] == 0)
                ++j;
            if (j - i > bestLen && j - i >= 2)
                bestStart = i, bestLen = j - i;
            i = j;
        }
        char buf[8];
        for (int i = 0; i < 8; ++i) {
            if (i == bestStart) {
                out += "::";
                i += bestLen - 1;
                continue;
            }
            if (!out.empty() && out.back() != ':')
                out += ':';
            auto [p, ec] = std::to_chars(buf, buf + sizeof buf, w[i], 16);
            (void)ec;
            out.append(buf, p);
        }
    }
    return out + "/" + std::to_string(prefix_);
}

}  // namespace dm
