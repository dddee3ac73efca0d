#include "tarvex/morvane/fabric/ip_address.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <charconv>

namespace tarvex::morvane::fabric {

std::optional<IpAddress> IpAddress::parse(std::string_view text, int wanted_family, bool require_prefix) {
  const std::size_t slash = text.find('/');
  if (require_prefix && slash == std::string_view::npos) return std::nullopt;
  const std::string address(text.substr(0, slash));
  IpAddress parsed;
  if (wanted_family != 6 && ::inet_pton(AF_INET, address.c_str(), parsed.bytes.data()) == 1) {
    parsed.family = 4;
  } else if (wanted_family != 4 && ::inet_pton(AF_INET6, address.c_str(), parsed.bytes.data()) == 1) {
    parsed.family = 6;
  } else {
    return std::nullopt;
  }
  parsed.prefix_length = parsed.max_prefix_length();
  if (slash != std::string_view::npos) {
    const std::string_view length = text.substr(slash + 1);
    // Digits only: no sign, no blanks, no leading zeros beyond "0".
    if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string_view::npos ||
        (length.size() > 1 && length[0] == '0')) {
      return std::nullopt;
    }
    int value = 0;
    std::from_chars(length.data(), length.data() + length.size(), value);
    if (value > parsed.max_prefix_length()) return std::nullopt;
    parsed.prefix_length = value;
  }
  return parsed;
}

int IpAddress::af() const { return family == 4 ? AF_INET : AF_INET6; }

IpAddress IpAddress::network() const {
  IpAddress net = *this;
  for (std::size_t i = 0; i < size(); ++i) {
    const int bits_before = static_cast<int>(i) * 8;
    if (bits_before >= prefix_length) {
      net.bytes[i] = 0;
    } else if (bits_before + 8 > prefix_length) {
      net.bytes[i] &= static_cast<std::uint8_t>(0xff << (8 - (prefix_length - bits_before)));
    }
  }
  return net;
}

bool IpAddress::subnet_contains(const IpAddress& other) const {
  if (other.family != family) return false;
  IpAddress probe = other;
  probe.prefix_length = prefix_length;
  return probe.network().bytes == network().bytes;
}

std::string IpAddress::address_text() const {
  char buffer[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(af(), bytes.data(), buffer, sizeof buffer);
  return buffer;
}

std::string IpAddress::text() const { return address_text() + "/" + std::to_string(prefix_length); }

bool IpAddress::is_ipv4_broadcast() const {
  if (family != 4 || prefix_length >= 31) return false;
  for (int bit = prefix_length; bit < 32; ++bit) {
    if (!(bytes[bit / 8] & (0x80 >> (bit % 8)))) return false;
  }
  return true;
}

}  // namespace tarvex::morvane::fabric
