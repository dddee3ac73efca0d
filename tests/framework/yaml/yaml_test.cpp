#include "tarvex/utils/yaml.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/yaml/yaml_reader.hpp"
#include "framework/yaml/yaml_simple_reader.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/value.hpp"

namespace tarvex::utils::yaml {
namespace {

namespace fs = std::filesystem;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ------------------------------------------------------------ helpers

// Where two values differ, or "" when they are the same data.  Stricter
// than Value's ==: 1 and 1.0 differ, NaN equals NaN, -0.0 differs from
// 0.0; mappings compare by key lookup, and also by order when `ordered`.
std::string difference(const Value& expected, const Value& actual, bool ordered = false,
                       const std::string& path = "$") {
  const auto brief = [](const Value& value) {
    std::string text = value.repr();
    return text.size() > 300 ? text.substr(0, 300) + "..." : text;
  };
  const auto mismatch = [&] { return path + ": expected " + brief(expected) + ", got " + brief(actual); };
  if (expected.kind() != actual.kind()) return mismatch();
  switch (expected.kind()) {
    case Value::Kind::Float: {
      const double a = expected.as_float();
      const double b = actual.as_float();
      if (std::isnan(a) && std::isnan(b)) return "";
      if (a != b || std::signbit(a) != std::signbit(b)) return mismatch();
      return "";
    }
    case Value::Kind::List: {
      const List& a = expected.as_list();
      const List& b = actual.as_list();
      if (a.size() != b.size()) return mismatch();
      for (std::size_t i = 0; i < a.size(); ++i) {
        std::string found = difference(a[i], b[i], ordered, path + "[" + std::to_string(i) + "]");
        if (!found.empty()) return found;
      }
      return "";
    }
    case Value::Kind::Map: {
      const Map& a = expected.as_map();
      const Map& b = actual.as_map();
      if (a.size() != b.size()) return mismatch();
      if (ordered && Value(a.keys()).repr() != Value(b.keys()).repr())
        return path + ": key order differs; " + mismatch();
      for (const auto& [key, value] : a) {
        const auto theirs = std::find_if(
            b.begin(), b.end(), [&](const auto& item) { return item.first.kind() == key.kind() && item.first == key; });
        if (theirs == b.end()) return path + ": key " + key.repr() + " missing; " + mismatch();
        std::string found = difference(value, theirs->second, ordered, path + "[" + key.repr() + "]");
        if (!found.empty()) return found;
      }
      return "";
    }
    default: return expected == actual ? "" : mismatch();
  }
}

// A directory removed with its content at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "yaml_test.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string write(const std::string& name, std::string_view content) const {
    const std::string file = (path_ / name).string();
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  std::string path(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// ------------------------------------------------------------ loading

// Plain scalars and how a YAML 1.1 safe loader types them.
struct TypedScalar {
  const char* text;
  Value expected;
};

const std::vector<TypedScalar>& typed_scalars() {
  // clang-format off
  static const std::vector<TypedScalar> table = {
      // Booleans are exactly these spellings.
      {"yes", true}, {"Yes", true}, {"YES", true}, {"no", false}, {"No", false}, {"NO", false}, {"true", true},
      {"True", true}, {"TRUE", true}, {"false", false}, {"False", false}, {"FALSE", false}, {"on", true},
      {"On", true}, {"ON", true}, {"off", false}, {"Off", false}, {"OFF", false}, {"y", "y"}, {"n", "n"}, {"Y", "Y"},
      {"yEs", "yEs"}, {"oN", "oN"}, {"tRUE", "tRUE"},
      // Null.
      {"~", Value()}, {"null", Value()}, {"Null", Value()}, {"NULL", Value()}, {"", Value()}, {"nULL", "nULL"},
      {"None", "None"},
      // Integers.
      {"0", 0}, {"-0", 0}, {"+12", 12}, {"-12", -12}, {"1_000", 1000}, {"1__0", 10}, {"0x1F", 31}, {"0x1f", 31},
      {"-0x1F", -31}, {"0x_1F", 31}, {"017", 15}, {"-017", -15}, {"0_17", 15}, {"0b101", 5}, {"-0b101", -5},
      {"0b1_0", 2}, {"1:30", 90}, {"-1:30", -90}, {"1:2:3", 3723}, {"190:20:30", 685230}, {"1_0:30", 630},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()}, {"08", "08"}, {"09", "09"},
      {"0o17", "0o17"}, {"0X1F", "0X1F"}, {"0x", "0x"}, {"0b", "0b"}, {"0b12", "0b12"}, {"1:60", "1:60"},
      {"0:30", "0:30"}, {"1:123", "1:123"}, {"12abc", "12abc"}, {"_1", "_1"}, {"+", "+"}, {"1,000", "1,000"},
      // Floats: a dot is required, an exponent needs a sign, `.5` takes no sign.
      {"1.", 1.0}, {"-1.", -1.0}, {".5", 0.5}, {"+1.5", 1.5}, {"0.1", 0.1}, {"1.0e+3", 1000.0}, {"1.0E-3", 0.001},
      {"1.e+3", 1000.0}, {".5e+1", 5.0}, {"1_0.5", 10.5}, {"1.__", 1.0}, {"1:30.5", 90.5}, {"0:30.5", 30.5},
      {"-1:30.", -90.0}, {".inf", kInf}, {".Inf", kInf}, {".INF", kInf}, {"+.inf", kInf}, {"-.inf", -kInf},
      {".nan", kNaN}, {".NaN", kNaN}, {".NAN", kNaN}, {"1e3", "1e3"}, {"1.0e3", "1.0e3"}, {"1e+3", "1e+3"},
      {"-.5", "-.5"}, {"+.5", "+.5"}, {"+.nan", "+.nan"}, {"-.nan", "-.nan"}, {".iNf", ".iNf"}, {"inf", "inf"},
      {"nan", "nan"}, {"._5", "._5"}, {".", "."}, {"1.0e+", "1.0e+"}, {"1.2.3", "1.2.3"}, {"10.0.0.1", "10.0.0.1"},
      // Timestamps stay text.
      {"2001-12-14", "2001-12-14"}, {"2001-12-14t21:59:43.10-05:00", "2001-12-14t21:59:43.10-05:00"},
      {"2001-12-14 21:59:43.10 -5", "2001-12-14 21:59:43.10 -5"}, {"2001-1-4T1:59:43Z", "2001-1-4T1:59:43Z"},
      // Merge and value indicators outside key position are text.
      {"<<", "<<"}, {"=", "="},
      // Ordinary text.
      {"port1/1", "port1/1"}, {"a:b", "a:b"}, {"-x", "-x"},
  };
  // clang-format on
  return table;
}

TEST(YamlLoadTyping, PlainScalarsAreTypedLikeYaml11SafeLoaders) {
  for (const TypedScalar& scalar : typed_scalars()) {
    const Value loaded = load_string(std::string("v: ") + scalar.text);
    EXPECT_EQ(difference(scalar.expected, loaded.at("v")), "") << "for plain scalar '" << scalar.text << "'";
  }
}

TEST(YamlLoadTyping, QuotedAndBlockScalarsStayStrings) {
  const Value loaded = load_string(
      "single: 'yes'\n"
      "double: \"123\"\n"
      "tilde: '~'\n"
      "empty: ''\n"
      "float: \"1.5\"\n"
      "literal: |\n"
      "  on\n"
      "folded: >-\n"
      "  0x1F\n"
      "escaped: \"tab\\there\\N\\_\\x41\\u00e9\"\n");
  EXPECT_EQ(difference(Value::map({{"single", "yes"},
                                   {"double", "123"},
                                   {"tilde", "~"},
                                   {"empty", ""},
                                   {"float", "1.5"},
                                   {"literal", "on\n"},
                                   {"folded", "0x1F"},
                                   // \N and \_ are U+0085 and U+00A0, in UTF-8.
                                   {"escaped",
                                    "tab\there\xc2\x85\xc2\xa0"
                                    "A\xc3\xa9"}}),
                       loaded, true),
            "");
}

TEST(YamlLoadTyping, QuotedScalarsSpanningLinesAreFolded) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"- 'a  \n  b'", "a b"},
      {"- 'a\n\n  b'", "a\nb"},
      {"- '\n\n  '", "\n"},
      {"- '\n\n\n  '", "\n\n"},
      {"- 'x\n\n\n  '", "x\n\n"},
      {"- 'it''s\n\n  ''quoted'''", "it's\n'quoted'"},
      {"- \"a\\\n   b\"", "ab"},
      {"- \"a\\\n  \\ b\"", "a b"},
      {"- \"a \\t\n  b\"", "a \t b"},
      {"- \"a\n\n\n  b \"", "a\n\nb "},
      {"- \"\\N\\_\\x41\n\n  \\u00e9\\U0001F600\"",
       "\xc2\x85\xc2\xa0"
       "A\n\xc3\xa9\xf0\x9f\x98\x80"},
      {"- \"crlf\r\n\r\n  end\"", "crlf\nend"},
      // The parser's position of a node with properties, or after a byte
      // order mark, is not that of the opening quote.
      {"- &a !!str 'x\n\n  '\n- *a", "x\n"},
      {"- !!str\n  'y\n\n  '", "y\n"},
      {"\xef\xbb\xbf- 'x\n\n\n  '", "x\n\n"},
  };
  for (const auto& [document, expected] : cases) {
    EXPECT_EQ(difference(Value(expected), load_string(document).at(0)), "") << py_repr(document);
  }
}

