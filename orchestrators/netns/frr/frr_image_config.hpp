// FRR from an image: the configuration a router's container starts FRR from,
// rendered from the same setup as a namespace router's, as FRR's own images
// read it: /etc/frr/daemons (the daemons watchfrr starts), frr.conf (the
// integrated configuration) and vtysh.conf, with /var/run/frr for the
// daemons' sockets, both bind-mounted from the host.
#pragma once

#include <string>
#include <vector>

#include "orchestrators/netns/frr/frr_config.hpp"

namespace tarvex::morvane::orchestrators::netns {

// Makes `directory`/etc and `directory`/run (the latter is where the host
// reaches the daemons' vty sockets) and writes the configuration; returns
// the binds of the container ("HOST:/etc/frr", "HOST:/var/run/frr").  The
// files are readable and the run directory writable by the image's frr user,
// whatever its uid.
std::vector<std::string> write_image_config(const FrrSetup& setup, const std::string& directory);

// The image's FRR waits (its daemons file, which FRR's start reads as a
// shell script, waits) until this is called for `directory`: zebra then
// first looks at the interfaces once all of them are there.  (zebra 8.4
// loses the addresses of an interface that appears while it starts, and
// of one whose address comes right after it: OSPF never runs there.)
void release_image_frr(const std::string& directory);

// The host directory of the daemons' sockets for `directory`.
std::string image_socket_directory(const std::string& directory);

}  // namespace tarvex::morvane::orchestrators::netns
