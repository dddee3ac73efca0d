#include "tarvex/utils/yaml.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

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
#include <vector>

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
      {"Ethernet1/1", "Ethernet1/1"}, {"a:b", "a:b"}, {"-x", "-x"},
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
      "root: &root {os: nxos, type: switch}\n"
      "router: &router {<<: *root, type: router}\n"
      "r1:\n"
      "  <<: *router\n"
      "  alias: uut\n"
      "quoted:\n"
      "  \"<<\": not a merge\n");
  EXPECT_EQ(difference(Value::map({{"os", "nxos"}, {"type", "router"}, {"alias", "uut"}}), loaded.at("r1"), true), "");
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

}  // namespace
}  // namespace tarvex::utils::yaml
