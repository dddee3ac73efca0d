// Room for the labels along an edge of a topology picture.
#pragma once

#include <string>
#include <vector>

namespace tarvex::morvane::graph {

// Where graphviz puts an edge's end labels (labeldistance, in tens of
// points from where the edge meets its node, along the edge) and how long
// neato should make the edge (len, in inches).
struct EdgeSpacing {
  double label_distance;
  double length;
};

// The width in points of the widest of `lines` in the end labels' font: an
// estimate from the number of characters, as the layout has to be asked
// for before anything is measured.
double label_width(const std::vector<std::string>& lines);

// Spacing for an edge whose end labels are `tail_width` and `head_width`
// points wide (0 where an end has none), with a label of `middle_width`
// points at its middle (0 when none), between nodes of which the busier has
// `degree` edges.  Each end label clears its node, the labels clear each
// other, and around a busy node, where edges part only further out, they
// move out.
EdgeSpacing edge_spacing(double tail_width, double head_width, double middle_width, int degree);

// The length in points an edge of `length` inches (from edge_spacing())
// needs between its nodes' outlines.
double room_between_nodes(double length);

}  // namespace tarvex::morvane::graph
