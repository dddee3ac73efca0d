#include "icmp_prober.hpp"

#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::cleaners::netns {

namespace {

// The Internet checksum of ICMP (ICMPv6's is the kernel's on raw sockets).
std::uint16_t checksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

UniqueFd raw_socket(int family) {
  UniqueFd fd(::socket(family == 4 ? AF_INET : AF_INET6, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       family == 4 ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6)));
  if (!fd) {
    const int error = errno;
    throw OSError(error, std::string("Cannot open a raw ICMP") + (family == 6 ? "v6" : "") +
                             " socket for the readiness pings: " + std::strerror(error));
  }
  if (family == 6) {
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
    ::setsockopt(fd.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
  }
  return fd;
}

}  // namespace

IcmpProber::IcmpProber(std::vector<Target> targets)
    : targets_(std::move(targets)), identifier_(static_cast<std::uint16_t>(::getpid())) {
  if (targets_.size() > 0xffff) throw ValueError("Too many addresses to ping from one device");
  for (const Target& target : targets_) {
    if (target.family == 4 && !v4_) v4_ = raw_socket(4);
    if (target.family == 6 && !v6_) v6_ = raw_socket(6);
  }
}

void IcmpProber::send_round() {
  ++round_;
  for (std::size_t index = 0; index < targets_.size(); ++index) {
    const Target& target = targets_[index];
    if (target.answered) continue;
    std::uint8_t packet[16] = {};
    packet[0] = target.family == 4 ? ICMP_ECHO : ICMP6_ECHO_REQUEST;
    packet[4] = static_cast<std::uint8_t>(identifier_ >> 8);
    packet[5] = static_cast<std::uint8_t>(identifier_);
    packet[6] = static_cast<std::uint8_t>(index >> 8);
    packet[7] = static_cast<std::uint8_t>(index);
    packet[8] = static_cast<std::uint8_t>(round_ >> 8);
    packet[9] = static_cast<std::uint8_t>(round_);
    if (target.family == 4) {
      const std::uint16_t sum = checksum(packet, sizeof packet);
      packet[2] = static_cast<std::uint8_t>(sum >> 8);
      packet[3] = static_cast<std::uint8_t>(sum);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      std::memcpy(&to.sin_addr, target.address.data(), 4);
      ::sendto(v4_.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    } else {
      sockaddr_in6 to{};
      to.sin6_family = AF_INET6;
      std::memcpy(&to.sin6_addr, target.address.data(), 16);
      to.sin6_scope_id = static_cast<std::uint32_t>(target.ifindex);
      ::sendto(v6_.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // A send that fails (no route yet, neighbour unresolved) is simply
    // tried again in the next round.
  }
}

void IcmpProber::take_answers(int family) {
  const int fd = family == 4 ? v4_.get() : v6_.get();
  for (;;) {
    std::uint8_t buffer[1500];
    sockaddr_storage from{};
    socklen_t from_size = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
    if (n < 0) return;
    const std::uint8_t* icmp = buffer;
    std::size_t size = static_cast<std::size_t>(n);
    std::array<std::uint8_t, 16> source{};
    if (family == 4) {
      // Raw IPv4 sockets hand over the IP header too.
      if (size < sizeof(iphdr)) continue;
      const std::size_t header = static_cast<std::size_t>(buffer[0] & 0x0f) * 4;
      if (size < header + 8) continue;
      icmp = buffer + header;
      size -= header;
      if (icmp[0] != ICMP_ECHOREPLY) continue;
      std::memcpy(source.data(), &reinterpret_cast<sockaddr_in*>(&from)->sin_addr, 4);
    } else {
      if (size < 8 || icmp[0] != ICMP6_ECHO_REPLY) continue;
      std::memcpy(source.data(), &reinterpret_cast<sockaddr_in6*>(&from)->sin6_addr, 16);
    }
    const std::uint16_t identifier = static_cast<std::uint16_t>(icmp[4] << 8 | icmp[5]);
    const std::size_t index = static_cast<std::size_t>(icmp[6] << 8 | icmp[7]);
    if (identifier != identifier_ || index >= targets_.size()) continue;
    Target& target = targets_[index];
    if (target.family == family && target.address == source) target.answered = true;
  }
}

void IcmpProber::receive(std::chrono::steady_clock::time_point until) {
  while (!all_answered()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd fds[2];
    nfds_t count = 0;
    if (v4_) fds[count++] = {v4_.get(), POLLIN, 0};
    if (v6_) fds[count++] = {v6_.get(), POLLIN, 0};
    if (::poll(fds, count, static_cast<int>(left.count())) <= 0) continue;
    if (v4_) take_answers(4);
    if (v6_) take_answers(6);
  }
}

bool IcmpProber::all_answered() const {
  return std::all_of(targets_.begin(), targets_.end(), [](const Target& t) { return t.answered; });
}

}  // namespace tarvex::morvane::cleaners::netns
