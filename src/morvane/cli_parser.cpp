// The single-dash option parser: parsing of one parser's own options out of a
// command line that other parsers share, and its usage and help texts.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvex/morvane/cli.hpp"

namespace tarvex::morvane::utils {

TARVEX_DEFINE_EXCEPTION(ArgumentError)

namespace {

// Layout of the texts: the usual 80-column terminal, option help starting at
// column 24 after an indent of two.
constexpr std::size_t kWidth = 80;
constexpr std::size_t kIndent = 2;
constexpr std::size_t kHelpColumn = 24;
constexpr std::string_view kUsagePrefix = "usage: ";
constexpr std::string_view kFallbackProg = "bringup";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "-1", "-25", "-2.5" and "-.5": such a token is a value (a negative offset
// or delay), never an option.
bool is_negative_number(std::string_view token) {
  if (token.size() < 2 || token[0] != '-') return false;
  std::string_view rest = token.substr(1);
  const std::size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return std::all_of(rest.begin(), rest.end(), is_digit);
  const std::string_view integral = rest.substr(0, dot);
  const std::string_view fraction = rest.substr(dot + 1);
  return !fraction.empty() && std::all_of(integral.begin(), integral.end(), is_digit) &&
         std::all_of(fraction.begin(), fraction.end(), is_digit);
}

std::string_view trim(std::string_view text) {
  const auto is_space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// Conversions accept what a user would type: surrounding blanks and an
// explicit plus sign.  from_chars refuses both, and accepts neither hex
// floats nor locale-dependent forms, which is what is wanted here.
std::optional<Value> to_int(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return Value(number);
}

std::optional<Value> to_float(std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return Value(number);
}

const char* type_name(Argument::Type type) {
  switch (type) {
    case Argument::Type::Int: return "int";
    case Argument::Type::Float: return "float";
    case Argument::Type::Str: break;
  }
  return "str";
}

std::optional<Value> convert(const std::string& text, Argument::Type type) {
  switch (type) {
    case Argument::Type::Int: return to_int(text);
    case Argument::Type::Float: return to_float(text);
    case Argument::Type::Str: break;
  }
  return Value(text);
}

// The option's name in error messages: all its flags, as in "-help/-h".
std::string argument_name(const Argument& argument) {
  std::string name;
  for (const std::string& flag : argument.flags) {
    if (!name.empty()) name += '/';
    name += flag;
  }
  return name;
}

ArgumentError argument_error(const Argument& argument, const std::string& message) {
  return ArgumentError("argument " + argument_name(argument) + ": " + message);
}

// Converts one value and checks it against the choices.  Choices are given
// as text; for numeric options they are compared as numbers, so "05" is the
// choice "5".
Value checked_value(const Argument& argument, const std::string& text) {
  std::optional<Value> value = convert(text, argument.type);
  if (!value) {
    throw argument_error(argument, std::string("invalid ") + type_name(argument.type) + " value: " + py_repr(text));
  }
  if (argument.choices.empty()) return *value;
  std::string listed;
  for (const std::string& choice : argument.choices) {
    const std::optional<Value> allowed = convert(choice, argument.type);
    if (allowed && *allowed == *value) return *value;
    if (!listed.empty()) listed += ", ";
    listed += allowed ? allowed->repr() : py_repr(choice);
  }
  throw argument_error(argument, "invalid choice: " + value->repr() + " (choose from " + listed + ")");
}

std::string replace_prog(std::string text, std::string_view prog) {
  constexpr std::string_view kPlaceholder = "%(prog)s";
  for (std::size_t at = text.find(kPlaceholder); at != std::string::npos; at = text.find(kPlaceholder, at)) {
    text.replace(at, kPlaceholder.size(), prog);
    at += prog.size();
  }
  return text;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && !std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos > start) words.push_back(text.substr(start, pos - start));
  }
  return words;
}

// Fills lines of at most `width` characters with the words of `text`; runs
// of blanks and line breaks count as one blank.  A word longer than a line
// is cut, its first piece filling what is left of the current line.
std::vector<std::string> wrap(std::string_view text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  for (std::string_view word : split_words(text)) {
    const std::size_t separator = line.empty() ? 0 : 1;
    if (line.size() + separator + word.size() <= width) {
      if (separator) line += ' ';
      line += word;
      continue;
    }
    if (word.size() <= width) {
      lines.push_back(std::move(line));
      line = std::string(word);
      continue;
    }
    if (!line.empty()) {
      if (line.size() + 1 < width) {
        const std::size_t room = width - line.size() - 1;
        line += ' ';
        line += word.substr(0, room);
        word.remove_prefix(room);
      }
      lines.push_back(std::move(line));
    }
    while (word.size() > width) {
      lines.emplace_back(word.substr(0, width));
      word.remove_prefix(width);
    }
    line = std::string(word);
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

std::string value_placeholder(const Argument& argument) {
  if (argument.nargs == Argument::Nargs::OneOrMore) {
    return argument.metavar + " [" + argument.metavar + " ...]";
  }
  return argument.metavar;
}

// "[-opt OPT]" in the usage line: the first flag only.
std::string usage_part(const Argument& argument) {
  std::string part = "[" + argument.flags.front();
  if (argument.action == Argument::Action::Store) part += " " + value_placeholder(argument);
  return part + "]";
}

// "-opt OPT" or "-help, -h" in the list of options: every flag.
std::string invocation(const Argument& argument) {
  std::string text;
  for (const std::string& flag : argument.flags) {
    if (!text.empty()) text += ", ";
    text += flag;
    if (argument.action == Argument::Action::Store) text += " " + value_placeholder(argument);
  }
  return text;
}

// Greedy filling of usage lines with whole parts.  With a prefix, the first
// line starts after it and is returned without the indent.
std::vector<std::string> usage_lines(const std::vector<std::string>& parts, const std::string& indent,
                                     std::size_t first_line_start) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t column = first_line_start;
  for (const std::string& part : parts) {
    if (!line.empty() && column + 1 + part.size() > kWidth) {
      lines.push_back(std::move(line));
      line.clear();
      column = indent.size();
    }
    if (!line.empty()) {
      line += ' ';
      ++column;
    }
    line += part;
    column += part.size();
  }
  if (!line.empty()) lines.push_back(std::move(line));
  for (std::size_t i = 1; i < lines.size(); ++i) lines[i] = indent + lines[i];
  return lines;
}

std::string default_prog() {
  const std::vector<std::string> argv = command_line();
  if (argv.empty()) return std::string(kFallbackProg);
  std::string_view program = argv.front();
  while (program.size() > 1 && program.back() == '/') program.remove_suffix(1);
  const std::size_t slash = program.rfind('/');
  if (slash != std::string_view::npos) program.remove_prefix(slash + 1);
  return program.empty() ? std::string(kFallbackProg) : std::string(program);
}

}  // namespace

ArgvQuotingParser::ArgvQuotingParser(Options options)
    : prog_(options.prog.empty() ? default_prog() : std::move(options.prog)),
      description_(std::move(options.description)) {
  if (options.add_help) {
    add_argument({.flags = {"-h", "-help"},
                  .dest = "help",
                  .help = "show this help message and exit",
                  .action = Argument::Action::StoreTrue});
  }
}

ArgvQuotingParser& ArgvQuotingParser::add_argument(Argument argument) {
  if (argument.flags.empty()) throw ValueError("an option needs at least one flag");
  for (const std::string& flag : argument.flags) {
    // Without a dash the flag could never be told from a value.
    if (flag.size() < 2 || flag.front() != '-' || is_negative_number(flag)) {
      throw ValueError("invalid option flag " + py_repr(flag) + ": flags start with '-' and name the option");
    }
    for (const Argument& existing : arguments_) {
      if (std::find(existing.flags.begin(), existing.flags.end(), flag) != existing.flags.end()) {
        throw argument_error(argument, "conflicting option string: " + flag);
      }
    }
  }
  if (argument.dest.empty()) {
    std::string_view name = argument.flags.front();
    while (!name.empty() && name.front() == '-') name.remove_prefix(1);
    argument.dest = name;
    std::replace(argument.dest.begin(), argument.dest.end(), '-', '_');
  }
  if (argument.metavar.empty()) {
    argument.metavar = argument.dest;
    for (char& c : argument.metavar) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  arguments_.push_back(std::move(argument));
  return *this;
}

namespace {

// One pass over a command line on behalf of one parser: finds the parser's
// own options and their values, and steps over everything else.
class CommandLineScan {
 public:
  CommandLineScan(const std::vector<Argument>& arguments, const std::vector<std::string>& args)
      : arguments_(arguments), args_(args) {}

  Map run() {
    Map given;
    while (next_ < args_.size()) {
      const std::string& token = args_[next_++];
      if (token == "--") break;
      const auto [argument, attached] = own_option(token);
      // Anything else is another parser's option or a value of one; how
      // many values a foreign option takes is unknown, so all of them are
      // skipped.
      if (argument) given.insert_or_assign(argument->dest, value_of(*argument, attached));
    }
    return given;
  }

  // The tokens no option takes, with every option known: unknown options
  // and values of none.  The values are not checked (each parser does).
  std::vector<std::string> strays() {
    std::vector<std::string> found;
    while (next_ < args_.size()) {
      const std::string& token = args_[next_++];
      if (token == "--") break;
      const auto [argument, attached] = own_option(token);
      if (!argument) {
        found.push_back(token);
        continue;
      }
      if (argument->action == Argument::Action::StoreTrue || attached) continue;
      if (argument->nargs == Argument::Nargs::One) {
        if (next_ < args_.size() && is_value(args_[next_])) ++next_;
      } else {
        while (next_ < args_.size() && is_value(args_[next_])) ++next_;
      }
    }
    return found;
  }

 private:
  const Argument* find_flag(std::string_view flag) const {
    for (const Argument& argument : arguments_) {
      if (std::find(argument.flags.begin(), argument.flags.end(), flag) != argument.flags.end()) return &argument;
    }
    return nullptr;
  }

  // The own option that `token` names, with the value attached by "=", if
  // any.  Only exact names match: several parsers read the same command
  // line, so a prefix of one parser's option may well be another parser's
  // option.
  std::pair<const Argument*, std::optional<std::string>> own_option(const std::string& token) const {
    if (token.size() < 2 || token.front() != '-') return {nullptr, std::nullopt};
    if (const Argument* argument = find_flag(token)) return {argument, std::nullopt};
    const std::size_t equals = token.find('=');
    if (equals == std::string::npos) return {nullptr, std::nullopt};
    if (const Argument* argument = find_flag(std::string_view(token).substr(0, equals))) {
      return {argument, token.substr(equals + 1)};
    }
    return {nullptr, std::nullopt};
  }

  // Whether `token` can be the value of an option.  A dash starts an option
  // (ours or another parser's) unless the token is a negative number or a
  // quoted phrase with blanks, which no option name contains.
  bool is_value(const std::string& token) const {
    if (token == "--") return false;
    if (token.size() < 2 || token.front() != '-') return true;
    if (own_option(token).first) return false;
    return is_negative_number(token) || token.find(' ') != std::string::npos;
  }

  // The value an option takes: true for a flag, one value, or one or more
  // values ("-opt=a" carries exactly one; otherwise every value up to the
  // next option is taken).
  Value value_of(const Argument& argument, const std::optional<std::string>& attached) {
    if (argument.action == Argument::Action::StoreTrue) {
      if (attached) throw argument_error(argument, "ignored explicit argument " + py_repr(*attached));
      return true;
    }
    if (argument.nargs == Argument::Nargs::One) {
      if (attached) return checked_value(argument, *attached);
      if (next_ < args_.size() && is_value(args_[next_])) return checked_value(argument, args_[next_++]);
      throw argument_error(argument, "expected one argument");
    }
    List values;
    if (attached) {
      values.push_back(checked_value(argument, *attached));
    } else {
      while (next_ < args_.size() && is_value(args_[next_])) values.push_back(checked_value(argument, args_[next_++]));
    }
    if (values.empty()) throw argument_error(argument, "expected at least one argument");
    return values;
  }

  const std::vector<Argument>& arguments_;
  const std::vector<std::string>& args_;
  std::size_t next_ = 0;
};

}  // namespace

Map ArgvQuotingParser::parse_known_args(const std::vector<std::string>& args) const {
  return CommandLineScan(arguments_, args).run();
}

namespace {

// The edit distance of two texts (insertions, deletions, substitutions,
// and swaps of neighbours).
std::size_t distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::optional<std::string> unknown_argument(const std::vector<std::string>& args,
                                            const std::vector<const ArgvQuotingParser*>& parsers) {
  std::vector<Argument> all;
  for (const ArgvQuotingParser* parser : parsers) {
    all.insert(all.end(), parser->arguments().begin(), parser->arguments().end());
  }
  const std::vector<std::string> strays = CommandLineScan(all, args).strays();
  if (strays.empty()) return std::nullopt;
  const std::string& stray = strays.front();
  const std::string name = stray.substr(0, stray.find('='));
  if (stray.size() < 2 || stray.front() != '-' || is_negative_number(stray)) {
    return py_repr(stray) + ": unexpected argument (it belongs to no option)";
  }
  std::optional<std::string> closest;
  std::size_t best = std::max<std::size_t>(2, name.size() / 3) + 1;
  for (const Argument& argument : all) {
    for (const std::string& flag : argument.flags) {
      const std::size_t d = distance(name, flag);
      if (d < best) {
        best = d;
        closest = flag;
      }
    }
  }
  return name + ": unknown option" + (closest ? " (did you mean " + *closest + "?)" : std::string());
}

std::string ArgvQuotingParser::format_usage() const {
  if (usage) {
    if (*usage == SUPPRESS) return {};
    return std::string(kUsagePrefix) + replace_prog(*usage, prog_) + "\n";
  }
  std::vector<std::string> parts;
  for (const Argument& argument : arguments_) parts.push_back(usage_part(argument));

  std::string text = prog_;
  std::size_t single_line = kUsagePrefix.size() + prog_.size();
  for (const std::string& part : parts) single_line += 1 + part.size();
  if (single_line > kWidth) {
    std::vector<std::string> lines;
    if (kUsagePrefix.size() + prog_.size() <= kWidth * 3 / 4) {
      // Continuation lines start under the first option.
      std::vector<std::string> with_prog{prog_};
      with_prog.insert(with_prog.end(), parts.begin(), parts.end());
      lines = usage_lines(with_prog, std::string(kUsagePrefix.size() + prog_.size() + 1, ' '), kUsagePrefix.size());
    } else {
      // A long program name gets a line of its own, the options go below it.
      const std::string indent(kUsagePrefix.size(), ' ');
      lines = usage_lines(parts, indent, indent.size());
      if (!lines.empty()) lines.front().insert(0, indent);
      lines.insert(lines.begin(), prog_);
    }
    text.clear();
    for (const std::string& line : lines) {
      if (!text.empty()) text += '\n';
      text += line;
    }
  } else {
    for (const std::string& part : parts) text += " " + part;
  }
  return std::string(kUsagePrefix) + text + "\n";
}

std::string ArgvQuotingParser::format_help() const {
  std::string help = format_usage();
  if (!help.empty()) help += '\n';

  if (!description_.empty()) {
    // Paragraphs (separated by a blank line) stay apart; each is refilled.
    const std::string description = replace_prog(description_, prog_);
    std::size_t start = 0;
    while (start < description.size()) {
      std::size_t end = description.find("\n\n", start);
      if (end == std::string::npos) end = description.size();
      const std::vector<std::string> lines = wrap(std::string_view(description).substr(start, end - start), kWidth);
      for (const std::string& line : lines) help += line + '\n';
      if (!lines.empty()) help += '\n';
      start = end + 2;
    }
  }

  if (!arguments_.empty()) {
    help += "options:\n";
    const std::size_t invocation_width = kHelpColumn - kIndent - 2;
    for (const Argument& argument : arguments_) {
      const std::string header = std::string(kIndent, ' ') + invocation(argument);
      const std::vector<std::string> lines = wrap(replace_prog(argument.help, prog_), kWidth - kHelpColumn);
      if (lines.empty()) {
        help += header + '\n';
        continue;
      }
      if (header.size() - kIndent <= invocation_width) {
        help += header + std::string(kHelpColumn - header.size(), ' ') + lines.front() + '\n';
      } else {
        help += header + '\n' + std::string(kHelpColumn, ' ') + lines.front() + '\n';
      }
      for (std::size_t i = 1; i < lines.size(); ++i) help += std::string(kHelpColumn, ' ') + lines[i] + '\n';
    }
  }

  // Exactly one line break at the end, and nothing at all for a parser with
  // nothing to show, so that callers can skip an empty help text.
  while (!help.empty() && help.back() == '\n') help.pop_back();
  if (!help.empty()) help += '\n';
  return help;
}

void ArgvQuotingParser::print_usage(std::FILE* out) const {
  const std::string text = format_usage();
  std::fputs(text.c_str(), out);
}

void ArgvQuotingParser::print_help(std::FILE* out) const {
  const std::string text = format_help();
  std::fputs(text.c_str(), out);
}

}  // namespace tarvex::morvane::utils
