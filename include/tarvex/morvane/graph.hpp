// Pictures of topologies: a small model of what a topology holds (devices
// and the links between their interfaces), made from a logical testbed
// before anything is built or from a final testbed afterwards, and drawn
// with graphviz's libraries as SVG, PNG or graphviz's own dot text.
//
//   const Graph graph = graph_of_logical(utils::yaml::load_file("logical.yaml"));
//   render(graph, "topology.svg");
//
// Drawing happens in-process (no `dot` process) and starts no thread, so it
// may run in a process that forks, and in a forked child.
#pragma once

#include <string>
#include <vector>

#include "tarvex/value.hpp"

namespace tarvex::morvane::graph {

// An interface as the picture names it: the user's name, the name it was
// built under (empty before anything is built) and its addresses as text
// ("10.0.1.1/24").
struct Interface {
  std::string name;
  std::string actual_name;
  std::vector<std::string> addresses;
};

// A device: the user's name, the name it was built under (empty before
// anything is built), its type ("host", "router", "switch", ... or empty),
// and the interfaces it has on no link (loopbacks, say), shown inside it.
struct Device {
  std::string name;
  std::string actual_name;
  std::string type;
  std::vector<Interface> interfaces;
};

// One end of a link: the user's name of the device and that device's
// interface.
struct LinkEnd {
  std::string device;
  Interface interface;
};

// A link by the user's name with its ends in the order they were found.
// One end only is drawn as a dangling end; three or more as a LAN.
// `impairment` is what the link's traffic suffers, as text ("delay 20ms
// loss 1%"), empty when nothing.
struct Link {
  std::string name;
  std::vector<LinkEnd> ends;
  bool down = false;
  std::string impairment;
};

// What is drawn: the testbed's name (the picture's title, may be empty),
// its devices and its links, drawn in this order.
struct Graph {
  std::string name;
  std::vector<Device> devices;
  std::vector<Link> links;
};

// The topology a logical testbed asks for, by the user's names: the devices
// marked `logical` (all of them when none is marked), with the interfaces
// of their `topology` entries grouped into links by their `link` key;
// interfaces without a link belong to their device.  An interface entry
// with `state: down` (or `up: false`) marks its link down, and one with
// `impair` (a mapping such as {delay: 20ms, loss: 1%}, or a text) gives the
// link its impairment.  ValueError naming the place when the testbed is not
// shaped as a testbed.
Graph graph_of_logical(const Value& logical_testbed);

// What a final testbed says was built: devices and interfaces under the
// user's names (their `alias`, else the actual name) with their actual
// names beside them, links as in graph_of_logical().  A switch's own
// bridge (an interface of type bridge on no link and without an alias) is
// not drawn: its ports are.
Graph graph_of_testbed(const Value& final_testbed);

// graphviz's dot text of the picture: what `render(graph, "x.dot")`
// writes.  The nodes are pinned where the SVG and PNG draw them and the
// layout engine is named, so graphviz's own tools draw the same picture
// from it (`dot -Tpdf x.dot`).
std::string dot_text(const Graph& graph);

// The picture in `format` ("svg", "png" or "dot") as bytes.  ValueError for
// another format, or when a link names a device the graph does not hold;
// RuntimeError when graphviz fails.
std::string render_to_string(const Graph& graph, const std::string& format);

// Writes the picture to `path`, the format chosen by its extension (.svg,
// .png, .dot); a reader of the file sees the old content or the whole new
// one.  ValueError naming the path for another extension; OSError naming
// the file when it cannot be written.
void render(const Graph& graph, const std::string& path);

}  // namespace tarvex::morvane::graph
