// The framing of a non-TTY container stream (exec, logs): each piece of
// output comes as an 8-byte header (the stream: 1 standard output, 2
// standard error; then the payload's size, big-endian in bytes 4-7) and
// the payload.
#pragma once

#include <string>
#include <string_view>

namespace tarvex::engine {

// Splits a framed stream, fed in pieces as they arrive, into its two
// outputs.  A frame cut between two pieces is completed by the next one.
class FrameReader {
 public:
  void feed(std::string_view data, std::string& out, std::string& err);
  // Bytes of an incomplete frame waiting for the rest.
  std::size_t pending() const { return pending_.size(); }

 private:
  std::string pending_;
};

// A whole framed answer (logs) as one text, both outputs in the order they
// came.  A stream that is not framed (a container with a terminal) is
// returned as it is.
std::string unframe_merged(const std::string& body);

}  // namespace tarvex::engine
