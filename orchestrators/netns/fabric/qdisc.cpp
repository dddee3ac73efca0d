#include "tarvex/morvane/fabric/qdisc.hpp"

#include <linux/pkt_sched.h>
#include <netlink/cache.h>
#include <netlink/errno.h>
#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <netlink/route/qdisc.h>
#include <netlink/route/qdisc/netem.h>
#include <netlink/route/qdisc/tbf.h>
#include <netlink/route/tc.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::fabric {

namespace {

using std::chrono::microseconds;

struct QdiscDeleter {
  void operator()(rtnl_qdisc* qdisc) const { rtnl_qdisc_put(qdisc); }
};
struct CacheDeleter {
  void operator()(nl_cache* cache) const { nl_cache_free(cache); }
};
struct LinkDeleter {
  void operator()(rtnl_link* link) const { rtnl_link_put(link); }
};
using QdiscPtr = std::unique_ptr<rtnl_qdisc, QdiscDeleter>;
using CachePtr = std::unique_ptr<nl_cache, CacheDeleter>;

// A new root takes whichever of two handles the old one does not have: a
// root added under the handle it already has would be changed in place,
// keeping settings the new message does not mention (netem's corruption).
constexpr std::uint32_t kFirstRoot = 0x1U << 16;
constexpr std::uint32_t kSecondRoot = 0x2U << 16;
// netem under a tbf takes the tbf's major number plus this.
constexpr std::uint32_t kChildOffset = 0x10U << 16;
// The packets netem holds when no rate bounds them, as tc gives it.
constexpr int kNetemLimit = 1000;
// The queue the shaper keeps, as time at its rate: enough for a TCP flow to
// fill the link, without adding seconds of delay.
constexpr std::uint64_t kShaperQueueMicroseconds = 50'000;
// The shaper's bucket holds at least this much traffic at its rate, the
// tokens of one timer tick at the lowest HZ (tc-tbf's rule, rate / HZ), so
// that a wake-up a few milliseconds late (as on virtual machines) costs no
// rate; and at least two frames, so that no frame is too large for it.
// Measured in an emulated machine: 10 Mbit/s gave 7.2 Mbit/s of TCP with a
// bucket of two frames, 9.0 to 9.4 with this one.
constexpr std::uint64_t kBucketMicroseconds = 10'000;
constexpr int kLinkHeader = 18;  // Ethernet with a VLAN tag

[[noreturn]] void fail(int error, const std::string& what) {
  throw RuntimeError("Cannot " + what + ": " + nl_geterror(error));
}

// A qdisc the kernel refuses to create; it answers ENOENT for a kind it
// does not have, which deserves a plainer word than "Object not found".
[[noreturn]] void fail_to_add(int error, const std::string& what, const char* kind) {
  if (error == -NLE_OBJ_NOTFOUND) {
    throw RuntimeError("Cannot " + what + ": this kernel has no " + kind + " qdisc (CONFIG_NET_SCH_" +
                       (std::strcmp(kind, "netem") == 0 ? "NETEM" : "TBF") + ", module sch_" + kind + ")");
  }
  fail(error, what);
}

QdiscPtr new_qdisc(int ifindex, std::uint32_t parent, std::uint32_t handle, const char* kind) {
  QdiscPtr qdisc(rtnl_qdisc_alloc());
  if (!qdisc) throw std::bad_alloc();
  rtnl_tc_set_ifindex(TC_CAST(qdisc.get()), ifindex);
  rtnl_tc_set_parent(TC_CAST(qdisc.get()), parent);
  if (handle) rtnl_tc_set_handle(TC_CAST(qdisc.get()), handle);
  if (kind) {
    if (const int error = rtnl_tc_set_kind(TC_CAST(qdisc.get()), kind); error < 0) {
      throw RuntimeError(std::string("libnl-route has no ") + kind + " qdisc: " + nl_geterror(error));
    }
  }
  return qdisc;
}

// Every qdisc of the namespace, as the kernel has them now.
CachePtr dump_qdiscs(nl_sock* sock, const std::string& interface) {
  nl_cache* cache = nullptr;
  if (const int error = rtnl_qdisc_alloc_cache(sock, &cache); error < 0) fail(error, "read the qdiscs of " + interface);
  return CachePtr(cache);
}

QdiscPtr find_qdisc(nl_cache* cache, int ifindex, std::uint32_t parent) {
  return QdiscPtr(rtnl_qdisc_get_by_parent(cache, ifindex, parent));  // with a reference of its own
}

bool is_kind(rtnl_qdisc* qdisc, const char* kind) {
  const char* its = rtnl_tc_get_kind(TC_CAST(qdisc));
  return its && std::strcmp(its, kind) == 0;
}

int link_mtu(nl_sock* sock, int ifindex, const std::string& interface) {
  rtnl_link* found = nullptr;
  if (const int error = rtnl_link_get_kernel(sock, ifindex, nullptr, &found); error < 0) {
    fail(error, "read the MTU of " + interface);
  }
  std::unique_ptr<rtnl_link, LinkDeleter> link(found);
  return static_cast<int>(rtnl_link_get_mtu(link.get()));
}

QdiscPtr make_netem(const Impairment& impairment, int ifindex, std::uint32_t parent, std::uint32_t handle, int limit) {
  QdiscPtr netem = new_qdisc(ifindex, parent, handle, "netem");
  rtnl_qdisc* q = netem.get();
  // The ranges were checked when the impairment was read; probabilities
  // pass through libnl's int unchanged bit for bit.
  if (impairment.delay) rtnl_netem_set_delay(q, static_cast<int>(impairment.delay->count()));
  if (impairment.jitter) rtnl_netem_set_jitter(q, static_cast<int>(impairment.jitter->count()));
  if (impairment.loss) rtnl_netem_set_loss(q, static_cast<int>(*impairment.loss));
  if (impairment.duplicate) rtnl_netem_set_duplicate(q, static_cast<int>(*impairment.duplicate));
  if (impairment.corrupt) rtnl_netem_set_corruption_probability(q, static_cast<int>(*impairment.corrupt));
  // libnl adds the gap of 1 that tc adds: any packet may be reordered.
  if (impairment.reorder) rtnl_netem_set_reorder_probability(q, static_cast<int>(*impairment.reorder));
  rtnl_netem_set_limit(q, limit);
  return netem;
}

QdiscPtr make_tbf(std::uint64_t rate, int mtu, int ifindex, std::uint32_t handle) {
  const std::uint64_t bytes_per_second = rate / 8;
  const std::uint64_t bucket =
      std::max<std::uint64_t>(bytes_per_second * kBucketMicroseconds / 1'000'000, 2 * (mtu + kLinkHeader));
  const std::uint64_t queue = bytes_per_second * kShaperQueueMicroseconds / 1'000'000 + bucket;
  QdiscPtr tbf = new_qdisc(ifindex, TC_H_ROOT, handle, "tbf");
  rtnl_tc_set_mtu(TC_CAST(tbf.get()), static_cast<std::uint32_t>(mtu));
  rtnl_qdisc_tbf_set_rate(tbf.get(), static_cast<int>(bytes_per_second), static_cast<int>(bucket), 0);
  rtnl_qdisc_tbf_set_limit(tbf.get(), static_cast<int>(std::min<std::uint64_t>(queue, INT32_MAX)));
  return tbf;
}

// netem under a tbf holds the packets it delays as well as those waiting
// for the shaper: room for the delay's worth of full frames at the rate,
// plus the shaper's queue, and never less than tc gives.
int netem_limit_under_rate(const Impairment& impairment, int mtu) {
  const std::uint64_t held_microseconds =
      static_cast<std::uint64_t>(impairment.delay.value_or(microseconds(0)).count() +
                                 impairment.jitter.value_or(microseconds(0)).count()) +
      kShaperQueueMicroseconds;
  const std::uint64_t bytes = *impairment.rate / 8 * held_microseconds / 1'000'000;
  const std::uint64_t frames = bytes / static_cast<std::uint64_t>(mtu + kLinkHeader) + 1;
  return static_cast<int>(std::clamp<std::uint64_t>(frames, kNetemLimit, INT32_MAX));
}

// The settings netem holds, those at zero left out.
void read_netem(rtnl_qdisc* netem, Impairment& impairment) {
  const auto time = [](int microseconds_or_error) -> std::optional<microseconds> {
    if (microseconds_or_error <= 0) return std::nullopt;
    return microseconds(microseconds_or_error);
  };
  // The kernel reports every probability, so the getters' error values
  // never occur; the int is the kernel's 32 bits.
  const auto probability = [](int bits) -> std::optional<Probability> {
    if (bits == 0) return std::nullopt;
    return static_cast<Probability>(bits);
  };
  impairment.delay = time(rtnl_netem_get_delay(netem));
  impairment.jitter = time(rtnl_netem_get_jitter(netem));
  impairment.loss = probability(rtnl_netem_get_loss(netem));
  impairment.duplicate = probability(rtnl_netem_get_duplicate(netem));
  impairment.corrupt = probability(rtnl_netem_get_corruption_probability(netem));
  impairment.reorder = probability(rtnl_netem_get_reorder_probability(netem));
}

// Removes the root qdisc; false when the interface has none of its own.
bool delete_root(nl_sock* sock, int ifindex, const std::string& interface) {
  QdiscPtr root = new_qdisc(ifindex, TC_H_ROOT, 0, nullptr);
  const int error = rtnl_qdisc_delete(sock, root.get());
  if (error == -NLE_OBJ_NOTFOUND) return false;
  if (error < 0) fail(error, "remove the root qdisc of " + interface);
  return true;
}

}  // namespace

