// Reading YAML documents.  Plain block YAML (what testbeds are) is read by
// the fast reader; any other document by libyaml's event parser, which
// pulls checked text from a TextInput while a DocumentBuilder turns its
// events into a Value.  Neither the whole file nor a node tree is ever
// held beside the result.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml.h>

#include <cerrno>
#include <new>
#include <optional>

#include "framework/yaml/yaml_document_builder.hpp"
#include "framework/yaml/yaml_input.hpp"
#include "framework/yaml/yaml_reader.hpp"
#include "framework/yaml/yaml_simple_reader.hpp"
#include "framework/yaml/yaml_source_error.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::utils::yaml {

TARVEX_DEFINE_EXCEPTION(YAMLError)

namespace {

Mark mark_of(const yaml_mark_t& mark) { return Mark{mark.line, mark.column}; }

// libyaml's parser, reading from a TextInput.
class Parser {
 public:
  explicit Parser(TextInput& input) {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
    yaml_parser_set_input(&parser_, &Parser::read, &input);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() { yaml_parser_delete(&parser_); }

  yaml_parser_t* get() { return &parser_; }

 private:
  static int read(void* data, unsigned char* buffer, size_t size, size_t* size_read) {
    *size_read = static_cast<TextInput*>(data)->read(buffer, size);
    return 1;
  }

  yaml_parser_t parser_{};
};

// One parser event, released when replaced or destroyed.
class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() { release(); }

  // The next event of `parser`; false when the parser failed.
  bool next(yaml_parser_t* parser) {
    release();
    valid_ = yaml_parser_parse(parser, &event_) != 0;
    return valid_;
  }
  const yaml_event_t& get() const { return event_; }
  yaml_event_type_t type() const { return event_.type; }

 private:
  void release() {
    if (valid_) yaml_event_delete(&event_);
    valid_ = false;
  }

  yaml_event_t event_{};
  bool valid_ = false;
};

// The parser's error in our words.  A scanner error is placed where the
// token it could not finish starts (an unclosed quote, say), with the
// place it noticed the problem added; a parser error is placed at the
// token it did not expect, with the construct it was in added.
[[noreturn]] void raise_parser_error(const yaml_parser_t& parser, std::string_view source) {
  const std::string problem = parser.problem ? parser.problem : "the text cannot be parsed";
  const Mark problem_mark = mark_of(parser.problem_mark);
  switch (parser.error) {
    case YAML_MEMORY_ERROR: throw std::bad_alloc();
    case YAML_READER_ERROR:
      throw source_error(source, problem + " (at byte " + std::to_string(parser.problem_offset) + ")");
    case YAML_SCANNER_ERROR:
      if (parser.context) {
        throw error_at(source, mark_of(parser.context_mark),
                       std::string(parser.context) + ": " + problem + " at " + describe_mark(problem_mark));
      }
      throw error_at(source, problem_mark, problem);
    default:
      if (parser.context) {
        throw error_at(source, problem_mark,
                       problem + " (" + parser.context + " at " + describe_mark(mark_of(parser.context_mark)) + ")");
      }
      throw error_at(source, problem_mark, problem);
  }
}

Value read_document(TextInput& input, std::string_view source, const LoadLimits& limits, const LoadOptions* options) {
  Parser parser(input);
  DocumentBuilder builder(source, limits, options);
  Event event;
  // When the input had to stop early (bad text, too much of it, a read
  // error), the parser saw the text end there: its complaints from that
  // point on are about the cut, and the input's problem is the one to
  // report.
  const auto next = [&] {
    if (!event.next(parser.get())) {
      if (input.has_problem() &&
          (parser.get()->error == YAML_READER_ERROR || mark_of(parser.get()->problem_mark) >= input.problem_mark())) {
        input.raise_problem();
      }
      raise_parser_error(*parser.get(), source);
    }
    return event.type();
  };
  next();  // the start of the stream
  if (next() == YAML_STREAM_END_EVENT) {
    if (input.has_problem()) input.raise_problem();
    return Value();
  }
  while (next() != YAML_DOCUMENT_END_EVENT) {
    try {
      builder.add_event(event.get());
    } catch (const YAMLError&) {
      if (input.has_problem() && mark_of(event.get().end_mark) >= input.problem_mark()) input.raise_problem();
      throw;
    }
  }
  if (next() == YAML_DOCUMENT_START_EVENT) {
    throw error_at(source, mark_of(event.get().start_mark),
                   "expected a single document in the stream, but found another document");
  }
  if (input.has_problem()) input.raise_problem();
  return builder.take_result();
}

// A fast reader cannot tell where a duplicate key is: a caller that wants
// to know has such documents read by the general parser.
bool refuse_duplicate_keys(const LoadOptions* options) { return options && options->on_duplicate; }

}  // namespace

Value load_text(std::string_view text, std::string_view source, const LoadLimits& limits, bool try_simple_reader,
                const LoadOptions* options) {
  if (try_simple_reader && text.size() <= limits.max_input_bytes) {
    if (std::optional<Value> simple = read_simple_yaml(text, refuse_duplicate_keys(options))) {
      return std::move(*simple);
    }
  }
  TextInput input(text, source, limits.max_input_bytes);
  return read_document(input, source, limits, options);
}

Value load_path(const std::string& path, const LoadLimits& limits, bool try_simple_reader, const LoadOptions* options) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) raise_os_error(errno, path);
  // A regular file can be read twice: by the fast reader first, and from
  // its start again by the general parser when the fast reader gives up.
  struct stat info {};
  if (try_simple_reader && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_size) <= limits.max_input_bytes) {
    if (std::optional<Value> simple =
            read_simple_yaml(fd.get(), limits.max_input_bytes, refuse_duplicate_keys(options))) {
      return std::move(*simple);
    }
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) raise_os_error(errno, path);
  }
  TextInput input(std::move(fd), path, limits.max_input_bytes);
  return read_document(input, path, limits, options);
}

Value load_string(std::string_view text, std::string_view source) { return load_text(text, source, LoadLimits{}); }

Value load_file(const std::string& path) { return load_path(path, LoadLimits{}); }

Value load_string(std::string_view text, std::string_view source, const LoadOptions& options) {
  return load_text(text, source, LoadLimits{}, true, &options);
}

Value load_file(const std::string& path, const LoadOptions& options) {
  return load_path(path, LoadLimits{}, true, &options);
}

Value Loader::load(const std::string& path, const LoadOptions& options) const {
  Value content = load_file(path, options);
  if (content.is_none()) return Value(Map{});
  if (!content.is_map()) {
    throw YAMLError("Error in YAML " + describe_source(path) + ": the document must be a mapping, found " +
                    node_kind(content));
  }
  return content;
}

Value Loader::load_arbitrary(const std::string& path, const LoadOptions& options) const {
  return load_file(path, options);
}

}  // namespace tarvex::utils::yaml
