#include "tarvex/value.hpp"

#include <gtest/gtest.h>

#include "tarvex/exceptions.hpp"

namespace tarvex {
namespace {

TEST(Value, TruthinessFollowsDynamicLanguageRules) {
  for (const Value& falsy : {Value(), Value(false), Value(0), Value(0.0), Value(""), Value(List{}), Value(Map{})}) {
    EXPECT_FALSE(falsy.truthy()) << falsy.repr();
  }
  for (const Value& truthy :
       {Value(true), Value(-1), Value(0.5), Value("x"), Value::list({Value()}), Value::map({{"k", Value()}})}) {
    EXPECT_TRUE(truthy.truthy()) << truthy.repr();
  }
}

TEST(Value, NumbersCompareAcrossKindsAndHashAlike) {
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(1).hash(), Value(1.0).hash());
  EXPECT_NE(Value(1), Value("1"));
  EXPECT_NE(Value(true), Value(1));
  Map m;
  m[Value(1)] = "int key";
  EXPECT_EQ(m.at(Value(1.0)), Value("int key"));
}

TEST(Value, TextFormsMirrorPython) {
  const Value v = Value::map({{"a", Value::list({1, 2.5, "x'y", Value(), true})}, {Value(3), "s"}});
  EXPECT_EQ(v.repr(), "{'a': [1, 2.5, \"x'y\", None, True], 3: 's'}");
  EXPECT_EQ(Value("plain").str(), "plain");
  EXPECT_EQ(Value().str(), "None");
  EXPECT_EQ(py_float_repr(1.0), "1.0");
  EXPECT_EQ(py_float_repr(1e20), "1e+20");
  EXPECT_EQ(py_float_repr(1e-5), "1e-05");
  EXPECT_EQ(py_float_repr(0.0001), "0.0001");
  EXPECT_EQ(py_float_repr(123456.789), "123456.789");
  EXPECT_EQ(py_float_repr(1e16), "1e+16");
  EXPECT_EQ(py_float_repr(-2.5), "-2.5");
  EXPECT_EQ(py_repr("a\nb\\"), "'a\\nb\\\\'");
}

TEST(Value, PrettyFormBreaksLongContainers) {
  Map devices;
  for (int i = 0; i < 6; ++i) devices["device-number-" + std::to_string(i)] = Value::map({{"type", "router"}});
  const std::string pretty = Value(devices).pformat();
  EXPECT_NE(pretty.find("{'device-number-0': {'type': 'router'},\n 'device-number-1'"), std::string::npos) << pretty;
  EXPECT_EQ(Value::map({{"a", 1}}).pformat(), "{'a': 1}");
}

TEST(Value, MissingKeysAndWrongKindsRaiseTypedErrors) {
  Value v = Value::map({{"devices", Value::map({})}});
  EXPECT_THROW(v.at("topology"), KeyError);
  EXPECT_THROW(Value().at("x"), TypeError);
  EXPECT_THROW(Value("text").as_map(), TypeError);
  try {
    v.at("topology");
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "'topology'");
  }
}

TEST(Map, KeepsInsertionOrderThroughErasesAndGrowth) {
  Map m;
  for (int i = 0; i < 1000; ++i) m["k" + std::to_string(i)] = i;
  for (int i = 0; i < 1000; i += 2) EXPECT_TRUE(m.erase("k" + std::to_string(i)));
  EXPECT_EQ(m.size(), 500u);
  m["k0"] = "again";
  int expected = 1;
  std::size_t seen = 0;
  for (const auto& [key, value] : m) {
    if (seen < 500) {
      EXPECT_EQ(key, Value("k" + std::to_string(expected)));
      expected += 2;
    } else {
      EXPECT_EQ(key, Value("k0"));
    }
    ++seen;
  }
  EXPECT_EQ(seen, 501u);
  for (int i = 1; i < 1000; i += 2) EXPECT_EQ(m.at("k" + std::to_string(i)), Value(i));
  EXPECT_FALSE(m.contains("k2"));
}

TEST(Map, ReplacingAKeyKeepsItsPosition) {
  Map m{{"a", 1}, {"b", 2}, {"c", 3}};
  m.insert_or_assign("a", 10);
  EXPECT_EQ(m.keys(), (std::vector<Value>{"a", "b", "c"}));
  EXPECT_EQ(m.pop("b"), Value(2));
  EXPECT_THROW(m.pop("b"), KeyError);
  EXPECT_EQ(m, (Map{{"c", 3}, {"a", 10}}));  // equality ignores order
}

TEST(Map, IterationChangesValuesButNeverKeys) {
  // A key changed in place would no longer be found through the index.
  static_assert(!std::is_assignable_v<decltype((*std::declval<Map&>().begin()).first), Value>);
  static_assert(!std::is_assignable_v<decltype(std::declval<Map&>().begin()->first), Value>);
  Map m;
  for (int i = 0; i < 20; ++i) m.insert_or_assign("k" + std::to_string(i), i);  // large enough to be indexed
  for (auto&& [key, value] : m) value = key.str() + "!";
  EXPECT_EQ(m.at("k7"), Value("k7!"));
}

TEST(Map, CopiesAreDeep) {
  Value a = Value::map({{"inner", Value::map({{"x", 1}})}});
  Value b = a;
  b["inner"]["x"] = 2;
  EXPECT_EQ(a["inner"]["x"], Value(1));
}

}  // namespace
}  // namespace tarvex