void apply_impairment(nl_sock* sock, int ifindex, const Impairment& impairment, const std::string& interface) {
  if (impairment.empty()) {
    clear_impairment(sock, ifindex, interface);
    return;
  }
  std::uint32_t root_handle = kFirstRoot;
  {
    const CachePtr cache = dump_qdiscs(sock, interface);
    const QdiscPtr root = find_qdisc(cache.get(), ifindex, TC_H_ROOT);
    if (root && rtnl_tc_get_handle(TC_CAST(root.get())) == kFirstRoot) root_handle = kSecondRoot;
  }
  const int graft = NLM_F_CREATE | NLM_F_REPLACE;
  if (!impairment.rate) {
    const QdiscPtr netem = make_netem(impairment, ifindex, TC_H_ROOT, root_handle, kNetemLimit);
    if (const int error = rtnl_qdisc_add(sock, netem.get(), graft); error < 0) {
      fail_to_add(error, "impair the egress of " + interface + " with netem (" + impairment.text() + ")", "netem");
    }
    return;
  }
  const int mtu = link_mtu(sock, ifindex, interface);
  const QdiscPtr tbf = make_tbf(*impairment.rate, mtu, ifindex, root_handle);
  if (const int error = rtnl_qdisc_add(sock, tbf.get(), graft); error < 0) {
    fail_to_add(error, "shape the egress of " + interface + " to " + rate_text(*impairment.rate) + " with tbf", "tbf");
  }
  if (!impairment.needs_netem()) return;
  const QdiscPtr netem = make_netem(impairment, ifindex, TC_H_MAKE(root_handle, 1), root_handle + kChildOffset,
                                    netem_limit_under_rate(impairment, mtu));
  if (const int error = rtnl_qdisc_add(sock, netem.get(), graft); error < 0) {
    // Half an impairment would mislead whoever measures the link.
    try {
      delete_root(sock, ifindex, interface);
    } catch (const RuntimeError&) {
      // The refusal below says what went wrong first.
    }
    fail_to_add(error, "impair the egress of " + interface + " with netem (" + impairment.text() + ") under its tbf",
                "netem");
  }
}

void clear_impairment(nl_sock* sock, int ifindex, const std::string& interface) {
  delete_root(sock, ifindex, interface);
}

Impairment read_impairment(nl_sock* sock, int ifindex, const std::string& interface) {
  const CachePtr cache = dump_qdiscs(sock, interface);
  const QdiscPtr root = find_qdisc(cache.get(), ifindex, TC_H_ROOT);
  Impairment impairment;
  if (!root) return impairment;
  if (is_kind(root.get(), "netem")) {
    read_netem(root.get(), impairment);
  } else if (is_kind(root.get(), "tbf")) {
    if (const int bytes_per_second = rtnl_qdisc_tbf_get_rate(root.get()); bytes_per_second > 0) {
      impairment.rate = static_cast<std::uint64_t>(bytes_per_second) * 8;
    }
    const std::uint32_t handle = rtnl_tc_get_handle(TC_CAST(root.get()));
    if (const QdiscPtr child = find_qdisc(cache.get(), ifindex, TC_H_MAKE(handle, 1));
        child && is_kind(child.get(), "netem")) {
      read_netem(child.get(), impairment);
    }
  }
  return impairment;
}

}  // namespace tarvex::morvane::fabric
