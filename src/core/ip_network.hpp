#pragma once
// IP networks of our own: strict parsing of IPv4 and IPv6 CIDR texts and containment.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace dm {

class IpNetwork {
  public:
    enum class Family { V4, V6 };

    // Parses "address/length" or a bare address (a one-address network). Strict: host bits set
    // below the prefix length, leading zeros in IPv4 octets, or bad syntax throw dm::Error.
    static IpNetwork parse(std::string_view text);

    Family family() const { return family_; }
    int prefixLength() const { return prefix_; }
    int maxPrefixLength() const { return family_ == Family::V4 ? 32 : 128; }

    // True when `other` lies wholly inside this network; networks of different families are
    // never contained in one another.
    bool contains(const IpNetwork& other) const;
    bool subnetOf(const IpNetwork& other) const { return other.contains(*this); }

    // Canonical text: "10.0.0.0/8", "fd00::/8" (IPv6 in RFC 5952 compressed form).
    std::string toString() const;

    bool operator==(const IpNetwork& other) const = default;

  private:
    using Bytes = std::array<uint8_t, 16>;
    IpNetwork(Family f, Bytes addr, int prefix) : family_(f), addr_(addr), prefix_(prefix) {}
    int bitCount() const { return maxPrefixLength(); }
    bool bit(int i) const { return (addr_[i / 8] >> (7 - i % 8)) & 1; }

    Family family_;
    Bytes addr_;
    int prefix_;
};

}  // namespace dm
