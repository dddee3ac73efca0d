#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.hpp"
#include "tarvex/morvane/loader.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::loader {
namespace {

class CleanFileLoader : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_.file(name)) << text;
    return dir_.file(name);
  }
  std::exception_ptr load_error(const std::vector<Value>& sources) {
    try {
      MorvaneFileLoader().load(sources);
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }
  testing::TempDir dir_;
};

TEST_F(CleanFileLoader, MergesSourcesInOrderLaterWinningKeyByKey) {
  const std::string base = write("base.yaml", R"(
bringup:
  sim: {class: sim, log_level: info}
cleaners:
  c1: {class: sim, devices: [R1]}
)");
  const Value overrides = Value::map({{"bringup", Value::map({{"sim", Value::map({{"log_level", "debug"}})}})}});
  const Value merged = MorvaneFileLoader().load({Value(base), overrides});
  EXPECT_EQ(merged.at("bringup").at("sim"), Value::map({{"class", "sim"}, {"log_level", "debug"}}));
  EXPECT_EQ(merged.at("cleaners").at("c1").at("devices"), Value::list({"R1"}));
  EXPECT_EQ(MorvaneFileLoader().load({Value(write("empty.yaml", ""))}), Value(Map{}));
}

TEST_F(CleanFileLoader, BadSourcesAreTypeErrorsNamingTheSourceWithTheirCause) {
  const std::string missing = dir_.file("missing.yaml");
  std::exception_ptr error = load_error({Value(missing)});
  ASSERT_TRUE(is_instance<TypeError>(error));
  EXPECT_NE(exception_str(error).find("missing.yaml"), std::string::npos);
  EXPECT_TRUE(is_instance<FileNotFoundError>(as_error(error)->cause()));

  error = load_error({Value(write("bad.yaml", "bringup: {sim: [\n"))});
  ASSERT_TRUE(is_instance<TypeError>(error));
  EXPECT_TRUE(is_instance<tarvex::utils::yaml::YAMLError>(as_error(error)->cause()));

  error = load_error({Value(42)});
  EXPECT_EQ(exception_str(error), "Clean configuration source of type int is neither a file name nor a mapping");

  error = load_error({Value(write("list.yaml", "- a\n"))});
  EXPECT_NE(exception_str(error).find("holds a list, not a mapping"), std::string::npos);

  error = load_error({Value::map({{"cleaners", Value::list({"c1"})}})});
  EXPECT_EQ(exception_str(error),
            "Clean configuration source <mapping> has a \"cleaners\" section that is a list, not a mapping");
}

}  // namespace
}  // namespace tarvex::morvane::loader
