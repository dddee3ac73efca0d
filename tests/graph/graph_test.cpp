// Pictures of topologies: the model read from logical and final testbeds,
// and what graphviz draws from it (SVG text, PNG bytes, dot text read back
// by graphviz's own parser).
#include "tarvex/morvane/graph.hpp"

#include <cgraph.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/child.hpp"
#include "support/temp_dir.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/process.hpp"
#include "tarvex/utils/yaml.hpp"

// graphviz 2.42 leaks a little for every label it measures (its pango text
// layout plugin, fontconfig's caches under it) and every HTML-like label it
// parses; the leak checker of the sanitizer build is told so, and still
// sees every other allocation, this library's and graphviz's own.  Full
// stacks for every allocation, so that graphviz's functions show in them
// (its libraries keep no frame pointers).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:textspan_size\nleak:htmlparse\nleak:libfontconfig.so\n";
}
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace tarvex::morvane::graph {
namespace {

using utils::yaml::load_string;

std::string example(const std::string& name) {
  return std::string(MORVANE_SOURCE_DIR) + "/examples/" + name + "/logical.yaml";
}

// The dot text as graphviz's parser reads it.
struct CloseGraph {
  void operator()(Agraph_t* graph) const { agclose(graph); }
};
using ParsedGraph = std::unique_ptr<Agraph_t, CloseGraph>;

ParsedGraph parse_dot(const std::string& text) {
  ParsedGraph parsed(agmemread(text.c_str()));
  EXPECT_TRUE(parsed) << "graphviz cannot read the dot text back:\n" << text;
  return parsed;
}

std::string attribute(void* object, const char* name) {
  const char* value = agget(object, const_cast<char*>(name));
  return value ? value : "";
}

Agnode_t* node(Agraph_t* graph, const std::string& name) { return agnode(graph, const_cast<char*>(name.c_str()), 0); }

// The edge between two nodes, either way round.
Agedge_t* edge(Agraph_t* graph, const std::string& one, const std::string& other) {
  Agnode_t* a = node(graph, one);
  Agnode_t* b = node(graph, other);
  if (!a || !b) return nullptr;
  for (Agedge_t* e = agfstedge(graph, a); e; e = agnxtedge(graph, e, a)) {
    if ((agtail(e) == a && aghead(e) == b) || (agtail(e) == b && aghead(e) == a)) return e;
  }
  return nullptr;
}

// The SVG with the hyphens graphviz writes as "&#45;" (so that no text can
// end an XML comment) written plainly again.
std::string svg_of(const Graph& graph) {
  std::string svg = render_to_string(graph, "svg");
  for (std::size_t at; (at = svg.find("&#45;")) != std::string::npos;) svg.replace(at, 5, "-");
  return svg;
}

int threads_of_this_process() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// A final testbed as the netns backend writes it, under made-up actual
// names: a router with a loopback, a host, a switch with its own bridge,
// and a LAN of three.
constexpr const char* kFinalTestbed = R"(
testbed: {name: built-lab}
devices:
  lab-x1-r1: {type: router, os: linux, alias: r1, connections: {netns: {namespace: lab-x1-r1}}}
  lab-x1-h1: {type: host, os: linux, alias: h1}
  lab-x1-sw1: {type: switch, os: linux, alias: sw1}
  lab-x1-h2: {type: host, os: linux, alias: h2}
  lab-x1-h3: {type: host, os: linux, alias: h3}
topology:
  lab-x1-r1:
    interfaces:
      eth1: {alias: Gi0/0, link: r1-h1, type: ethernet, mac: "02:00:00:00:00:01", ipv4: [10.1.1.1/24], ipv6: "2001:db8::1/64"}
      eth2: {alias: Gi0/1, link: r1-sw1, type: ethernet, ipv4: 10.1.2.1/24}
      eth3: {alias: Gi0/2, link: office, type: ethernet, ipv4: 10.1.3.1/24}
      lo: {alias: Lo0, type: loopback, ipv4: [192.0.2.1/32]}
  lab-x1-h1:
    interfaces:
      eth1: {alias: eth0, link: r1-h1, type: ethernet, ipv4: 10.1.1.10/24}
  lab-x1-sw1:
    interfaces:
      eth1: {alias: uplink, link: r1-sw1, type: ethernet}
      br0: {type: bridge, mac: "02:00:00:00:00:09", ports: [eth1]}
  lab-x1-h2:
    interfaces:
      eth1: {alias: eth0, link: office, type: ethernet, ipv4: 10.1.3.20/24}
  lab-x1-h3:
    interfaces:
      eth1: {alias: eth0, link: office, type: ethernet, ipv4: 10.1.3.30/24}
)";

TEST(GraphOfTestbed, ExamplesDrawEveryDeviceInterfaceAndAddress) {
  for (const char* name : {"netns-lab", "ospf-lab"}) {
    SCOPED_TRACE(name);
    const Value logical = utils::yaml::load_file(example(name));
    const std::string svg = svg_of(graph_of_logical(logical));
    ASSERT_EQ(svg.rfind("<?xml", 0), 0u);
    std::size_t interfaces = 0;
    for (const auto& [device, entry] : logical.at("devices").as_map()) {
      EXPECT_NE(svg.find(">" + device.str() + "<"), std::string::npos) << device.str();
    }
    for (const auto& [device, entry] : logical.at("topology").as_map()) {
      for (const auto& [interface, fields] : entry.at("interfaces").as_map()) {
        ++interfaces;
        EXPECT_NE(svg.find(interface.str()), std::string::npos) << device.str() << " " << interface.str();
        for (const char* family : {"ipv4", "ipv6"}) {
          if (const Value* address = fields.find(family)) {
            EXPECT_NE(svg.find(address->str()), std::string::npos);
          }
        }
      }
    }
    EXPECT_GT(interfaces, 5u);
  }
}

TEST(GraphOfTestbed, LogicalTestbedGroupsInterfacesIntoLinks) {
  const Graph graph = graph_of_logical(utils::yaml::load_file(example("netns-lab")));
  EXPECT_EQ(graph.name, "netns-lab");
  ASSERT_EQ(graph.devices.size(), 6u);
  EXPECT_EQ(graph.devices[0].name, "r1");
  EXPECT_EQ(graph.devices[0].type, "router");
  EXPECT_EQ(graph.devices[0].actual_name, "");
  // The loopback is on no link: it belongs to its device.
  ASSERT_EQ(graph.devices[0].interfaces.size(), 1u);
  EXPECT_EQ(graph.devices[0].interfaces[0].name, "Lo0");
  EXPECT_EQ(graph.devices[0].interfaces[0].addresses, std::vector<std::string>{"192.0.2.1/32"});
  ASSERT_EQ(graph.links.size(), 5u);
  const Link& first = graph.links[0];
  EXPECT_EQ(first.name, "r1-h1");
  ASSERT_EQ(first.ends.size(), 2u);
  EXPECT_EQ(first.ends[0].device, "r1");
  EXPECT_EQ(first.ends[0].interface.name, "Gi0/1");
  EXPECT_EQ(first.ends[0].interface.addresses, (std::vector<std::string>{"10.0.1.1/24", "2001:db8:1::1/64"}));
  EXPECT_EQ(first.ends[1].device, "h1");
  EXPECT_FALSE(first.down);
  EXPECT_EQ(first.impairment, "");
}

TEST(GraphOfTestbed, OnlyDevicesMarkedLogicalUnlessNoneIs) {
  const Value marked = load_string(R"(
devices: {r1: {type: router, logical: true}, r2: {type: router}, r3: {type: router, logical: yes}}
topology:
  r1: {interfaces: {e1: {link: a}, e2: {link: b}}}
  r2: {interfaces: {e1: {link: a}}}
  r3: {interfaces: {e1: {link: b}}}
)");
  const Graph graph = graph_of_logical(marked);
  ASSERT_EQ(graph.devices.size(), 2u);
  EXPECT_EQ(graph.devices[1].name, "r3");
  // r2 is not built: its link keeps the one end that is.
  ASSERT_EQ(graph.links.size(), 2u);
  EXPECT_EQ(graph.links[0].ends.size(), 1u);
  EXPECT_EQ(graph.links[1].ends.size(), 2u);

  Value unmarked = marked;
  for (auto&& [name, entry] : unmarked["devices"].as_map()) entry.as_map().erase("logical");
  EXPECT_EQ(graph_of_logical(unmarked).devices.size(), 3u);
}

TEST(GraphOfTestbed, FinalTestbedShowsUserAndActualNames) {
  const Graph graph = graph_of_testbed(load_string(kFinalTestbed));
  ASSERT_EQ(graph.devices.size(), 5u);
  EXPECT_EQ(graph.devices[0].name, "r1");
  EXPECT_EQ(graph.devices[0].actual_name, "lab-x1-r1");
  ASSERT_EQ(graph.devices[0].interfaces.size(), 1u);
  EXPECT_EQ(graph.devices[0].interfaces[0].actual_name, "lo");
  // The switch's own bridge is not the user's: only its port is drawn.
  EXPECT_TRUE(graph.devices[2].interfaces.empty());
  ASSERT_EQ(graph.links.size(), 3u);
  EXPECT_EQ(graph.links[0].ends[0].interface.name, "Gi0/0");
  EXPECT_EQ(graph.links[0].ends[0].interface.actual_name, "eth1");
  EXPECT_EQ(graph.links[2].ends.size(), 3u);

  const std::string svg = svg_of(graph);
  for (const char* text : {"lab-x1-r1", "lab-x1-sw1", "Gi0/0 (eth1)", "uplink (eth1)", "Lo0 (lo) 192.0.2.1/32",
                           "2001:db8::1/64", "10.1.3.30/24", ">office<"}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }
}

TEST(GraphRender, LinksAreDrawnByKindAndState) {
  const Graph graph = graph_of_logical(load_string(R"(
testbed: {name: kinds}
devices:
  r1: {type: router}
  r2: {type: router}
  h1: {type: host}
  sw1: {type: switch}
  a: {type: host}
  b: {type: host}
topology:
  r1:
    interfaces:
      e1: {link: r1-r2, impair: {loss: 1%, delay: 20ms}}
      e2: {link: r1-h1, state: down}
      e3: {link: r1-sw1}
      e4: {link: office}
      e5: {link: spare, ipv4: 10.9.9.1/24}
  r2: {interfaces: {e1: {link: r1-r2, impair: {delay: 20ms, loss: 1%}}}}
  h1: {interfaces: {eth0: {link: r1-h1}}}
  sw1: {interfaces: {p1: {link: r1-sw1}}}
  a: {interfaces: {eth0: {link: office, impair: "rate 10mbit"}}}
  b: {interfaces: {eth0: {link: office, up: false}}}
)"));
  ASSERT_EQ(graph.links.size(), 5u);
  EXPECT_EQ(graph.links[0].impairment, "delay 20ms loss 1%");  // the same on both ends: the link's
  EXPECT_TRUE(graph.links[1].down);
  EXPECT_EQ(graph.links[3].impairment, "a eth0: rate 10mbit");  // one end's own
  EXPECT_TRUE(graph.links[3].down);

  const ParsedGraph parsed = parse_dot(dot_text(graph));
  ASSERT_TRUE(parsed);
  Agraph_t* g = parsed.get();
  // Every device a node shaped by its type; a LAN and a dangling end nodes
  // of their own.
  EXPECT_EQ(attribute(node(g, "r1"), "shape"), "ellipse");
  EXPECT_EQ(attribute(node(g, "h1"), "shape"), "box");
  EXPECT_EQ(attribute(node(g, "sw1"), "shape"), "box");
  EXPECT_NE(attribute(node(g, "h1"), "style"), attribute(node(g, "sw1"), "style"));
  ASSERT_TRUE(node(g, "lan:office"));
  ASSERT_TRUE(node(g, "end:spare"));
  EXPECT_EQ(attribute(node(g, "end:spare"), "shape"), "point");
  EXPECT_EQ(agnnodes(g), 8);
  // Two-ended links are edges, a LAN an edge per end, a dangling end one.
  EXPECT_EQ(agnedges(g), 3 + 3 + 1);
  for (const char* end : {"r1", "a", "b"}) EXPECT_TRUE(edge(g, end, "lan:office")) << end;
  Agedge_t* down = edge(g, "r1", "h1");
  ASSERT_TRUE(down);
  EXPECT_EQ(attribute(down, "style"), "dashed");
  Agedge_t* impaired = edge(g, "r1", "r2");
  ASSERT_TRUE(impaired);
  EXPECT_NE(attribute(impaired, "label").find("delay 20ms loss 1%"), std::string::npos);
  EXPECT_NE(attribute(impaired, "taillabel").find("e1"), std::string::npos);
  EXPECT_EQ(attribute(edge(g, "r1", "sw1"), "style"), "");
  EXPECT_NE(attribute(node(g, "lan:office"), "label").find("a eth0: rate 10mbit"), std::string::npos);
  // Every node pinned where the pictures draw it.
  for (Agnode_t* n = agfstnode(g); n; n = agnxtnode(g, n)) EXPECT_EQ(attribute(n, "pos").back(), '!') << agnameof(n);

  const std::string svg = render_to_string(graph, "svg");
  EXPECT_NE(svg.find("stroke-dasharray"), std::string::npos);
  EXPECT_NE(svg.find("delay 20ms loss 1%"), std::string::npos);
  EXPECT_NE(svg.find(">down<"), std::string::npos);
}

TEST(GraphRender, FilesInEveryFormatAndNoOther) {
  const Graph graph = graph_of_logical(utils::yaml::load_file(example("ospf-lab")));
  testing::TempDir dir;
  render(graph, dir.file("lab.png"));
  render(graph, dir.file("lab.SVG"));
  render(graph, dir.file("lab.dot"));
  auto read = [&](const std::string& name) {
    std::ifstream in(dir.file(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read("lab.png").substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_NE(read("lab.SVG").find("</svg>"), std::string::npos);
  const ParsedGraph parsed = parse_dot(read("lab.dot"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(agnnodes(parsed.get()), 5);
  EXPECT_EQ(agnedges(parsed.get()), 5);
  EXPECT_EQ(attribute(parsed.get(), "layout"), "neato");
  // The same input draws the same picture.
  EXPECT_EQ(read("lab.SVG"), render_to_string(graph, "svg"));
  EXPECT_EQ(read("lab.dot"), dot_text(graph));

  for (const std::string path : {"lab.jpg", "lab", "lab.svg.txt", ".svg"}) {
    SCOPED_TRACE(path);
    try {
      render(graph, dir.file(path));
      ADD_FAILURE() << "drawn";
    } catch (const ValueError& error) {
      EXPECT_NE(std::string(error.what()).find(dir.file(path)), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find(".svg, .png, .dot"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file(path)));
  }
  EXPECT_THROW(render_to_string(graph, "jpeg"), ValueError);
  EXPECT_THROW(render(graph, dir.file("missing/lab.svg")), OSError);
}

TEST(GraphRender, HostileNamesAreEscaped) {
  const std::string device = "r\"1<&>\nx";
  const std::string stray =
      "h\x01"
      "2\xff";
  const std::string replaced =
      "h\xEF\xBF\xBD"
      "2\xEF\xBF\xBD";  // U+FFFD for each
  Graph graph;
  graph.name = "lab \"<1>\" --";
  graph.devices = {
      {device, "ns'1", "router", {{"lo\\N", "", {"192.0.2.1/32"}}}}, {stray, "", "host", {}}, {"back\\", "", "", {}}};
  graph.links = {{"l\"ink",
                  {{device, {"Gi0/0 <b>x</b>", "eth1", {"<script>"}}}, {stray, {"eth0", "", {}}}},
                  false,
                  "delay <20ms> & \"more\""},
                 {"l2\\", {{"back\\", {"e\\", "", {}}}}, true, ""}};
  const std::string svg = render_to_string(graph, "svg");
  EXPECT_EQ(svg.find("<script>"), std::string::npos);
  EXPECT_EQ(svg.find("<b>"), std::string::npos);
  EXPECT_EQ(svg.find('\x01'), std::string::npos);
  EXPECT_EQ(svg.find('\xff'), std::string::npos);
  for (const std::string& text :
       {std::string("r&quot;1&lt;&amp;&gt;"), std::string("Gi0/0 &lt;b&gt;x&lt;/b&gt; (eth1)"),
        std::string("&lt;script&gt;"), std::string("delay &lt;20ms&gt; &amp; &quot;more&quot;"),
        std::string("lo\\N 192.0.2.1/32"), std::string(">back\\<"), std::string(">e\\<"), replaced}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(render_to_string(graph, "png").substr(1, 3), "PNG");
  // graphviz's parser reads the dot text back, names made safe where they
  // had to be.
  const ParsedGraph parsed = parse_dot(dot_text(graph));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(agnameof(parsed.get()), graph.name);
  EXPECT_TRUE(node(parsed.get(), "r\"1<&>\xEF\xBF\xBDx"));
  EXPECT_TRUE(node(parsed.get(), replaced));
  EXPECT_TRUE(node(parsed.get(), "back\xE2\xA7\xB5"));
  EXPECT_EQ(agnnodes(parsed.get()), 4);
  EXPECT_EQ(agnedges(parsed.get()), 2);
}

TEST(GraphErrors, BadInputNamesTheProblem) {
  struct Case {
    const char* what;
    std::function<void()> call;
    const char* message;
  };
  const auto logical = [](const char* text) { return [text] { graph_of_logical(load_string(text)); }; };
  Graph unknown_end;
  unknown_end.devices = {{"r1", "", "", {}}};
  unknown_end.links = {{"l1", {{"r1", {"e1", "", {}}}, {"r9", {"e1", "", {}}}}, false, ""}};
  Graph twice;
  twice.devices = {{"r1", "", "", {}}, {"r1", "", "", {}}};
  const std::vector<Case> cases = {
      {"not a mapping", [] { graph_of_logical(Value::list({1})); }, "the logical testbed is not a mapping"},
      {"devices a list", logical("devices: [r1]"), "the logical testbed's devices is not a mapping"},
      {"device a text", logical("devices: {r1: router}"), "device 'r1': its entry is not a mapping"},
      {"interfaces a list", logical("devices: {r1: {}}\ntopology: {r1: {interfaces: [e1]}}"),
       "device 'r1': its interfaces is not a mapping"},
      {"interface a text", logical("devices: {r1: {}}\ntopology: {r1: {interfaces: {e1: up}}}"),
       "device 'r1', interface 'e1': the interface entry is not a mapping"},
      {"link a list", logical("devices: {r1: {}}\ntopology: {r1: {interfaces: {e1: {link: [a]}}}}"),
       "device 'r1', interface 'e1': link ['a'] is not a link name"},
      {"final not a mapping", [] { graph_of_testbed(Value("x")); }, "the final testbed is not a mapping"},
      {"end on an unknown device", [&] { render_to_string(unknown_end, "svg"); },
       "link 'l1': its end 'e1' is on device 'r9', which the topology picture does not hold"},
      {"device twice", [&] { render_to_string(twice, "dot"); }, "device 'r1' is in the topology picture twice"},
      {"format", [&] { render_to_string(twice, "gif"); }, "format 'gif' is not one a topology is drawn in"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      c.call();
      ADD_FAILURE() << "no error";
    } catch (const ValueError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

// Set in a process of this program started by the test below, in which
// graphviz is used for the first time.
constexpr const char* kFreshProcess = "MORVANE_GRAPH_TEST_FRESH_PROCESS";

TEST(GraphFreshProcess, DrawsWithoutGraphvizConfigurationOrThreadsAlsoInAForkedChild) {
  if (!std::getenv(kFreshProcess)) {
    // graphviz keeps what it found in a process: the test runs again in a
    // new one, where graphviz's configuration directory is empty.
    const testing::TempDir empty;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    process::ChildProcess fresh = process::ChildProcess::fork([&] {
      ::setenv(kFreshProcess, "1", 1);
      ::setenv("GVBINDIR", empty.path().c_str(), 1);
      ::execl(self.c_str(), self.c_str(), "--gtest_filter=GraphFreshProcess.*", nullptr);
      return 127;
    });
    EXPECT_EQ(fresh.wait(60), 0) << "the drawing in a new process failed (its output is above)";
    return;
  }
  const Graph graph = graph_of_testbed(load_string(kFinalTestbed));
  const std::string svg = render_to_string(graph, "svg");
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_EQ(render_to_string(graph, "png").substr(1, 3), "PNG");
  EXPECT_EQ(threads_of_this_process(), 1) << "graphviz started a thread";
  // A child forked after the parent drew draws the same.
  const testing::ChildResult child = testing::run_in_child([&](int) -> std::string {
    try {
      return render_to_string(graph, "svg") == svg ? "same" : "another SVG";
    } catch (const std::exception& error) {
      return error.what();
    }
  });
  EXPECT_EQ(child.output, "same");
  EXPECT_EQ(child.status, 0);
}

}  // namespace
}  // namespace tarvex::morvane::graph
