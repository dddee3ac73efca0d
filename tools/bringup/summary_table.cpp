#include "summary_table.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace tarvex::morvane::bringup_tool {

namespace {

constexpr std::size_t kColumns = 7;
using Row = std::array<std::string, kColumns>;
const Row kHeader = {"DEVICE", "YOUR NAME", "TYPE", "INTERFACE", "YOUR NAME", "LINK", "ADDRESSES"};

std::string text_of(const Value* value) {
  if (!value || value->is_none()) return "-";
  if (value->is_list()) {
    std::string joined;
    for (const Value& item : value->as_list()) joined += (joined.empty() ? "" : ", ") + item.str();
    return joined.empty() ? "-" : joined;
  }
  const std::string text = value->str();
  return text.empty() ? "-" : text;
}

std::string addresses_of(const Value& interface) {
  std::string joined;
  for (const char* key : {"ipv4", "ipv6"}) {
    const Value* address = interface.is_map() ? interface.find(key) : nullptr;
    if (address && !address->is_none()) joined += (joined.empty() ? "" : ", ") + text_of(address);
  }
  return joined.empty() ? "-" : joined;
}

// The number of characters of UTF-8 text, for the columns' widths.
std::size_t width_of(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string summary_table(const Value& testbed, bool bold) {
  std::vector<Row> rows;
  const Value* devices = testbed.is_map() ? testbed.find("devices") : nullptr;
  const Value* topology = testbed.is_map() ? testbed.find("topology") : nullptr;
  if (devices && devices->is_map()) {
    for (const auto& [name, device] : devices->as_map()) {
      const Row first = {name.str(), text_of(device.is_map() ? device.find("alias") : nullptr),
                         text_of(device.is_map() ? device.find("type") : nullptr)};
      const Value* entry = topology && topology->is_map() ? topology->find(name) : nullptr;
      const Value* interfaces = entry && entry->is_map() ? entry->find("interfaces") : nullptr;
      bool any = false;
      if (interfaces && interfaces->is_map()) {
        for (const auto& [interface_name, interface] : interfaces->as_map()) {
          Row row = any ? Row{} : first;
          row[3] = interface_name.str();
          row[4] = text_of(interface.is_map() ? interface.find("alias") : nullptr);
          row[5] = text_of(interface.is_map() ? interface.find("link") : nullptr);
          row[6] = addresses_of(interface);
          rows.push_back(row);
          any = true;
        }
      }
      if (!any) {
        Row row = first;
        row[3] = row[4] = row[5] = row[6] = "-";
        rows.push_back(row);
      }
    }
  }
  std::array<std::size_t, kColumns> widths{};
  for (std::size_t c = 0; c < kColumns; ++c) widths[c] = width_of(kHeader[c]);
  for (const Row& row : rows) {
    for (std::size_t c = 0; c < kColumns; ++c) widths[c] = std::max(widths[c], width_of(row[c]));
  }
  auto line = [&](const Row& row) {
    std::string out = "  ";
    for (std::size_t c = 0; c < kColumns; ++c) {
      out += row[c];
      if (c + 1 < kColumns) out += std::string(widths[c] - width_of(row[c]) + 2, ' ');
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  };
  std::string table = bold ? "\033[1m" + line(kHeader) : line(kHeader);
  if (bold) table.insert(table.size() - 1, "\033[0m");
  for (const Row& row : rows) table += line(row);
  return table;
}

}  // namespace tarvex::morvane::bringup_tool
