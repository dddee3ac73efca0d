// IPv4 and IPv6 addresses with a prefix length, as users write them in a
// logical testbed ("10.0.1.1/24", "2001:db8::1/64") and as the kernel takes
// them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvex::morvane::fabric {

// An address of one family, with a prefix length (32 or 128 for a bare
// address).  Ordered and comparable so that plans can detect duplicates.
struct IpAddress {
  int family = 0;  // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> bytes{};
  int prefix_length = 0;

  // "10.0.1.1/24" (with `require_prefix`) or "10.0.1.1"; nullopt when the
  // text is not an address of `family` (0: either).
  static std::optional<IpAddress> parse(std::string_view text, int family, bool require_prefix);

  int max_prefix_length() const { return family == 4 ? 32 : 128; }
  std::size_t size() const { return family == 4 ? 4 : 16; }
  bool is_ipv4() const { return family == 4; }
  // Whether `other` (of the same family) lies in this address's subnet.
  bool subnet_contains(const IpAddress& other) const;
  // The address with the bits past the prefix cleared.
  IpAddress network() const;
  bool has_host_bits() const { return !(network().bytes == bytes); }
  // An IPv4 address whose host bits are all set, in a subnet that has a
  // broadcast address (a prefix shorter than /31).
  bool is_ipv4_broadcast() const;
  bool is_ipv6_link_local() const { return family == 6 && bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80; }
  // The kernel's address family constant (AF_INET or AF_INET6).
  int af() const;

  // Canonical text: "10.0.1.1" and "10.0.1.1/24".
  std::string address_text() const;
  std::string text() const;

  // Same address, whatever the prefix length.
  bool same_address(const IpAddress& other) const { return family == other.family && bytes == other.bytes; }
  auto operator<=>(const IpAddress&) const = default;
};

}  // namespace tarvex::morvane::fabric
