// The links of a picture, gathered from the interfaces that name them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tarvex/morvane/graph.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::graph {

// Groups interfaces into links by the link's name, the links in the order
// they were first named and their ends in the order they were added.  An
// end that is down makes its link down; the ends' impairments make the
// link's impairment text.
class LinkCollector {
 public:
  void add(const std::string& link, LinkEnd end, bool down, std::string impairment);
  std::vector<Link> links() const;

 private:
  struct Gathered {
    Link link;
    std::vector<std::string> impairments;  // per end, empty where none
  };
  std::map<std::string, std::size_t> index_;
  std::vector<Gathered> gathered_;
};

}  // namespace tarvex::morvane::graph