TEST(YamlLoadTyping, ExplicitCoreTagsAreHonoured) {
  const Value loaded = load_string(
      "str: !!str 123\n"
      "str null: !!str ~\n"
      "str empty: !!str\n"
      "int: !!int \"42\"\n"
      "int hex: !!int 0x10\n"
      "float: !!float 1\n"
      "float exponent: !!float 1e3\n"
      "bool: !!bool \"on\"\n"
      "bool caps: !!bool FaLsE\n"
      "null tag: !!null anything\n"
      "map: !!map {a: 1}\n"
      "seq: !!seq [1, two]\n"
      "bare tag: ! 12\n");
  EXPECT_EQ(difference(Value::map({{"str", "123"},
                                   {"str null", "~"},
                                   {"str empty", ""},
                                   {"int", 42},
                                   {"int hex", 16},
                                   {"float", 1.0},
                                   {"float exponent", 1000.0},
                                   {"bool", true},
                                   {"bool caps", false},
                                   {"null tag", Value()},
                                   {"map", Value::map({{"a", 1}})},
                                   {"seq", Value::list({1, "two"})},
                                   {"bare tag", "12"}}),
                       loaded, true),
            "");
}

TEST(YamlLoadTyping, MappingKeysAreTypedScalars) {
  const Value loaded = load_string("1: one\n0x10: sixteen\n\"1\": text\n~: null key\nyes: bool\n2.5: float\n");
  const Map& map = loaded.as_map();
  ASSERT_EQ(map.size(), 6u);
  EXPECT_EQ(difference(Value(map.keys()), Value::list({1, 16, "1", Value(), true, 2.5})), "");
  EXPECT_EQ(map.at(Value(1)), Value("one"));
  EXPECT_EQ(map.at(Value("1")), Value("text"));
}

TEST(YamlLoadStructure, DuplicateKeyKeepsLastValueAtFirstPosition) {
  const Value loaded = load_string("a: 1\nb: 2\na: 3\nc: 4\nb: 5\n");
  EXPECT_EQ(difference(Value::map({{"a", 3}, {"b", 5}, {"c", 4}}), loaded, true), "");
}

TEST(YamlLoadStructure, SingleMergeLetsExplicitKeysWin) {
  const Value loaded = load_string(
      "base: &base {x: 1, y: 2}\n"
      "device:\n"
      "  y: 9\n"
      "  <<: *base\n"
      "  z: 3\n");
  // Merged entries come first; an explicit key keeps the merged position.
  EXPECT_EQ(difference(Value::map({{"x", 1}, {"y", 9}, {"z", 3}}), loaded.at("device"), true), "");
}

TEST(YamlLoadStructure, MergeListLetsFirstMappingWin) {
  const Value loaded = load_string(
      "a: &a {x: 1, y: 2}\n"
      "b: &b {y: 3, z: 4}\n"
      "c:\n"
      "  q: 0\n"
      "  <<: [*a, *b]\n"
      "  x: 9\n");
  EXPECT_EQ(difference(Value::map({{"y", 2}, {"z", 4}, {"x", 9}, {"q", 0}}), loaded.at("c"), true), "");
}

TEST(YamlLoadStructure, RepeatedMergeKeysApplyInOrder) {
  const Value loaded = load_string(
      "a: &a {x: 1}\n"
      "b: &b {x: 2, w: 1}\n"
      "c:\n"
      "  <<: *a\n"
      "  <<: *b\n");
  EXPECT_EQ(difference(Value::map({{"x", 2}, {"w", 1}}), loaded.at("c"), true), "");
}

TEST(YamlLoadStructure, MergedMappingsResolveTheirOwnMerges) {
  const Value loaded = load_string(
      "root: &root {os: linux, type: switch}\n"
      "router: &router {<<: *root, type: router}\n"
      "r1:\n"
      "  <<: *router\n"
      "  alias: uut\n"
      "quoted:\n"
      "  \"<<\": not a merge\n");
  EXPECT_EQ(difference(Value::map({{"os", "linux"}, {"type", "router"}, {"alias", "uut"}}), loaded.at("r1"), true), "");
  EXPECT_EQ(difference(Value::map({{"<<", "not a merge"}}), loaded.at("quoted")), "");
}

TEST(YamlLoadStructure, AliasesCopyTheAnchoredNode) {
  const Value loaded = load_string("a: &x [1, {k: v}]\nb: *x\nc: &s text\nd: *s\n");
  EXPECT_EQ(difference(loaded.at("a"), loaded.at("b")), "");
  EXPECT_EQ(loaded.at("d"), Value("text"));
}

TEST(YamlLoadStructure, EmptyDocumentsAreNull) {
  EXPECT_TRUE(load_string("").is_none());
  EXPECT_TRUE(load_string("# only a comment\n").is_none());
  EXPECT_TRUE(load_string("---\n").is_none());
  EXPECT_EQ(difference(Value::map({{"a", 1}}), load_string("a: 1\n...\n")), "");
}

// What a load with every callback set was told, one line per report:
// "dup PATH KEY FIRST AGAIN" and "ctl PATH key|text CHARACTERS POSITION",
// with the characters as their codes.
struct Told {
  std::vector<std::string> lines;
  LoadOptions options() {
    const auto at = [](const Position& p) { return std::to_string(p.line) + ":" + std::to_string(p.column); };
    LoadOptions options;
    options.on_duplicate = [this, at](const DuplicateKey& d) {
      lines.push_back("dup " + Value(d.path).repr() + " " + d.key.repr() + " " + at(d.first) + " " + at(d.again));
    };
    options.on_control_characters = [this, at](const ControlCharacters& c) {
      std::string codes;
      for (const char ch : c.characters) codes += std::to_string(static_cast<unsigned char>(ch)) + ",";
      lines.push_back("ctl " + Value(c.path).repr() + (c.in_key ? " key " : " text ") + codes + " " + at(c.position));
    };
    return options;
  }
};

