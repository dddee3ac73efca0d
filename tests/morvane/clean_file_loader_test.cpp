#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.hpp"
#include "tarvex/log.hpp"
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

// A clean file is read like a logical testbed: a device written twice (the
// last would replace the first) and control characters are refused, every
// one of them; other duplicate keys are warned of.
TEST_F(CleanFileLoader, DuplicateDevicesAndControlCharactersAreRefusedTogether) {
  const std::string file = write("clean.yaml",
                                 "bringup:\n  sim: {class: sim, log_level: info, log_level: debug}\n"
                                 "devices:\n  r1: {clean: [a]}\n  r2: {banner: \"\\x07\"}\n  r1: {clean: [b]}\n");
  log::LogCapture capture;
  const std::exception_ptr error = load_error({Value(file)});
  ASSERT_TRUE(is_instance<TypeError>(error));
  const std::exception_ptr cause = as_error(error)->cause();
  ASSERT_TRUE(is_instance<ValueError>(cause)) << exception_str(error);
  EXPECT_EQ(exception_str(cause),
            file + ": line 5: devices/r2/banner: the text holds the control character U+0007 (BEL)\n" + file +
                ": line 4 and line 6: device 'r1' appears twice");
  EXPECT_EQ(capture.texts(log::WARNING),
            std::vector<std::string>{file + ": line 2, columns 21 and 38: the key bringup/sim/log_level appears twice; "
                                            "its last value is used"});
}

}  // namespace
}  // namespace tarvex::morvane::loader
