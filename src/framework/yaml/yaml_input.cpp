#include "framework/yaml/yaml_input.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/core/utf8.hpp"

namespace tarvex::utils::yaml {
namespace {

// Bytes read from a file at a time, and checked at a time.
constexpr std::size_t kChunk = 256 * 1024;

// The characters YAML text may hold, the same set the reference loaders
// accept: tab, line feed, carriage return, printable ASCII, U+0085 and
// everything from U+00A0 on except surrogates, U+FFFE and U+FFFF.
bool allowed(char32_t c) {
  return c == 0x85 || (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Length of the UTF-8 sequence a lead byte starts, 0 when it starts none.
std::size_t sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

std::string code_point_name(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

std::string byte_name(unsigned char c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%02X", c);
  return buffer;
}

std::string not_allowed(char32_t c) {
  const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
  return "the " + std::string(control ? "control character " : "character ") + code_point_name(c) +
         " is not allowed in YAML text";
}

bool starts_utf16(const unsigned char* data, std::size_t size) {
  return size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
}

}  // namespace

TextInput::TextInput(std::string_view text, std::string_view source, std::uint64_t max_bytes)
    : source_(source), max_bytes_(max_bytes) {
  data_ = reinterpret_cast<const unsigned char*>(text.data());
  size_ = text.size();
  total_ = size_;
  if (total_ > max_bytes_) {
    fail(Problem::TooLarge);
  } else if (starts_utf16(data_, size_)) {
    decode_utf16();
  }
}

TextInput::TextInput(UniqueFd fd, std::string_view source, std::uint64_t max_bytes)
    : source_(source), max_bytes_(max_bytes), fd_(std::move(fd)) {
  struct stat info {};
  if (::fstat(fd_.get(), &info) != 0) raise_os_error(errno, source_);
  if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) > max_bytes_) {
    fail(Problem::TooLarge);
    raise_problem();
  }
  buffer_.resize(kChunk + 4);
  data_ = buffer_.data();
  // The first bytes tell the encoding.
  while (end_ < 2 && !source_done_ && !has_problem()) read_more();
  if (starts_utf16(data_, end_)) {
    while (!source_done_ && !has_problem()) read_more();
    if (!has_problem()) {
      size_ = end_;
      decode_utf16();
    }
    fd_.reset();
    std::vector<unsigned char>().swap(buffer_);
  }
}

void TextInput::decode_utf16() {
  const bool little_endian = data_[0] == 0xFF;
  std::string out;
  out.reserve(size_ + size_ / 2);
  std::size_t i = 2;  // after the byte order mark
  const auto unit = [&](std::size_t at) -> char32_t {
    return little_endian ? data_[at] | (data_[at + 1] << 8) : (data_[at] << 8) | data_[at + 1];
  };
  for (; i + 1 < size_; i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < size_) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      utf16_problem_ = "the UTF-16 text holds an unpaired surrogate " + code_point_name(c);
      break;
    }
    utf8::append(out, c);
  }
  if (utf16_problem_.empty() && i < size_) utf16_problem_ = "the UTF-16 text ends in the middle of a character";
  decoded_ = std::move(out);
  data_ = reinterpret_cast<const unsigned char*>(decoded_.data());
  size_ = decoded_.size();
  pos_ = checked_ = end_ = 0;
  source_done_ = false;
  at_start_ = false;  // the byte order mark is gone
}

std::size_t TextInput::read(unsigned char* buffer, std::size_t size) noexcept {
  while (pos_ == checked_) {
    if (!refill()) return 0;
  }
  const std::size_t count = std::min(size, checked_ - pos_);
  std::memcpy(buffer, data_ + pos_, count);
  pos_ += count;
  return count;
}

bool TextInput::refill() noexcept {
  if (has_problem()) return false;
  if (fd_) {
    if (source_done_ && checked_ == end_) return false;
    if (!source_done_ && !read_more()) return false;
  } else {
    if (source_done_) {
      if (!utf16_problem_.empty()) fail(Problem::BadText, utf16_problem_);
      return false;
    }
    end_ = std::min(size_, end_ + kChunk);
    source_done_ = end_ == size_;
  }
  check();
  return true;
}