TEST(YamlLoadReports, DuplicateKeysAndControlCharactersAreToldWithTheirPlaces) {
  struct Case {
    std::string text;
    std::vector<std::string> told;
  };
  const Case cases[] = {
      // Plain block YAML, which the fast reader would take.
      {"a: 1\nb: 2\na: 3\n", {"dup [] 'a' 1:1 3:1"}},
      {"a: 1\na: 2\na: 3\n", {"dup [] 'a' 1:1 2:1", "dup [] 'a' 1:1 3:1"}},
      {"devices:\n  r1:\n    os: x\n    os: y\n", {"dup ['devices', 'r1'] 'os' 3:5 4:5"}},
      {"m: {k: 1, k: 2}\n", {"dup ['m'] 'k' 1:5 1:11"}},
      {"- {a: 1}\n- a: 1\n  a: 2\n", {"dup [1] 'a' 2:3 3:3"}},
      // Keys are compared as the values they are.
      {"1: a\n'1': b\n0x1: c\n", {"dup [] 1 1:1 3:1"}},
      {"\"a\": 1\na: 2\n", {"dup [] 'a' 1:1 2:1"}},
      // A mapping that aliases copy is told of once, where it is written.
      {"a: &x {k: 1, k: 2}\nb: *x\n", {"dup ['a'] 'k' 1:8 1:14"}},
      // Keys set over merged ones, and repeated merges, are no duplicates.
      {"base: &b {x: 1}\nd:\n  <<: *b\n  x: 2\n  <<: {y: 1}\n", {}},
      // Only escapes of double-quoted scalars make control characters;
      // tab, line feed and carriage return are text.
      {"v: \"bell\\x07\"\n", {"ctl ['v'] text 7, 1:4"}},
      {"\"k\\0\": 1\n", {"ctl ['k\\x00'] key 0, 1:1"}},
      {"l:\n  - ok\n  - \"a\\x7Fb\\x01\\x7F\"\n", {"ctl ['l', 1] text 127,1, 3:5"}},
      {"t: \"tab\\there\\r\\n\"\nu: \"\\u0085\\x1b\"\n", {"ctl ['u'] text 27, 2:4"}},
      {"s: !!str \"\\0\"\n", {"ctl ['s'] text 0, 1:4"}},
      {"\"\\x1f\"\n", {"ctl [] text 31, 1:1"}},
      {"a: \"\\a\"\na: 1\n", {"ctl ['a'] text 7, 1:4", "dup [] 'a' 1:1 2:1"}},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    const Value plain = load_string(c.text);
    Told from_string;
    EXPECT_EQ(difference(plain, load_string(c.text, "<string>", from_string.options()), true), "") << c.text;
    EXPECT_EQ(from_string.lines, c.told) << c.text;
    // Files are read by the fast reader first, from the descriptor.
    Told from_file;
    EXPECT_EQ(difference(plain, load_file(dir.write("case.yaml", c.text), from_file.options()), true), "") << c.text;
    EXPECT_EQ(from_file.lines, c.told) << c.text;
  }
}

// ------------------------------------------------------------ errors

// The YAMLError `text` raises, or a failure when it loads.
std::string load_error(std::string_view text, std::string_view source = "<string>") {
  try {
    load_string(text, source);
  } catch (const YAMLError& error) {
    return error.what();
  }
  ADD_FAILURE() << "no YAMLError for:\n" << text;
  return "";
}

TEST(YamlLoadErrors, UnsupportedTagsNameTagSourceAndLine) {
  const std::string local = load_error("a: 1\nb: !foo x\n", "tb.yaml");
  EXPECT_NE(local.find("!foo"), std::string::npos) << local;
  EXPECT_NE(local.find("Error in YAML file 'tb.yaml', line 2"), std::string::npos) << local;
  for (const char* text : {"a: !!binary aGk=", "a: !!set {x: null}", "a: !!omap [{x: 1}]", "a: !!timestamp 2001-12-14",
                           "a: !custom {x: 1}", "a: !custom [1]"}) {
    const std::string message = load_error(text);
    EXPECT_NE(message.find("unsupported tag"), std::string::npos) << text << " -> " << message;
  }
  for (const char* text : {"a: !!str {x: 1}", "a: !!map [1]", "a: !!seq x", "a: !!int [1]"}) {
    EXPECT_NE(load_error(text).find("does not apply"), std::string::npos) << text;
  }
}

TEST(YamlLoadErrors, ScalarsThatCannotBeBuiltNameTheLine) {
  EXPECT_NE(load_error("a: 1\nb: 9223372036854775808\n").find("line 2"), std::string::npos);
  EXPECT_NE(load_error("a: -9223372036854775809").find("64 bits"), std::string::npos);
  EXPECT_NE(load_error("a: 0x1_0000_0000_0000_0000").find("64 bits"), std::string::npos);
  EXPECT_NE(load_error("a: 0b_").find("not an integer"), std::string::npos);
  EXPECT_NE(load_error("a: !!int 12abc").find("not an integer"), std::string::npos);
  EXPECT_NE(load_error("a: !!int").find("not an integer"), std::string::npos);
  EXPECT_NE(load_error("a: !!float x").find("not a float"), std::string::npos);
  EXPECT_NE(load_error("a: !!bool y").find("not a boolean"), std::string::npos);
}

TEST(YamlLoadErrors, StructuralMisuseIsRefused) {
  EXPECT_NE(load_error("{[1]: 2}").find("key must be a scalar"), std::string::npos);
  EXPECT_NE(load_error("? {a: 1}\n: 2\n").find("key must be a scalar"), std::string::npos);
  EXPECT_NE(load_error("a:\n  <<: 1\n").find("for merging"), std::string::npos);
  EXPECT_NE(load_error("a:\n  <<: [{x: 1}, 2]\n").find("for merging"), std::string::npos);
  EXPECT_NE(load_error("a: &x [1, *x]").find("recursive"), std::string::npos);
  EXPECT_NE(load_error("a: *nowhere").find("line 1"), std::string::npos);
  // Nine levels of ten aliases each would copy a billion nodes.
  std::string bomb = "l0: &l0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level <= 9; ++level) {
    const std::string previous = "*l" + std::to_string(level - 1);
    bomb += "l" + std::to_string(level) + ": &l" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i) bomb += previous + (i < 9 ? ", " : "]\n");
  }
  EXPECT_NE(load_error(bomb).find("aliases expand"), std::string::npos);
}

TEST(YamlLoadErrors, MultipleDocumentsAreRefused) {
  const std::string message = load_error("a: 1\n---\nb: 2\n");
  EXPECT_NE(message.find("single document"), std::string::npos) << message;
  EXPECT_NE(message.find("line 2"), std::string::npos) << message;
  EXPECT_NE(load_error("a: 1\n---\n").find("single document"), std::string::npos);
}

TEST(YamlLoadErrors, FilesThatCannotBeReadRaiseOsErrors) {
  ScratchDir dir;
  const std::string missing = dir.path("missing.yaml");
  try {
    load_file(missing);
    ADD_FAILURE() << "no error for a missing file";
  } catch (const FileNotFoundError& error) {
    EXPECT_NE(std::string(error.what()).find("'" + missing + "'"), std::string::npos) << error.what();
  }
  EXPECT_THROW(Loader().load(missing), FileNotFoundError);

  const std::string directory = dir.path("");
  try {
    Loader().load_arbitrary(directory);
    ADD_FAILURE() << "no error for a directory";
  } catch (const FileNotFoundError& error) {
    ADD_FAILURE() << "a directory is not a missing file: " << error.what();
  } catch (const OSError& error) {
    EXPECT_NE(std::string(error.what()).find(directory), std::string::npos) << error.what();
  }
}

TEST(YamlLoadErrors, MalformedFilesNameFileAndLine) {
  ScratchDir dir;
  const std::string bad_indent = dir.write("indent.yaml", "devices:\n  r1:\n    type: router\n   os: x\n");
  const std::string open_quote = dir.write("quote.yaml", "a: 1\nb: 2\nc: \"never closed");
  const std::string open_quote_line = dir.write("quote_line.yaml", "a: 1\nb: 2\nc: \"never closed\n");
  const std::string open_flow = dir.write("flow.yaml", "a: 1\nb: [1, 2\nc: 3\n");
  const std::string bad_tag = dir.write("tag.yaml", "a: 1\nb: 2\nc:\n  - !vendor x\n");
  for (const auto& [path, line] : std::vector<std::pair<std::string, int>>{
           {bad_indent, 4}, {open_quote, 3}, {open_quote_line, 3}, {open_flow, 3}, {bad_tag, 4}}) {
    try {
      load_file(path);
      ADD_FAILURE() << "no error for " << path;
    } catch (const YAMLError& error) {
      const std::string expected = "Error in YAML file '" + path + "', line " + std::to_string(line) + ", column ";
      EXPECT_EQ(std::string(error.what()).rfind(expected, 0), 0u) << error.what();
    }
  }
}

