// The two passes of a picture's layout: graphviz's, then an even spread
// that gives every edge the length its labels need.
#include "graph/picture_layout.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "graph/label_spacing.hpp"
#include "graph/topology_drawing.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::graph {

namespace {

// Spreading further would make a picture too large to look at; its labels
// may then touch.
constexpr double kMostSpread = 4;
constexpr double kPointsPerInch = 72;

char* c_text(const char* text) { return const_cast<char*>(text); }

void run_layout(GVC_t* context, Agraph_t* graph) {
  if (gvLayout(context, graph, kLayoutEngine) != 0) {
    throw RuntimeError(std::string("graphviz cannot lay the topology out with ") + kLayoutEngine);
  }
}

// How far from its centre a node's outline is in the direction (dx, dy)
// (a unit vector), in points: an ellipse's, or a box's for other shapes.
double reach(Agnode_t* node, double dx, double dy) {
  const double a = ND_width(node) * kPointsPerInch / 2;
  const double b = ND_height(node) * kPointsPerInch / 2;
  const char* shape = agget(node, c_text("shape"));
  if (shape && std::string(shape) == "ellipse") return 1 / std::hypot(dx / a, dy / b);
  const double along_x = dx != 0 ? a / std::abs(dx) : HUGE_VAL;
  const double along_y = dy != 0 ? b / std::abs(dy) : HUGE_VAL;
  return std::min(along_x, along_y);
}

// How much the picture must grow for its most cramped edge to have the
// room between its nodes that its labels asked for (growing moves the
// centres apart; the nodes keep their size).
double spread_needed(Agraph_t* graph) {
  double spread = 1;
  for (Agnode_t* node = agfstnode(graph); node; node = agnxtnode(graph, node)) {
    for (Agedge_t* e = agfstout(graph, node); e; e = agnxtout(graph, e)) {
      const char* len = agget(e, c_text("len"));
      const double room = room_between_nodes(len && *len ? std::atof(len) : 1.0);
      const pointf tail = ND_coord(agtail(e));
      const pointf head = ND_coord(aghead(e));
      const double apart = std::hypot(head.x - tail.x, head.y - tail.y);
      if (apart <= 0) continue;
      const double dx = (head.x - tail.x) / apart;
      const double dy = (head.y - tail.y) / apart;
      const double inside = reach(agtail(e), dx, dy) + reach(aghead(e), dx, dy);
      spread = std::max(spread, (room + inside) / apart);
    }
  }
  return std::min(spread, kMostSpread);
}

}  // namespace

void lay_out(GVC_t* context, Agraph_t* graph) {
  run_layout(context, graph);
  const double spread = spread_needed(graph);
  // Every node pinned where it is to be drawn ("!"), in inches; the second
  // pass keeps them there and routes the edges between them.
  for (Agnode_t* node = agfstnode(graph); node; node = agnxtnode(graph, node)) {
    const pointf at = ND_coord(node);
    char pos[64];
    std::snprintf(pos, sizeof pos, "%.3f,%.3f!", at.x * spread / kPointsPerInch, at.y * spread / kPointsPerInch);
    agsafeset(node, c_text("pos"), pos, c_text(""));
  }
  gvFreeLayout(context, graph);
  run_layout(context, graph);
}

}  // namespace tarvex::morvane::graph
