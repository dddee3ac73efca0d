// Building the graphviz graph of a topology picture: shapes, labels and
// styles.
#include "graph/topology_drawing.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "graph/graphviz_text.hpp"
#include "graph/label_spacing.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::graph {

const char* const kLayoutEngine = "neato";

namespace {

constexpr const char* kFont = "Helvetica,Arial,sans-serif";
constexpr const char* kDownColour = "#9a9a9a";
constexpr const char* kImpairedColour = "#b03a2e";

// How a device of a type looks: routers round, switches square, hosts
// rounded boxes, other types hexagons, untyped devices plain boxes.
struct Look {
  const char* shape;
  const char* style;
  const char* fill;
};

Look look_of(const std::string& type) {
  if (type == "router") return {"ellipse", "filled", "#dae8fc"};
  if (type == "switch") return {"box", "filled", "#d5e8d4"};
  if (type == "host") return {"box", "rounded,filled", "#fff2cc"};
  if (!type.empty()) return {"hexagon", "filled", "#e1d5e7"};
  return {"box", "filled", "#f2f2f2"};
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

char* c_text(const char* text) { return const_cast<char*>(text); }

// cgraph's attribute kinds: an edge object is tagged as its in- or
// out-edge, both declared as edge attributes.
int attribute_kind(void* object) {
  const int kind = AGTYPE(object);
  return kind == AGINEDGE ? AGEDGE : kind;
}

void set(void* object, const char* name, const std::string& value) {
  agsafeset(object, c_text(name), c_text(value.c_str()), c_text(""));
}

// Sets an HTML-like label (the text between graphviz's < and >).
void set_html(void* object, const char* name, const std::string& html) {
  Agraph_t* root = agroot(object);
  Agsym_t* symbol = agattr(root, attribute_kind(object), c_text(name), nullptr);
  if (!symbol) symbol = agattr(root, attribute_kind(object), c_text(name), c_text(""));
  char* text = agstrdup_html(root, c_text(html.c_str()));
  agxset(object, symbol, text);
  agstrfree(root, text);
}

std::string small(const std::string& html, int points, const char* colour = nullptr) {
  std::string font = "<FONT POINT-SIZE=\"" + std::to_string(points) + "\"";
  if (colour) font += std::string(" COLOR=\"") + colour + "\"";
  return font + ">" + html + "</FONT>";
}

// "Gi0/0 (eth1)": the user's name, and the actual one when it differs.
std::string names_text(const std::string& name, const std::string& actual) {
  return !actual.empty() && actual != name ? name + " (" + actual + ")" : name;
}

// Lines of text as an HTML-like label on a white ground, so that the edge
// it sits on does not cross the text; `italic` for what is said about a
// link rather than named.
std::string label_html(const std::vector<std::string>& lines, bool italic = false) {
  std::string html;
  for (const std::string& line : lines) {
    if (!html.empty()) html += "<BR/>";
    html += italic ? "<I>" + html_text(line) + "</I>" : html_text(line);
  }
  return "<TABLE BORDER=\"0\" CELLBORDER=\"0\" CELLPADDING=\"1\" CELLSPACING=\"0\" BGCOLOR=\"white\"><TR><TD>" + html +
         "</TD></TR></TABLE>";
}

// An interface's names and its addresses, one a line.
std::vector<std::string> interface_lines(const Interface& interface) {
  std::vector<std::string> lines{names_text(interface.name, interface.actual_name)};
  lines.insert(lines.end(), interface.addresses.begin(), interface.addresses.end());
  return lines;
}

std::string device_label(const Device& device) {
  std::string html = "<B>" + html_text(device.name) + "</B>";
  if (!device.actual_name.empty() && device.actual_name != device.name) {
    html += "<BR/>" + small(html_text(device.actual_name), 9);
  }
  if (!device.type.empty()) html += "<BR/>" + small("<I>" + html_text(device.type) + "</I>", 9, "#444444");
  for (const Interface& interface : device.interfaces) {
    std::string line = names_text(interface.name, interface.actual_name);
    for (const std::string& address : interface.addresses) line += " " + address;
    html += "<BR/>" + small(html_text(line), 8);
  }
  return html;
}

// Builds the graph from the picture's model.
class Drawing {
 public:
  explicit Drawing(const Graph& graph) : graph_(graph) {}

  GraphHandle run() {
    const std::string name = graph_.name.empty() ? "topology" : id_text(graph_.name);
    GraphHandle handle(agopen(c_text(name.c_str()), Agundirected, nullptr));
    root_ = handle.get();
    set_defaults();
    for (const Device& device : graph_.devices) add_device(device);
    for (const Link& link : graph_.links) add_link(link);
    space_edges();
    return handle;
  }

 private:
  void set_defaults() {
    set(root_, "layout", kLayoutEngine);
    // Nodes apart by at least their labels, without scaling the layout to
    // the nodes' sizes before or pulling it together after (the edges'
    // lengths are what their labels need); edges straight (routing them
    // around nodes takes seconds from 50 devices on, minutes at 200) and
    // drawn first so that nodes cover their ends.
    set(root_, "overlap", "false");
    set(root_, "overlap_scaling", "0");
    set(root_, "overlap_shrink", "false");
    set(root_, "sep", "+14");
    set(root_, "splines", "line");
    set(root_, "outputorder", "edgesfirst");
    set(root_, "pad", "0.3");
    set(root_, "fontname", kFont);
    if (!graph_.name.empty()) {
      set_html(root_, "label", "<B>" + html_text(graph_.name) + "</B>");
      set(root_, "labelloc", "t");
      set(root_, "fontsize", "16");
    }
    agattr(root_, AGNODE, c_text("fontname"), c_text(kFont));
    agattr(root_, AGNODE, c_text("fontsize"), c_text("11"));
    agattr(root_, AGNODE, c_text("margin"), c_text("0.12,0.06"));
    agattr(root_, AGEDGE, c_text("fontname"), c_text(kFont));
    agattr(root_, AGEDGE, c_text("fontsize"), c_text("8"));
    agattr(root_, AGEDGE, c_text("labelfontsize"), c_text("8"));
    agattr(root_, AGEDGE, c_text("color"), c_text("#4d4d4d"));
    // The ends' labels sit on the edge, away from their node (see
    // space_edges()).
    agattr(root_, AGEDGE, c_text("labelangle"), c_text("0"));
  }

  // Each edge as long as its labels need, once the number of edges at
  // each node is known.
  void space_edges() {
    for (const LabelledEdge& labelled : edges_) {
      Agedge_t* e = labelled.edge;
      const int degree = std::max(agdegree(root_, agtail(e), 1, 1), agdegree(root_, aghead(e), 1, 1));
      const EdgeSpacing spacing = edge_spacing(labelled.tail_width, labelled.head_width, labelled.middle_width, degree);
      set(e, "labeldistance", number_text(spacing.label_distance));
      set(e, "len", number_text(spacing.length));
    }
  }

  // A new node named `name` made safe, or that with primes when another
  // node has the name (two names may be made safe alike; a LAN's node may
  // meet a device's name).
  Agnode_t* new_node(const std::string& name) {
    std::string id = id_text(name);
    while (agnode(root_, c_text(id.c_str()), 0)) id += "'";
    return agnode(root_, c_text(id.c_str()), 1);
  }

  void add_device(const Device& device) {
    if (devices_.contains(device.name)) {
      throw ValueError("device " + py_repr(device.name) + " is in the topology picture twice");
    }
    Agnode_t* node = new_node(device.name);
    devices_[device.name] = node;
    const Look look = look_of(device.type);
    set(node, "shape", look.shape);
    set(node, "style", look.style);
    set(node, "fillcolor", look.fill);
    set_html(node, "label", device_label(device));
  }

  Agnode_t* device_of(const Link& link, const LinkEnd& end) const {
    const auto found = devices_.find(end.device);
    if (found == devices_.end()) {
      throw ValueError("link " + py_repr(link.name) + ": its end " + py_repr(end.interface.name) + " is on device " +
                       py_repr(end.device) + ", which the topology picture does not hold");
    }
    return found->second;
  }

  // A new edge keyed by `key` made safe (with primes where that key is
  // taken), so that no two links share an edge.
  Agedge_t* edge(Agnode_t* tail, Agnode_t* head, const std::string& key) {
    std::string id = id_text(key);
    while (!edge_keys_.insert(id).second) id += "'";
    return agedge(root_, tail, head, c_text(id.c_str()), 1);
  }

  // Dashed and grey when down; in the impairment's colour when impaired.
  void style_edge(Agedge_t* e, const Link& link) {
    if (link.down) {
      set(e, "style", "dashed");
      set(e, "color", kDownColour);
      set(e, "fontcolor", kDownColour);
      set(e, "labelfontcolor", kDownColour);
    } else if (!link.impairment.empty()) {
      set(e, "color", kImpairedColour);
      set(e, "fontcolor", kImpairedColour);
    }
  }

  // What is said about the link at its middle: its name where it has no
  // node of its own, its impairment, that it is down.
  static std::vector<std::string> link_lines(const Link& link, bool with_name) {
    std::vector<std::string> lines;
    if (with_name) lines.push_back(link.name);
    if (!link.impairment.empty()) lines.push_back(link.impairment);
    if (link.down) lines.push_back("down");
    return lines;
  }

  // Labels an edge: an interface at its tail and at its head (either may be
  // missing), `middle` lines at its middle.
  void label_edge(Agedge_t* e, const Interface* tail, const Interface* head, const std::vector<std::string>& middle) {
    LabelledEdge labelled{e, 0, 0, 0};
    if (tail) {
      set_html(e, "taillabel", label_html(interface_lines(*tail)));
      labelled.tail_width = label_width(interface_lines(*tail));
    }
    if (head) {
      set_html(e, "headlabel", label_html(interface_lines(*head)));
      labelled.head_width = label_width(interface_lines(*head));
    }
    if (!middle.empty()) {
      set_html(e, "label", label_html(middle, true));
      labelled.middle_width = label_width(middle);
    }
    edges_.push_back(labelled);
  }

  void add_link(const Link& link) {
    if (link.ends.size() == 2) {
      Agedge_t* e = edge(device_of(link, link.ends[0]), device_of(link, link.ends[1]), link.name);
      label_edge(e, &link.ends[0].interface, &link.ends[1].interface, link_lines(link, false));
      style_edge(e, link);
    } else if (link.ends.size() == 1) {
      // The other end is missing: a point where it would be.
      Agnode_t* point = new_node("end:" + link.name);
      set(point, "shape", "point");
      set(point, "width", "0.08");
      set(point, "label", "");
      Agedge_t* e = edge(device_of(link, link.ends[0]), point, link.name);
      label_edge(e, &link.ends[0].interface, nullptr, link_lines(link, true));
      style_edge(e, link);
    } else {
      // A LAN: a small node of the link's own, an edge to each end.
      Agnode_t* lan = new_node("lan:" + link.name);
      set(lan, "shape", "box");
      set(lan, "style", link.down ? "rounded,dashed,filled" : "rounded,filled");
      set(lan, "fillcolor", "#eeeeee");
      set(lan, "fontsize", "9");
      set(lan, "margin", "0.06,0.02");
      set(lan, "height", "0.25");
      std::string lan_label;
      for (const std::string& line : link_lines(link, true)) {
        lan_label += (lan_label.empty() ? "" : "<BR/>") + html_text(line);
      }
      set_html(lan, "label", lan_label);
      if (link.down) set(lan, "color", kDownColour);
      for (std::size_t i = 0; i < link.ends.size(); ++i) {
        Agedge_t* e = edge(device_of(link, link.ends[i]), lan, link.name + "#" + std::to_string(i + 1));
        label_edge(e, &link.ends[i].interface, nullptr, {});
        style_edge(e, link);
      }
    }
  }

  // An edge with the widths of its labels (points; 0 where none).
  struct LabelledEdge {
    Agedge_t* edge;
    double tail_width;
    double head_width;
    double middle_width;
  };

  const Graph& graph_;
  Agraph_t* root_ = nullptr;
  std::vector<LabelledEdge> edges_;
  std::set<std::string> edge_keys_;
  std::map<std::string, Agnode_t*> devices_;
};

}  // namespace

GraphHandle draw_topology(const Graph& graph) { return Drawing(graph).run(); }

}  // namespace tarvex::morvane::graph