TEST(YamlLoader, TestbedFilesMustBeMappings) {
  ScratchDir dir;
  const Loader loader;
  EXPECT_EQ(difference(Value(Map{}), loader.load(dir.write("empty.yaml", ""))), "");
  EXPECT_EQ(difference(Value::map({{"devices", Value::map({{"r1", Value()}})}}),
                       loader.load(dir.write("tb.yaml", "devices:\n  r1:\n"))),
            "");
  for (const char* content : {"- a\n- b\n", "just text\n", "42\n"}) {
    const std::string path = dir.write("not_a_mapping.yaml", content);
    try {
      loader.load(path);
      ADD_FAILURE() << "no error for " << content;
    } catch (const YAMLError& error) {
      EXPECT_NE(std::string(error.what()).find("'" + path + "'"), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find("must be a mapping"), std::string::npos) << error.what();
    }
  }
  EXPECT_TRUE(loader.load_arbitrary(dir.write("empty.yaml", "")).is_none());
  EXPECT_EQ(difference(Value::list({"a", 1}), loader.load_arbitrary(dir.write("list.yaml", "- a\n- 1\n"))), "");
}

// ------------------------------------------------------------ dumping

// Strings a writer must quote to keep them strings, or to keep them whole.
const std::vector<std::string>& tricky_strings() {
  static const std::vector<std::string> strings = [] {
    std::vector<std::string> out;
    for (const TypedScalar& scalar : typed_scalars()) out.emplace_back(scalar.text);
    // clang-format off
    for (const char* text : {
          "---", "--- x", "...", "... x", " lead", "trail ", " ", "a: b", "a:", "a #b", "a#b", "#x", "- x", "-",
          "? x", "?", ": x", ":", ",x", "[x", "]x", "{x", "}x", "&x", "*x", "!x", "|x", ">x", "'x", "\"x", "%x",
          "@x", "`x", "a\nb", "\n", "a\r\nb", "\tx", "x\t", "a\\b", "a\"b'c", "\x7f", "caf\xc3\xa9",
          "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x98\x80", "a\xc2\xa0" "b", "\xc2\x85", "\xc2\x80\xc2\x9f",
          "\xe2\x80\xa8\xe2\x80\xa9", "\xef\xbb\xbfx", "\xef\xbf\xbd", "\xef\xbf\xbe", "{}", "[]", "key: value",
          "url: http://x", "http://host:80/a#b", "a ,b", "x]", "0x1F ", " 1"}) {
      out.emplace_back(text);
    }
    // clang-format on
    for (int c = 0; c < 0x20; ++c) out.push_back(std::string("a") + static_cast<char>(c) + "b");
    out.push_back(std::string(1, '\0'));
    return out;
  }();
  return strings;
}

// Strings over an alphabet of pieces that matter to YAML writers and
// readers, from a fixed seed.
std::vector<std::string> random_strings(std::size_t count) {
  // clang-format off
  static const std::vector<std::string> pieces = {
      "a", "b", "Z", "0", "1", "9", " ", " ", "\t", "\n", "\r", std::string(1, '\0'), "\x01", "\x1b", "\x7f", "-",
      "?", ":", ",", "[", "]", "{", "}", "#", "&", "*", "!", "|", ">", "'", "\"", "%", "@", "`", "\\", ".", "_", "+",
      "~", "=", "<", "e", "E", "x", "y", "n", "o", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xc2\x85",
      "\xc2\xa0", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xef\xbb\xbf", "\xef\xbf\xbd", "\xc2\x80", "\xc2\x9f", "---",
      "...", ": ", " #", "<<", "true", "null", "0x", "1_0", "1:3", ".inf", "2001-12-14",
  };
  // clang-format on
  std::mt19937 generator(20240611);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t length = generator() % 9;
    std::string text;
    for (std::size_t j = 0; j < length; ++j) text += pieces[generator() % pieces.size()];
    out.push_back(std::move(text));
  }
  return out;
}

// A value holding every awkward case for a writer: tricky strings as
// values and keys, infinities, NaN, signed zeros, extreme integers, empty and nested
// containers, non-ASCII and control characters, long keys and long
// strings, and pseudo-random strings.
Value tricky_corpus() {
  Map corpus;
  List strings;
  Map string_keys;
  for (const std::string& text : tricky_strings()) {
    strings.emplace_back(text);
    string_keys.insert_or_assign(Value(text), Value(text));
  }
  corpus["strings"] = Value(std::move(strings));
  corpus["string keys"] = Value(std::move(string_keys));

  corpus["floats"] =
      Value::list({1.0, 1e20, 1e-5, -0.0, 0.0, kInf, -kInf, kNaN, 0.1, 1.0 / 3, 5e-324,
                   std::numeric_limits<double>::max(), 123456789.125, -2.5, 1e16, 1e15, 100.0, -1e-300, 2.5e-7});
  corpus["integers"] =
      Value::list({0, -1, 1, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(),
                   std::int64_t{9007199254740993}, 017, 0x1F});
  corpus["scalars"] = Value::list({Value(), true, false});
  corpus["mixed keys"] = Value::map({{Value(7), "int"},
                                     {Value(2.5), "float"},
                                     {Value(), "null"},
                                     {Value(false), "bool"},
                                     {Value("s"), "str"},
                                     {Value(-7), "negative"},
                                     {Value(1e20), "big float"}});
  corpus["empty"] = Value::map({{"map", Value(Map{})},
                                {"list", Value(List{})},
                                {"nested", Value::list({Value(Map{}), Value(List{}), Value::list({Value(List{})}),
                                                        Value::list({Value(Map{})})})},
                                {"string", ""}});
  corpus["deep"] = Value::map(
      {{"a",
        Value::map(
            {{"b", Value::list({Value::map(
                       {{"c", Value::list({Value::list({1, Value::map({{"d", Value(Map{})}})})})}, {"e", "f"}})})}})}});
  const std::string long_key(200, 'k');
  corpus[Value(long_key)] = Value::map({{"inner", 1}, {"list", Value::list({1, Value::map({{"x", 2}})})}});
  corpus["long key in list"] =
      Value::list({Value::map({{Value(long_key + "1"), Value::list({1, 2})}, {Value(long_key + "2"), "v"}})});
  corpus["long strings"] = Value::list({
      "words " + std::string(150, 'w') + " and more words after a very long one " + std::string(30, 'x'),
      std::string(90, 'a') + "  two spaces  " + std::string(90, 'b') + " ",
      " leading and trailing " + std::string(100, '-') + " \n second line \n\n after an empty line ",
      std::string(300, '"') + std::string(300, '\\'),
  });

  List random;
  Map random_map;
  for (const std::string& text : random_strings(1000)) {
    random.emplace_back(text);
    random_map.insert_or_assign(Value(text), Value(text + "!"));
  }
  corpus["random"] = Value(std::move(random));
  corpus["random map"] = Value(std::move(random_map));
  return Value(std::move(corpus));
}

// A testbed of `devices` devices with `interfaces` interfaces each, shaped
// like the files users write (types, aliases, connections, topology with
// links) plus user content of every scalar kind.
Value make_testbed(int devices, int interfaces) {
  Map device_table;
  Map topology;
  for (int d = 0; d < devices; ++d) {
    const std::string name = (d % 3 ? "R" : "sw-") + std::to_string(d);
    const std::string ip =
        "10." + std::to_string(d / 65536) + "." + std::to_string(d / 256 % 256) + "." + std::to_string(d % 256);
    device_table[Value(name)] = Value::map({
        {"type", d % 3 ? "router" : "switch"},
        {"os", d % 2 ? "frr" : "linux"},
        {"alias", d == 0 ? "uut" : "helper-" + std::to_string(d)},
        {"credentials", Value::map({{"default", Value::map({{"username", "admin"}, {"password", "yes"}})}})},
        {"connections", Value::map({{"cli", Value::map({{"protocol", "ssh"}, {"ip", ip}, {"port", 22 + d % 3}})},
                                    {"defaults", Value::map({{"class", "lab_cli.Session"}, {"via", "cli"}})}})},
        {"custom", Value::map({{"rack", Value::list({d % 40, "row-" + std::to_string(d % 7)})},
                               {"weight", 1.5 + d},
                               {"enabled", d % 2 == 0},
                               {"vlan", std::to_string(100 + d % 50)},
                               {"note", d % 5 ? Value() : Value("check: cabling #" + std::to_string(d))}})},
    });
    Map device_interfaces;
    for (int i = 0; i < interfaces; ++i) {
      device_interfaces[Value("Gi0/0/" + std::to_string(i))] = Value::map({
          {"link", "link-" + std::to_string(d) + "-" + std::to_string(i)},
          {"type", i % 2 ? "ethernet" : "loopback"},
          {"alias", "if" + std::to_string(i)},
          {"ipv4", ip + "/" + std::to_string(24 + i % 8)},
      });
    }
    topology[Value(name)] = Value::map({{"interfaces", Value(std::move(device_interfaces))}});
  }
  return Value::map({{"testbed", Value::map({{"name", "generated"}, {"servers", Value(Map{})}})},
                     {"devices", Value(std::move(device_table))},
                     {"topology", Value(std::move(topology))}});
}

