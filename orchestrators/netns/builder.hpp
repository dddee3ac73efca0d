// Applies a plan to the kernel, in-process over rtnetlink, and takes down
// what it created.
//
// Every namespace is first claimed (its file under /run/netns created
// exclusively, so a name in use by anything else stops the build), then
// recorded in the run's journal, then created.  The teardown ends every
// process inside the run's namespaces, removes the namespaces (and with
// them every interface and bridge of the run) and finally the journal; it
// works on whatever part of the plan was built, and does nothing the second
// time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "journal.hpp"
#include "orchestrators/netns/frr/frr_daemons.hpp"
#include "plan.hpp"
#include "tarvex/fd.hpp"

namespace tarvex::morvane::orchestrators::netns {

class RouteSocket;

// What a teardown removed.
struct TeardownReport {
  std::vector<std::string> namespaces;  // names removed
  std::vector<std::string> processes;   // "PID (COMMAND)" of the processes ended
  std::vector<std::string> frr_killed;  // FRR daemons that needed SIGKILL
};

// How long processes inside a namespace get to end after SIGTERM.
inline constexpr std::chrono::milliseconds kProcessGrace{500};

// Ends the processes inside the named namespaces, then removes the
// namespaces; names that no longer exist are skipped.  Goes on after a
// failure and raises the first one at the end.
TeardownReport tear_down_namespaces(const std::vector<std::string>& names);

class Build {
 public:
  // `fail_at_step` (counted from 1 over kernel operations) makes that
  // operation fail instead, to prove that a half-built run is torn down.
  Build(Plan plan, Journal journal, std::optional<long> fail_at_step = std::nullopt);
  ~Build();
  Build(const Build&) = delete;
  Build& operator=(const Build&) = delete;

  const Plan& plan() const { return plan_; }

  // The build in steps, so that a caller can look at signals between
  // devices: each device's namespace, then the link namespace with the LAN
  // bridges, then each device's interfaces and addresses in plan order,
  // then the LAN ports and every route.
  void create_namespace_of(std::size_t device);
  void create_lans();
  void build_device(std::size_t index);
  void finish();
  // All three.
  void build();

  // The FRR instances of the routers with an `frr` section, once the
  // build is finished: makes the run's FRR directory and starts every
  // router's zebra; the daemons' logs go to `log_directory` (as
  // "<namespace>.<daemon>.log"), or into each instance's directory when it
  // is empty.
  void start_frr(const std::string& log_directory);
  // Moves every instance's start on; true once all are up.
  bool advance_frr();
  const std::vector<FrrInstance>& frr_instances() const { return frr_; }

  // Removes everything created so far (the FRR daemons first, then the
  // namespaces, the FRR directories) and then the journal; idempotent.
  TeardownReport tear_down();

 private:
  // Where an interface of the plan is connected.
  struct Attachment {
    enum Kind { None, PairFirst, PairSecond, LanPort } kind = None;
    std::size_t index = 0;  // of the pair or the LAN
    std::size_t port = 0;   // of the LAN
  };

  void step(const std::string& what);
  // Claims, journals and creates one namespace.
  UniqueFd create_namespace(const std::string& name);
  void create_link_namespace();
  // An interface without a link on a kernel without dummy interfaces: a
  // veth whose other end waits, unattached, in the link namespace.
  void add_stub(const PlannedInterface& interface, RouteSocket& socket);

  Plan plan_;
  std::optional<Journal> journal_;
  std::optional<long> fail_at_step_;
  long steps_ = 0;
  UniqueFd home_;
  std::vector<UniqueFd> namespaces_;  // per device
  UniqueFd link_namespace_;
  std::vector<std::string> created_;                  // names claimed, in order
  std::vector<std::vector<Attachment>> attachments_;  // per device and interface
  std::unique_ptr<RouteSocket> link_socket_;
  // Ends the FRR daemons (SIGTERM, kFrrGrace, SIGKILL); returns those killed.
  std::vector<std::string> stop_frr();

  std::vector<FrrInstance> frr_;
  std::optional<std::string> frr_directory_;  // made (and journaled) by start_frr
  bool dummies_ = true;                       // until the kernel says it has none
  int stubs_ = 0;
};

}  // namespace tarvex::morvane::orchestrators::netns
