#include "engine/stream_frames.hpp"

#include <cstdint>

namespace tarvex::engine {

namespace {

constexpr std::size_t kHeaderSize = 8;

std::size_t payload_size(std::string_view header) {
  std::uint32_t size = 0;
  for (int i = 4; i < 8; ++i) size = (size << 8) | static_cast<unsigned char>(header[i]);
  return size;
}

bool looks_framed(std::string_view data) {
  return data.size() >= kHeaderSize && static_cast<unsigned char>(data[0]) <= 2 && data[1] == 0 && data[2] == 0 &&
         data[3] == 0;
}

}  // namespace

void FrameReader::feed(std::string_view data, std::string& out, std::string& err) {
  pending_.append(data);
  std::size_t at = 0;
  while (pending_.size() - at >= kHeaderSize) {
    const std::string_view header(pending_.data() + at, kHeaderSize);
    const std::size_t size = payload_size(header);
    if (pending_.size() - at - kHeaderSize < size) break;
    // Stream 0 (standard input echoed back) only appears with a terminal;
    // it is output all the same.
    (header[0] == 2 ? err : out).append(pending_, at + kHeaderSize, size);
    at += kHeaderSize + size;
  }
  pending_.erase(0, at);
}

std::string unframe_merged(const std::string& body) {
  if (!body.empty() && !looks_framed(body)) return body;
  std::string text;
  FrameReader reader;
  reader.feed(body, text, text);
  return text;
}

}  // namespace tarvex::engine
