// Laying a topology picture out so that its labels have room.
#pragma once

#include <gvc.h>

namespace tarvex::morvane::graph {

// Lays `graph` (from draw_topology()) out with its layout engine, then, where
// the layout made edges shorter than their labels need (their `len`; a
// ring or a busy star cannot have every edge as long as asked), spreads the
// whole picture evenly until each edge has room, up to a limit.  The nodes
// are left pinned where they are drawn, so that the graph written as dot
// text draws the same picture again.  RuntimeError with graphviz's words
// when graphviz fails.  The caller frees the layout (gvFreeLayout).
void lay_out(GVC_t* context, Agraph_t* graph);

}  // namespace tarvex::morvane::graph
