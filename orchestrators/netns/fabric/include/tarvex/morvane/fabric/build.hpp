// Applies a plan to the kernel, in-process over rtnetlink, and takes back
// what it made.
//
// Each device's namespace is either made by the run (claimed, journaled,
// created and mounted under the device's actual name) or adopted from
// elsewhere (a container's /proc/PID/ns/net): everything the run makes in
// an adopted namespace is journaled before it exists.  The teardown ends the
// processes left inside the run's own namespaces and removes them (with
// every interface in them), removes from each adopted namespace only what
// the run made there (its interfaces, the addresses it added to the
// loopback, the settings it changed), removes the run's directories and
// finally the journal.  It works on whatever part of the plan was built,
// and does nothing the second time.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/fd.hpp"
#include "tarvex/morvane/fabric/impairment.hpp"
#include "tarvex/morvane/fabric/journal.hpp"
#include "tarvex/morvane/fabric/namespaces.hpp"
#include "tarvex/morvane/fabric/plan.hpp"

namespace tarvex::morvane::fabric {

class RouteSocket;

// What a teardown removed.
struct TeardownReport {
  std::vector<std::string> namespaces;  // names of the run's own namespaces removed
  std::vector<std::string> processes;   // "PID (COMMAND)" of the processes ended inside them
  std::size_t adopted_links = 0;        // interfaces removed from adopted namespaces
};

// How long processes inside a namespace get to end after SIGTERM.
inline constexpr std::chrono::milliseconds kProcessGrace{500};

class Build {
 public:
  Build(Plan plan, Journal journal);
  ~Build();
  Build(const Build&) = delete;
  Build& operator=(const Build&) = delete;

  const Plan& plan() const { return plan_; }
  Journal& journal() { return *journal_; }
  // The calling thread's own namespace, to which every step returns.
  int home() const { return home_.get(); }

  // The build in steps, so that a caller can look at signals between
  // devices: each device's namespace (made or adopted, in any order), then
  // the link namespace with the LAN bridges, then each namespace's settings
  // (forwarding; no duplicate address detection on the interfaces the
  // build makes), then each device's interfaces and addresses, then the LAN
  // ports and every route.
  void create_namespace_of(std::size_t device);
  // The device's interface indexes are moved past those the namespace
  // holds already; an interface name it holds already is an error.
  void adopt_namespace_of(std::size_t device, NamespaceHandle handle);
  void create_lans();
  void prepare_namespace(std::size_t device);
  void build_device(std::size_t device);
  void finish();
  // Every step, with a namespace made for every device.
  void build();

  const NamespaceHandle& namespace_of(std::size_t device) const { return namespaces_.at(device); }

  // On the built topology.  A cable pulled (`up` false) or put back: the
  // interface and the one across from it (the other end of its pair, or its
  // port on the LAN's bridge) go down or up together, so that both sides
  // lose their carrier.  An interface without a link goes down alone.
  void set_link_up(const InterfaceRef& ref, bool up);
  bool link_up(const InterfaceRef& ref) const;
  // Shapes the interface's egress (an empty impairment clears it).
  void impair(const InterfaceRef& ref, const Impairment& impairment);
  // What impair() last put there.
  Impairment impairment_of(const InterfaceRef& ref) const;

  // A directory of the run's own, `<runtime directory>/<run id>.<suffix>`
  // (mode 0700), journaled and removed with everything in it by the
  // teardown; made once, its path returned every time.
  std::string private_directory(const std::string& suffix);

  // Removes everything made so far, then the journal; idempotent.  When
  // something cannot be removed, the journal is kept (for `bringup
  // -cleanup`) and the first failure raised.
  // `keep_journal`: something of the run outside the build could not be
  // removed, and the journal must still name it.
  TeardownReport tear_down(bool keep_journal = false);

 private:
  // Where an interface of the plan is connected.
  struct Attachment {
    enum Kind { None, PairFirst, PairSecond, LanPort } kind = None;
    std::size_t index = 0;  // of the pair or the LAN
    std::size_t port = 0;   // of the LAN
  };
  // A setting changed in an adopted namespace, to be put back.
  struct Changed {
    std::size_t device;
    std::string path;
    std::string before;
  };

  void step(const std::string& what);
  void create_link_namespace();
  // An interface without a link on a kernel without dummy interfaces: a
  // veth whose other end waits, unattached, in the link namespace.
  void add_stub(const PlannedInterface& interface, RouteSocket& socket);
  // Sets sysctls (path, value) inside the device's namespace (journaling
  // each value before when the namespace is adopted).
  void set_sysctls(std::size_t device, const std::vector<std::pair<std::string, std::string>>& settings);
  void restore_default_accept_dad();
  void take_back_from_adopted(TeardownReport& report);

  Plan plan_;
  std::optional<Journal> journal_;
  std::optional<long> fail_at_step_;
  long steps_ = 0;
  UniqueFd home_;
  std::vector<NamespaceHandle> namespaces_;  // per device
  NamespaceHandle link_namespace_;
  std::vector<std::vector<Attachment>> attachments_;           // per device and interface
  std::map<std::pair<std::size_t, std::size_t>, bool> downs_;  // (device, interface) taken down live
  std::map<std::pair<std::size_t, std::size_t>, Impairment> impairments_;
  std::unique_ptr<RouteSocket> link_socket_;
  std::vector<Changed> changed_;
  std::vector<std::string> directories_;
  bool run_dir_prepared_ = false;
  bool home_forwards_ = false;
  bool dummies_ = true;  // until the kernel says it has none
  int stubs_ = 0;
};

}  // namespace tarvex::morvane::fabric