TEST(YamlDump, BlockLayoutOfNestedValues) {
  const Value value = Value::map({
      {"b", Value::list({1, "two", Value::map({{"y", true}, {"x", Value()}}), Value::list({1.5, Value(List{})}),
                         Value(Map{})})},
      {"a", Value::map({{"nested", Value::map({{"k", "yes"}})}, {"empty", Value(Map{})}})},
      {"c", ""},
      {Value(10), "ten"},
      {Value(2), Value::list({Value::map({{"deep", Value::list({"x"})}})})},
  });
  EXPECT_EQ(dump(value),
            "2:\n"
            "- deep:\n"
            "  - x\n"
            "10: ten\n"
            "a:\n"
            "  empty: {}\n"
            "  nested:\n"
            "    k: \"yes\"\n"
            "b:\n"
            "- 1\n"
            "- two\n"
            "- x: null\n"
            "  y: true\n"
            "- - 1.5\n"
            "  - []\n"
            "- {}\n"
            "c: \"\"\n");
  EXPECT_EQ(dump(Value(Map{})), "{}\n");
  EXPECT_EQ(dump(Value(List{})), "[]\n");
  EXPECT_EQ(dump(Value("text")), "text\n");
  EXPECT_EQ(dump(Value()), "null\n");
}

TEST(YamlDump, LongKeysBecomeExplicitEntries) {
  const std::string key(130, 'k');
  EXPECT_EQ(
      dump(Value::map({{Value(key), Value::map({{"a", 1}})}, {"s", Value::list({Value::map({{Value(key), 2}})})}})),
      "? " + key + "\n: a: 1\ns:\n- ? " + key + "\n  : 2\n");
}

TEST(YamlDump, FloatsAlwaysReadBackAsFloats) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "1.0"},        {-0.0, "-0.0"},   {0.1, "0.1"},          {1e20, "1.0e+20"},    {1e-5, "1.0e-05"},
      {2.5e-7, "2.5e-07"}, {100.0, "100.0"}, {123.456, "123.456"},  {1e16, "1.0e+16"},    {kInf, ".inf"},
      {-kInf, "-.inf"},    {kNaN, ".nan"},   {1.5e300, "1.5e+300"}, {5e-324, "5.0e-324"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(dump(Value(value)), text + "\n");
    EXPECT_EQ(difference(Value(value), load_string(dump(Value(value)))), "") << text;
  }
}

TEST(YamlDump, StringsAreQuotedOnlyWhenTheyMustBe) {
  for (const char* plain : {"router", "port1/1", "10.0.0.1", "a:b", "a#b", "x]", "a ,b", "http://host:80/a#b", "yEs",
                            "1e3", ".5.", "~x", "say \"hi\" \\ 'x'"}) {
    EXPECT_EQ(dump(Value(plain)), std::string(plain) + "\n");
  }
  const std::vector<std::pair<std::string, std::string>> quoted = {
      {"yes", "\"yes\""},
      {"No", "\"No\""},
      {"123", "\"123\""},
      {"1:30", "\"1:30\""},
      {"2001-12-14", "\"2001-12-14\""},
      {"", "\"\""},
      {"~", "\"~\""},
      {"=", "\"=\""},
      {"<<", "\"<<\""},
      {"--- x", "\"--- x\""},
      {"... x", "\"... x\""},
      {" lead", "\" lead\""},
      {"a: b", "\"a: b\""},
      {"a #b", "\"a #b\""},
      {"a:", "\"a:\""},
      {"- x", "\"- x\""},
      {"@x", "\"@x\""},
      {"\"hi\" \\", "\"\\\"hi\\\" \\\\\""},
      {std::string("\0\a\b\t\n\v\f\r\x1b\x01\x7f", 11), "\"\\0\\a\\b\\t\\n\\v\\f\\r\\e\\x01\\x7F\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xc2\x85\xc2\x9f\xe2\x80\xa8\xef\xbb\xbf", "\"\\x85\\x9F\\u2028\\uFEFF\""},
  };
  for (const auto& [text, expected] : quoted) EXPECT_EQ(dump(Value(text)), expected + "\n") << py_repr(text);
}

TEST(YamlDump, InvalidUtf8CannotBeWritten) {
  EXPECT_THROW(dump(Value("\xff")), YAMLError);
  EXPECT_THROW(dump(Value::map({{"ok", Value::list({"a\xc3"})}})), YAMLError);
  EXPECT_THROW(dump(Value("\xed\xa0\x80")), YAMLError);  // an encoded surrogate
}

TEST(YamlDump, FilesRoundTrip) {
  ScratchDir dir;
  const Value value = Value::map({{"devices", Value::map({{"r1", Value::map({{"type", "router"}})}})}});
  const std::string path = dir.path("out.yaml");
  dump_file(value, path);
  EXPECT_EQ(difference(value, Loader().load(path)), "");
  EXPECT_THROW(dump_file(value, dir.path("no/such/dir.yaml")), FileNotFoundError);
}

TEST(YamlDump, OwnOutputLoadsBackIdentically) {
  const Value corpus = tricky_corpus();
  EXPECT_EQ(difference(corpus, load_string(dump(corpus))), "");
  const Value testbed = make_testbed(50, 8);
  EXPECT_EQ(difference(testbed, load_string(dump(testbed))), "");
}

TEST(YamlDump, PiecesJoinToTheWholeTextAndAreBounded) {
  const std::string key(130, 'k');
  for (const Value& value :
       {make_testbed(2000, 8), tricky_corpus(), Value("text"), Value::map({{Value(key), Value::list({1, 2})}})}) {
    std::vector<std::string> pieces;
    yaml::dump(value, [&](std::string_view piece) { pieces.emplace_back(piece); });
    std::string joined;
    for (const std::string& piece : pieces) {
      EXPECT_FALSE(piece.empty());
      // A piece ends where an entry ends, just after a piece's worth.
      EXPECT_LT(piece.size(), 300u * 1024u);
      joined += piece;
    }
    EXPECT_EQ(joined, dump(value));
  }
  std::size_t count = 0;
  yaml::dump(make_testbed(2000, 8), [&](std::string_view) { ++count; });
  EXPECT_GT(count, 2u);
  EXPECT_THROW(yaml::dump(Value::map({{"ok", "a\xc3"}}), [](std::string_view) {}), YAMLError);
}

// -------------------------------------------------- exchange with PyYAML
//
// The format of yaml_pyyaml.py: one value per line, as tokens in prefix
// order, exact for every type (see the script).

void encode(const Value& value, std::string& out) {
  if (!out.empty() && out.back() != '\n') out += ' ';
  switch (value.kind()) {
    case Value::Kind::None: out += 'N'; break;
    case Value::Kind::Bool: out += value.as_bool() ? 'T' : 'F'; break;
    case Value::Kind::Int: out += 'I' + std::to_string(value.as_int()); break;
    case Value::Kind::Float: {
      const double d = value.as_float();
      char buffer[64];
      if (std::isnan(d)) {
        std::snprintf(buffer, sizeof buffer, "nan");
      } else {
        std::snprintf(buffer, sizeof buffer, "%a", d);
      }
      out += 'D';
      out += buffer;
      break;
    }
    case Value::Kind::Str: {
      static constexpr char kHex[] = "0123456789abcdef";
      out += 'S';
      for (const char c : value.as_str()) {
        out += kHex[static_cast<unsigned char>(c) >> 4];
        out += kHex[static_cast<unsigned char>(c) & 15];
      }
      break;
    }
    case Value::Kind::List:
      out += 'L' + std::to_string(value.as_list().size());
      for (const Value& item : value.as_list()) encode(item, out);
      break;
    case Value::Kind::Map:
      out += 'M' + std::to_string(value.as_map().size());
      for (const auto& [key, item] : value.as_map()) {
        encode(key, out);
        encode(item, out);
      }
      break;
    case Value::Kind::Class: throw std::logic_error("classes do not cross to Python");
  }
}

