// The text of a YAML document on its way to the parser.  It is read from
// a string or a file descriptor in chunks (a file is never held whole),
// bounded in size, and checked to be UTF-8 made only of the characters
// YAML allows, so that a stray Latin-1 byte or a control character stops
// the load with its line and column instead of failing later, wherever the
// text ends up.  A file that starts with a UTF-16 byte order mark is
// decoded to UTF-8 first.
//
// The parser is C code that cannot carry exceptions, so the first problem
// (bad text, too much input, a read error) ends the text there and is kept
// for the loader to raise: it reports whichever comes first in the text,
// the parser's error or this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/yaml/yaml_source_error.hpp"
#include "tarvex/fd.hpp"

namespace tarvex::utils::yaml {

class TextInput {
 public:
  // Reads `text`, which must outlive this object; `source` names it in
  // errors.
  TextInput(std::string_view text, std::string_view source, std::uint64_t max_bytes);
  // Reads `fd` to its end, `max_bytes` at most.  A regular file larger
  // than that is refused here (YAMLError naming it).
  TextInput(UniqueFd fd, std::string_view source, std::uint64_t max_bytes);

  // Copies up to `size` bytes of checked UTF-8 text into `buffer`; 0 at
  // the end of the text or at the first problem.  Never throws.
  std::size_t read(unsigned char* buffer, std::size_t size) noexcept;

  bool has_problem() const { return problem_ != Problem::None; }
  // Where the problem is: the position right after the last good
  // character.
  const Mark& problem_mark() const { return problem_mark_; }
  // Raises the problem: YAMLError naming the source (with the line and
  // column for bad text), or OSError naming the file for a read error.
  [[noreturn]] void raise_problem() const;

 private:
  enum class Problem { None, BadText, TooLarge, ReadError };

  bool refill() noexcept;
  bool read_more() noexcept;
  void check() noexcept;
  void decode_utf16();
  void fail(Problem problem, std::string what = {}, int error_number = 0) noexcept;

  std::string source_;
  std::uint64_t max_bytes_;
  UniqueFd fd_;
  std::vector<unsigned char> buffer_;  // a file's bytes, one chunk at a time
  std::string decoded_;                // a UTF-16 file, as UTF-8
  // The bytes being read: [pos_, checked_) are checked and not yet handed
  // out, [checked_, end_) wait for the rest of their character.
  const unsigned char* data_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t checked_ = 0;
  std::size_t end_ = 0;
  std::size_t size_ = 0;  // of a text given whole (string or decoded file)
  std::uint64_t total_ = 0;
  bool source_done_ = false;
  bool at_start_ = true;
  std::string utf16_problem_;  // raised once the text before it is read

  // The position of data_[checked_].
  Mark mark_;
  bool after_cr_ = false;

  Problem problem_ = Problem::None;
  Mark problem_mark_;
  std::string problem_what_;
  int problem_errno_ = 0;
};

}  // namespace tarvex::utils::yaml
