// A streaming reader of XML 1.0 documents as XML-RPC peers write them: it
// checks well-formedness (matching tags, valid UTF-8 and XML characters,
// references, comments, CDATA, processing instructions) and reports
// elements and character data as they arrive, in pieces of any size.
//
// Our own rather than expat because the reader is the whole cost of a large
// call: expat alone took longer than the rest of the decoding, and this
// reader, which does only what XML-RPC needs, takes a fraction of that.
// What XML-RPC never needs is refused rather than half supported: a DOCTYPE
// (and with it every entity declaration), an encoding other than UTF-8.
// Attributes are checked and ignored (XML-RPC has none).  Character data is
// reported with line endings normalised and references resolved, as XML
// requires.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::xmlrpc::detail {

class XmlReader {
 public:
  // What the reader reports; a handler may throw to stop reading.
  class Events {
   public:
    virtual void start_element(std::string_view name) = 0;
    virtual void end_element() = 0;
    // Character data inside the document element, in pieces.
    virtual void text(std::string_view chars) = 0;

   protected:
    ~Events() = default;
  };

  explicit XmlReader(Events& events) : events_(events) {}

  // Reads the next piece of the document; ValueError naming the problem and
  // its byte offset when the document is not well-formed.
  void feed(std::string_view data);
  // The document is complete: ValueError unless it was.
  void finish();

  // Bytes read so far (where the next piece starts).
  std::uint64_t offset() const { return consumed_; }

  // The longest piece of markup (a tag, comment or processing instruction)
  // accepted; longer ones are refused rather than buffered.
  static constexpr std::size_t kMaxMarkup = 1024 * 1024;

 private:
  enum class Where { Prolog, Root, Epilog };

  std::size_t scan(std::string_view buf, bool final);
  std::size_t text_run(std::string_view buf, std::size_t from, std::size_t to, bool complete, bool references,
                       bool emit);
  void start_tag(std::string_view tag, bool plain);
  void end_tag(std::string_view tag);
  void processing_instruction(std::string_view body, std::size_t at);
  [[noreturn]] void fail(std::uint64_t at, std::string_view what) const;
  std::string_view innermost() const {
    return open_starts_.empty() ? std::string_view() : std::string_view(open_names_).substr(open_starts_.back());
  }

  Events& events_;
  std::string pending_;  // an incomplete token carried to the next piece
  // The names of the open elements, one after the other, and where each
  // starts.
  std::string open_names_;
  std::vector<std::size_t> open_starts_;
  Where where_ = Where::Prolog;
  std::uint64_t consumed_ = 0;
  std::uint64_t base_ = 0;  // offset of the buffer being scanned
  bool byte_order_mark_ = false;
};

}  // namespace tarvex::xmlrpc::detail