// An integer PyYAML read that has no 64-bit form.
struct BigInteger : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A document PyYAML could not load; holds its error type.
struct PythonError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Value decode_tokens(std::istringstream& tokens) {
  std::string token;
  if (!(tokens >> token)) throw std::runtime_error("truncated encoding");
  const std::string rest = token.substr(1);
  switch (token[0]) {
    case 'N': return Value();
    case 'T': return Value(true);
    case 'F': return Value(false);
    case 'I': {
      std::int64_t value = 0;
      const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
      if (error != std::errc() || end != rest.data() + rest.size()) throw BigInteger(rest);
      return Value(value);
    }
    case 'D': return Value(std::strtod(rest.c_str(), nullptr));
    case 'S': {
      std::string text;
      for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
        text += static_cast<char>(std::stoi(rest.substr(i, 2), nullptr, 16));
      }
      return Value(std::move(text));
    }
    case 'L': {
      List list;
      for (int n = std::stoi(rest); n > 0; --n) list.push_back(decode_tokens(tokens));
      return Value(std::move(list));
    }
    case 'M': {
      Map map;
      for (int n = std::stoi(rest); n > 0; --n) {
        Value key = decode_tokens(tokens);
        map.insert_or_assign(std::move(key), decode_tokens(tokens));
      }
      return Value(std::move(map));
    }
    case 'E': throw PythonError(rest);
    default: throw std::runtime_error("unexpected token " + token);
  }
}

Value decode(const std::string& line) {
  std::istringstream tokens(line);
  return decode_tokens(tokens);
}

bool pyyaml_available() {
  static const bool available = std::system("/usr/bin/env python3 -c 'import yaml' >/dev/null 2>&1") == 0;
  return available;
}

