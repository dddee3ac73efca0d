// The graphviz graph that draws a topology picture.
#pragma once

#include <cgraph.h>

#include <memory>

#include "tarvex/morvane/graph.hpp"

namespace tarvex::morvane::graph {

// graphviz's layout engine for the pictures (also written into the graph,
// so that graphviz's own tools draw a .dot file the same way).
extern const char* const kLayoutEngine;

struct CloseGraph {
  void operator()(Agraph_t* graph) const { agclose(graph); }
};
using GraphHandle = std::unique_ptr<Agraph_t, CloseGraph>;

// The picture as a graphviz graph: a node per device (shaped by its type,
// labelled with its names, type and unlinked interfaces), an edge per
// two-ended link labelled at each end, a small node per LAN (three or more
// ends, or none) and per dangling end, down links dashed and grey,
// impaired ones labelled with their impairment.  ValueError when a device
// name repeats or a link's end names a device the graph does not hold.
GraphHandle draw_topology(const Graph& graph);

}  // namespace tarvex::morvane::graph