bool TextInput::read_more() noexcept {
  // Whatever is left waits for the rest of its character; it moves to the
  // front of the buffer.
  if (pos_ == checked_ && pos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + checked_, end_ - checked_);
    end_ -= checked_;
    pos_ = checked_ = 0;
  }
  if (buffer_.size() - end_ < kChunk) buffer_.resize(end_ + kChunk);
  data_ = buffer_.data();
  while (true) {
    const ssize_t count = ::read(fd_.get(), buffer_.data() + end_, buffer_.size() - end_);
    if (count < 0) {
      if (errno == EINTR) continue;
      fail(Problem::ReadError, {}, errno);
      return false;
    }
    if (count == 0) {
      source_done_ = true;
      return true;
    }
    total_ += static_cast<std::uint64_t>(count);
    if (total_ > max_bytes_) {
      fail(Problem::TooLarge);
      return false;
    }
    end_ += static_cast<std::size_t>(count);
    return true;
  }
}

void TextInput::check() noexcept {
  const unsigned char* const data = data_;
  const std::size_t end = end_;
  std::size_t i = checked_;
  std::size_t line = mark_.line;
  std::size_t column = mark_.column;
  bool after_cr = after_cr_;
  const auto store = [&] {
    checked_ = i;
    mark_ = Mark{line, column};
    after_cr_ = after_cr;
  };
  if (at_start_) {
    // A UTF-8 byte order mark takes no column.
    if (end - i < 3 && !source_done_) return;
    if (end - i >= 3 && data[i] == 0xEF && data[i + 1] == 0xBB && data[i + 2] == 0xBF) i += 3;
    at_start_ = false;
  }
  while (i < end) {
    const unsigned char c = data[i];
    if (c >= 0x20 && c < 0x7F) {
      ++column;
      after_cr = false;
      ++i;
      continue;
    }
    if (c == '\n') {
      if (!after_cr) ++line;
      column = 0;
      after_cr = false;
      ++i;
      continue;
    }
    if (c == '\r') {
      ++line;
      column = 0;
      after_cr = true;
      ++i;
      continue;
    }
    if (c == '\t') {
      ++column;
      after_cr = false;
      ++i;
      continue;
    }
    if (c < 0x80) {
      store();
      fail(Problem::BadText, not_allowed(c));
      return;
    }
    const std::size_t length = sequence_length(c);
    if (length != 0 && i + length > end && !source_done_) break;  // the rest comes with the next chunk
    char32_t code_point = 0;
    if (length == 0 || utf8::decode(std::string_view(reinterpret_cast<const char*>(data), end), i, code_point) == 0) {
      store();
      fail(Problem::BadText,
           "the byte " + byte_name(c) +
               " is not valid UTF-8 here (YAML text must be UTF-8, or UTF-16 with a byte order mark)");
      return;
    }
    if (!allowed(code_point)) {
      store();
      fail(Problem::BadText, not_allowed(code_point));
      return;
    }
    if (code_point == 0x85 || code_point == 0x2028 || code_point == 0x2029) {
      ++line;
      column = 0;
    } else {
      ++column;
    }
    after_cr = false;
    i += length;
  }
  store();
}

void TextInput::fail(Problem problem, std::string what, int error_number) noexcept {
  problem_ = problem;
  problem_mark_ = mark_;
  problem_what_ = std::move(what);
  problem_errno_ = error_number;
}

void TextInput::raise_problem() const {
  switch (problem_) {
    case Problem::BadText: throw error_at(source_, problem_mark_, problem_what_);
    case Problem::TooLarge: {
      const bool whole_gib = max_bytes_ % (std::uint64_t{1} << 30) == 0;
      const std::string limit =
          whole_gib ? std::to_string(max_bytes_ >> 30) + " GiB" : std::to_string(max_bytes_) + " bytes";
      throw source_error(source_, "the text is larger than the limit of " + limit + "; it is not loaded");
    }
    case Problem::ReadError: raise_os_error(problem_errno_, source_);
    case Problem::None: break;
  }
  throw YAMLError("no problem to report in " + describe_source(source_));
}

}  // namespace tarvex::utils::yaml