// Runs a command of yaml_pyyaml.py on `path` and returns what it printed.
std::string pyyaml(const std::string& command, const std::string& path) {
  const std::string script = std::string(MORVANE_SOURCE_DIR) + "/tests/framework/yaml/yaml_pyyaml.py";
  const std::string line = "/usr/bin/env python3 '" + script + "' " + command + " '" + path + "'";
  std::FILE* pipe = ::popen(line.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + line);
  std::string output;
  char buffer[65536];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(line + " failed");
  return output;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// What PyYAML makes of each document, in order: the encoding of its value
// or E and the error type.  `command` is load-each (safe_load) or
// type-each (safe_load keeping timestamps as text).
std::vector<std::string> pyyaml_each(const std::string& command, const ScratchDir& dir,
                                     const std::vector<std::string>& documents) {
  std::string encoded;
  for (const std::string& document : documents) {
    encode(Value(document), encoded);
    encoded += '\n';
  }
  return lines_of(pyyaml(command, dir.write("documents.txt", encoded)));
}

#define SKIP_WITHOUT_PYYAML() \
  if (!pyyaml_available()) GTEST_SKIP() << "python3 with PyYAML is not available"

// ------------------------------------------------ agreement with PyYAML

TEST(YamlPyYaml, PlainScalarTypingAgrees) {
  SKIP_WITHOUT_PYYAML();
  ScratchDir dir;
  std::vector<std::string> texts;
  for (const TypedScalar& scalar : typed_scalars()) {
    // A lone `=` or `<<` value is a string here; PyYAML refuses both.
    if (std::string_view(scalar.text) != "=" && std::string_view(scalar.text) != "<<") texts.emplace_back(scalar.text);
  }
  // Short strings over the characters that numbers, booleans, nulls and
  // timestamps are made of.
  const std::string alphabet = "0123456789_:.+-eEbxXoOaAfFinNlLsStTyY~ ";
  std::mt19937 generator(7);
  for (int i = 0; i < 4000; ++i) {
    std::string text(1 + generator() % 7, ' ');
    for (char& c : text) c = alphabet[generator() % alphabet.size()];
    if (text.front() == ' ' || text.back() == ' ') continue;
    texts.push_back(text);
  }
  std::vector<std::string> documents;
  for (const std::string& text : texts) documents.push_back("v: " + text + "\n");
  const std::vector<std::string> answers = pyyaml_each("type-each", dir, documents);
  ASSERT_EQ(answers.size(), documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    SCOPED_TRACE("document: " + py_repr(documents[i]));
    Value expected;
    bool python_failed = false;
    try {
      expected = decode(answers[i]);
    } catch (const BigInteger&) {
      python_failed = true;  // no 64-bit form: we must refuse it
    } catch (const PythonError& error) {
      // Documents PyYAML cannot parse at all test the parsers, not typing.
      if (std::string(error.what()) != "ConstructorError" && std::string(error.what()) != "ValueError") continue;
      python_failed = true;
    }
    if (python_failed) {
      EXPECT_THROW(load_string(documents[i]), YAMLError);
      continue;
    }
    Value ours;
    try {
      ours = load_string(documents[i]);
    } catch (const YAMLError& error) {
      ADD_FAILURE() << error.what();
      continue;
    }
    EXPECT_EQ(difference(expected, ours, true), "");
  }
}

TEST(YamlPyYaml, MergeKeysAndDuplicatesAgreeIncludingOrder) {
  SKIP_WITHOUT_PYYAML();
  ScratchDir dir;
  const std::vector<std::string> documents = {
      "a: &a {x: 1, y: 2}\nb: &b {y: 3, z: 4}\nc:\n  q: 0\n  <<: [*a, *b]\n  x: 9\n",
      "a: &a {x: 1}\nb: &b {x: 2, w: 1}\nc:\n  <<: *a\n  k: v\n  <<: *b\n",
      "r: &r {os: linux, type: switch, <<: {os: frr, extra: 1}}\nd: {type: router, <<: *r}\n",
      "a: 1\nb: 2\na: 3\nc: {x: 1, y: 2, x: 3}\n",
      "l: [&m {p: 1, q: 2}, &n {q: 3, r: 4}, &o {r: 5, s: 6}]\nd:\n  s: 0\n  <<: [*o, *m, *n]\n  p: 7\n  p: 8\n",
      "a: &a {x: 1}\nb:\n  <<: [*a]\n  <<: {x: 2, y: 3}\n  y: 4\n",
  };
  const std::vector<std::string> answers = pyyaml_each("type-each", dir, documents);
  ASSERT_EQ(answers.size(), documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    EXPECT_EQ(difference(decode(answers[i]), load_string(documents[i]), true), "") << documents[i];
  }
}

TEST(YamlPyYaml, OurDumpLoadsIdenticallyInPyYaml) {
  SKIP_WITHOUT_PYYAML();
  ScratchDir dir;
  const Value corpus = tricky_corpus();
  const std::string path = dir.write("corpus.yaml", dump(corpus));
  EXPECT_EQ(difference(corpus, decode(pyyaml("load", path))), "");
}

TEST(YamlPyYaml, TopLevelScalarsAndKeysLoadIdenticallyInPyYaml) {
  SKIP_WITHOUT_PYYAML();
  ScratchDir dir;
  // At the start of a line, `---` and `...` mark documents.
  std::vector<Value> values;
  for (const std::string& text : tricky_strings()) {
    values.emplace_back(text);
    values.push_back(Value::map({{Value(text), 1}}));
  }
  std::vector<std::string> documents;
  for (const Value& value : values) documents.push_back(dump(value));
  const std::vector<std::string> answers = pyyaml_each("load-each", dir, documents);
  ASSERT_EQ(answers.size(), documents.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    try {
      EXPECT_EQ(difference(values[i], decode(answers[i])), "") << documents[i];
    } catch (const PythonError& error) {
      ADD_FAILURE() << "PyYAML cannot load " << py_repr(documents[i]) << ": " << error.what();
    }
  }
}

TEST(YamlPyYaml, PyYamlDumpLoadsIdenticallyInOurs) {
  SKIP_WITHOUT_PYYAML();
  ScratchDir dir;
  const Value corpus = tricky_corpus();
  std::string encoded;
  encode(corpus, encoded);
  const std::string written = pyyaml("dump", dir.write("corpus.txt", encoded));
  EXPECT_EQ(difference(corpus, load_string(written, "<PyYAML output>")), "");
}

TEST(YamlPyYaml, LargeTestbedDumpLoadsIdenticallyInPyYaml) {
  SKIP_WITHOUT_PYYAML();
  ScratchDir dir;
  const Value testbed = make_testbed(1000, 8);
  const std::string path = dir.write("testbed.yaml", dump(testbed));
  // Our keys are written sorted, so PyYAML's mapping order is the sorted one.
  EXPECT_EQ(difference(testbed, decode(pyyaml("load", path))), "");
}

// ------------------------------------------------ unsafe and unusual input

// Characters outside the Basic Multilingual Plane are ordinary text:
// anywhere in a document, read by either reader, written back as they are.
TEST(YamlInput, CharactersBeyondTheBasicPlaneRoundTrip) {
  SKIP_WITHOUT_PYYAML();
  ScratchDir dir;
  const std::string rocket = "\xf0\x9f\x9a\x80";
  const std::string document = "notes-" + rocket + ": true\ndevices:\n  r" + rocket + ":\n    plain: x" + rocket +
                               "y\n    quoted: \"" + rocket + " \\U0001F600\"\n    flow: [" + rocket +
                               ", {k: " + rocket + "}]\n    block: |\n      " + rocket + "\n";
  const Value expected = Value::map(
      {{Value("notes-" + rocket), true},
       {"devices",
        Value::map({{Value("r" + rocket), Value::map({{"plain", "x" + rocket + "y"},
                                                      {"quoted", rocket + " \xf0\x9f\x98\x80"},
                                                      {"flow", Value::list({rocket, Value::map({{"k", rocket}})})},
                                                      {"block", rocket + "\n"}})}})}});
  const std::string path = dir.write("emoji.yaml", document);
  EXPECT_EQ(difference(expected, load_file(path), true), "");
  EXPECT_EQ(difference(expected, decode(pyyaml("load", path))), "");
  const std::string written = dump(expected);
  EXPECT_NE(written.find("r" + rocket), std::string::npos) << "written escaped: " << written;
  EXPECT_EQ(difference(expected, load_string(written)), "");
  EXPECT_EQ(difference(expected, decode(pyyaml("load", dir.write("dumped.yaml", written)))), "");
  // The fast reader takes plain block YAML in ASCII only; both readers agree.
  const std::string simple = "devices:\n  r" + rocket + ":\n    note: " + rocket + "\n";
  EXPECT_EQ(difference(load_text(simple, "<string>", LoadLimits{}, false), load_string(simple), true), "");
}

// Text that is not UTF-8, or holds characters YAML does not allow, is
// refused when it is loaded, at its line and column; PyYAML refuses the
// same bytes.
TEST(YamlInput, BadBytesAreRefusedAtTheirLineAndColumn) {
  struct BadText {
    std::string text;
    int line;
    int column;
    const char* says;
  };
  const std::string far(300 * 1024, '#');  // a comment longer than one chunk of reading
  const std::vector<BadText> cases = {
      {"a: caf\xe9\n", 1, 7, "byte 0xE9 is not valid UTF-8"},
      {"a: 1\nb: [x, \"caf\xe9\"]\n", 2, 12, "0xE9"},
      {"a: x\x01y\n", 1, 5, "control character U+0001"},
      {std::string("a: x\0y\n", 7), 1, 5, "control character U+0000"},
      {"a: \x7f\n", 1, 4, "U+007F"},
      {"a: \xc2\x80\n", 1, 4, "control character U+0080"},
      {"a: \xef\xbf\xbe\n", 1, 4, "character U+FFFE"},
      {"a: \xed\xa0\x80\n", 1, 4, "0xED"},  // an encoded surrogate
      {"a: \xe2\x82", 1, 4, "0xE2"},        // cut short at the end
      {"a: 1\r\nb: 2\r\nc: \xf0\x9f\x9a\x80\xff\n", 3, 5, "0xFF"},
      {"a: 1\n# " + far + "\nb: \x1b\n", 3, 4, "U+001B"},
      {"a: 1\n" + far + "\xe9\n", 2, 300 * 1024 + 1, "0xE9"},
  };
  ScratchDir dir;
  std::vector<std::string> documents;
  for (const BadText& bad : cases) {
    const std::string path = dir.write("bad.yaml", bad.text);
    const std::string where = ", line " + std::to_string(bad.line) + ", column " + std::to_string(bad.column) + ": ";
    for (const auto& [source, message] :
         {std::pair<std::string, std::string>{"<string>", load_error(bad.text)}, {path, [&] {
                                                                                    try {
                                                                                      load_file(path);
                                                                                    } catch (const YAMLError& error) {
                                                                                      return std::string(error.what());
                                                                                    }
                                                                                    return std::string("no error");
                                                                                  }()}}) {
      EXPECT_NE(message.find(where), std::string::npos) << py_repr(bad.text) << " -> " << message;
      EXPECT_NE(message.find(bad.says), std::string::npos) << py_repr(bad.text) << " -> " << message;
      if (source != "<string>") {
        EXPECT_NE(message.find("'" + path + "'"), std::string::npos) << message;
      }
    }
    documents.push_back(bad.text);
  }
  // The first problem in the text is the one reported, whoever finds it.
  EXPECT_NE(load_error("a: [1, \xe9]\n").find("line 1, column 8: the byte 0xE9"), std::string::npos);
  EXPECT_NE(load_error("a: !!bool tr\xe9\n").find("0xE9"), std::string::npos);
  EXPECT_NE(load_error("a: !!bool x\nb: \xe9\n").find("line 1, column 4: the !!bool scalar"), std::string::npos);
  EXPECT_NE(load_error("a: b: c\nd: \xe9\n").find("line 1, column 5"), std::string::npos);

  if (!pyyaml_available()) return;
  // Other non-ASCII spaces and a byte order mark are allowed.  (Tabs are
  // too, but PyYAML's pure-Python reader refuses one inside a plain scalar.)
  for (const char* good : {"a: x\xc2\xa0y\n",
                           "\xef\xbb\xbf"
                           "a: 1\n",
                           "a: \xf0\x9f\x9a\x80\n"}) {
    documents.emplace_back(good);
  }
  std::string lines;
  for (const std::string& document : documents) {
    for (const char c : document)
      lines += "0123456789abcdef"[static_cast<unsigned char>(c) >> 4], lines += "0123456789abcdef"[c & 15];
    lines += '\n';
  }
  const std::vector<std::string> answers = lines_of(pyyaml("bytes-each", dir.write("bytes.txt", lines)));
  ASSERT_EQ(answers.size(), documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    if (i < cases.size()) {
      EXPECT_EQ(answers[i].rfind("E", 0), 0u) << "PyYAML loads " << py_repr(documents[i]);
    } else {
      try {
        EXPECT_EQ(difference(decode(answers[i]), load_string(documents[i])), "") << py_repr(documents[i]);
      } catch (const PythonError& error) {
        ADD_FAILURE() << "PyYAML refuses " << py_repr(documents[i]) << ": " << error.what();
      }
    }
  }
}

TEST(YamlInput, Utf16FilesWithAByteOrderMarkAreDecoded) {
  ScratchDir dir;
  const auto utf16 = [](const std::u16string& text, bool little_endian) {
    std::string out = little_endian ? "\xff\xfe" : "\xfe\xff";
    for (const char16_t unit : text) {
      const char high = static_cast<char>(unit >> 8);
      const char low = static_cast<char>(unit & 0xFF);
      out += little_endian ? std::string{low, high} : std::string{high, low};
    }
    return out;
  };
  const std::u16string text = u"a: caf\u00e9\nb: [1, \U0001F680]\n";
  const Value expected = Value::map({{"a", "caf\xc3\xa9"}, {"b", Value::list({1, "\xf0\x9f\x9a\x80"})}});
  for (const bool little_endian : {true, false}) {
    EXPECT_EQ(difference(expected, load_file(dir.write("utf16.yaml", utf16(text, little_endian))), true), "");
    EXPECT_EQ(difference(expected, load_string(utf16(text, little_endian))), "");
  }
  EXPECT_NE(load_error(utf16(u"a: 1\nb: \xd800\n", true)).find("line 2, column 4: the UTF-16 text holds an unpaired"),
            std::string::npos);
  EXPECT_NE(load_error(utf16(u"a: 1\n", true) + "x").find("middle of a character"), std::string::npos);
}

TEST(YamlInput, InputIsReadUpToABound) {
  ScratchDir dir;
  // A regular file over the bound is refused before it is read (sparse,
  // so the test writes nothing).
  const std::string huge = dir.path("huge.yaml");
  {
    const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kMaxInputBytes + 1)), 0);
    ::close(fd);
  }
  try {
    load_file(huge);
    ADD_FAILURE() << "no error for a file over the bound";
  } catch (const YAMLError& error) {
    EXPECT_NE(std::string(error.what()).find("'" + huge + "'"), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("larger than the limit of 1 GiB"), std::string::npos) << error.what();
  }
  // A device that never ends: its first byte is refused.
  try {
    load_file("/dev/zero");
    ADD_FAILURE() << "no error for /dev/zero";
  } catch (const YAMLError& error) {
    EXPECT_NE(std::string(error.what()).find("'/dev/zero', line 1, column 1: the control character U+0000"),
              std::string::npos)
        << error.what();
  }
  // FIFOs work up to the bound: a short document loads, an endless stream
  // of valid text is cut at the bound.
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto feed = [&](std::size_t repeats, std::string chunk) {
    return std::thread([=] {
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      for (std::size_t i = 0; i < repeats; ++i) {
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) break;  // reader gone
      }
      ::close(fd);
    });
  };
  std::thread writer = feed(1, "devices:\n  r1: {type: router}\n");
  EXPECT_EQ(difference(Value::map({{"devices", Value::map({{"r1", Value::map({{"type", "router"}})}})}}),
                       Loader().load(fifo)),
            "");
  writer.join();
  LoadLimits limits;
  limits.max_input_bytes = 1 << 20;
  // The writer is left writing to a FIFO nobody reads: EPIPE, not SIGPIPE.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  writer = feed(1 << 20, "- item\n");
  try {
    load_path(fifo, limits);
    ADD_FAILURE() << "no error for an endless FIFO";
  } catch (const YAMLError& error) {
    EXPECT_NE(std::string(error.what()).find("'" + fifo + "': the text is larger than the limit of 1048576 bytes"),
              std::string::npos)
        << error.what();
  }
  writer.join();
  ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(YamlInput, NestingAndAliasExpansionAreBounded) {
  const std::string deep(100'000, '[');
  EXPECT_NE(load_error(deep).find("nested deeper than the limit of 1000 levels"), std::string::npos);
  EXPECT_NE(load_error(deep + std::string(100'000, ']')).find("limit of 1000 levels"), std::string::npos);
  const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_NO_THROW(load_string(nested(kMaxDepth)));
  EXPECT_NE(load_error(nested(kMaxDepth + 1)).find("line 1, column 1001"), std::string::npos);
  std::string block;
  for (std::size_t i = 0; i <= kMaxDepth; ++i) block += std::string(2 * i, ' ') + "-\n";
  EXPECT_NE(load_error(block).find("limit of 1000 levels"), std::string::npos);
  // An alias cannot carry a deep node deeper.
  const std::string half = nested(600);
  EXPECT_NE(load_error("a: &d " + half + "\nb: " + std::string(600, '[') + "*d" + std::string(600, ']'))
                .find("the alias nests collections deeper"),
            std::string::npos);

  // Few nodes, much text: 300 copies of a 1 MiB string.
  std::string text_bomb = "s: &s " + std::string(1 << 20, 'x') + "\nl: [";
  for (int i = 0; i < 300; ++i) text_bomb += i ? ", *s" : "*s";
  text_bomb += "]\n";
  EXPECT_NE(load_error(text_bomb).find("beyond 268435456 bytes of text"), std::string::npos);
}

// Plain block YAML is read by the fast reader, to exactly what the general
// parser reads; anything else is left to the general parser.
TEST(YamlSimpleReader, ReadsPlainBlockYamlAsTheGeneralParserDoes) {
  const std::vector<std::string> simple = {
      "",
      "# only comments\n\n",
      "---\na: 1\n",
      "a: 1\nb:\n  c: [x, y z, 1.5, yes, ~]\n  d: {k: v, n: 0x1F}\n",
      "k:\n- a\n- b: 1\n  c: 2\n-\n- - x\n  - y\nnext: 2\n",
      "a: b#c # comment\nd:   \"q # x: y\"  # c\ne: 'single'\nf: x]\ng: -1\n1: int key\nyes: bool key\nh: <<\n",
      "  indented: top\n  again: 1\n",
      "a: 1\nb: 2\na: 3\n",
      "a: [ ]\nb: {}\nc: \"\"\nd: =\ne: 2001-12-14\n",
      "- a: 1\n  b:\n  - x\n-   c: 2\n    d: 3\n",
      "x: a:b\ny: http://h:80/p\n",
  };
  const std::vector<std::string> general = {
      "a: b\n  c\n",
      "a: 'it''s'\n",
      "a: \"\\x41\"\n",
      "a: &x 1\nb: *x\n",
      "a: !!str 1\n",
      "a: |\n  x\n",
      "<<: {a: 1}\n",
      "a: [x, [y]]\n",
      "a: {k: 1:2}\n",
      "a: b: c\n",
      "a: 1\n- b\n",
      "a:\n  - x\n  b: 1\n",
      "- a\nb: 1\n",
      "a: 1\n...\n",
      "---\na: 1\n---\n",
      "a:\tb\n",
      "a: 1\r\n",
      "? a\n: b\n",
      "a: 99999999999999999999\n",
      "a: [x,]\n",
      "a: 1\n b: 2\n",
      "\"k\": 1\n",
      "%YAML 1.1\n---\na: 1\n",
      "a: caf\xc3\xa9\n",
  };
  for (const std::string& text : simple) {
    const std::optional<Value> fast = read_simple_yaml(text);
    ASSERT_TRUE(fast.has_value()) << "not read by the fast reader: " << py_repr(text);
    Value full;
    try {
      full = load_text(text, "<string>", LoadLimits{}, false);
    } catch (const YAMLError& error) {
      ADD_FAILURE() << "the fast reader took " << py_repr(text)
                    << ", which the general parser refuses: " << error.what();
      continue;
    }
    EXPECT_EQ(difference(full, *fast, true), "") << py_repr(text);
  }
  for (const std::string& text : general) EXPECT_FALSE(read_simple_yaml(text).has_value()) << py_repr(text);
}

// A file that the fast reader gives up on is read again from its start.
TEST(YamlSimpleReader, FilesFallBackToTheGeneralParser) {
  ScratchDir dir;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "k" + std::to_string(i) + ": {a: " + std::to_string(i) + "}\n";
  const Value plain = load_file(dir.write("plain.yaml", text));
  EXPECT_EQ(plain.as_map().size(), 20000u);
  const Value anchored = load_file(dir.write("anchored.yaml", text + "last: &x [1]\ncopy: *x\n"));
  EXPECT_EQ(anchored.as_map().size(), 20002u);
  EXPECT_EQ(difference(anchored.at("k19999"), Value::map({{"a", 19999}})), "");
  EXPECT_EQ(difference(anchored.at("copy"), Value::list({1})), "");
  const std::string message = [&] {
    try {
      load_file(dir.write("broken.yaml", text + "bad: [1\n"));
    } catch (const YAMLError& error) {
      return std::string(error.what());
    }
    return std::string();
  }();
  EXPECT_NE(message.find("line 20002"), std::string::npos) << message;
}

}  // namespace
}  // namespace tarvex::utils::yaml
