// Gathering links from the interfaces that name them.
#include "graph/link_collector.hpp"

#include <algorithm>

namespace tarvex::morvane::graph {

void LinkCollector::add(const std::string& link, LinkEnd end, bool down, std::string impairment) {
  auto [at, added] = index_.try_emplace(link, gathered_.size());
  if (added) gathered_.push_back({Link{link, {}, false, {}}, {}});
  Gathered& gathered = gathered_[at->second];
  gathered.link.ends.push_back(std::move(end));
  gathered.link.down = gathered.link.down || down;
  gathered.impairments.push_back(std::move(impairment));
}

std::vector<Link> LinkCollector::links() const {
  std::vector<Link> links;
  links.reserve(gathered_.size());
  for (const Gathered& gathered : gathered_) {
    Link link = gathered.link;
    const std::vector<std::string>& texts = gathered.impairments;
    // The same impairment on every end is the link's; otherwise each end's
    // own (it shapes what leaves that end) is named with its end.
    const bool same_everywhere =
        !texts.front().empty() && std::all_of(texts.begin(), texts.end(), [&](auto& t) { return t == texts.front(); });
    if (same_everywhere) {
      link.impairment = texts.front();
    } else {
      for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i].empty()) continue;
        if (!link.impairment.empty()) link.impairment += "; ";
        link.impairment += link.ends[i].device + " " + link.ends[i].interface.name + ": " + texts[i];
      }
    }
    links.push_back(std::move(link));
  }
  return links;
}

}  // namespace tarvex::morvane::graph
