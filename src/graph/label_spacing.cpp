// Room for the labels along an edge: distances in points, from estimates
// of the labels' widths.
#include "graph/label_spacing.hpp"

#include <algorithm>

namespace tarvex::morvane::graph {

namespace {

constexpr double kPointsPerCharacter = 4.6;  // Helvetica's digits at 8 points, with a little to spare
constexpr double kLabelPadding = 4;          // the label's own margin
constexpr double kClearance = 12;            // between a label and its node
constexpr double kGap = 24;                  // between two labels on one edge
constexpr double kNodes = 70;                // what the two nodes' halves take of the edge
constexpr double kPerBusyEdge = 6;           // further out, per edge past the third at the busier node
constexpr int kQuietDegree = 3;
constexpr double kPointsPerInch = 72;

// The number of characters of UTF-8 text (continuation bytes are not).
std::size_t characters(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

double label_width(const std::vector<std::string>& lines) {
  std::size_t widest = 0;
  for (const std::string& line : lines) widest = std::max(widest, characters(line));
  return widest == 0 ? 0 : static_cast<double>(widest) * kPointsPerCharacter + kLabelPadding;
}

EdgeSpacing edge_spacing(double tail_width, double head_width, double middle_width, int degree) {
  // An end label's centre sits on the edge: it clears its node when it is
  // half its width away (the edge may run across it), more at busy nodes.
  const double busy = std::max(0, degree - kQuietDegree) * kPerBusyEdge;
  const double distance = std::max(tail_width, head_width) / 2 + kClearance + busy;
  double visible = (tail_width > 0 ? distance + tail_width / 2 : 0) + (head_width > 0 ? distance + head_width / 2 : 0);
  if (middle_width > 0) visible += middle_width + kGap;
  visible = std::max(visible + kGap, 2 * kGap);
  return {distance / 10, (visible + kNodes) / kPointsPerInch};
}

double room_between_nodes(double length) { return std::max(length * kPointsPerInch - kNodes, 0.0); }

}  // namespace tarvex::morvane::graph
